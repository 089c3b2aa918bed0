#include "crawl/Frontier.h"

#include <QDir>
#include <QTemporaryFile>

#include <algorithm>
#include <cstring>

// An entry, in memory and in the file alike: its address's length and its
// depth (native order: the file never leaves this process), then the address.
namespace {

constexpr qsizetype headerBytes = 8;
constexpr qint64 largestBlock = 256 * 1024;

void appendRecord(QByteArray &to, QByteArrayView address, int depth)
{
    const quint32 header[2] = {quint32(address.size()), quint32(depth)};
    to.append(reinterpret_cast<const char *>(header), headerBytes);
    to.append(address);
}

quint32 recordAddressLength(const char *record)
{
    quint32 length;
    std::memcpy(&length, record, 4);
    return length;
}

} // namespace

Frontier::Frontier(qint64 memoryLimit)
    : m_limit(std::max<qint64>(memoryLimit, 1)),
      m_block(std::clamp<qint64>(memoryLimit / 4, 1, largestBlock))
{
}

Frontier::~Frontier() = default;

QString Frontier::spillFileName() const
{
    return m_file ? m_file->fileName() : QString();
}

bool Frontier::push(QByteArrayView address, int depth)
{
    appendRecord(m_tail, address, depth);
    ++m_size;
    if (m_tail.size() < m_block)
        return true;
    if (m_fileRead == m_fileWritten && m_frontBytes + m_tail.size() <= m_limit) {
        m_frontBytes += m_tail.size();
        m_front.push_back(std::exchange(m_tail, {}));
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
        return false; // what part went in is written over by the next try
    }
    m_fileWritten += m_tail.size();
    m_tail.clear();
    return true;
}

// A block from the file onto the front, cut after its last whole record; the
// records cut are read again with the next block.
bool Frontier::readBlock()
{
    const qint64 left = m_fileWritten - m_fileRead;
    if (!m_file->seek(m_fileRead))
        return false;
    QByteArray block = m_file->read(std::min(std::max(m_block, headerBytes), left));
    if (block.size() < headerBytes)
        return false;
    qsizetype whole = 0;
    while (whole + headerBytes <= block.size() &&
           whole + headerBytes + recordAddressLength(block.constData() + whole) <= block.size())
        whole += headerBytes + recordAddressLength(block.constData() + whole);
    if (whole == 0) { // one record longer than a block
        const qint64 length = headerBytes + recordAddressLength(block.constData());
        if (length > left || !m_file->seek(m_fileRead))
            return false;
        block = m_file->read(length);
        whole = block.size() == length ? length : 0;
        if (whole == 0)
            return false;
    }
    block.truncate(whole);
    m_fileRead += whole;
    m_frontBytes += block.size();
    m_front.push_back(std::move(block));
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
    if (m_front.empty()) {
        if (m_fileRead < m_fileWritten) {
            if (!readBlock()) {
                m_error = QStringLiteral("The crawl's temporary file could not be read back: %1")
                              .arg(m_file->errorString());
                return std::nullopt;
            }
        } else {
            m_frontBytes += m_tail.size();
            m_front.push_back(std::exchange(m_tail, {}));
        }
    }
    const QByteArray &block = m_front.front();
    const quint32 length = recordAddressLength(block.constData() + m_frontRead);
    quint32 depth;
    std::memcpy(&depth, block.constData() + m_frontRead + 4, 4);
    FrontierEntry entry{block.mid(m_frontRead + headerBytes, length), int(depth)};
    m_frontRead += headerBytes + length;
    --m_size;
    if (m_frontRead == block.size()) {
        m_frontBytes -= block.size();
        m_front.pop_front();
        m_frontRead = 0;
    }
    return entry;
}
