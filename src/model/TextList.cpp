#include "model/TextList.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {
// Blocks start small, so that a short list stays small, and double up to
// this; a text longer than that gets a block of its own.
constexpr qsizetype firstBlock = 4 * 1024;
constexpr qsizetype largestBlock = 1 << 20;
// The longest a record's head can be: two numbers of five bytes.
constexpr qsizetype longestHead = 10;

// Seven bits a byte, the high bit set on all but the last.
char *putNumber(char *at, quint64 value)
{
    while (value >= 0x80) {
        *at++ = char(value | 0x80);
        value >>= 7;
    }
    *at++ = char(value);
    return at;
}

quint64 takeNumber(const uchar *&at)
{
    quint64 value = 0;
    for (int shift = 0;; shift += 7) {
        const uchar byte = *at++;
        value |= quint64(byte & 0x7F) << shift;
        if (byte < 0x80)
            return value;
    }
}

} // namespace

QString textOfUtf8(QByteArrayView utf8)
{
    QString text = QString::fromUtf8(utf8);
    if (utf8.startsWith("\xEF\xBB\xBF"))
        text.prepend(QChar(0xFEFF));
    return text;
}

// Left uninitialised: the pages of a block are touched only as texts fill them.
TextList::Block::Block(qsizetype capacity)
    : data(static_cast<char *>(std::malloc(size_t(std::max<qsizetype>(capacity, 1))))),
      capacity(capacity)
{
    if (!data)
        throw std::bad_alloc();
}

TextList::Block::~Block()
{
    std::free(data);
}

TextList::Record TextList::record(qsizetype index) const
{
    const Entry entry = m_entries.at(index);
    const UsedBlock &used = m_blocks[entry.block];
    const auto *start = reinterpret_cast<const uchar *>(used.block->data + entry.offset);
    const uchar *at = start;
    const quint64 head = takeNumber(at);
    const quint32 tag = quint32(head & 1 ? takeNumber(at) : 0) + used.tagBase;
    const auto size = qsizetype(head >> 1);
    return {{reinterpret_cast<const char *>(at), size}, tag, at - start + size};
}

char *TextList::room(qsizetype size)
{
    // A block another list shares may hold texts of the other's beyond ours,
    // and one moved from another list reads its tags shifted.
    const bool tailWritable =
        !m_blocks.empty() && m_blocks.back().block.use_count() == 1 && m_blocks.back().tagBase == 0;
    if (!tailWritable || m_blocks.back().block->capacity - m_tailUsed < size) {
        const qsizetype grown = m_blocks.empty()
                                    ? firstBlock
                                    : std::min(m_blocks.back().block->capacity * 2, largestBlock);
        m_blocks.push_back({std::make_shared<Block>(std::max(grown, size)), 0});
        m_tailUsed = 0;
    }
    char *at = m_blocks.back().block->data + m_tailUsed;
    m_tailUsed += size;
    return at;
}

void TextList::append(QByteArrayView first, QByteArrayView second, quint32 tag)
{
    const qsizetype size = first.size() + second.size();
    char *const start = room(longestHead + size);
    char *at = putNumber(start, quint64(size) << 1 | (tag != 0));
    if (tag != 0)
        at = putNumber(at, tag);
    if (!first.isEmpty())
        std::memcpy(at, first.data(), size_t(first.size()));
    if (!second.isEmpty())
        std::memcpy(at + first.size(), second.data(), size_t(second.size()));
    const qsizetype bytes = at + size - start;
    m_tailUsed -= longestHead + size - bytes; // the head's unused room
    const Block &block = *m_blocks.back().block;
    m_entries.append({quint32(m_blocks.size() - 1), quint32(start - block.data)});
    m_bytes += bytes;
}

void TextList::append(QStringView text, quint32 tag)
{
    append(QByteArrayView(text.toUtf8()), tag);
}

void TextList::append(TextList &&other, quint32 tagShift)
{
    if (other.isEmpty())
        return other.clear();
    if (isEmpty() && tagShift == 0) {
        *this = std::move(other);
        other.clear();
        return;
    }
    const auto blockShift = quint32(m_blocks.size());
    // No reserve(): it would copy the entries to a block of just that size
    // every time, where growing in place moves them rarely, if at all.
    for (Entry entry : std::as_const(other.m_entries)) {
        entry.block += blockShift;
        m_entries.append(entry);
    }
    for (UsedBlock &used : other.m_blocks) {
        used.tagBase += tagShift;
        m_blocks.push_back(std::move(used));
    }
    m_tailUsed = other.m_tailUsed;
    m_bytes += other.m_bytes;
    m_garbage += other.m_garbage;
    other.clear();
}

void TextList::replace(qsizetype index, QStringView text)
{
    const Record old = record(index);
    m_garbage += old.bytes;
    append(text, old.tag);
    m_entries[index] = m_entries.takeLast();
    compactIfWasteful();
}

void TextList::removeAt(qsizetype index)
{
    m_garbage += record(index).bytes;
    m_entries.removeAt(index);
    compactIfWasteful();
}

void TextList::clear()
{
    m_blocks.clear();
    m_entries.clear();
    m_tailUsed = 0;
    m_bytes = 0;
    m_garbage = 0;
}

// Removed texts stay where they were until they are most of what is held.
void TextList::compactIfWasteful()
{
    if (m_garbage < largestBlock || m_garbage * 2 < m_bytes)
        return;
    TextList compact;
    for (qsizetype index = 0; index < size(); ++index) {
        const Record kept = record(index);
        compact.append(kept.text, kept.tag);
    }
    *this = std::move(compact);
}
