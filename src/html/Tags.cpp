#include "html/Tags.h"

#include <QHash>

namespace html {

TagId tagId(QByteArrayView name)
{
    static const QHash<QByteArray, TagId> table = [] {
        static const char *const names[] = {
            "", "a", "address", "annotation-xml", "applet", "area", "article", "aside", "audio",
            "b", "base", "basefont", "bgsound", "big", "blockquote", "body", "br", "button",
            "caption", "center", "code", "col", "colgroup", "datalist", "dd", "desc", "details",
            "dialog", "dir", "div", "dl", "dt", "em", "embed", "fieldset", "figcaption", "figure",
            "font", "footer", "foreignobject", "form", "frame", "frameset", "h1", "h2", "h3", "h4",
            "h5", "h6", "head", "header", "hgroup", "hr", "html", "i", "iframe", "image", "img",
            "input", "keygen", "legend", "li", "link", "listing", "main", "malignmark", "marquee",
            "math", "menu", "meta", "mglyph", "mi", "mn", "mo", "ms", "mtext", "nav", "nobr",
            "noembed", "noframes", "noscript", "object", "ol", "optgroup", "option", "p", "param",
            "plaintext", "pre", "rb", "rp", "rt", "rtc", "ruby", "s", "script", "search",
            "section", "select", "small", "source", "span", "strike", "strong", "style", "sub",
            "summary", "sup", "svg", "table", "tbody", "td", "template", "textarea", "tfoot", "th",
            "thead", "title", "tr", "track", "tt", "u", "ul", "var", "wbr", "xmp"};
        static_assert(std::size(names) == size_t(TagId::Count));
        QHash<QByteArray, TagId> out;
        for (size_t i = 1; i < std::size(names); ++i)
            out.insert(QByteArray(names[i]), TagId(i));
        out.insert("foreignObject", TagId::ForeignObject);
        return out;
    }();
    return table.value(QByteArray::fromRawData(name.data(), name.size()), TagId::Unknown);
}

bool isVoidElement(TagId tag)
{
    switch (tag) {
    case TagId::Area:
    case TagId::Base:
    case TagId::Basefont:
    case TagId::Bgsound:
    case TagId::Br:
    case TagId::Col:
    case TagId::Embed:
    case TagId::Frame:
    case TagId::Hr:
    case TagId::Img:
    case TagId::Input:
    case TagId::Keygen:
    case TagId::Link:
    case TagId::Meta:
    case TagId::Param:
    case TagId::Source:
    case TagId::Track:
    case TagId::Wbr:
        return true;
    default:
        return false;
    }
}

} // namespace html
