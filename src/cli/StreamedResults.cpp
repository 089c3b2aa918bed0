#include "cli/StreamedResults.h"

#include "model/WorkSlice.h"

#include <cerrno>

StreamedResults::StreamedResults(std::FILE *out, Memory memory, SaveFormat format, QObject *parent)
    : QObject(parent), m_out(out), m_memory(memory), m_format(format)
{
}

StreamedResults::~StreamedResults()
{
    drain();
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
    drain();
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
    if (m_memory.rows)
        m_rows.append(site, text, kind);
    if (m_writeFailed)
        return;
    // Formatted straight into what is to be written: a row allocates nothing.
    RowFormat::append(pending(), m_siteUtf8, text, kind, m_format, &m_page, m_columns);
    written();
}

void StreamedResults::write(QByteArrayView bytes)
{
    if (m_writeFailed)
        return;
    pending() += bytes;
    written();
}

// The header goes with the first bytes, so that an output without rows still has it.
QByteArray &StreamedResults::pending()
{
    if (!std::exchange(m_begun, true))
        m_pending += RowFormat::begin(m_format, m_columns);
    return m_pending;
}

// Rows go out whole, many at a time, and all of them by the next turn of
// the event loop.
void StreamedResults::written()
{
    if (m_pending.size() >= kPendingLimit)
        drain();
    if (!std::exchange(m_flushQueued, true))
        continueLater(this, [this] { flush(); });
}

void StreamedResults::drain()
{
    if (m_writeFailed || m_pending.isEmpty())
        return;
    const size_t size = size_t(m_pending.size());
    const bool whole = std::fwrite(m_pending.constData(), 1, size, m_out) == size;
    m_pending.resize(0);
    if (!whole)
        failed();
}

void StreamedResults::flush()
{
    m_flushQueued = false;
    drain();
    if (!m_writeFailed && std::fflush(m_out) != 0)
        failed();
}

void StreamedResults::failed()
{
    const int error = errno;
    m_writeFailed = true;
    emit outputFailed(error);
}
