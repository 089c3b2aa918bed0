#include "platform/TextDecoding.h"

#include <QByteArrayView>
#include <QStringDecoder>

#include <algorithm>
#include <array>
#include <optional>

namespace {

constexpr qsizetype metaScanLimit = 1024;

// Browsers read latin1 and ASCII labels as windows-1252; so do we.
constexpr std::array windows1252Labels{
    "ansi_x3.4-1968", "ascii",           "cp1252",     "cp819",     "csisolatin1",
    "ibm819",         "iso-8859-1",      "iso-ir-100", "iso8859-1", "iso88591",
    "iso_8859-1",     "iso_8859-1:1987", "l1",         "latin1",    "us-ascii",
    "windows-1252",   "x-cp1252"};
constexpr std::array utf8Labels{
    "unicode-1-1-utf-8", "unicode11utf8", "unicode20utf8", "utf-8", "utf8", "x-unicode20utf8"};
constexpr std::array utf16LeLabels{"csunicode",   "iso-10646-ucs-2", "ucs-2",   "unicode",
                                   "unicodefeff", "utf-16",          "utf-16le"};
constexpr std::array utf16BeLabels{"unicodefffe", "utf-16be"};

template <std::size_t N>
bool listed(const std::array<const char *, N> &labels, const QByteArray &label)
{
    return std::any_of(labels.begin(), labels.end(),
                       [&](const char *known) { return label == known; });
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

bool isQuote(char c)
{
    return c == '"' || c == '\'';
}

QByteArray normalizedLabel(QByteArrayView raw)
{
    QByteArrayView label = raw.trimmed();
    while (!label.isEmpty() && isQuote(label.front()))
        label = label.sliced(1);
    while (!label.isEmpty() && isQuote(label.back()))
        label.chop(1);
    return label.trimmed().toByteArray().toLower();
}

// Qt decodes windows-1252 only through ICU, which not every Qt build has.
QString decodeWindows1252(QByteArrayView bytes)
{
    static constexpr char16_t c1Range[32] = {
        0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
    QString text(bytes.size(), Qt::Uninitialized);
    auto *out = reinterpret_cast<char16_t *>(text.data());
    for (const char c : bytes) {
        const auto byte = static_cast<uchar>(c);
        *out++ = (byte >= 0x80 && byte < 0xA0) ? c1Range[byte - 0x80] : char16_t(byte);
    }
    return text;
}

QString decodeWith(QStringConverter::Encoding encoding, QByteArrayView bytes)
{
    // The default flags drop a leading byte-order mark.
    QStringDecoder decoder(encoding);
    return decoder(bytes);
}

// The body decoded as label says, or nothing when neither we nor Qt know the label.
std::optional<QString> decodeLabelled(QByteArrayView body, const QByteArray &label)
{
    if (label.isEmpty())
        return std::nullopt;
    if (listed(windows1252Labels, label))
        return decodeWindows1252(body);
    if (listed(utf8Labels, label))
        return decodeWith(QStringConverter::Utf8, body);
    if (listed(utf16LeLabels, label))
        return decodeWith(QStringConverter::Utf16LE, body);
    if (listed(utf16BeLabels, label))
        return decodeWith(QStringConverter::Utf16BE, body);
    QStringDecoder decoder(label.constData());
    if (!decoder.isValid())
        return std::nullopt;
    return QString(decoder(body));
}

std::optional<QString> decodeByteOrderMark(QByteArrayView body)
{
    if (body.startsWith("\xEF\xBB\xBF"))
        return decodeWith(QStringConverter::Utf8, body);
    if (body.startsWith("\xFF\xFE"))
        return decodeWith(QStringConverter::Utf16LE, body);
    if (body.startsWith("\xFE\xFF"))
        return decodeWith(QStringConverter::Utf16BE, body);
    return std::nullopt;
}

// The charset parameter of a "type/subtype; name=value; ..." value.
QByteArray charsetParameter(QByteArrayView value)
{
    qsizetype start = 0;
    while (start < value.size()) {
        qsizetype end = value.indexOf(';', start);
        if (end < 0)
            end = value.size();
        const QByteArrayView parameter = value.sliced(start, end - start);
        const qsizetype equals = parameter.indexOf('=');
        if (equals > 0 &&
            parameter.first(equals).trimmed().compare("charset", Qt::CaseInsensitive) == 0)
            return normalizedLabel(parameter.sliced(equals + 1));
        start = end + 1;
    }
    return {};
}

struct Attribute
{
    QByteArray name;
    QByteArrayView value;
};

// The next attribute of the tag being read at pos, or nothing at the tag's end.
std::optional<Attribute> nextAttribute(QByteArrayView tag, qsizetype &pos)
{
    const auto skipBlanks = [&] {
        while (pos < tag.size() && isBlank(tag[pos]))
            ++pos;
    };
    while (pos < tag.size() && (isBlank(tag[pos]) || tag[pos] == '/'))
        ++pos;
    if (pos >= tag.size() || tag[pos] == '>')
        return std::nullopt;
    const qsizetype nameStart = pos;
    while (pos < tag.size() && !isBlank(tag[pos]) && tag[pos] != '=' && tag[pos] != '>' &&
           tag[pos] != '/')
        ++pos;
    Attribute attribute{tag.sliced(nameStart, pos - nameStart).toByteArray().toLower(), {}};
    skipBlanks();
    if (pos >= tag.size() || tag[pos] != '=')
        return attribute;
    ++pos;
    skipBlanks();
    if (pos < tag.size() && isQuote(tag[pos])) {
        const char quote = tag[pos++];
        const qsizetype end = tag.indexOf(quote, pos);
        if (end < 0) { // cut off by the scan limit
            pos = tag.size();
            return std::nullopt;
        }
        attribute.value = tag.sliced(pos, end - pos);
        pos = end + 1;
        return attribute;
    }
    const qsizetype valueStart = pos;
    while (pos < tag.size() && !isBlank(tag[pos]) && tag[pos] != '>')
        ++pos;
    attribute.value = tag.sliced(valueStart, pos - valueStart);
    return attribute;
}

// The label declared by the <meta> tag whose attributes start at pos.
QByteArray metaTagLabel(QByteArrayView head, qsizetype &pos)
{
    QByteArray charset;
    QByteArrayView content;
    bool declaresContentType = false;
    while (const auto attribute = nextAttribute(head, pos)) {
        if (attribute->name == "charset" && charset.isEmpty())
            charset = normalizedLabel(attribute->value);
        else if (attribute->name == "http-equiv")
            declaresContentType =
                attribute->value.trimmed().compare("content-type", Qt::CaseInsensitive) == 0;
        else if (attribute->name == "content")
            content = attribute->value;
    }
    if (!charset.isEmpty() || !declaresContentType)
        return charset;
    return charsetParameter(content);
}

QByteArray metaLabel(QByteArrayView body)
{
    const QByteArrayView head = body.first(qMin(body.size(), metaScanLimit));
    qsizetype pos = 0;
    while ((pos = head.indexOf('<', pos)) >= 0) {
        const QByteArrayView rest = head.sliced(pos);
        if (rest.startsWith("<!--")) {
            const qsizetype end = head.indexOf("-->", pos + 4);
            if (end < 0)
                break;
            pos = end + 3;
            continue;
        }
        ++pos;
        if (rest.size() > 5 && rest.sliced(1, 4).compare("meta", Qt::CaseInsensitive) == 0 &&
            (isBlank(rest[5]) || rest[5] == '/')) {
            pos += 4;
            const QByteArray label = metaTagLabel(head, pos);
            // A document whose markup reads as ASCII cannot really be UTF-16.
            if (listed(utf16LeLabels, label) || listed(utf16BeLabels, label))
                return "utf-8";
            if (!label.isEmpty())
                return label;
        }
    }
    return {};
}

} // namespace

QString decodePageText(const QByteArray &body, const QByteArray &contentType)
{
    if (auto text = decodeLabelled(body, charsetParameter(contentType)))
        return *std::move(text);
    if (auto text = decodeByteOrderMark(body))
        return *std::move(text);
    if (auto text = decodeLabelled(body, metaLabel(body)))
        return *std::move(text);
    // One pass decodes and validates; only invalid UTF-8 costs a second one.
    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    QString text = utf8(body);
    return utf8.hasError() ? decodeWindows1252(body) : text;
}
