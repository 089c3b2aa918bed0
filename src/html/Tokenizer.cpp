#include "html/Tokenizer.h"

#include "html/Bytes.h"
#include "html/Entities.h"

#include <cstring>

namespace html {

namespace {

using S = Tokenizer::State;

constexpr char kReplacement[] = "\xEF\xBF\xBD";

bool isAlpha(char c)
{
    return (c | 0x20) >= 'a' && (c | 0x20) <= 'z';
}
bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}
bool isAlnum(int c)
{
    return c >= 0 && (isAlpha(char(c)) || isDigit(char(c)));
}
bool isHex(char c)
{
    return isDigit(c) || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f');
}
bool isSpace(char c)
{
    return c == ' ' || c == '\n' || c == '\t' || c == '\f';
}
char lower(char c)
{
    return c >= 'A' && c <= 'Z' ? char(c | 0x20) : c;
}

// Bytes that end a run of plain text in each of the text-like states.
struct StopTable
{
    bool stop[256] = {};
    constexpr StopTable(const char *chars, int n)
    {
        for (int i = 0; i < n; ++i)
            stop[uchar(chars[i])] = true;
    }
};
constexpr StopTable kUnquotedStops("\t\n\f &>\0", 7), kNameStops("\t\n\f />\0", 7);

const char *scan(const char *p, const char *end, const StopTable &table)
{
    while (p < end && !table.stop[uchar(*p)])
        ++p;
    return p;
}

bool isEndOfName(char c)
{
    return isSpace(c) || c == '/' || c == '>';
}

// Whether `text` so far could still be `word` (ASCII, case folded if asked).
bool prefixOf(const QByteArray &text, const char *word, bool foldCase)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (!word[i] || (foldCase ? lower(text[i]) : text[i]) != word[i])
            return false;
    }
    return true;
}

constexpr qsizetype kCommentPiece = 1 << 16;
constexpr qsizetype kDoctypeLimit = 1 << 12;

void appendCapped(QByteArray &to, const char *p, qsizetype n)
{
    to.append(p, std::min(n, std::max<qsizetype>(0, kDoctypeLimit - to.size())));
}

} // namespace

const Attribute *Tag::attribute(QByteArrayView wanted) const
{
    for (const Attribute &a : attributes) {
        if (a.name == wanted)
            return &a;
    }
    return nullptr;
}

Tokenizer::Tokenizer(TokenSink &sink, Notes &notes) : m_sink(sink), m_notes(notes) {}

qint64 Tokenizer::heldBytes() const
{
    // The tag's bytes count its attribute being read.
    return m_tagBytes + m_temp.size() + m_comment.size() + m_doctype.name.size() +
           m_doctype.publicId.size() + m_doctype.systemId.size() + m_normalized.capacity();
}

void Tokenizer::feed(QByteArrayView in)
{
    // An empty piece changes nothing, not even a CR waiting for its LF.
    if (in.isEmpty())
        return;
    const char *p = in.data(), *end = p + in.size();
    if (m_afterCr && p < end && *p == '\n')
        ++p;
    m_afterCr = false;
    if (const void *cr = std::memchr(p, '\r', size_t(end - p)); !cr) {
        run(p, end);
    } else {
        // Pages that use CR LF hold one in every line: normalise the piece once.
        m_normalized.resize(end - p);
        char *out = m_normalized.data();
        for (const char *q = p; q < end; ++q) {
            if (*q != '\r') {
                *out++ = *q;
                continue;
            }
            *out++ = '\n';
            if (q + 1 < end && q[1] == '\n')
                ++q;
            else if (q + 1 == end)
                m_afterCr = true;
        }
        run(m_normalized.constData(), out);
        if (m_normalized.capacity() > kCommentPiece * 4)
            m_normalized = QByteArray();
    }
    if (m_inComment && !m_comment.isEmpty()) {
        m_sink.commentText(m_comment);
        m_comment.clear();
    }
}

void Tokenizer::finish()
{
    endOfFile();
    m_sink.endOfFile();
}

void Tokenizer::emitText(const char *p, qsizetype n)
{
    m_sink.characters(QByteArrayView(p, n));
}

void Tokenizer::startTag(bool end, bool clearName)
{
    m_endTag = end;
    if (clearName && !m_tag.name.isEmpty())
        m_tag.name.truncate(0);
    m_tag.attributes = {};
    m_attributes = 0;
    m_attribute = nullptr;
    m_tag.selfClosing = false;
    m_tagBytes = 0;
    m_tagCut = m_valueCut = false;
    m_tagIdKnown = false;
    m_hasAttribute = false;
    if (!m_attributeNames.isEmpty())
        m_attributeNames.clear();
}

void Tokenizer::appendName(QByteArray &to, char c)
{
    if (m_tagBytes >= kTagLimit) {
        m_tagCut = true;
        return;
    }
    ++m_tagBytes;
    if (c)
        to.append(lower(c));
    else
        to.append(kReplacement, 3), m_tagBytes += 2;
}

