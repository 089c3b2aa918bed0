#pragma once

#include "html/Tags.h"
#include "html/Tokenizer.h"

#include <QHash>
#include <QVarLengthArray>

#include <memory>
#include <vector>

namespace html {

enum class Namespace : quint8
{
    Html,
    Svg,
    MathMl
};

// An element as the tree builder opens it: where it sits in the tree the
// standard's parser would build.
struct ElementStart
{
    QByteArrayView name; // lower-case; SVG names in their adjusted case
    Namespace ns = Namespace::Html;
    TagId tag = TagId::Unknown; // of the name, whatever the namespace
    Attributes attributes;
    int depth = 0;     // 0 for the root element
    int index = 0;     // 1-based among its parent's element children
    int typeIndex = 0; // 1-based among those of its name
    bool isVoid = false;

    const Attribute *attribute(QByteArrayView name) const;
};

// How many element children of each name an element has had.
class TypeCounts
{
public:
    int add(const QByteArray &name); // the new count
    int count(QByteArrayView name) const;
    void clear();
    void swap(TypeCounts &other);

private:
    QVarLengthArray<std::pair<QByteArray, int>, 4> m_few;
    std::unique_ptr<QHash<QByteArray, int>> m_many;
};

// What is known of an element when it closes.
struct ElementEnd
{
    int children = 0;                  // element children
    const TypeCounts *types = nullptr; // with countTypes only
};

// The events of the tree, in document order; no tree is kept.
class TreeSink
{
public:
    virtual ~TreeSink() = default;
    virtual void elementStarted(const ElementStart &element) = 0;
    virtual void text(QByteArrayView text) = 0;
    virtual void comment(QByteArrayView text, bool begin, bool end) = 0;
    virtual void elementEnded(const ElementEnd &end) = 0;
};

// The standard's tree construction as far as a stream allows: the stack of
// open elements with implied end tags and scopes, the list of active
// formatting elements, tables and foreign content. Misnested formatting
// (<b><p>x</b>y) is resolved by holding the events of blocks opened inside a
// formatting element until it is known whether they move, up to kHoldLimit.
class TreeBuilder : public TokenSink
{
public:
    static constexpr int kDepthLimit = 512;
    static constexpr qint64 kHoldLimit = 1 << 20;

    // With countTypes, typeIndex and ElementEnd::childrenNamed are filled.
    TreeBuilder(TreeSink &sink, Notes &notes, bool countTypes);
    ~TreeBuilder() override;
    void setTokenizer(Tokenizer *tokenizer) { m_tokenizer = tokenizer; }
    qint64 heldBytes() const { return m_heldBytes; }

    void startTag(Tag &tag) override;
    void endTag(Tag &tag) override;
    void characters(QByteArrayView text) override;
    void commentBegin() override;
    void commentText(QByteArrayView text) override;
    void commentEnd() override;
    void doctype(const Doctype &doctype) override;
    void endOfFile() override;

    struct Private;

private:
    std::unique_ptr<Private> d;
    Tokenizer *m_tokenizer = nullptr;
    qint64 m_heldBytes = 0;
};

} // namespace html
