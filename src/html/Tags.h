#pragma once

#include <QByteArray>

#include <array>

namespace html {

// The elements tree building and layout treat apart from others.
enum class TagId : quint8
{
    Unknown,
    A,
    Address,
    AnnotationXml,
    Applet,
    Area,
    Article,
    Aside,
    Audio,
    B,
    Base,
    Basefont,
    Bgsound,
    Big,
    Blockquote,
    Body,
    Br,
    Button,
    Caption,
    Center,
    Code,
    Col,
    Colgroup,
    Datalist,
    Dd,
    Desc,
    Details,
    Dialog,
    Dir,
    Div,
    Dl,
    Dt,
    Em,
    Embed,
    Fieldset,
    Figcaption,
    Figure,
    Font,
    Footer,
    ForeignObject,
    Form,
    Frame,
    Frameset,
    H1,
    H2,
    H3,
    H4,
    H5,
    H6,
    Head,
    Header,
    Hgroup,
    Hr,
    Html,
    I,
    Iframe,
    Image,
    Img,
    Input,
    Keygen,
    Legend,
    Li,
    Link,
    Listing,
    Main,
    Malignmark,
    Marquee,
    Math,
    Menu,
    Meta,
    Mglyph,
    Mi,
    Mn,
    Mo,
    Ms,
    Mtext,
    Nav,
    Nobr,
    Noembed,
    Noframes,
    Noscript,
    Object,
    Ol,
    Optgroup,
    Option,
    P,
    Param,
    Plaintext,
    Pre,
    Rb,
    Rp,
    Rt,
    Rtc,
    Ruby,
    S,
    Script,
    Search,
    Section,
    Select,
    Small,
    Source,
    Span,
    Strike,
    Strong,
    Style,
    Sub,
    Summary,
    Sup,
    Svg,
    Table,
    Tbody,
    Td,
    Template,
    Textarea,
    Tfoot,
    Th,
    Thead,
    Title,
    Tr,
    Track,
    Tt,
    U,
    Ul,
    Var,
    Wbr,
    Xmp,
    Count
};

TagId tagId(QByteArrayView lowerName);
// The name of a known tag, without allocating: raw data of a static string.
QByteArray tagName(TagId tag);
QByteArrayView tagNameView(TagId tag);

// What the standard's tree building and the default style sheet say of an
// HTML element, as bits.
enum TagFlag : quint16
{
    Special = 1,
    Formatting = 2,
    ClosesParagraph = 4,
    ClosedByBlockEnd = 8,
    ImpliedEnd = 16,
    BreaksOutOfForeign = 32,
    Void = 64,
    BlockLayout = 128,
    NotRendered = 256,
    RawTextParent = 512,
    Preformatted = 1024
};
namespace detail {
extern const std::array<quint16, size_t(TagId::Count)> tagFlagTable;
}
inline quint16 tagFlags(TagId tag)
{
    return detail::tagFlagTable[size_t(tag)];
}
inline bool hasFlag(TagId tag, TagFlag flag)
{
    return tagFlags(tag) & flag;
}
inline bool isVoidElement(TagId tag)
{
    return hasFlag(tag, Void);
}

} // namespace html