void Tokenizer::appendNames(QByteArray &to, const char *p, qsizetype n)
{
    const qsizetype taken = std::min<qint64>(n, std::max<qint64>(0, kTagLimit - m_tagBytes));
    if (taken < n)
        m_tagCut = true;
    const qsizetype from = to.size();
    to.resize(from + taken);
    m_tagBytes += taken;
    char *out = to.data() + from;
    for (qsizetype i = 0; i < taken; ++i)
        out[i] = lower(p[i]);
}

void Tokenizer::startAttribute()
{
    commitAttribute();
    if (size_t(m_attributes) == m_pool.size())
        m_pool.emplace_back();
    m_attribute = &m_pool[size_t(m_attributes)];
    if (!m_attribute->name.isEmpty())
        m_attribute->name.truncate(0);
    if (!m_attribute->value.isEmpty())
        m_attribute->value.truncate(0);
    m_hasAttribute = true;
}

bool Tokenizer::readQuotedAttribute(const char *&p, const char *end)
{
    // name="value" or name='value' whole in this piece, without references
    // or NULs: each part set in one resize. Anything else goes state by state.
    const char *q = p;
    while (q < end && (isAlpha(*q) || isDigit(*q) || *q == '-' || *q == '_' || *q == ':'))
        ++q;
    if (end - q < 2 || *q != '=' || (q[1] != '"' && q[1] != '\''))
        return false;
    const char *value = q + 2;
    const char *close = q[1] == '"' ? bytes::findAny(value, end, '"', '&', '\0')
                                    : bytes::findAny(value, end, '\'', '&', '\0');
    if (close == end || *close != q[1])
        return false;
    startAttribute();
    appendNames(m_attribute->name, p, q - p);
    appendAttributeValue(value, close - value);
    p = close + 1;
    return true;
}

void Tokenizer::commitAttribute()
{
    if (!std::exchange(m_hasAttribute, false) || m_attribute->name.isEmpty())
        return;
    // The first of equal names wins; a set keeps long lists linear.
    const QByteArray &name = m_attribute->name;
    if (m_attributes < 16) {
        for (int i = 0; i < m_attributes; ++i) {
            if (m_pool[size_t(i)].name == name)
                return;
        }
    } else {
        if (m_attributeNames.isEmpty()) {
            for (int i = 0; i < m_attributes; ++i)
                m_attributeNames.insert(m_pool[size_t(i)].name);
        }
        if (m_attributeNames.contains(name))
            return;
        m_attributeNames.insert(name);
    }
    ++m_attributes;
}

void Tokenizer::appendAttributeValue(const char *p, qsizetype n)
{
    // A value past its own limit says so, though the tag's may bind first.
    QByteArray &value = m_attribute->value;
    if (value.size() + n > kAttributeValueLimit)
        m_valueCut = true;
    const qsizetype room =
        std::min<qint64>(kTagLimit - m_tagBytes, kAttributeValueLimit - value.size());
    const qsizetype taken = std::max<qsizetype>(0, std::min(n, room));
    if (taken < n && !m_valueCut)
        m_tagCut = true;
    bytes::append(value, QByteArrayView(p, taken));
    m_tagBytes += taken;
}

void Tokenizer::emitTag()
{
    commitAttribute();
    if (!m_tagIdKnown)
        m_tag.id = tagId(m_tag.name);
    m_tag.attributes = std::span<Attribute>(m_pool.data(), size_t(m_attributes));
    if (m_tagCut)
        m_notes.add(QStringLiteral("A tag longer than 1 MiB was cut"));
    if (m_valueCut)
        m_notes.add(QStringLiteral("An attribute value longer than 1 MiB was cut"));
    if (m_endTag)
        m_sink.endTag(m_tag);
    else
        m_sink.startTag(m_tag);
    // The next tag's start clears the rest.
    m_tagBytes = 0;
}

void Tokenizer::startComment()
{
    m_inComment = true;
    m_comment.clear();
    m_sink.commentBegin();
}

void Tokenizer::appendComment(const char *p, qsizetype n)
{
    bytes::append(m_comment, QByteArrayView(p, n));
    if (m_comment.size() >= kCommentPiece) {
        m_sink.commentText(m_comment);
        m_comment.clear();
    }
}

void Tokenizer::emitComment()
{
    if (!m_comment.isEmpty())
        m_sink.commentText(m_comment);
    m_comment.clear();
    m_inComment = false;
    m_sink.commentEnd();
}

void Tokenizer::emitDoctype()
{
    m_sink.doctype(m_doctype);
    m_doctype = Doctype();
}

void Tokenizer::beginReference(State returnTo)
{
    m_returnState = returnTo;
    m_state = S::CharacterReference;
    m_temp.clear();
}

bool Tokenizer::inAttribute() const
{
    return m_returnState == S::AttributeValueDouble || m_returnState == S::AttributeValueSingle ||
           m_returnState == S::AttributeValueUnquoted;
}

void Tokenizer::flushReferenceText(const char *p, qsizetype n)
{
    if (inAttribute())
        appendAttributeValue(p, n);
    else
        emitText(p, n);
}

