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
// The same for a name of 1 to 8 bytes given as one number, its first byte
// lowest and zeros after its last: the tokenizer makes it in a register.
TagId shortTagId(quint64 lowerKey, qsizetype size);

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
extern const std::array<const char *, size_t(TagId::Count)> tagNameTable;
extern const std::array<quint8, size_t(TagId::Count)> tagLengthTable;
} // namespace detail
// Inline, so that a name made for every tag is made in place.
inline QByteArrayView tagNameView(TagId tag)
{
    return QByteArrayView(detail::tagNameTable[size_t(tag)], detail::tagLengthTable[size_t(tag)]);
}
inline QByteArray tagName(TagId tag) // static data: no copy is made
{
    return QByteArray::fromRawData(detail::tagNameTable[size_t(tag)],
                                   detail::tagLengthTable[size_t(tag)]);
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
