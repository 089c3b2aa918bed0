#include "html/TextLayout.h"

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
    for (const Attribute &a : e.attributes) {
        if (a.name == QByteArrayView("hidden", 6) ||
            (a.name == QByteArrayView("style", 5) && displayNone(a.value)))
            return false;
    }
    return true;
}

void TextLayout::endLine()
{
    if (m_lineHasText)
        m_out.append('\n');
    m_lineHasText = false;
    m_space = false;
    m_tabs = 0;
}

void TextLayout::content()
{
    if (m_tabs) {
        m_out.append(QByteArray(m_tabs, '\t'));
        m_tabs = 0;
        m_space = false;
    } else if (m_space) {
        m_out.append(' ');
        m_space = false;
    }
    m_lineHasText = true;
}

void TextLayout::elementStarted(const ElementStart &e)
{
    Frame frame;
    if (m_hidden || !isShown(e)) {
        frame.flags = Hides;
        ++m_hidden;
        m_frames.push_back(frame);
        return;
    }
    if (e.ns == Namespace::Html) {
        const TagId t = e.tag;
        if (t == TagId::Br) {
            if (m_pre) {
                m_out.append('\n');
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
    // Written in place: at most the text, a separator before each word and
    // the tabs pending.
    const qsizetype old = m_out.size();
    const qsizetype most = old + 2 * text.size() + m_tabs + 1;
    if (m_out.capacity() < most)
        m_out.reserve(std::max(most, 2 * m_out.capacity()));
    m_out.resize(most);
    char *w = m_out.data() + old;
    const char *p = text.data(), *end = p + text.size();
    auto content = [&] {
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
            const char *q = p;
            while (q < end && !isCollapsible(*q))
                ++q;
            content();
            std::memcpy(w, p, size_t(q - p));
            w += q - p;
            p = q;
        }
    }
    m_out.truncate(w - m_out.constData());
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
