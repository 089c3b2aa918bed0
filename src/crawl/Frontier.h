#pragma once

#include <QByteArray>
#include <QString>

#include <memory>
#include <optional>

class QTemporaryFile;

struct FrontierEntry
{
    QByteArray address;
    int depth = 0;
};

// The addresses a crawl has yet to fetch, first in first out. Entries are
// held packed in two buffers, the oldest to pop and the newest pushed, each
// at most half the memory limit; what lies between goes to a private
// temporary file in the system's temporary folder, written and read back in
// blocks and removed with the frontier. A million addresses to go take the
// memory of a few thousand.
//
// To list what is left (the addresses not done when a crawl is stopped),
// pop in slices: it never holds more than the limit either.
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
    qint64 memoryBytes() const { return m_head.size() - m_headRead + m_tail.size(); }
    qint64 spilledBytes() const { return m_fileWritten - m_fileRead; }
    // The file, while there is one (for tests: it must go with the frontier).
    QString spillFileName() const;

private:
    bool spillTail();
    bool refillHead();

    qint64 m_half;
    QByteArray m_head; // oldest first, read from m_headRead on
    qsizetype m_headRead = 0;
    QByteArray m_tail; // newest last
    std::unique_ptr<QTemporaryFile> m_file;
    qint64 m_fileRead = 0;
    qint64 m_fileWritten = 0;
    qint64 m_size = 0;
    QString m_error;
};
