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
    if (m_writeFailed)
        return;
    const QByteArray line = row.toUtf8() + "\r\n";
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
