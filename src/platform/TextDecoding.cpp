#include "platform/TextDecoding.h"

#include "platform/Utf8Validation.h"

#include <QByteArrayView>
#include <QStringDecoder>

#include <algorithm>
#include <array>
#include <optional>
#include <utility>

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

// How a page's bytes become text.
struct Decoding
{
    enum Kind
    {
        Windows1252,
        Utf8,
        Utf16LE,
        Utf16BE,
        Named,
        Utf8OrWindows1252
    } kind;
    QByteArray label; // for Named
};

// The decoding label names, or nothing when neither we nor Qt know the label.
std::optional<Decoding> labelled(const QByteArray &label)
{
    if (label.isEmpty())
        return std::nullopt;
    if (listed(windows1252Labels, label))
        return Decoding{Decoding::Windows1252, {}};
    if (listed(utf8Labels, label))
        return Decoding{Decoding::Utf8, {}};
    if (listed(utf16LeLabels, label))
        return Decoding{Decoding::Utf16LE, {}};
    if (listed(utf16BeLabels, label))
        return Decoding{Decoding::Utf16BE, {}};
    if (!QStringDecoder(label.constData()).isValid())
        return std::nullopt;
    return Decoding{Decoding::Named, label};
}

std::optional<Decoding> byteOrderMark(QByteArrayView body)
{
    if (body.startsWith("\xEF\xBB\xBF"))
        return Decoding{Decoding::Utf8, {}};
    if (body.startsWith("\xFF\xFE"))
        return Decoding{Decoding::Utf16LE, {}};
    if (body.startsWith("\xFE\xFF"))
        return Decoding{Decoding::Utf16BE, {}};
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

Decoding chooseDecoding(QByteArrayView head, const QByteArray &contentType)
{
    if (auto decoding = labelled(charsetParameter(contentType)))
        return *decoding;
    if (auto decoding = byteOrderMark(head))
        return *decoding;
    if (auto decoding = labelled(metaLabel(head)))
        return *decoding;
    return {Decoding::Utf8OrWindows1252, {}};
}

// Where the bytes from at on may be the start of a UTF-8 sequence that the
// next piece completes: at most three bytes are held back.
qsizetype completeUpTo(QByteArrayView bytes)
{
    qsizetype cut = bytes.size();
    for (int back = 1; back <= 3 && back <= bytes.size(); ++back) {
        const auto byte = uchar(bytes[bytes.size() - back]);
        if ((byte & 0xC0) == 0x80)
            continue; // a continuation byte: look further back
        const int length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
        if (length > back)
            cut = bytes.size() - back;
        break;
    }
    return cut;
}

// Whether bytes that completeUpTo() held back start a well-formed sequence:
// one the page's end cut off is a single U+FFFD, where Qt gives one a byte.
bool startsSequence(QByteArrayView tail)
{
    const auto lead = uchar(tail.front());
    const qsizetype length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    // The smallest second bytes past E0 and F0 are A0 and 90, and the
    // largest past ED and F4 are 9F and 8F: one of these fillers fits.
    for (const char filler : {'\x80', '\x90', '\xA0'}) {
        QByteArray whole = tail.toByteArray();
        whole.resize(length, filler);
        if (isValidUtf8(whole))
            return true;
    }
    return false;
}

// Each valid UTF-8 sequence as it is, every other byte as windows-1252.
void appendMixed(QByteArray &out, QByteArrayView bytes)
{
    qsizetype pos = 0;
    while (pos < bytes.size()) {
        qsizetype end = pos;
        while (end < bytes.size() && uchar(bytes[end]) < 0x80)
            ++end;
        out.append(bytes.sliced(pos, end - pos));
        pos = end;
        if (pos >= bytes.size())
            break;
        const auto lead = uchar(bytes[pos]);
        const int length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
        if (length > 0 && pos + length <= bytes.size() && bytes.sliced(pos, length).isValidUtf8()) {
            out.append(bytes.sliced(pos, length));
            pos += length;
            continue;
        }
        out.append(decodeWindows1252(bytes.sliced(pos, 1)).toUtf8());
        ++pos;
    }
}

// A charset Qt (or ICU behind it) decodes, which also tells at the page's end
// whether a sequence was left cut: Qt only reports that of a decoder made
// stateless, so the last call makes it one.
class NamedDecoder : public QStringDecoder
{
public:
    explicit NamedDecoder(const char *label) : QStringDecoder(label) {}

    QString finish()
    {
        const qsizetype invalidBefore = state.invalidChars;
        const bool pending = state.remainingChars > 0; // Qt's own codecs
        state.flags |= Flag::Stateless;                // ICU's count what they held
        QString tail = decode(QByteArrayView());
        if (tail.isEmpty() && (pending || state.invalidChars > invalidBefore))
            tail = QChar(QChar::ReplacementCharacter);
        return tail;
    }
};

constexpr char16_t replacement = 0xFFFD;

} // namespace

struct PageTextDecoder::State
{
    Decoding decoding{Decoding::Utf8OrWindows1252, {}};
    std::optional<NamedDecoder> named;
    int oddByte = -1;        // UTF-16: the first byte of a unit cut between pieces
    char16_t high = 0;       // a high surrogate at a piece's end, waiting for its pair
    bool unitsBegun = false; // UTF-16: a leading byte-order mark is not text

