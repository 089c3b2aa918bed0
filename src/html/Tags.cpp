#include "html/Tags.h"

#include <string>

namespace html {

namespace {

constexpr const char *kNames[] = {"",         "a",          "address",    "annotation-xml",
                                  "applet",   "area",       "article",    "aside",
                                  "audio",    "b",          "base",       "basefont",
                                  "bgsound",  "big",        "blockquote", "body",
                                  "br",       "button",     "caption",    "center",
                                  "code",     "col",        "colgroup",   "datalist",
                                  "dd",       "desc",       "details",    "dialog",
                                  "dir",      "div",        "dl",         "dt",
                                  "em",       "embed",      "fieldset",   "figcaption",
                                  "figure",   "font",       "footer",     "foreignobject",
                                  "form",     "frame",      "frameset",   "h1",
                                  "h2",       "h3",         "h4",         "h5",
                                  "h6",       "head",       "header",     "hgroup",
                                  "hr",       "html",       "i",          "iframe",
                                  "image",    "img",        "input",      "keygen",
                                  "legend",   "li",         "link",       "listing",
                                  "main",     "malignmark", "marquee",    "math",
                                  "menu",     "meta",       "mglyph",     "mi",
                                  "mn",       "mo",         "ms",         "mtext",
                                  "nav",      "nobr",       "noembed",    "noframes",
                                  "noscript", "object",     "ol",         "optgroup",
                                  "option",   "p",          "param",      "plaintext",
                                  "pre",      "rb",         "rp",         "rt",
                                  "rtc",      "ruby",       "s",          "script",
                                  "search",   "section",    "select",     "small",
                                  "source",   "span",       "strike",     "strong",
                                  "style",    "sub",        "summary",    "sup",
                                  "svg",      "table",      "tbody",      "td",
                                  "template", "textarea",   "tfoot",      "th",
                                  "thead",    "title",      "tr",         "track",
                                  "tt",       "u",          "ul",         "var",
                                  "wbr",      "xmp"};
static_assert(std::size(kNames) == size_t(TagId::Count));

// Open addressing over a hash of the name's length and a few letters: tag
// names are looked up for every tag of a page.
constexpr int kSlots = 1024;

constexpr uint slotOf(const char *name, qsizetype size)
{
    uint h = uint(size) * 0x9E3779B1u;
    for (qsizetype i = 0; i < size && i < 6; ++i)
        h = (h ^ uchar(name[i])) * 0x01000193u;
    return (h ^ (h >> 15)) & (kSlots - 1);
}

// Names of at most eight bytes, the most of them, as one number each: a
// multiply and a compare find them.
constexpr int kShortSlots = 512;

constexpr quint64 shortKey(const char *name, qsizetype size)
{
    quint64 key = 0;
    for (qsizetype i = 0; i < size; ++i)
        key |= quint64(uchar(name[i])) << (8 * i);
    return key;
}

constexpr uint shortSlotOf(quint64 key)
{
    return uint((key * 0x9E3779B97F4A7C15ull) >> 55) & (kShortSlots - 1);
}

struct Table
{
    quint8 ids[kSlots] = {};
    quint64 shortKeys[kShortSlots] = {};
    quint8 shortIds[kShortSlots] = {};
    quint8 shortLengths[kShortSlots] = {}; // by slot: read beside the id, not after it
    quint16 flags[size_t(TagId::Count)] = {};
    quint8 lengths[size_t(TagId::Count)] = {};

