#include "sitelist/HtmlLinks.h"

namespace {

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
}

// Whether the space-separated list holds token, ASCII case ignored.
bool hasToken(const html::Attribute *list, QByteArrayView token)
{
    if (!list)
        return false;
    const QByteArrayView value = list->value;
    for (qsizetype i = 0; i < value.size();) {
        while (i < value.size() && isSpace(value[i]))
            ++i;
        qsizetype end = i;
        while (end < value.size() && !isSpace(value[end]))
            ++end;
        if (end > i && value.sliced(i, end - i).compare(token, Qt::CaseInsensitive) == 0)
            return true;
        i = end;
    }
    return false;
}

// The elements whose text the tokenizer must read as a browser's parser has
// it do, so that what their text holds is not taken for tags.
html::Tokenizer::State textState(QByteArrayView name)
{
    using State = html::Tokenizer::State;
    if (name == "script")
        return State::ScriptData;
    if (name == "style" || name == "xmp" || name == "iframe" || name == "noembed" ||
        name == "noframes")
        return State::RawText;
    if (name == "title" || name == "textarea")
        return State::RcData;
    if (name == "plaintext")
        return State::PlainText;
    return State::Data;
}

} // namespace

HtmlLinks::HtmlLinks(const WebAddress &page, bool skipNofollow, Found found)
    : m_base(page), m_skipNofollow(skipNofollow), m_found(std::move(found))
{
}

HtmlLinks::~HtmlLinks() = default;

void HtmlLinks::finish()
{
    m_tokenizer.finish();
    settleBase({});
}

void HtmlLinks::startTag(html::Tag &tag)
{
    const QByteArrayView name = tag.name;
    if (name == "svg" || name == "math") {
        if (!tag.selfClosing)
            m_tokenizer.setForeignContent(++m_foreign > 0);
    } else if (m_foreign == 0) {
        // In SVG and MathML a <script> or <style> holds markup like any element.
        if (const auto state = textState(name); state != html::Tokenizer::State::Data) {
            m_tokenizer.setState(state);
            m_tokenizer.setLastStartTag(tag.name);
        }
    }
    if (name == "a" || name == "area" || (name == "link" && hasToken(tag.attribute("rel"), "next")))
        link(tag);
    else if (name == "base" && !m_baseKnown && tag.attribute("href"))
        settleBase(tag.attribute("href")->value);
    else if (name == "body")
        settleBase({});
}

void HtmlLinks::endTag(html::Tag &tag)
{
    if ((tag.name == "svg" || tag.name == "math") && m_foreign > 0)
        m_tokenizer.setForeignContent(--m_foreign > 0);
}

void HtmlLinks::link(const html::Tag &tag)
{
    const html::Attribute *href = tag.attribute("href");
    if (!href || (m_skipNofollow && hasToken(tag.attribute("rel"), "nofollow")))
        return;
    if (m_baseKnown) {
        if (const WebAddress link = m_base.resolved(QByteArrayView(href->value)); link.isValid())
            m_found(link);
        return;
    }
    m_heldBytes += href->value.size();
    m_held.push_back(href->value);
    if (m_heldBytes > heldLimit)
        settleBase({});
}

// From now on links are resolved against the base, the page's address unless
// href names another; those that waited go first.
void HtmlLinks::settleBase(QByteArrayView href)
{
    if (m_baseKnown)
        return;
    m_baseKnown = true;
    if (!href.isNull()) {
        // A base that is no web address leaves the page's own.
        if (WebAddress base = m_base.resolved(href); base.isValid())
            m_base = std::move(base);
    }
    for (const QByteArray &held : std::exchange(m_held, {})) {
        if (const WebAddress link = m_base.resolved(QByteArrayView(held)); link.isValid())
            m_found(link);
    }
    m_heldBytes = 0;
}
