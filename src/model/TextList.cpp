#include "model/TextList.h"

#include <QStringEncoder>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {
// Blocks start small, so that a short list stays small, and double up to
// this; a text longer than that gets a block of its own.
constexpr qsizetype firstBlock = 4 * 1024;
constexpr qsizetype largestBlock = 1 << 20;
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

char *TextList::reserve(qsizetype size)
{
    // A block another list shares may hold texts of the other's beyond ours.
    const bool tailWritable = !m_blocks.empty() && m_blocks.back().use_count() == 1;
    if (!tailWritable || m_blocks.back()->capacity - m_tailUsed < size) {
        const qsizetype grown =
            m_blocks.empty() ? firstBlock : std::min(m_blocks.back()->capacity * 2, largestBlock);
        m_blocks.push_back(std::make_shared<Block>(std::max(grown, size)));
        m_tailUsed = 0;
    }
    char *at = m_blocks.back()->data + m_tailUsed;
    m_tailUsed += size;
    return at;
}

void TextList::append(QByteArrayView first, QByteArrayView second, quint32 tag)
{
    const qsizetype size = first.size() + second.size();
    char *at = reserve(size);
    if (!first.isEmpty())
        std::memcpy(at, first.data(), size_t(first.size()));
    if (!second.isEmpty())
        std::memcpy(at + first.size(), second.data(), size_t(second.size()));
    m_entries.append(
        {quint32(m_blocks.size() - 1), quint32(at - m_blocks.back()->data), quint32(size), tag});
    m_bytes += size;
}

void TextList::append(QStringView text, quint32 tag)
{
    // Room for the longest encoding; what it does not use is given back.
    const qsizetype most = text.size() * 3;
    char *at = reserve(most);
    QStringEncoder encoder(QStringEncoder::Utf8, QStringEncoder::Flag::Stateless);
    const qsizetype size = encoder.appendToBuffer(at, text) - at;
    m_tailUsed -= most - size;
    m_entries.append(
        {quint32(m_blocks.size() - 1), quint32(at - m_blocks.back()->data), quint32(size), tag});
    m_bytes += size;
}

void TextList::append(TextList &&other, quint32 (*retag)(quint32, quint32), quint32 shift)
{
    if (other.isEmpty())
        return other.clear();
    if (isEmpty() && !retag) {
        *this = std::move(other);
        other.clear();
        return;
    }
    const auto blockShift = quint32(m_blocks.size());
    m_entries.reserve(m_entries.size() + other.m_entries.size());
    for (Entry entry : std::as_const(other.m_entries)) {
        entry.block += blockShift;
        if (retag)
            entry.tag = retag(entry.tag, shift);
        m_entries.append(entry);
    }
    m_blocks.insert(m_blocks.end(), std::make_move_iterator(other.m_blocks.begin()),
                    std::make_move_iterator(other.m_blocks.end()));
    m_tailUsed = other.m_tailUsed;
    m_bytes += other.m_bytes;
    m_garbage += other.m_garbage;
    other.clear();
}

void TextList::replace(qsizetype index, QStringView text)
{
    const quint32 tag = m_entries.at(index).tag;
    m_garbage += m_entries.at(index).size;
    append(text, tag);
    m_entries[index] = m_entries.takeLast();
    compactIfWasteful();
}

void TextList::removeAt(qsizetype index)
{
    m_garbage += m_entries.at(index).size;
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
    for (qsizetype index = 0; index < size(); ++index)
        compact.append(utf8(index), tag(index));
    *this = std::move(compact);
}
