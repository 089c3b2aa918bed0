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
// million texts cost a few dozen allocations rather than a million, eight
// bytes each besides their own, and a text's QString is made only when
// someone asks for it. Every text carries a 32-bit tag for its owner's use.
// Copies share their blocks and entries until one of them changes, so a
// snapshot costs nothing.
class TextList
{
public:
    qsizetype size() const { return m_entries.size(); }
    bool isEmpty() const { return m_entries.isEmpty(); }
    QByteArrayView utf8(qsizetype index) const { return record(index).text; }
    QString text(qsizetype index) const { return textOfUtf8(utf8(index)); }
    quint32 tag(qsizetype index) const { return record(index).tag; }

    // Text given as UTF-8 must be valid UTF-8: it is kept as it is.
    void append(QByteArrayView utf8, quint32 tag = 0) { append(utf8, {}, tag); }
    // The two parts joined, without a joined copy.
    void append(QByteArrayView first, QByteArrayView second, quint32 tag = 0);
    void append(QStringView text, quint32 tag = 0);
    // Moves the texts of other to the end, emptying it; tagShift is added to
    // their tags.
    void append(TextList &&other, quint32 tagShift = 0);
    void replace(qsizetype index, QStringView text);
    void removeAt(qsizetype index);
    void clear();

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
    // A block as this list uses it: the tags read from it are shifted by
    // tagBase, so that moving texts to another list rewrites no text.
    struct UsedBlock
    {
        std::shared_ptr<Block> block;
        quint32 tagBase = 0;
    };
    // Where a text's record starts: its length, whether a tag follows, the
    // tag if so, then its bytes.
    struct Entry
    {
        quint32 block;
        quint32 offset;
    };
    struct Record
    {
        QByteArrayView text;
        quint32 tag;
        qsizetype bytes; // the whole record
    };

    Record record(qsizetype index) const;
    // Room for size more bytes at the end of the last block, which only this
    // list writes to; returns where they go.
    char *room(qsizetype size);
    void compactIfWasteful();

    std::vector<UsedBlock> m_blocks;
    QList<Entry> m_entries;
    qsizetype m_tailUsed = 0; // bytes used of the last block
    qint64 m_bytes = 0;       // of records
    qint64 m_garbage = 0;     // bytes of removed or replaced records
};