void Tokenizer::finishNamedReference(int next)
{
    const QByteArray name = std::exchange(m_temp, QByteArray());
    m_state = m_returnState;
    qsizetype length = name.size();
    const NamedReference *found = nullptr;
    for (; length > 0 && !found; --length)
        found = findNamedReference(QByteArrayView(name).first(length));
    if (!found) {
        flushReferenceText("&", 1);
        flushReferenceText(name.constData(), name.size());
        return;
    }
    ++length; // undo the loop's last step
    const int after = length < name.size() ? uchar(name[length]) : next;
    if (inAttribute() && name[length - 1] != ';' && (after == '=' || isAlnum(after))) {
        flushReferenceText("&", 1);
        flushReferenceText(name.constData(), length);
    } else {
        flushReferenceText(found->utf8, found->utf8Length);
    }
    if (length < name.size())
        run(name.constData() + length, name.constData() + name.size());
}

void Tokenizer::finishNumericReference()
{
    char utf8[4];
    int n = 0;
    appendNumericReference(m_number, utf8, &n);
    m_state = m_returnState;
    flushReferenceText(utf8, n);
}

void Tokenizer::run(const char *p, const char *end)
{
    while (p < end) {
        const char c = *p;
        // Most of a page is read in the data state: a plain test finds it,
        // not the jump over every state.
        if (m_state == S::Data) {
            const char *q = bytes::findAny(p, end, '<', '&', '\0');
            if (q > p) {
                emitText(p, q - p);
                p = q;
                continue;
            }
            ++p;
            if (c == '&') {
                beginReference(S::Data);
            } else if (c == '<') {
                // Most tags read at once: a name whole in this piece.
                const bool endTag = p < end && *p == '/';
                const char *name = p + endTag;
                const char *q = name < end && isAlpha(*name) ? scan(name, end, kNameStops) : end;
                if (q == end) {
                    m_state = S::TagOpen;
                    continue;
                }
                startTag(endTag, false);
                // The name whole: a known one (nearly all) is its static
                // spelling, with no copy; any other is one resize, no append.
                const qsizetype n = std::min<qsizetype>(q - name, kTagLimit);
                m_tagCut = n < q - name;
                m_tagBytes = n;
                TagId id = TagId::Unknown;
                if (n <= 8) {
                    // Lowered in a register: bytes stored one by one and
                    // loaded at once for the lookup would stall on the stores.
                    // The name stops before end, so there is a byte past it.
                    const quint64 bytes =
                        end - name >= 8 ? bytes::load(name) : bytes::loadShort(name, end - name);
                    const quint64 mask = n == 8 ? ~quint64(0) : (quint64(1) << (8 * n)) - 1;
                    id = shortTagId(bytes::lowerAscii(bytes) & mask, n);
                }
                if (id != TagId::Unknown) {
                    m_tag.name = tagName(id);
                } else {
                    if (!m_tag.name.isDetached())
                        m_tag.name = QByteArray();
                    m_tag.name.resize(n);
                    for (qsizetype i = 0; i < n; ++i)
                        m_tag.name.data()[i] = lower(name[i]);
                    // The few known names longer than eight, looked up lowered.
                    if (n > 8)
                        id = tagId(m_tag.name);
                }
                // A NUL goes on the name as U+FFFD, in the tag name state.
                m_tag.id = id;
                m_tagIdKnown = *q != '\0';
                p = q;
                if (*p == '>') {
                    ++p;
                    emitTag();
                } else {
                    m_state = S::TagName;
                }
            } else {
                emitText('\0');
            }
            continue;
        }
        switch (m_state) {
        case S::Data:
            continue; // above
        case S::RcData:
        case S::RawText:
        case S::ScriptData:
        case S::PlainText: {
            const char *q = m_state == S::RcData      ? bytes::findAny(p, end, '<', '&', '\0')
                            : m_state == S::PlainText ? bytes::findAny(p, end, '\0', '\0', '\0')
                                                      : bytes::findAny(p, end, '<', '\0', '\0');
            if (q > p) {
                emitText(p, q - p);
                p = q;
                continue;
            }
            ++p;
            if (c == '&')
                beginReference(S::RcData);
            else if (c == '<')
                m_state = m_state == S::RcData    ? S::RcDataLessThan
                          : m_state == S::RawText ? S::RawTextLessThan
                                                  : S::ScriptLessThan;
            else
                emitText(kReplacement, 3);
            continue;
        }
        case S::TagOpen:
            if (c == '!') {
                ++p;
                m_temp.clear();
                m_state = S::MarkupDeclarationOpen;
            } else if (c == '/') {
                ++p;
                m_state = S::EndTagOpen;
            } else if (isAlpha(c)) {
                startTag(false);
                m_state = S::TagName;
            } else if (c == '?') {
                startComment();
                m_state = S::BogusComment;
            } else {
                emitText('<');
                m_state = S::Data;
            }
            continue;
        case S::EndTagOpen:
            if (isAlpha(c)) {
                startTag(true);
                m_state = S::TagName;
            } else if (c == '>') {
                ++p;
                m_state = S::Data;
            } else {
                startComment();
                m_state = S::BogusComment;
            }
            continue;
        case S::TagName: {
            const char *q = scan(p, end, kNameStops);
            appendNames(m_tag.name, p, q - p);
            p = q;
            if (p == end)
                continue;
            const char d = *p++;
            if (isSpace(d)) {
                m_state = S::BeforeAttributeName;
            } else if (d == '/') {
                m_state = S::SelfClosingStartTag;
            } else if (d == '>') {
                m_state = S::Data;
                emitTag();
            } else {
                appendName(m_tag.name, '\0');
            }
            continue;
        }
        case S::RcDataLessThan:
        case S::RawTextLessThan:
            ++p;
            if (c == '/') {
                m_temp.clear();
                m_state = m_state == S::RcDataLessThan ? S::RcDataEndTagOpen : S::RawTextEndTagOpen;
            } else {
                --p;
                emitText('<');
                m_state = m_state == S::RcDataLessThan ? S::RcData : S::RawText;
            }
            continue;
        case S::RcDataEndTagOpen:
        case S::RawTextEndTagOpen:
        case S::ScriptEndTagOpen:
        case S::ScriptEscapedEndTagOpen: {
            const bool alpha = isAlpha(c);
            if (alpha)
                startTag(true);
            else
                emitText("</", 2);
            switch (m_state) {
            case S::RcDataEndTagOpen:
                m_state = alpha ? S::RcDataEndTagName : S::RcData;
                break;
            case S::RawTextEndTagOpen:
                m_state = alpha ? S::RawTextEndTagName : S::RawText;
                break;
            case S::ScriptEndTagOpen:
                m_state = alpha ? S::ScriptEndTagName : S::ScriptData;
                break;
            default:
                m_state = alpha ? S::ScriptEscapedEndTagName : S::ScriptEscaped;
            }
            continue;
        }
        case S::RcDataEndTagName:
        case S::RawTextEndTagName:
        case S::ScriptEndTagName:
        case S::ScriptEscapedEndTagName: {
            const State fallback = m_state == S::RcDataEndTagName    ? S::RcData
                                   : m_state == S::RawTextEndTagName ? S::RawText
                                   : m_state == S::ScriptEndTagName  ? S::ScriptData
                                                                     : S::ScriptEscaped;
            if (isAlpha(c) && m_temp.size() <= m_lastStartTag.size()) {
                ++p;
                m_temp.append(c);
                m_tag.name.append(lower(c));
                continue;
            }
            if (!isAlpha(c) && m_tag.name == m_lastStartTag) {
                if (isSpace(c)) {
                    ++p;
                    m_state = S::BeforeAttributeName;
                    continue;
                }
                if (c == '/') {
                    ++p;
                    m_state = S::SelfClosingStartTag;
                    continue;
                }
                if (c == '>') {
                    ++p;
                    m_state = S::Data;
                    emitTag();
                    continue;
                }
            }
            // Not the end tag: what was held is text after all.
            emitText("</", 2);
            emitText(m_temp.constData(), m_temp.size());
            m_temp.clear();
            m_tag.name.clear();
            m_state = fallback;
            continue;
        }
        case S::ScriptLessThan:
            if (c == '/') {
                ++p;
                m_temp.clear();
                m_state = S::ScriptEndTagOpen;
            } else if (c == '!') {
                ++p;
                emitText("<!", 2);
                m_state = S::ScriptEscapeStart;
            } else {
                emitText('<');
                m_state = S::ScriptData;
            }
            continue;
        case S::ScriptEscapeStart:
        case S::ScriptEscapeStartDash:
            if (c == '-') {
                ++p;
                emitText('-');
                m_state = m_state == S::ScriptEscapeStart ? S::ScriptEscapeStartDash
                                                          : S::ScriptEscapedDashDash;
            } else {
                m_state = S::ScriptData;
            }
            continue;
        case S::ScriptEscaped:
        case S::ScriptDoubleEscaped: {
            const char *q = bytes::findAny(p, end, '-', '<', '\0');
            if (q > p) {
                emitText(p, q - p);
                p = q;
                continue;
            }
            ++p;
            const bool doubled = m_state == S::ScriptDoubleEscaped;
            if (c == '-') {
                emitText('-');
                m_state = doubled ? S::ScriptDoubleEscapedDash : S::ScriptEscapedDash;
            } else if (c == '<') {
                if (doubled)
                    emitText('<');
                m_state = doubled ? S::ScriptDoubleEscapedLessThan : S::ScriptEscapedLessThan;
            } else {
                emitText(kReplacement, 3);
            }
            continue;
        }
        case S::ScriptEscapedDash:
        case S::ScriptEscapedDashDash:
        case S::ScriptDoubleEscapedDash:
        case S::ScriptDoubleEscapedDashDash: {
            ++p;
            const bool doubled =
                m_state == S::ScriptDoubleEscapedDash || m_state == S::ScriptDoubleEscapedDashDash;
            const bool dashDash =
                m_state == S::ScriptEscapedDashDash || m_state == S::ScriptDoubleEscapedDashDash;
            if (c == '-') {
                emitText('-');
                m_state = doubled ? S::ScriptDoubleEscapedDashDash : S::ScriptEscapedDashDash;
            } else if (c == '<') {
                if (doubled)
                    emitText('<');
                m_state = doubled ? S::ScriptDoubleEscapedLessThan : S::ScriptEscapedLessThan;
            } else if (c == '>' && dashDash) {
                emitText('>');
                m_state = S::ScriptData;
            } else {
                if (c)
                    emitText(c);
                else
                    emitText(kReplacement, 3);
                m_state = doubled ? S::ScriptDoubleEscaped : S::ScriptEscaped;
            }
            continue;
        }
        case S::ScriptEscapedLessThan:
            if (c == '/') {
                ++p;
                m_temp.clear();
                m_state = S::ScriptEscapedEndTagOpen;
            } else if (isAlpha(c)) {
                m_temp.clear();
                emitText('<');
                m_state = S::ScriptDoubleEscapeStart;
            } else {
                emitText('<');
                m_state = S::ScriptEscaped;
            }
            continue;
        case S::ScriptDoubleEscapeStart:
        case S::ScriptDoubleEscapeEnd: {
            const bool starting = m_state == S::ScriptDoubleEscapeStart;
            if (isEndOfName(c)) {
                ++p;
                emitText(c);
                const bool script = m_temp == "script";
                m_state = starting == script ? S::ScriptDoubleEscaped : S::ScriptEscaped;
            } else if (isAlpha(c)) {
                ++p;
                if (m_temp.size() < 7)
                    m_temp.append(lower(c));
                emitText(c);
            } else {
                m_state = starting ? S::ScriptEscaped : S::ScriptDoubleEscaped;
            }
            continue;
        }
        case S::ScriptDoubleEscapedLessThan:
            if (c == '/') {
                ++p;
                m_temp.clear();
                emitText('/');
                m_state = S::ScriptDoubleEscapeEnd;
            } else {
                m_state = S::ScriptDoubleEscaped;
            }
            continue;
        case S::BeforeAttributeName:
            if (isSpace(c)) {
                ++p;
            } else if (isAlpha(c) && readQuotedAttribute(p, end)) {
                m_state = S::AfterAttributeValueQuoted;
            } else if (c == '/' || c == '>') {
                m_state = S::AfterAttributeName;
            } else if (c == '=') {
                ++p;
                startAttribute();
                appendName(m_attribute->name, '=');
                m_state = S::AttributeName;
            } else {
                startAttribute();
                m_state = S::AttributeName;
            }
            continue;
        case S::AttributeName: {
            const char *q = p;
            while (q < end && !isEndOfName(*q) && *q != '=' && *q)
                ++q;
            appendNames(m_attribute->name, p, q - p);
            p = q;
            if (p == end)
                continue;
            if (isEndOfName(*p)) {
                m_state = S::AfterAttributeName;
                continue;
            }
            if (*p++ == '=')
                m_state = S::BeforeAttributeValue;
            else
                appendName(m_attribute->name, '\0');
            continue;
        }
        case S::AfterAttributeName:
            if (isSpace(c)) {
                ++p;
            } else if (c == '/') {
                ++p;
                m_state = S::SelfClosingStartTag;
            } else if (c == '=') {
                ++p;
                m_state = S::BeforeAttributeValue;
            } else if (c == '>') {
                ++p;
                m_state = S::Data;
                emitTag();
            } else {
                startAttribute();
                m_state = S::AttributeName;
            }
            continue;
        case S::BeforeAttributeValue:
            if (isSpace(c)) {
                ++p;
            } else if (c == '"') {
                ++p;
                m_state = S::AttributeValueDouble;
            } else if (c == '\'') {
                ++p;
                m_state = S::AttributeValueSingle;
            } else if (c == '>') {
                ++p;
                m_state = S::Data;
                emitTag();
            } else {
                m_state = S::AttributeValueUnquoted;
            }
            continue;
        case S::AttributeValueDouble:
        case S::AttributeValueSingle:
        case S::AttributeValueUnquoted: {
            const char *q =
                m_state == S::AttributeValueDouble   ? bytes::findAny(p, end, '"', '&', '\0')
                : m_state == S::AttributeValueSingle ? bytes::findAny(p, end, '\'', '&', '\0')
                                                     : scan(p, end, kUnquotedStops);
            if (q > p) {
                appendAttributeValue(p, q - p);
                p = q;
                continue;
            }
            ++p;
            if (c == '&') {
                const State back = m_state;
                beginReference(back);
            } else if (c == '\0') {
                appendAttributeValue(kReplacement, 3);
            } else if (c == '>') {
                m_state = S::Data;
                emitTag();
            } else if (m_state == S::AttributeValueUnquoted) {
                m_state = S::BeforeAttributeName;
            } else {
                m_state = S::AfterAttributeValueQuoted;
            }
            continue;
        }
        case S::AfterAttributeValueQuoted:
            if (isSpace(c)) {
                ++p;
                m_state = S::BeforeAttributeName;
            } else if (c == '/') {
                ++p;
                m_state = S::SelfClosingStartTag;
            } else if (c == '>') {
                ++p;
                m_state = S::Data;
                emitTag();
            } else {
                m_state = S::BeforeAttributeName;
            }
            continue;
        case S::SelfClosingStartTag:
            if (c == '>') {
                ++p;
                m_tag.selfClosing = true;
                m_state = S::Data;
                emitTag();
            } else {
                m_state = S::BeforeAttributeName;
            }
            continue;
        case S::BogusComment: {
            const char *q = p;
            while (q < end && *q != '>' && *q)
                ++q;
            appendComment(p, q - p);
            p = q;
            if (p == end)
                continue;
            if (*p++ == '>') {
                m_state = S::Data;
                emitComment();
            } else {
                appendComment(kReplacement, 3);
            }
            continue;
        }
        case S::MarkupDeclarationOpen: {
            ++p;
            m_temp.append(c);
            if (m_temp == "--") {
                startComment();
                m_state = S::CommentStart;
            } else if (m_temp.size() == 7 && prefixOf(m_temp, "doctype", true)) {
                m_state = S::Doctype;
            } else if (m_temp == "[CDATA[" && m_foreign) {
                m_state = S::CDataSection;
            } else if (!prefixOf(m_temp, "--", false) && !prefixOf(m_temp, "doctype", true) &&
                       !prefixOf(m_temp, "[CDATA[", false)) {
                const QByteArray held = std::exchange(m_temp, QByteArray());
                startComment();
                m_state = S::BogusComment;
                run(held.constData(), held.constData() + held.size());
            } else if (m_temp == "[CDATA[") {
                startComment();
                appendComment("[CDATA[", 7);
                m_temp.clear();
                m_state = S::BogusComment;
            }
            continue;
        }
        case S::CommentStart:
            if (c == '-') {
                ++p;
                m_state = S::CommentStartDash;
            } else if (c == '>') {
                ++p;
                m_state = S::Data;
                emitComment();
            } else {
                m_state = S::Comment;
            }
            continue;
        case S::CommentStartDash:
            if (c == '-') {
                ++p;
                m_state = S::CommentEnd;
            } else if (c == '>') {
                ++p;
                m_state = S::Data;
                emitComment();
            } else {
                appendComment("-", 1);
                m_state = S::Comment;
            }
            continue;
        case S::Comment: {
            const char *q = bytes::findAny(p, end, '<', '-', '\0');
            if (q > p) {
                appendComment(p, q - p);
                p = q;
                continue;
            }
            ++p;
            if (c == '<') {
                appendComment("<", 1);
                m_state = S::CommentLessThan;
            } else if (c == '-') {
                m_state = S::CommentEndDash;
            } else {
                appendComment(kReplacement, 3);
            }
            continue;
        }
        case S::CommentLessThan:
            if (c == '!') {
                ++p;
                appendComment("!", 1);
                m_state = S::CommentLessThanBang;
            } else if (c == '<') {
                ++p;
                appendComment("<", 1);
            } else {
                m_state = S::Comment;
            }
            continue;
        case S::CommentLessThanBang:
            if (c == '-') {
                ++p;
                m_state = S::CommentLessThanBangDash;
            } else {
                m_state = S::Comment;
            }
            continue;
        case S::CommentLessThanBangDash:
            if (c == '-') {
                ++p;
                m_state = S::CommentLessThanBangDashDash;
            } else {
                m_state = S::CommentEndDash;
            }
            continue;
        case S::CommentLessThanBangDashDash:
            m_state = S::CommentEnd;
            continue;
        case S::CommentEndDash:
            if (c == '-') {
                ++p;
                m_state = S::CommentEnd;
            } else {
                appendComment("-", 1);
                m_state = S::Comment;
            }
            continue;
        case S::CommentEnd:
            if (c == '>') {
                ++p;
                m_state = S::Data;
                emitComment();
            } else if (c == '!') {
                ++p;
                m_state = S::CommentEndBang;
            } else if (c == '-') {
                ++p;
                appendComment("-", 1);
            } else {
                appendComment("--", 2);
                m_state = S::Comment;
            }
            continue;
        case S::CommentEndBang:
            if (c == '-') {
                ++p;
                appendComment("--!", 3);
                m_state = S::CommentEndDash;
            } else if (c == '>') {
                ++p;
                m_state = S::Data;
                emitComment();
            } else {
                appendComment("--!", 3);
                m_state = S::Comment;
            }
            continue;
        case S::Doctype:
            if (isSpace(c))
                ++p;
            m_doctype = html::Doctype();
            m_state = S::BeforeDoctypeName;
            continue;
        case S::BeforeDoctypeName:
            ++p;
            if (isSpace(c))
                continue;
            if (c == '>') {
                m_doctype.forceQuirks = true;
                m_state = S::Data;
                emitDoctype();
                continue;
            }
            if (c)
                m_doctype.name.append(lower(c));
            else
                m_doctype.name.append(kReplacement);
            m_state = S::DoctypeName;
            continue;
        case S::DoctypeName:
            ++p;
            if (isSpace(c)) {
                m_temp.clear();
                m_state = S::AfterDoctypeName;
            } else if (c == '>') {
                m_state = S::Data;
                emitDoctype();
            } else if (c) {
                const char l = lower(c);
                appendCapped(m_doctype.name, &l, 1);
            } else {
                appendCapped(m_doctype.name, kReplacement, 3);
            }
            continue;
        case S::AfterDoctypeName:
            if (m_temp.isEmpty() && isSpace(c)) {
                ++p;
            } else if (m_temp.isEmpty() && c == '>') {
                ++p;
                m_state = S::Data;
                emitDoctype();
            } else {
                ++p;
                m_temp.append(c);
                if (m_temp.size() == 6 && prefixOf(m_temp, "public", true)) {
                    m_temp.clear();
                    m_state = S::AfterDoctypePublicKeyword;
                } else if (m_temp.size() == 6 && prefixOf(m_temp, "system", true)) {
                    m_temp.clear();
                    m_state = S::AfterDoctypeSystemKeyword;
                } else if (!prefixOf(m_temp, "public", true) && !prefixOf(m_temp, "system", true)) {
                    const QByteArray held = std::exchange(m_temp, QByteArray());
                    m_doctype.forceQuirks = true;
                    m_state = S::BogusDoctype;
                    run(held.constData(), held.constData() + held.size());
                }
            }
            continue;
        case S::AfterDoctypePublicKeyword:
        case S::AfterDoctypeSystemKeyword:
        case S::BeforeDoctypePublicId:
        case S::BeforeDoctypeSystemId:
        case S::AfterDoctypePublicId:
        case S::BetweenDoctypeIds: {
            const bool keyword =
                m_state == S::AfterDoctypePublicKeyword || m_state == S::AfterDoctypeSystemKeyword;
            const bool system =
                m_state == S::AfterDoctypeSystemKeyword || m_state == S::BeforeDoctypeSystemId ||
                m_state == S::AfterDoctypePublicId || m_state == S::BetweenDoctypeIds;
            if (isSpace(c)) {
                ++p;
                if (keyword)
                    m_state = system ? S::BeforeDoctypeSystemId : S::BeforeDoctypePublicId;
                else if (m_state == S::AfterDoctypePublicId)
                    m_state = S::BetweenDoctypeIds;
            } else if (c == '"' || c == '\'') {
                ++p;
                if (system) {
                    m_doctype.hasSystemId = true;
                    m_state = c == '"' ? S::DoctypeSystemIdDouble : S::DoctypeSystemIdSingle;
                } else {
                    m_doctype.hasPublicId = true;
                    m_state = c == '"' ? S::DoctypePublicIdDouble : S::DoctypePublicIdSingle;
                }
            } else if (c == '>') {
                ++p;
                if (m_state != S::AfterDoctypePublicId && m_state != S::BetweenDoctypeIds)
                    m_doctype.forceQuirks = true;
                m_state = S::Data;
                emitDoctype();
            } else {
                m_doctype.forceQuirks = true;
                m_state = S::BogusDoctype;
            }
            continue;
        }
        case S::DoctypePublicIdDouble:
        case S::DoctypePublicIdSingle:
        case S::DoctypeSystemIdDouble:
        case S::DoctypeSystemIdSingle: {
            ++p;
            const bool system =
                m_state == S::DoctypeSystemIdDouble || m_state == S::DoctypeSystemIdSingle;
            const char quote =
                m_state == S::DoctypePublicIdDouble || m_state == S::DoctypeSystemIdDouble ? '"'
                                                                                           : '\'';
            QByteArray &id = system ? m_doctype.systemId : m_doctype.publicId;
            if (c == quote) {
                m_state = system ? S::AfterDoctypeSystemId : S::AfterDoctypePublicId;
            } else if (c == '>') {
                m_doctype.forceQuirks = true;
                m_state = S::Data;
                emitDoctype();
            } else if (c) {
                appendCapped(id, &c, 1);
            } else {
                appendCapped(id, kReplacement, 3);
            }
            continue;
        }
        case S::AfterDoctypeSystemId:
            ++p;
            if (c == '>') {
                m_state = S::Data;
                emitDoctype();
            } else if (!isSpace(c)) {
                m_state = S::BogusDoctype;
            }
            continue;
        case S::BogusDoctype: {
            const char *q = static_cast<const char *>(std::memchr(p, '>', size_t(end - p)));
            if (!q) {
                p = end;
                continue;
            }
            p = q + 1;
            m_state = S::Data;
            emitDoctype();
            continue;
        }
        case S::CDataSection: {
            const char *q = bytes::findAny(p, end, ']', '\0', '\0');
            if (q > p) {
                emitText(p, q - p);
                p = q;
                continue;
            }
            ++p;
            if (c == ']')
                m_state = S::CDataSectionBracket;
            else
                emitText('\0'); // alone, for the tree builder to replace
            continue;
        }
        case S::CDataSectionBracket:
            if (c == ']') {
                ++p;
                m_state = S::CDataSectionEnd;
            } else {
                emitText(']');
                m_state = S::CDataSection;
            }
            continue;
        case S::CDataSectionEnd:
            if (c == ']') {
                ++p;
                emitText(']');
            } else if (c == '>') {
                ++p;
                m_state = S::Data;
            } else {
                emitText("]]", 2);
                m_state = S::CDataSection;
            }
            continue;
        case S::CharacterReference:
            if (isAlnum(uchar(c))) {
                // A whole name and its ';' in this piece, as most are: looked
                // up at once, without gathering it.
                const char *q = p + 1;
                while (q < end && q - p < kLongestReferenceName && isAlnum(uchar(*q)))
                    ++q;
                if (q < end && *q == ';') {
                    if (const NamedReference *found = findNamedReference({p, q + 1 - p})) {
                        m_state = m_returnState;
                        flushReferenceText(found->utf8, found->utf8Length);
                        p = q + 1;
                        continue;
                    }
                }
                m_state = S::NamedCharacterReference;
            } else if (c == '#') {
                ++p;
                m_temp = "#";
                m_number = 0;
                m_state = S::NumericCharacterReference;
            } else {
                m_state = m_returnState;
                flushReferenceText("&", 1);
            }
            continue;
        case S::NamedCharacterReference:
            if (m_temp.size() < kLongestReferenceName && (isAlnum(uchar(c)) || c == ';')) {
                ++p;
                m_temp.append(c);
                if (c == ';')
                    finishNamedReference(-1);
            } else {
                finishNamedReference(uchar(c));
            }
            continue;
        case S::AmbiguousAmpersand:
            m_state = m_returnState;
            continue;
        case S::NumericCharacterReference:
            if (c == 'x' || c == 'X') {
                ++p;
                m_temp.append(c);
                m_state = S::HexReferenceStart;
            } else {
                m_state = S::DecimalReferenceStart;
            }
            continue;
        case S::HexReferenceStart:
        case S::DecimalReferenceStart:
            if (m_state == S::HexReferenceStart ? isHex(c) : isDigit(c)) {
                m_state = m_state == S::HexReferenceStart ? S::HexReference : S::DecimalReference;
            } else {
                m_state = m_returnState;
                flushReferenceText("&", 1);
                flushReferenceText(m_temp.constData(), m_temp.size());
            }
            continue;
        case S::HexReference:
        case S::DecimalReference: {
            const bool hex = m_state == S::HexReference;
            if (hex ? isHex(c) : isDigit(c)) {
                ++p;
                const quint32 digit =
                    isDigit(c) ? quint32(c - '0') : quint32((c | 0x20) - 'a' + 10);
                m_number = std::min<quint32>(m_number * (hex ? 16 : 10) + digit, 0x110000);
            } else {
                if (c == ';')
                    ++p;
                finishNumericReference();
            }
            continue;
        }
        }
    }
}