    constexpr Table()
    {
        for (size_t i = 0; i < std::size(kNames); ++i)
            lengths[i] = quint8(std::char_traits<char>::length(kNames[i]));
        for (size_t i = 1; i < std::size(kNames); ++i) {
            if (lengths[i] <= 8) {
                const quint64 key = shortKey(kNames[i], lengths[i]);
                uint s = shortSlotOf(key);
                while (shortIds[s])
                    s = (s + 1) & (kShortSlots - 1);
                shortKeys[s] = key;
                shortIds[s] = quint8(i);
                shortLengths[s] = lengths[i];
                continue;
            }
            uint s = slotOf(kNames[i], lengths[i]);
            while (ids[s])
                s = (s + 1) & (kSlots - 1);
            ids[s] = quint8(i);
        }
        using T = TagId;
        auto mark = [this](quint16 flag, std::initializer_list<T> tags) {
            for (T t : tags)
                flags[size_t(t)] |= flag;
        };
        mark(Special,
             {T::Address,    T::Applet,   T::Area,       T::Article,  T::Aside,   T::Base,
              T::Basefont,   T::Bgsound,  T::Blockquote, T::Body,     T::Br,      T::Button,
              T::Caption,    T::Center,   T::Col,        T::Colgroup, T::Dd,      T::Details,
              T::Dir,        T::Div,      T::Dl,         T::Dt,       T::Embed,   T::Fieldset,
              T::Figcaption, T::Figure,   T::Footer,     T::Form,     T::Frame,   T::Frameset,
              T::H1,         T::H2,       T::H3,         T::H4,       T::H5,      T::H6,
              T::Head,       T::Header,   T::Hgroup,     T::Hr,       T::Html,    T::Iframe,
              T::Img,        T::Input,    T::Keygen,     T::Li,       T::Link,    T::Listing,
              T::Main,       T::Marquee,  T::Menu,       T::Meta,     T::Nav,     T::Noembed,
              T::Noframes,   T::Noscript, T::Object,     T::Ol,       T::P,       T::Param,
              T::Plaintext,  T::Pre,      T::Script,     T::Search,   T::Section, T::Select,
              T::Source,     T::Style,    T::Summary,    T::Table,    T::Tbody,   T::Td,
              T::Template,   T::Textarea, T::Tfoot,      T::Th,       T::Thead,   T::Title,
              T::Tr,         T::Track,    T::Ul,         T::Wbr,      T::Xmp});
        mark(Formatting, {T::A, T::B, T::Big, T::Code, T::Em, T::Font, T::I, T::Nobr, T::S,
                          T::Small, T::Strike, T::Strong, T::Tt, T::U});
        mark(ClosesParagraph, {T::Address,  T::Article,    T::Aside,   T::Blockquote, T::Center,
                               T::Details,  T::Dialog,     T::Dir,     T::Div,        T::Dl,
                               T::Fieldset, T::Figcaption, T::Figure,  T::Footer,     T::Header,
                               T::Hgroup,   T::Main,       T::Menu,    T::Nav,        T::Ol,
                               T::P,        T::Search,     T::Section, T::Summary,    T::Ul});
        mark(ClosedByBlockEnd,
             {T::Address,    T::Article, T::Aside,  T::Blockquote, T::Button, T::Center,
              T::Details,    T::Dialog,  T::Dir,    T::Div,        T::Dl,     T::Fieldset,
              T::Figcaption, T::Figure,  T::Footer, T::Header,     T::Hgroup, T::Listing,
              T::Main,       T::Menu,    T::Nav,    T::Ol,         T::Pre,    T::Search,
              T::Section,    T::Summary, T::Ul});
        mark(ImpliedEnd,
             {T::Dd, T::Dt, T::Li, T::Optgroup, T::Option, T::P, T::Rb, T::Rp, T::Rt, T::Rtc});
        mark(BreaksOutOfForeign,
             {T::B,      T::Big,    T::Blockquote, T::Body,    T::Br,    T::Center, T::Code,
              T::Dd,     T::Div,    T::Dl,         T::Dt,      T::Em,    T::Embed,  T::H1,
              T::H2,     T::H3,     T::H4,         T::H5,      T::H6,    T::Head,   T::Hr,
              T::I,      T::Img,    T::Li,         T::Listing, T::Menu,  T::Meta,   T::Nobr,
              T::Ol,     T::P,      T::Pre,        T::Ruby,    T::S,     T::Small,  T::Span,
              T::Strong, T::Strike, T::Sub,        T::Sup,     T::Table, T::Tt,     T::U,
              T::Ul,     T::Var});
        mark(Void, {T::Area, T::Base, T::Basefont, T::Bgsound, T::Br, T::Col, T::Embed, T::Frame,
                    T::Hr, T::Img, T::Input, T::Keygen, T::Link, T::Meta, T::Param, T::Source,
                    T::Track, T::Wbr});
        mark(BlockLayout,
             {T::Address,  T::Article, T::Aside,    T::Blockquote, T::Body,     T::Caption,
              T::Center,   T::Dd,      T::Details,  T::Dialog,     T::Dir,      T::Div,
              T::Dl,       T::Dt,      T::Fieldset, T::Figcaption, T::Figure,   T::Footer,
              T::Form,     T::H1,      T::H2,       T::H3,         T::H4,       T::H5,
              T::H6,       T::Header,  T::Hgroup,   T::Hr,         T::Html,     T::Legend,
              T::Li,       T::Listing, T::Main,     T::Menu,       T::Nav,      T::Ol,
              T::Optgroup, T::Option,  T::P,        T::Plaintext,  T::Pre,      T::Search,
              T::Section,  T::Summary, T::Table,    T::Tbody,      T::Textarea, T::Tfoot,
              T::Thead,    T::Tr,      T::Ul,       T::Xmp});
        mark(NotRendered,
             {T::Head,   T::Title,    T::Script, T::Style, T::Template, T::Noembed, T::Noframes,
              T::Iframe, T::Datalist, T::Area,   T::Base,  T::Basefont, T::Link,    T::Meta,
              T::Param,  T::Rp,       T::Source, T::Track, T::Embed,    T::Frameset});
        mark(RawTextParent,
             {T::Style, T::Script, T::Xmp, T::Iframe, T::Noembed, T::Noframes, T::Plaintext});
        mark(Preformatted, {T::Pre, T::Listing, T::Xmp, T::Textarea, T::Plaintext});
    }
};

// Built by the compiler: no guard to test on every lookup.
constexpr Table kTable;

} // namespace

namespace detail {
constinit const std::array<quint16, size_t(TagId::Count)> tagFlagTable = [] {
    std::array<quint16, size_t(TagId::Count)> flags{};
    for (size_t i = 0; i < flags.size(); ++i)
        flags[i] = kTable.flags[i];
    return flags;
}();
constinit const std::array<const char *, size_t(TagId::Count)> tagNameTable = [] {
    std::array<const char *, size_t(TagId::Count)> names{};
    for (size_t i = 0; i < names.size(); ++i)
        names[i] = kNames[i];
    return names;
}();
constinit const std::array<quint8, size_t(TagId::Count)> tagLengthTable = [] {
    std::array<quint8, size_t(TagId::Count)> lengths{};
    for (size_t i = 0; i < lengths.size(); ++i)
        lengths[i] = kTable.lengths[i];
    return lengths;
}();
} // namespace detail

TagId shortTagId(quint64 key, qsizetype size)
{
    const Table &t = kTable;
    for (uint s = shortSlotOf(key); t.shortIds[s]; s = (s + 1) & (kShortSlots - 1)) {
        if (t.shortKeys[s] == key && t.shortLengths[s] == size)
            return TagId(t.shortIds[s]);
    }
    return TagId::Unknown;
}

TagId tagId(QByteArrayView name)
{
    const Table &t = kTable;
    if (name.size() <= 8)
        return shortTagId(shortKey(name.data(), name.size()), name.size());
    for (uint s = slotOf(name.data(), name.size());; s = (s + 1) & (kSlots - 1)) {
        const quint8 id = t.ids[s];
        if (!id)
            break;
        if (t.lengths[id] != name.size())
            continue;
        const char *known = kNames[id];
        qsizetype i = 0;
        while (i < name.size() && known[i] == name.data()[i])
            ++i;
        if (i == name.size())
            return TagId(id);
    }
    // SVG's adjusted spelling of the one name that matters here.
    return name == "foreignObject" ? TagId::ForeignObject : TagId::Unknown;
}

} // namespace html
