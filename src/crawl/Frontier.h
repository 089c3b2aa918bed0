#pragma once

#include <QByteArray>
#include <QString>

#include <deque>
#include <memory>
#include <optional>

class QTemporaryFile;

struct FrontierEntry
{
    QByteArray address;
    int depth = 0;
};

// The addresses a crawl has yet to fetch, first in first out, packed in
// blocks of at most 256 KiB. Up to the memory limit they stay in memory; past
// it the newest blocks go to a private temporary file in the system's
// temporary folder, read back a block at a time as the older ones are popped,
// and removed with the frontier. So no push or pop moves more than a block,
// and a million addresses to go take no more memory than the limit.
//
// To list what is left (the addresses not done when a crawl is stopped), pop
// in slices: that never holds more than the limit either.
class Frontier
{
public:
    static constexpr qint64 defaultMemoryLimit = qint64(64) << 20;

    explicit Frontier(qint64 memoryLimit = defaultMemoryLimit);
    ~Frontier();
    Frontier(const Frontier &) = delete;
    Frontier &operator=(const Frontier &) = delete;

    // False, with error() saying why, when the temporary file cannot be
    // created or written; the entry is then kept in memory, past the limit.
    bool push(QByteArrayView address, int depth);
    // The oldest entry; nothing when empty, or when the file cannot be read
    // back (error() says why; what was in it is lost).
    std::optional<FrontierEntry> pop();

    qint64 size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    QString error() const { return m_error; }
    // Bytes held in memory, and written to the file and not yet read back.
    qint64 memoryBytes() const { return m_frontBytes + m_tail.size(); }
    qint64 spilledBytes() const { return m_fileWritten - m_fileRead; }
    // The file, while there is one (for tests: it must go with the frontier).
    QString spillFileName() const;

private:
    bool spillTail();
    bool readBlock();

    qint64 m_limit;
    qint64 m_block;
    // Oldest first; the first is read from m_frontRead on. Then come the
    // file's bytes from m_fileRead on, then the tail, newest last.
    std::deque<QByteArray> m_front;
    qint64 m_frontBytes = 0;
    qsizetype m_frontRead = 0;
    QByteArray m_tail;
    std::unique_ptr<QTemporaryFile> m_file;
    qint64 m_fileRead = 0;
    qint64 m_fileWritten = 0;
    qint64 m_size = 0;
    QString m_error;
};