void Tokenizer::endOfFile()
{
    for (;;) {
        switch (m_state) {
        case S::TagOpen:
        case S::RcDataLessThan:
        case S::RawTextLessThan:
        case S::ScriptLessThan:
        case S::ScriptEscapedLessThan:
            emitText('<');
            break;
        case S::EndTagOpen:
        case S::RcDataEndTagOpen:
        case S::RawTextEndTagOpen:
        case S::ScriptEndTagOpen:
        case S::ScriptEscapedEndTagOpen:
            emitText("</", 2);
            break;
        case S::RcDataEndTagName:
        case S::RawTextEndTagName:
        case S::ScriptEndTagName:
        case S::ScriptEscapedEndTagName:
            emitText("</", 2);
            emitText(m_temp.constData(), m_temp.size());
            break;
        case S::MarkupDeclarationOpen: {
            const QByteArray held = std::exchange(m_temp, QByteArray());
            startComment();
            m_state = S::BogusComment;
            run(held.constData(), held.constData() + held.size());
            continue;
        }
        case S::BogusComment:
        case S::CommentStart:
        case S::CommentStartDash:
        case S::Comment:
        case S::CommentLessThan:
        case S::CommentLessThanBang:
        case S::CommentLessThanBangDash:
        case S::CommentLessThanBangDashDash:
        case S::CommentEndDash:
        case S::CommentEnd:
        case S::CommentEndBang:
            emitComment();
            break;
        case S::Doctype:
        case S::BeforeDoctypeName:
            m_doctype = html::Doctype();
            [[fallthrough]];
        case S::DoctypeName:
        case S::AfterDoctypeName:
        case S::AfterDoctypePublicKeyword:
        case S::BeforeDoctypePublicId:
        case S::DoctypePublicIdDouble:
        case S::DoctypePublicIdSingle:
        case S::AfterDoctypePublicId:
        case S::BetweenDoctypeIds:
        case S::AfterDoctypeSystemKeyword:
        case S::BeforeDoctypeSystemId:
        case S::DoctypeSystemIdDouble:
        case S::DoctypeSystemIdSingle:
        case S::AfterDoctypeSystemId:
            m_doctype.forceQuirks = true;
            [[fallthrough]];
        case S::BogusDoctype:
            emitDoctype();
            break;
        case S::CDataSectionBracket:
            emitText(']');
            break;
        case S::CDataSectionEnd:
            emitText("]]", 2);
            break;
        case S::CharacterReference:
            m_state = m_returnState;
            flushReferenceText("&", 1);
            continue;
        case S::NamedCharacterReference:
            finishNamedReference(-1);
            continue;
        case S::NumericCharacterReference:
        case S::HexReferenceStart:
        case S::DecimalReferenceStart:
            m_state = m_returnState;
            flushReferenceText("&", 1);
            flushReferenceText(m_temp.constData(), m_temp.size());
            continue;
        case S::HexReference:
        case S::DecimalReference:
            finishNumericReference();
            continue;
        default: // text states end quietly; a tag cut by the end is dropped
            break;
        }
        break;
    }
    m_state = S::Data;
}

} // namespace html
