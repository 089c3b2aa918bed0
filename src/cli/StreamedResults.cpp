#include "cli/StreamedResults.h"

#include "model/WorkSlice.h"

#include <cerrno>

StreamedResults::StreamedResults(std::FILE *out, Memory memory, SaveFormat format, QObject *parent)
    : QObject(parent), m_out(out), m_memory(memory), m_format(format)
{
}

StreamedResults::~StreamedResults()
{
    std::fflush(m_out);
}

void StreamedResults::setPage(const QString &, const FetchResult &fetch)
{
    m_page = fetch;
}

void StreamedResults::siteFailed(const QString &site, const QString &reason, FetchError kind)
{
    QByteArray record;
    RowFormat::appendFailure(record, site, reason, kind, m_format);
    if (!record.isEmpty())
        write(record);
}

void StreamedResults::close()
{
    write(RowFormat::end(m_format));
}

void StreamedResults::append(const QString &site, QByteArrayView text, ResultRow::Kind kind)
{
    if (m_rowsStopped)
        return;
    if (m_memory.results && ResultRow::holdsResult(kind))
        m_results.insert(textOfUtf8(text));
    if (m_memory.addresses && ResultRow::showsAddress(kind))
        m_addresses.insert(site);
    ++m_count;
    if (site.constData() != m_site.constData() && site != m_site) {
        m_site = site;
        m_siteUtf8 = site.toUtf8();
    }
    QByteArray line;
    RowFormat::append(line, m_siteUtf8, text, kind, m_format, &m_page, m_columns);
    if (m_memory.rows)
        m_rows.append(site, text, kind);
    write(line);
}

// The header goes with the first bytes, so that an output without rows still has it.
void StreamedResults::write(const QByteArray &bytes)
{
    if (m_writeFailed)
        return;
    const QByteArray text =
        std::exchange(m_begun, true) ? bytes : RowFormat::begin(m_format, m_columns) + bytes;
    if (std::fwrite(text.constData(), 1, size_t(text.size()), m_out) != size_t(text.size()))
        return failed();
    if (!std::exchange(m_flushQueued, true))
        continueLater(this, [this] { flush(); });
}

void StreamedResults::flush()
{
    m_flushQueued = false;
    if (!m_writeFailed && std::fflush(m_out) != 0)
        failed();
}

void StreamedResults::failed()
{
    const int error = errno;
    m_writeFailed = true;
    emit outputFailed(error);
}
