#include "cli/StreamedResults.h"

#include "model/WorkSlice.h"

#include <cerrno>

StreamedResults::StreamedResults(std::FILE *out, Memory memory, QObject *parent)
    : QObject(parent), m_out(out), m_memory(memory)
{
}

StreamedResults::~StreamedResults()
{
    std::fflush(m_out);
}

void StreamedResults::append(ResultRow row)
{
    if (m_memory.results && row.kind != ResultRow::Kind::Address)
        m_results.insert(row.text);
    if (m_memory.addresses && row.showsAddress())
        m_addresses.insert(row.site);
    ++m_count;
    QByteArray line;
    RowFormat::append(line, row.site, row.text, row.kind, SaveFormat::List);
    if (m_memory.rows)
        m_rows.append(std::move(row));
    if (m_writeFailed)
        return;
    if (std::fwrite(line.constData(), 1, size_t(line.size()), m_out) != size_t(line.size()))
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
