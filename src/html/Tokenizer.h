#pragma once

#include "html/Notes.h"
#include "html/Tags.h"

#include <QByteArray>
#include <QList>
#include <QSet>

#include <cstring>
#include <span>
#include <vector>

namespace html {

struct Attribute
{
    QByteArray name; // lower-cased
    QByteArray value;
};

using Attributes = std::span<const Attribute>;

struct Tag
{
    QByteArray name;                 // lower-cased
    TagId id = TagId::Unknown;       // tagId(name)
    std::span<Attribute> attributes; // the tokenizer's, until the next tag
    bool selfClosing = false;

    const Attribute *attribute(QByteArrayView name) const;
};

struct Doctype
{
    QByteArray name, publicId, systemId;
    bool hasPublicId = false, hasSystemId = false, forceQuirks = false;
};

// What the tokenizer hands on, in page order.
class TokenSink
{
public:
    virtual ~TokenSink() = default;
    virtual void startTag(Tag &tag) = 0;
    virtual void endTag(Tag &tag) = 0;
    // Decoded text; a NUL of the data state comes as it is, for the tree
    // builder to drop or replace.
    virtual void characters(QByteArrayView text) = 0;
    virtual void commentBegin() = 0;
    virtual void commentText(QByteArrayView text) = 0;
    virtual void commentEnd() = 0;
    virtual void doctype(const Doctype &doctype) = 0;
    virtual void endOfFile() = 0;
};

// The standard's tokenizer over UTF-8 pieces cut anywhere. It holds only the
// tag, comment or reference it is in the middle of: text goes on as it comes.
class Tokenizer
{
public:
    enum class State : quint8
    {
        Data,
        RcData,
        RawText,
        ScriptData,
        PlainText,
        TagOpen,
        EndTagOpen,
        TagName,
        RcDataLessThan,
        RcDataEndTagOpen,
        RcDataEndTagName,
        RawTextLessThan,
        RawTextEndTagOpen,
        RawTextEndTagName,
        ScriptLessThan,
        ScriptEndTagOpen,
        ScriptEndTagName,
        ScriptEscapeStart,
        ScriptEscapeStartDash,
        ScriptEscaped,
        ScriptEscapedDash,
        ScriptEscapedDashDash,
        ScriptEscapedLessThan,
        ScriptEscapedEndTagOpen,
        ScriptEscapedEndTagName,
        ScriptDoubleEscapeStart,
        ScriptDoubleEscaped,
        ScriptDoubleEscapedDash,
        ScriptDoubleEscapedDashDash,
        ScriptDoubleEscapedLessThan,
        ScriptDoubleEscapeEnd,
        BeforeAttributeName,
        AttributeName,
        AfterAttributeName,
        BeforeAttributeValue,
        AttributeValueDouble,
        AttributeValueSingle,
        AttributeValueUnquoted,
        AfterAttributeValueQuoted,
        SelfClosingStartTag,
        BogusComment,
        MarkupDeclarationOpen,
        CommentStart,
        CommentStartDash,
        Comment,
        CommentLessThan,
        CommentLessThanBang,
        CommentLessThanBangDash,
        CommentLessThanBangDashDash,
        CommentEndDash,
        CommentEnd,
        CommentEndBang,
        Doctype,
        BeforeDoctypeName,
        DoctypeName,
        AfterDoctypeName,
        AfterDoctypePublicKeyword,
        BeforeDoctypePublicId,
        DoctypePublicIdDouble,
        DoctypePublicIdSingle,
        AfterDoctypePublicId,
        BetweenDoctypeIds,
        AfterDoctypeSystemKeyword,
        BeforeDoctypeSystemId,
        DoctypeSystemIdDouble,
        DoctypeSystemIdSingle,
        AfterDoctypeSystemId,
        BogusDoctype,
        CDataSection,
        CDataSectionBracket,
        CDataSectionEnd,
        CharacterReference,
        NamedCharacterReference,
        AmbiguousAmpersand,
        NumericCharacterReference,
        HexReferenceStart,
        DecimalReferenceStart,
        HexReference,
        DecimalReference
    };

    static constexpr qint64 kTagLimit = 1 << 20;
    static constexpr qint64 kAttributeValueLimit = 1 << 20;

    Tokenizer(TokenSink &sink, Notes &notes);
    void feed(QByteArrayView utf8);
    void finish();

    // Set by the tree builder as the standard has it.
    void setState(State state) { m_state = state; }
    void setLastStartTag(const QByteArray &name) { m_lastStartTag = name; }
    void setForeignContent(bool foreign) { m_foreign = foreign; }

    qint64 heldBytes() const;

private:
    void run(const char *p, const char *end);
    void endOfFile();
    void emitText(const char *p, qsizetype n);
    void emitText(char c) { emitText(&c, 1); }
    void startTag(bool end, bool clearName = true);
    void emitTag();
    void appendName(QByteArray &to, char c);
    void appendNames(QByteArray &to, const char *p, qsizetype n);
    void startAttribute();
    bool readQuotedAttribute(const char *&p, const char *end);
    void commitAttribute();
    void appendAttributeValue(const char *p, qsizetype n);
    void appendComment(const char *p, qsizetype n);
    void startComment();
    void emitComment();
    void emitDoctype();
    bool appropriateEndTag() const { return m_temp == m_lastStartTag; }
    void beginReference(State returnTo);
    void flushReferenceText(const char *p, qsizetype n);
    bool inAttribute() const;
    void finishNamedReference(int next); // next: the character after, -1 at the end
    void finishNumericReference();

    TokenSink &m_sink;
    Notes &m_notes;
    State m_state = State::Data;
    State m_returnState = State::Data;
    bool m_foreign = false;
    bool m_afterCr = false;
    QByteArray m_normalized; // a piece with CR LF and CR made LF

    Tag m_tag;
    bool m_endTag = false;
    bool m_tagCut = false, m_valueCut = false;
    bool m_tagIdKnown = false; // m_tag.id is its name's already
    qint64 m_tagBytes = 0;
    // Attributes are read into a pool whose buffers outlive the tag, so that
    // a page's many attributes cost no allocation each.
    std::vector<Attribute> m_pool;
    int m_attributes = 0;
    Attribute *m_attribute = nullptr; // the one being read, in the pool
    bool m_hasAttribute = false;
    QSet<QByteArray> m_attributeNames; // once a tag has many
    QByteArray m_lastStartTag;
    QByteArray m_temp; // end tag name being checked, markup declaration, reference
    QByteArray m_comment;
    bool m_inComment = false;
    Doctype m_doctype;
    quint32 m_number = 0;
};

} // namespace html