    void appendUnits(QByteArray &out, QString units, bool last);
    void appendUtf16(QByteArray &out, QByteArrayView bytes, bool last);
};

// As UTF-8, every unpaired surrogate as U+FFFD, as browsers show them; a high
// surrogate that ends a piece waits for the next.
void PageTextDecoder::State::appendUnits(QByteArray &out, QString units, bool last)
{
    if (high)
        units.prepend(QChar(std::exchange(high, 0)));
    char16_t *unit = reinterpret_cast<char16_t *>(units.data());
    const qsizetype size = units.size();
    for (qsizetype at = 0; at < size; ++at) {
        if (!QChar::isSurrogate(unit[at]))
            continue;
        if (QChar::isHighSurrogate(unit[at]) && at + 1 < size &&
            QChar::isLowSurrogate(unit[at + 1]))
            ++at;
        else if (QChar::isHighSurrogate(unit[at]) && at + 1 == size && !last)
            high = unit[at];
        else
            unit[at] = replacement;
    }
    if (high)
        units.chop(1);
    out += units.toUtf8();
}

void PageTextDecoder::State::appendUtf16(QByteArray &out, QByteArrayView bytes, bool last)
{
    const bool bigEndian = decoding.kind == Decoding::Utf16BE;
    const auto unitOf = [bigEndian](uchar first, uchar second) {
        return QChar(bigEndian ? char16_t(first << 8 | second) : char16_t(second << 8 | first));
    };
    QString units;
    units.reserve(bytes.size() / 2 + 1);
    qsizetype at = 0;
    if (oddByte >= 0 && !bytes.isEmpty())
        units += unitOf(uchar(std::exchange(oddByte, -1)), uchar(bytes[at++]));
    for (; at + 1 < bytes.size(); at += 2)
        units += unitOf(uchar(bytes[at]), uchar(bytes[at + 1]));
    if (at < bytes.size())
        oddByte = uchar(bytes[at]);
    if (!unitsBegun && !units.isEmpty()) {
        unitsBegun = true;
        if (units.front() == QChar::ByteOrderMark)
            units.remove(0, 1);
    }
    const bool cutUnit = last && oddByte >= 0;
    appendUnits(out, std::move(units), last && !cutUnit);
    if (cutUnit) { // one U+FFFD for the byte, and for a surrogate before it
        high = 0;
        oddByte = -1;
        out += QString(QChar(replacement)).toUtf8();
    }
}

PageTextDecoder::PageTextDecoder() = default;
PageTextDecoder::~PageTextDecoder() = default;

QByteArray PageTextDecoder::decode(QByteArray bytes, bool last)
{
    if (!m_state) {
        m_held += bytes;
        // Three bytes tell any byte-order mark.
        const bool settled = m_settle && m_held.size() >= 3;
        if (m_held.size() < metaScanLimit && !last && !settled)
            return {};
        m_state = std::make_unique<State>();
        m_state->decoding = chooseDecoding(m_held, m_contentType);
        bytes = std::exchange(m_held, {});
        // A leading UTF-8 byte-order mark is not text.
        if ((m_state->decoding.kind == Decoding::Utf8 ||
             m_state->decoding.kind == Decoding::Utf8OrWindows1252) &&
            bytes.startsWith("\xEF\xBB\xBF"))
            bytes.remove(0, 3);
        if (m_state->decoding.kind == Decoding::Named)
            m_state->named.emplace(m_state->decoding.label.constData());
    } else if (!m_held.isEmpty()) {
        bytes.prepend(std::exchange(m_held, {}));
    }
    QByteArray out;
    switch (m_state->decoding.kind) {
    case Decoding::Windows1252:
        return decodeWindows1252(bytes).toUtf8();
    case Decoding::Utf16LE:
    case Decoding::Utf16BE:
        m_state->appendUtf16(out, bytes, last);
        return out;
    case Decoding::Named: {
        QString text = m_state->named->decode(bytes);
        if (last)
            text += m_state->named->finish();
        m_state->appendUnits(out, std::move(text), last);
        return out;
    }
    case Decoding::Utf8:
    case Decoding::Utf8OrWindows1252:
        break;
    }
    if (last && m_state->decoding.kind == Decoding::Utf8) {
        const qsizetype complete = completeUpTo(bytes);
        if (complete < bytes.size() && startsSequence(bytes.sliced(complete)))
            return QString::fromUtf8(bytes.first(complete)).append(QChar(replacement)).toUtf8();
    }
    const qsizetype complete = last ? bytes.size() : completeUpTo(bytes);
    if (complete < bytes.size()) {
        m_held = bytes.sliced(complete);
        bytes.truncate(complete);
    }
    // Most pieces are valid UTF-8 already and go out as they came.
    if (isValidUtf8(bytes))
        return bytes;
    if (m_state->decoding.kind == Decoding::Utf8)
        return QString::fromUtf8(bytes).toUtf8();
    out.reserve(bytes.size() + bytes.size() / 2);
    appendMixed(out, bytes);
    return out;
}
