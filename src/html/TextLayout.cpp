#include "html/TextLayout.h"

#include "html/Bytes.h"
#include "html/Tags.h"

#include <cstring>

namespace html {

namespace {

bool isCollapsible(char c)
{
    return c == ' ' || c == '\n' || c == '\t' || c == '\f' || c == '\r';
}

bool displayNone(const QByteArray &style)
{
    QByteArray compact;
    for (char c : style) {
        if (!isCollapsible(c))
            compact.append(c >= 'A' && c <= 'Z' ? char(c | 0x20) : c);
    }
    for (qsizetype at = compact.indexOf("display:none"); at >= 0;
         at = compact.indexOf("display:none", at + 1)) {
        const qsizetype after = at + 12;
        if ((at == 0 || compact[at - 1] == ';' || compact[at - 1] == '{') &&
            (after == compact.size() || compact[after] == ';' || compact[after] == '!'))
            return true;
    }
    return false;
}

bool isBlock(TagId t)
{
    return hasFlag(t, BlockLayout);
}

} // namespace

bool TextLayout::isShown(const ElementStart &e)
{
    const TagId t = e.tag;
    if (e.ns != Namespace::Html) {
        if (e.ns == Namespace::Svg &&
            (t == TagId::Title || t == TagId::Desc || t == TagId::Script || t == TagId::Style))
            return false;
    } else if (hasFlag(t, NotRendered)) {
        return false;
    }
    if (e.attributes.empty())
        return true;
    const auto is = [](const QByteArray &name, const char *word, qsizetype size) {
        return name.size() == size && std::memcmp(name.constData(), word, size_t(size)) == 0;
    };
    for (const Attribute &a : e.attributes) {
        if (is(a.name, "hidden", 6) || (is(a.name, "style", 5) && displayNone(a.value)))
            return false;
    }
    return true;
}

char *TextLayout::grow(qsizetype n)
{
    // Text no longer read makes room when it is a good part of the buffer:
    // each byte is moved a bounded number of times.
    if (const qsizetype unread = qsizetype(m_unread - m_base); unread > m_used / 4) {
        std::memmove(m_data, m_data + unread, size_t(m_used - unread));
        m_used -= unread;
        m_base = m_unread;
    }
    // A buffer taken is made anew about the size it had, not grown to it.
    if (m_out.isNull())
        m_out.resize(
            std::max({n, qsizetype(256), std::min<qsizetype>(m_taken + m_taken / 4, 1 << 20)}));
    if (m_out.size() - m_used < n)
        m_out.resize(
            std::max(m_used + n, std::min<qsizetype>(2 * m_out.size(), m_out.size() + (4 << 20))));
    m_data = m_out.data();
    return m_data + m_used;
}

QByteArray TextLayout::take()
{
    m_taken = std::max(m_taken / 2, m_used);
    m_out.truncate(m_used);
    m_used = 0;
    m_data = nullptr;
    return std::exchange(m_out, QByteArray());
}

void TextLayout::reset(qsizetype keep)
{
    if (m_out.size() > keep) {
        m_out = QByteArray();
        m_data = nullptr;
    }
    m_used = m_taken = 0;
    m_base = m_unread = 0;
    restart();
}

void TextLayout::dropBefore(qint64 at)
{
    if (at >= position()) {
        m_base += m_used;
        m_used = 0;
    }
    m_unread = std::min(std::max(m_unread, at), position());
}

void TextLayout::endLine()
{
    if (!m_pending.empty()) [[unlikely]]
        settleMarks(position(), true);
    if (m_lineHasText)
        *room(1) = '\n', ++m_used;
    m_lineHasText = false;
    m_space = false;
    m_tabs = 0;
}

void TextLayout::elementStarted(const ElementStart &e, bool shown)
{
    Frame frame;
    if (m_hidden || !shown) {
        frame.flags = Hides;
        ++m_hidden;
        m_frames.push_back(frame);
        return;
    }
    if (e.ns == Namespace::Html) {
        const TagId t = e.tag;
        if (t == TagId::Br) {
            if (m_pre) {
                *room(1) = '\n', ++m_used;
                m_lineHasText = false;
            } else {
                endLine();
            }
        } else if (t == TagId::Td || t == TagId::Th) {
            if (!m_frames.empty() && (m_frames.back().flags & Row) && m_frames.back().cells++ > 0) {
                ++m_tabs;
                m_space = false;
            }
        } else if (isBlock(t)) {
            endLine();
            frame.flags = Block;
            if (t == TagId::Tr)
                frame.flags |= Row;
            if (hasFlag(t, Preformatted)) {
                frame.flags |= Pre;
                ++m_pre;
            }
        }
    }
    m_frames.push_back(frame);
}

void TextLayout::text(QByteArrayView text)
{
    if (m_hidden || text.isEmpty())
        return;
    // At most the text, a separator before each word, the tabs pending and
    // the slack of the last word's 16-byte copy.
    char *const begin = room(2 * text.size() + m_tabs + 16);
    char *w = begin;
    const char *p = text.data(), *end = p + text.size();
    bool marks = !m_pending.empty();
    auto content = [&] {
        if (marks) [[unlikely]] {
            settleMarks(position() + (w - begin), false);
            marks = false;
        }
        if (m_tabs) {
            std::memset(w, '\t', size_t(m_tabs));
            w += m_tabs;
            m_tabs = 0;
            m_space = false;
        } else if (m_space) {
            *w++ = ' ';
            m_space = false;
        }
        m_lineHasText = true;
    };
    if (m_pre) {
        while (p < end) {
            const char *nl = static_cast<const char *>(std::memchr(p, '\n', size_t(end - p)));
            const char *stop = nl ? nl : end;
            if (stop > p) {
                content();
                std::memcpy(w, p, size_t(stop - p));
                w += stop - p;
            }
            if (!nl)
                break;
            *w++ = '\n';
            m_lineHasText = false;
            m_tabs = 0;
            for (Mark *m : m_pending)
                m->tabs = 0;
            p = nl + 1;
        }
    } else {
        while (p < end) {
            if (isCollapsible(*p)) {
                while (p < end && isCollapsible(*p))
                    ++p;
                if (m_lineHasText)
                    m_space = true;
                continue;
            }
            content();
            // Words and the single spaces between them are copied as they
            // stand, sixteen (or eight) bytes at a time; other white space
            // ends the run.
            for (;;) {
                const qsizetype left = end - p;
#ifdef __SSE2__
                // A last piece is read with zeros after it, which stop the run
                // at its end.
                const __m128i x = left >= 16 ? _mm_loadu_si128(reinterpret_cast<const __m128i *>(p))
                                             : bytes::loadShort16(p, left);
                _mm_storeu_si128(reinterpret_cast<__m128i *>(w), x);
                const __m128i blank = _mm_set1_epi8(' ');
                const uint low = uint(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(x, blank), x)));
                const uint space = uint(_mm_movemask_epi8(_mm_cmpeq_epi8(x, blank)));
                // A space before a byte above ' ' in the same sixteen passes.
                const uint stops = low & ~(space & ~(low >> 1) & 0x7FFF);
                if (!stops) {
                    p += 16;
                    w += 16;
                    continue;
                }
                const int k = std::countr_zero(stops); // at most `left`: the zeros stop
#else
                const quint64 x = left >= 8 ? bytes::load(p) : bytes::loadShort(p, left);
                qToLittleEndian(x, w);
                // The zeros past a short end stop the run there.
                const quint64 low = bytes::atMost(x, ' ');
                // A space before a byte above ' ' in the same eight passes.
                const quint64 single = bytes::equal(x, ' ') & ~(low >> 8) & ~(quint64(0x80) << 56);
                const quint64 stops = low & ~single;
                if (!stops) {
                    p += 8;
                    w += 8;
                    continue;
                }
                const int k = bytes::firstByte(stops); // at most `left`: the zeros stop
#endif
                p += k;
                w += k;
                if (p == end)
                    break;
                if (!isCollapsible(*p)) {
                    *w++ = *p++; // a control character: part of the word
                } else if (*p == ' ' && end - p > 1 && uchar(p[1]) > ' ') {
                    *w++ = ' ';
                    ++p;
                } else {
                    break;
                }
            }
        }
    }
    m_used += w - begin;
}

void TextLayout::elementEnded()
{
    if (m_frames.empty())
        return;
    const Frame frame = m_frames.back();
    m_frames.pop_back();
    if (frame.flags & Hides) {
        --m_hidden;
        return;
    }
    if (frame.flags & Pre)
        --m_pre;
    if (frame.flags & Block)
        endLine();
}

} // namespace html
