#include "cli/StreamedResults.h"

#include "platform/WorkSlice.h"

StreamedResults::StreamedResults(std::FILE *out, Memory memory, QObject *parent)
    : QObject(parent), m_out(out), m_memory(memory)
{
}

StreamedResults::~StreamedResults()
{
    flush();
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
    if (std::fwrite(line.constData(), 1, size_t(line.size()), m_out) != size_t(line.size()))
        m_writeFailed = true;
    if (!std::exchange(m_flushQueued, true))
        continueLater(this, [this] { flush(); });
}

void StreamedResults::flush()
{
    m_flushQueued = false;
    if (std::fflush(m_out) != 0)
        m_writeFailed = true;
}
