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
    switch (t) {
    case TagId::Address:
    case TagId::Article:
    case TagId::Aside:
    case TagId::Blockquote:
    case TagId::Body:
    case TagId::Caption:
    case TagId::Center:
    case TagId::Dd:
    case TagId::Details:
    case TagId::Dialog:
    case TagId::Dir:
    case TagId::Div:
    case TagId::Dl:
    case TagId::Dt:
    case TagId::Fieldset:
    case TagId::Figcaption:
    case TagId::Figure:
    case TagId::Footer:
    case TagId::Form:
    case TagId::H1:
    case TagId::H2:
    case TagId::H3:
    case TagId::H4:
    case TagId::H5:
    case TagId::H6:
    case TagId::Header:
    case TagId::Hgroup:
    case TagId::Hr:
    case TagId::Html:
    case TagId::Legend:
    case TagId::Li:
    case TagId::Listing:
    case TagId::Main:
    case TagId::Menu:
    case TagId::Nav:
    case TagId::Ol:
    case TagId::Optgroup:
    case TagId::Option:
    case TagId::P:
    case TagId::Plaintext:
    case TagId::Pre:
    case TagId::Search:
    case TagId::Section:
    case TagId::Summary:
    case TagId::Table:
    case TagId::Tbody:
    case TagId::Textarea:
    case TagId::Tfoot:
    case TagId::Thead:
    case TagId::Tr:
    case TagId::Ul:
    case TagId::Xmp:
        return true;
    default:
        return false;
    }
}

} // namespace

bool TextLayout::isShown(const ElementStart &e)
{
    const TagId t = tagId(e.name);
    if (e.ns != Namespace::Html) {
        if (e.ns == Namespace::Svg &&
            (t == TagId::Title || t == TagId::Desc || t == TagId::Script || t == TagId::Style))
            return false;
    } else {
        switch (t) {
        case TagId::Head:
        case TagId::Title:
        case TagId::Script:
        case TagId::Style:
        case TagId::Template:
        case TagId::Noembed:
        case TagId::Noframes:
        case TagId::Iframe:
        case TagId::Datalist:
        case TagId::Area:
        case TagId::Base:
        case TagId::Basefont:
        case TagId::Link:
        case TagId::Meta:
        case TagId::Param:
        case TagId::Rp:
        case TagId::Source:
        case TagId::Track:
        case TagId::Embed:
        case TagId::Frameset:
            return false;
        default:
            break;
        }
    }
    if (e.attribute("hidden"))
        return false;
    const Attribute *style = e.attribute("style");
    return !(style && displayNone(style->value));
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
        const TagId t = tagId(e.name);
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
            if (t == TagId::Pre || t == TagId::Listing || t == TagId::Xmp ||
                t == TagId::Textarea || t == TagId::Plaintext) {
                frame.flags |= Pre;
                ++m_pre;
            }
        }
    }
    m_frames.push_back(frame);
}

void TextLayout::text(QByteArrayView text)
{
    if (m_hidden)
        return;
    const char *p = text.data(), *end = p + text.size();
    if (m_pre) {
        while (p < end) {
            const char *nl = static_cast<const char *>(std::memchr(p, '\n', size_t(end - p)));
            const char *stop = nl ? nl : end;
            if (stop > p) {
                content();
                m_out.append(p, stop - p);
            }
            if (!nl)
                break;
            m_out.append('\n');
            m_lineHasText = false;
            m_tabs = 0;
            p = nl + 1;
        }
        return;
    }
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
        m_out.append(p, q - p);
        p = q;
    }
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
