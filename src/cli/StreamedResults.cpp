#include "cli/StreamedResults.h"

#include "model/WorkSlice.h"

StreamedResults::StreamedResults(std::FILE *out, Memory memory, QObject *parent)
    : QObject(parent), m_out(out), m_memory(memory)
{
}

StreamedResults::~StreamedResults()
{
    flush();
}

void StreamedResults::appendResult(const QString &address, const QString &result)
{
    if (m_memory.results)
        m_results.insert(result);
    if (address.isNull()) {
        write(result);
        return;
    }
    if (m_memory.addresses)
        m_addresses.insert(address);
    write(address + u',' + result);
}

void StreamedResults::appendAddress(const QString &address)
{
    if (m_memory.addresses)
        m_addresses.insert(address);
    write(address);
}

void StreamedResults::write(const QString &row)
{
    ++m_count;
    if (m_memory.rows)
        m_rows.append(row);
    const QByteArray line = row.toUtf8() + "\r\n";
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
