#include "crawl/Frontier.h"

#include <QDir>
#include <QTemporaryFile>

#include <algorithm>
#include <cstring>

// An entry, in memory and in the file alike: its address's length and its
// depth (native order: the file never leaves this process), then the address.
namespace {

constexpr qsizetype headerBytes = 8;

void appendRecord(QByteArray &to, QByteArrayView address, int depth)
{
    const quint32 header[2] = {quint32(address.size()), quint32(depth)};
    to.append(reinterpret_cast<const char *>(header), headerBytes);
    to.append(address);
}

// The length of the record at the start of bytes, -1 when it is not all there.
qsizetype recordLength(QByteArrayView bytes)
{
    if (bytes.size() < headerBytes)
        return -1;
    quint32 length;
    std::memcpy(&length, bytes.data(), 4);
    return bytes.size() - headerBytes >= qsizetype(length) ? headerBytes + length : -1;
}

} // namespace

Frontier::Frontier(qint64 memoryLimit) : m_half(std::max<qint64>(memoryLimit / 2, 1)) {}

Frontier::~Frontier() = default;

QString Frontier::spillFileName() const
{
    return m_file ? m_file->fileName() : QString();
}

bool Frontier::push(QByteArrayView address, int depth)
{
    appendRecord(m_tail, address, depth);
    ++m_size;
    if (m_tail.size() < m_half)
        return true;
    // Nothing older waits: the newest become the oldest without a write.
    if (m_headRead == m_head.size() && m_fileRead == m_fileWritten) {
        m_head = std::move(m_tail);
        m_headRead = 0;
        m_tail = QByteArray();
        return true;
    }
    return spillTail();
}

bool Frontier::spillTail()
{
    if (!m_file) {
        m_file = std::make_unique<QTemporaryFile>(QDir::tempPath() +
                                                  QLatin1String("/quillora-frontier-XXXXXX"));
        if (!m_file->open()) {
            m_error = QStringLiteral("The crawl's temporary file could not be created: %1")
                          .arg(m_file->errorString());
            m_file.reset();
            return false;
        }
    }
    if (!m_file->seek(m_fileWritten) || m_file->write(m_tail) != m_tail.size()) {
        m_error = QStringLiteral("The crawl's temporary file could not be written: %1")
                      .arg(m_file->errorString());
        // What part went in is written over by the next try.
        return false;
    }
    m_fileWritten += m_tail.size();
    m_tail.clear();
    return true;
}

bool Frontier::refillHead()
{
    m_head.clear();
    m_headRead = 0;
    if (m_fileRead == m_fileWritten) {
        m_head = std::move(m_tail);
        m_tail = QByteArray();
        return true;
    }
    // A block of about half the limit, then as much more as completes its
    // last record.
    if (!m_file->seek(m_fileRead))
        return false;
    qint64 want = std::min(m_half, m_fileWritten - m_fileRead);
    while (want > 0) {
        if (want > m_fileWritten - m_fileRead)
            return false;
        const QByteArray block = m_file->read(want);
        if (block.size() != want)
            return false;
        m_head += block;
        m_fileRead += want;
        qsizetype at = 0;
        for (qsizetype length; (length = recordLength(QByteArrayView(m_head).sliced(at))) >= 0;)
            at += length;
        const qsizetype partial = m_head.size() - at;
        want = 0;
        if (partial > 0 && partial < headerBytes) {
            want = headerBytes - partial;
        } else if (partial > 0) {
            quint32 length;
            std::memcpy(&length, m_head.constData() + at, 4);
            want = headerBytes + qint64(length) - partial;
        }
    }
    if (m_fileRead == m_fileWritten) { // all read back: give the disk space back
        m_file->resize(0);
        m_fileRead = m_fileWritten = 0;
    }
    return true;
}

std::optional<FrontierEntry> Frontier::pop()
{
    if (m_size == 0)
        return std::nullopt;
    if (m_headRead == m_head.size() && !refillHead()) {
        m_error = QStringLiteral("The crawl's temporary file could not be read back: %1")
                      .arg(m_file->errorString());
        return std::nullopt;
    }
    quint32 header[2];
    std::memcpy(header, m_head.constData() + m_headRead, headerBytes);
    FrontierEntry entry{m_head.mid(m_headRead + headerBytes, header[0]), int(header[1])};
    m_headRead += headerBytes + header[0];
    --m_size;
    if (m_headRead == m_head.size()) {
        m_head.clear();
        m_headRead = 0;
    }
    return entry;
}
