#pragma once

#include <QByteArrayView>
#include <QList>
#include <QString>
#include <QStringView>

#include <memory>
#include <vector>

// UTF-8 as text, a byte-order mark at its start kept as the character it is
// (QString::fromUtf8 drops it).
QString textOfUtf8(QByteArrayView utf8);

// Texts in order, kept as UTF-8 one after another in a few large blocks: a
// million texts cost a few dozen allocations rather than a million, and a
// text's QString is made only when someone asks for it. Every text carries a
// 32-bit tag for its owner's use. Copies share their blocks and entries until
// one of them changes, so a snapshot costs nothing.
class TextList
{
public:
    qsizetype size() const { return m_entries.size(); }
    bool isEmpty() const { return m_entries.isEmpty(); }
    QByteArrayView utf8(qsizetype index) const
    {
        const Entry &entry = m_entries.at(index);
        return {m_blocks[entry.block]->data + entry.offset, qsizetype(entry.size)};
    }
    QString text(qsizetype index) const { return textOfUtf8(utf8(index)); }
    quint32 tag(qsizetype index) const { return m_entries.at(index).tag; }

    // Text given as UTF-8 must be valid UTF-8: it is kept as it is.
    void append(QByteArrayView utf8, quint32 tag = 0) { append(utf8, {}, tag); }
    // The two parts joined, without a joined copy.
    void append(QByteArrayView first, QByteArrayView second, quint32 tag = 0);
    void append(QStringView text, quint32 tag = 0);
    // Moves the texts of other to the end, emptying it; their tags go through
    // retag when given.
    void append(TextList &&other, quint32 (*retag)(quint32 tag, quint32 shift) = nullptr,
                quint32 shift = 0);
    void replace(qsizetype index, QStringView text);
    void removeAt(qsizetype index);
    void clear();

    // Bytes of text held, removed texts not yet reclaimed included.
    qint64 bytes() const { return m_bytes; }

private:
    struct Block
    {
        explicit Block(qsizetype capacity);
        ~Block();
        Block(const Block &) = delete;
        Block &operator=(const Block &) = delete;
        char *const data;
        const qsizetype capacity;
    };
    struct Entry
    {
        quint32 block;
        quint32 offset;
        quint32 size;
        quint32 tag;
    };

    // Room for size more bytes at the end of the last block, which only this
    // list writes to; returns where they go.
    char *reserve(qsizetype size);
    void compactIfWasteful();

    std::vector<std::shared_ptr<Block>> m_blocks;
    QList<Entry> m_entries;
    qsizetype m_tailUsed = 0; // bytes used of the last block
    qint64 m_bytes = 0;
    qint64 m_garbage = 0; // bytes of removed or replaced texts
};
