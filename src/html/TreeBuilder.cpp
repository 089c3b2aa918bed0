#include "html/TreeBuilder.h"

#include "html/Tags.h"

#include <algorithm>
#include <deque>

namespace html {

// ---------------------------------------------------------------------------
int TypeCounts::add(const QByteArray &name)
{
    if (m_many)
        return ++(*m_many)[name];
    for (auto &[n, count] : m_few) {
        if (n == name)
            return ++count;
    }
    if (m_few.size() < 16) {
        m_few.append({name, 1});
        return 1;
    }
    m_many = std::make_unique<QHash<QByteArray, int>>();
    for (const auto &[n, count] : m_few)
        m_many->insert(n, count);
    m_few.clear();
    return ++(*m_many)[name];
}

int TypeCounts::count(QByteArrayView name) const
{
    if (m_many)
        return m_many->value(QByteArray::fromRawData(name.data(), name.size()));
    for (const auto &[n, count] : m_few) {
        if (n == name)
            return count;
    }
    return 0;
}

void TypeCounts::clear()
{
    m_few.clear();
    m_many.reset();
}

void TypeCounts::swap(TypeCounts &other)
{
    std::swap(m_few, other.m_few);
    std::swap(m_many, other.m_many);
}

const Attribute *ElementStart::attribute(QByteArrayView wanted) const
{
    for (const Attribute &a : attributes) {
        if (a.name == wanted)
            return &a;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
namespace {

using T = TagId;
using Ns = Namespace;

enum class Mode : quint8
{
    Initial,
    BeforeHtml,
    BeforeHead,
    InHead,
    InHeadNoscript,
    AfterHead,
    InBody,
    Text,
    InTable,
    InCaption,
    InColumnGroup,
    InTableBody,
    InRow,
    InCell,
    InSelect,
    InSelectInTable,
    AfterBody,
    InFrameset,
    AfterFrameset,
    AfterAfterBody
};

bool isSpaceChar(char c)
{
    return c == ' ' || c == '\n' || c == '\t' || c == '\f' || c == '\r';
}

bool allSpace(QByteArrayView text)
{
    return std::all_of(text.begin(), text.end(), isSpaceChar);
}

template <typename V> bool among(V tag, std::initializer_list<V> tags)
{
    return std::find(tags.begin(), tags.end(), tag) != tags.end();
}

bool isSpecial(T t, Ns ns)
{
    if (ns == Ns::MathMl)
        return among(t, {T::Mi, T::Mo, T::Mn, T::Ms, T::Mtext, T::AnnotationXml});
    if (ns == Ns::Svg)
        return among(t, {T::ForeignObject, T::Desc, T::Title});
    return hasFlag(t, Special);
}

bool isHeading(T t)
{
    return t >= T::H1 && t <= T::H6;
}

bool closesParagraph(T t)
{
    return hasFlag(t, ClosesParagraph);
}

bool closedByBlockEnd(T t)
{
    return hasFlag(t, ClosedByBlockEnd);
}

bool impliedEnd(T t)
{
    return hasFlag(t, ImpliedEnd);
}

bool breaksOutOfForeign(T t, const Tag &tag)
{
    if (t == T::Font)
        return tag.attribute("color") || tag.attribute("face") || tag.attribute("size");
    return hasFlag(t, BreaksOutOfForeign);
}

// The standard's case adjustments of SVG names the tokenizer lower-cased.
QByteArray adjusted(const QByteArray &name, std::initializer_list<const char *> table)
{
    for (const char *entry : table) {
        if (qstrlen(entry) == size_t(name.size()) && name.compare(entry, Qt::CaseInsensitive) == 0)
            return QByteArray(entry);
    }
    return name;
}

QByteArray svgTagName(const QByteArray &name)
{
    return adjusted(name, {"altGlyph",
                           "altGlyphDef",
                           "altGlyphItem",
                           "animateColor",
                           "animateMotion",
                           "animateTransform",
                           "clipPath",
                           "feBlend",
                           "feColorMatrix",
                           "feComponentTransfer",
                           "feComposite",
                           "feConvolveMatrix",
                           "feDiffuseLighting",
                           "feDisplacementMap",
                           "feDistantLight",
                           "feDropShadow",
                           "feFlood",
                           "feFuncA",
                           "feFuncB",
                           "feFuncG",
                           "feFuncR",
                           "feGaussianBlur",
                           "feImage",
                           "feMerge",
                           "feMergeNode",
                           "feMorphology",
                           "feOffset",
                           "fePointLight",
                           "feSpecularLighting",
                           "feSpotLight",
                           "feTile",
                           "feTurbulence",
                           "foreignObject",
                           "glyphRef",
                           "linearGradient",
                           "radialGradient",
                           "textPath"});
}

void adjustSvgAttributes(std::span<Attribute> attributes)
{
    for (Attribute &a : attributes) {
        a.name = adjusted(a.name, {"attributeName",
                                   "attributeType",
                                   "baseFrequency",
                                   "baseProfile",
                                   "calcMode",
                                   "clipPathUnits",
                                   "diffuseConstant",
                                   "edgeMode",
                                   "filterUnits",
                                   "glyphRef",
                                   "gradientTransform",
                                   "gradientUnits",
                                   "kernelMatrix",
                                   "kernelUnitLength",
                                   "keyPoints",
                                   "keySplines",
                                   "keyTimes",
                                   "lengthAdjust",
                                   "limitingConeAngle",
                                   "markerHeight",
                                   "markerUnits",
                                   "markerWidth",
                                   "maskContentUnits",
                                   "maskUnits",
                                   "numOctaves",
                                   "pathLength",
                                   "patternContentUnits",
                                   "patternTransform",
                                   "patternUnits",
                                   "pointsAtX",
                                   "pointsAtY",
                                   "pointsAtZ",
                                   "preserveAlpha",
                                   "preserveAspectRatio",
                                   "primitiveUnits",
                                   "refX",
                                   "refY",
                                   "repeatCount",
                                   "repeatDur",
                                   "requiredExtensions",
                                   "requiredFeatures",
                                   "specularConstant",
                                   "specularExponent",
                                   "spreadMethod",
                                   "startOffset",
                                   "stdDeviation",
                                   "stitchTiles",
                                   "surfaceScale",
                                   "systemLanguage",
                                   "tableValues",
                                   "targetX",
                                   "targetY",
                                   "textLength",
                                   "viewBox",
                                   "viewTarget",
                                   "xChannelSelector",
                                   "yChannelSelector",
                                   "zoomAndPan"});
    }
}

struct Entry
{
    QByteArray name;
    T tag = T::Unknown;
    Ns ns = Ns::Html;
    bool inList = false;      // an active formatting element
    bool zombie = false;      // a form closed early: kept only for the events' nesting
    bool heldBlock = false;   // a block opened inside a formatting element
    bool integration = false; // an HTML integration point
    quint64 serial = 0;
    int heldAt = -1;
    quint32 holdGeneration = 0;
    int children = 0;
    std::shared_ptr<TypeCounts> types;
};

struct FormattingEntry
{
    bool marker = false;
    bool onStack = false;
    quint64 serial = 0;
    QByteArray name;
    T tag = T::Unknown;
    QList<Attribute> attributes;
    size_t fingerprint = 0; // of the attributes, in any order
};

size_t fingerprintOf(Attributes attributes)
{
    size_t sum = 0;
    for (const Attribute &a : attributes)
        sum += qHash(a.name) * 31 + qHash(a.value);
    return sum;
}

struct Held
{
    enum Kind : quint8
    {
        Open,
        Text,
        CommentBegin,
        CommentText,
        CommentEnd,
        Close
    };
    static Held textual(Kind kind, QByteArrayView text)
    {
        Held h;
        h.kind = kind;
        h.text = text.toByteArray();
        return h;
    }
    static Held open(const QByteArray &name, TagId tag, Namespace ns, Attributes attributes,
                     int depth, int index, int typeIndex, bool isVoid)
    {
        Held h;
        h.kind = Open;
        h.name = name;
        h.tag = tag;
        h.ns = ns;
        h.attributes = QList<Attribute>(attributes.begin(), attributes.end());
        h.depth = depth;
        h.index = index;
        h.typeIndex = typeIndex;
        h.isVoid = isVoid;
        return h;
    }
    static Held close(int children, const std::shared_ptr<TypeCounts> &types)
    {
        Held h;
        h.kind = Close;
        h.children = children;
        h.types = types;
        return h;
    }
    Kind kind = Text;
    QByteArray name, text;
    TagId tag = TagId::Unknown;
    Ns ns = Ns::Html;
    QList<Attribute> attributes;
    int depth = 0, index = 0, typeIndex = 0;
    bool isVoid = false;
    int children = 0;
    std::shared_ptr<TypeCounts> types;
};

enum class Scope
{
    Default,
    ListItem,
    Button,
    Table,
    Select
};

Attributes span(const QList<Attribute> &list)
{
    return Attributes(list.constData(), size_t(list.size()));
}

} // namespace

struct TreeBuilder::Private
{
    TreeBuilder &q;
    TreeSink &sink;
    Notes &notes;
    bool countTypes;
    Mode mode = Mode::Initial;
    Mode originalMode = Mode::InBody;
    bool quirks = false;
    bool skipNewline = false;
    bool inComment = false;
    bool commentShown = false;
    std::vector<Entry> stack;
    Entry document; // the parent of the root element, for its child counts
    // Dropped from the front once full: a deque keeps that constant.
    std::deque<FormattingEntry> formatting;
    quint64 nextSerial = 1;
    quint64 headSerial = 0, formSerial = 0;
    int tagCounts[int(T::Count)] = {};
    // Events held while a block inside a formatting element may yet move.
    std::vector<Held> held;
    bool holding = false;
    quint32 holdGeneration = 1;
    int heldBlocks = 0;
    int formattingOnStack = 0;

    Private(TreeBuilder &q, TreeSink &sink, Notes &notes, bool countTypes)
        : q(q), sink(sink), notes(notes), countTypes(countTypes)
    {
        if (countTypes)
            document.types = std::make_shared<TypeCounts>();
    }

    Entry &current() { return stack.back(); }
    static QByteArray nameOf(const Entry &e)
    {
        return e.ns == Ns::Html && e.tag != T::Unknown ? tagName(e.tag) : e.name;
    }
    bool currentIs(T t) const
    {
        return !stack.empty() && stack.back().tag == t && stack.back().ns == Ns::Html;
    }
    Entry &parentOfNew() { return stack.empty() ? document : stack.back(); }
    bool isHeld(const Entry &e) const
    {
        return holding && e.heldAt >= 0 && e.holdGeneration == holdGeneration;
    }

    // ---- events ---------------------------------------------------------
    void addHeld(Held &&event)
    {
        q.m_heldBytes += qint64(sizeof(Held)) + event.name.size() + event.text.size();
        for (const Attribute &a : std::as_const(event.attributes))
            q.m_heldBytes += a.name.size() + a.value.size();
        held.push_back(std::move(event));
        if (q.m_heldBytes > kHoldLimit)
            flushHeld();
    }

    void flushHeld()
    {
        // The sink never calls back, so the events go out in place and the
        // vector keeps its room for the next hold.
        holding = false;
        ++holdGeneration;
        q.m_heldBytes = 0;
        for (Held &e : held) {
            switch (e.kind) {
            case Held::Open: {
                ElementStart s{e.name,  e.ns,    e.tag,       span(e.attributes),
                               e.depth, e.index, e.typeIndex, e.isVoid};
                sink.elementStarted(s);
                break;
            }
            case Held::Text:
                sink.text(e.text);
                break;
            case Held::CommentBegin:
                sink.comment({}, true, false);
                break;
            case Held::CommentText:
                sink.comment(e.text, false, false);
                break;
            case Held::CommentEnd:
                sink.comment({}, false, true);
                break;
            case Held::Close: {
                ElementEnd end{e.children, e.types.get()};
                sink.elementEnded(end);
                break;
            }
            }
        }
        held.clear();
    }

    void emitText(QByteArrayView text)
    {
        if (text.isEmpty())
            return;
        if (holding)
            holdText(text);
        else
            sink.text(text);
    }

    void emitComment(QByteArrayView text, bool begin, bool end)
    {
        if (!holding) {
            sink.comment(text, begin, end);
            return;
        }
        const auto kind = begin ? Held::CommentBegin : end ? Held::CommentEnd : Held::CommentText;
        addHeld(Held::textual(kind, text));
    }

    // ---- the stack --------------------------------------------------------
    Entry &push(const QByteArray &name, T tag, Ns ns, Attributes attributes)
    {
        if (int(stack.size()) >= kDepthLimit) {
            // Made once: a page can reach this for every element.
            static const QString note =
                QStringLiteral("Elements nested deeper than %1 were made siblings")
                    .arg(kDepthLimit);
            notes.add(note);
            pop();
        }
        Entry &parent = parentOfNew();
        const int index = ++parent.children;
        const int typeIndex = countTypes ? parent.types->add(name) : 0;
        const bool isVoid = ns == Ns::Html && isVoidElement(tag);
        const bool heldBlock = ns == Ns::Html && isSpecial(tag, ns) && formattingOnStack > 0;
        if (heldBlock) {
            ++heldBlocks;
            holding = true;
        }
        const int depth = int(stack.size());
        int heldAt = -1;
        const quint32 generation = holdGeneration;
        if (holding) {
            heldAt = int(held.size());
            holdOpen(name, tag, ns, attributes, depth, index, typeIndex, isVoid);
        } else {
            sink.elementStarted(
                ElementStart{name, ns, tag, attributes, depth, index, typeIndex, isVoid});
        }
        if (ns == Ns::Html)
            ++tagCounts[int(tag)];
        // Made in place: an element costs no entry moved and destroyed.
        Entry &e = stack.emplace_back();
        // Known HTML names are their tag (see nameOf).
        if (ns != Ns::Html || tag == T::Unknown)
            e.name = name;
        e.tag = tag;
        e.ns = ns;
        e.serial = nextSerial++;
        e.heldBlock = heldBlock;
        e.heldAt = heldAt;
        e.holdGeneration = generation;
        if (countTypes)
            e.types = std::make_shared<TypeCounts>();
        if (ns == Ns::Svg && (tag == T::ForeignObject || tag == T::Desc || tag == T::Title))
            e.integration = true;
        if (ns == Ns::MathMl && tag == T::AnnotationXml) {
            for (const Attribute &a : attributes) {
                if (a.name == "encoding" &&
                    (a.value.compare("text/html", Qt::CaseInsensitive) == 0 ||
                     a.value.compare("application/xhtml+xml", Qt::CaseInsensitive) == 0))
                    e.integration = true;
            }
        }
        return e;
    }

    // The rare paths of the events, kept out of the common ones.
    [[gnu::noinline]] void holdOpen(const QByteArray &name, T tag, Ns ns, Attributes attributes,
                                    int depth, int index, int typeIndex, bool isVoid)
    {
        addHeld(Held::open(name, tag, ns, attributes, depth, index, typeIndex, isVoid));
    }
    [[gnu::noinline]] void holdText(QByteArrayView text)
    {
        addHeld(Held::textual(Held::Text, text));
    }
    [[gnu::noinline]] void holdClose(const Entry &e) { addHeld(Held::close(e.children, e.types)); }

    void closeEvent(Entry &e)
    {
        if (holding) {
            holdClose(e);
        } else {
            ElementEnd end{e.children, e.types.get()};
            sink.elementEnded(end);
        }
    }

    void forget(Entry &e)
    {
        if (e.ns == Ns::Html)
            --tagCounts[int(e.tag)];
        if (e.inList) {
            --formattingOnStack;
            for (auto it = formatting.rbegin(); it != formatting.rend(); ++it) {
                if (it->serial == e.serial) {
                    it->onStack = false;
                    break;
                }
            }
        }
        if (e.heldBlock && --heldBlocks == 0 && holding)
            flushHeld();
    }

    void pop()
    {
        Entry &e = stack.back();
        closeEvent(e);
        forget(e);
        stack.pop_back();
        // A form closed early ends with the last element inside it.
        while (!stack.empty() && stack.back().zombie) {
            closeEvent(stack.back());
            stack.pop_back();
        }
        updateForeign();
    }

    void popUntil(T tag)
    {
        while (!stack.empty()) {
            const bool done = stack.back().tag == tag && stack.back().ns == Ns::Html;
            pop();
            if (done)
                return;
        }
    }

    void popUntilHeading()
    {
        while (!stack.empty()) {
            const bool done = isHeading(stack.back().tag) && stack.back().ns == Ns::Html;
            pop();
            if (done)
                return;
        }
    }

    void updateForeign()
    {
        if (m_tokenizer())
            m_tokenizer()->setForeignContent(!stack.empty() && stack.back().ns != Ns::Html);
    }
    Tokenizer *m_tokenizer() const { return q.m_tokenizer; }

    bool inScope(T tag, Scope scope) const
    {
        if (tagCounts[int(tag)] == 0)
            return false;
        for (auto it = stack.rbegin(); it != stack.rend(); ++it) {
            if (it->zombie)
                continue;
            if (it->tag == tag && it->ns == Ns::Html)
                return true;
            if (isScopeBoundary(*it, scope))
                return false;
        }
        return false;
    }

    bool headingInScope() const
    {
        for (auto it = stack.rbegin(); it != stack.rend(); ++it) {
            if (isHeading(it->tag) && it->ns == Ns::Html)
                return true;
            if (isScopeBoundary(*it, Scope::Default))
                return false;
        }
        return false;
    }

    static bool isScopeBoundary(const Entry &e, Scope scope)
    {
        if (scope == Scope::Select)
            return !(e.ns == Ns::Html && (e.tag == T::Optgroup || e.tag == T::Option));
        if (e.ns == Ns::Html) {
            if (among(e.tag, {T::Html, T::Table, T::Template}))
                return true;
            if (scope == Scope::Table)
                return false;
            if (among(e.tag, {T::Applet, T::Caption, T::Td, T::Th, T::Marquee, T::Object}))
                return true;
            return (scope == Scope::ListItem && (e.tag == T::Ol || e.tag == T::Ul)) ||
                   (scope == Scope::Button && e.tag == T::Button);
        }
        return scope != Scope::Table && isSpecial(e.tag, e.ns);
    }

    void generateImpliedEndTags(T except = T::Unknown)
    {
        while (!stack.empty() && current().ns == Ns::Html && impliedEnd(current().tag) &&
               current().tag != except)
            pop();
    }

    void closeParagraph()
    {
        if (inScope(T::P, Scope::Button)) {
            generateImpliedEndTags(T::P);
            popUntil(T::P);
        }
    }

    void clearToContext(std::initializer_list<T> tags)
    {
        while (!stack.empty() && !(current().ns == Ns::Html && among(current().tag, tags)))
            pop();
    }

    // ---- active formatting elements ---------------------------------------
    void pushFormatting(const Tag &tag, T t)
    {
        // Noah's Ark: at most three equal entries after the last marker.
        // Fingerprints keep a long list of unequal ones linear.
        const size_t fingerprint = fingerprintOf(tag.attributes);
        int equal = 0;
        for (auto it = formatting.end(); it != formatting.begin();) {
            --it;
            if (it->marker)
                break;
            if (it->tag == t && it->fingerprint == fingerprint &&
                size_t(it->attributes.size()) == tag.attributes.size() &&
                std::is_permutation(it->attributes.cbegin(), it->attributes.cend(),
                                    tag.attributes.begin(),
                                    [](const Attribute &a, const Attribute &b) {
                                        return a.name == b.name && a.value == b.value;
                                    }) &&
                ++equal == 3) {
                formatting.erase(it);
                break;
            }
        }
        if (formatting.size() >= 256) {
            notes.add(QStringLiteral("More than 256 formatting elements were open at once"));
            formatting.erase(formatting.begin());
        }
        Entry &e = current();
        e.inList = true;
        ++formattingOnStack;
        FormattingEntry f;
        f.onStack = true;
        f.serial = e.serial;
        f.name = tag.name;
        f.tag = t;
        f.attributes = QList<Attribute>(tag.attributes.begin(), tag.attributes.end());
        f.fingerprint = fingerprint;
        formatting.push_back(std::move(f));
    }

    void pushMarker()
    {
        FormattingEntry marker;
        marker.marker = true;
        formatting.push_back(marker);
    }

    void clearToMarker()
    {
        while (!formatting.empty()) {
            const bool marker = formatting.back().marker;
            dropFormatting(int(formatting.size()) - 1);
            if (marker)
                return;
        }
    }

    void dropFormatting(int at)
    {
        if (!formatting[at].marker && formatting[at].onStack) {
            if (Entry *e = entryOf(formatting[at].serial)) {
                e->inList = false;
                --formattingOnStack;
            }
        }
        formatting.erase(formatting.begin() + at);
    }

    Entry *entryOf(quint64 serial)
    {
        for (auto it = stack.rbegin(); it != stack.rend(); ++it) {
            if (it->serial == serial)
                return &*it;
        }
        return nullptr;
    }

    int stackIndexOf(quint64 serial) const
    {
        for (int i = int(stack.size()) - 1; i >= 0; --i) {
            if (stack[size_t(i)].serial == serial)
                return i;
        }
        return -1;
    }

    void reconstructFormatting()
    {
        if (formatting.empty() || formatting.back().marker || formatting.back().onStack)
            return;
        size_t i = formatting.size() - 1;
        while (i > 0 && !formatting[i - 1].marker && !formatting[i - 1].onStack)
            --i;
        for (; i < formatting.size(); ++i) {
            FormattingEntry &f = formatting[i];
            Entry &e = push(f.name, f.tag, Ns::Html, span(f.attributes));
            e.inList = true;
            ++formattingOnStack;
            f.serial = e.serial;
            f.onStack = true;
        }
    }

    // The adoption agency: returns false when the end tag is to be treated
    // as any other end tag. Formatting elements have known names, told apart
    // by their tags.
    bool adoptionAgency(T subjectTag)
    {
        if (!stack.empty() && current().ns == Ns::Html && current().tag == subjectTag &&
            !current().inList) {
            pop();
            return true;
        }
        for (int outer = 0; outer < 8; ++outer) {
            int fi = -1; // formatting list index
            for (int i = int(formatting.size()) - 1; i >= 0 && !formatting[size_t(i)].marker; --i) {
                if (formatting[size_t(i)].tag == subjectTag) {
                    fi = i;
                    break;
                }
            }
            if (fi < 0)
                return outer > 0;
            const quint64 serial = formatting[size_t(fi)].serial;
            const int si = formatting[size_t(fi)].onStack ? stackIndexOf(serial) : -1;
            if (si < 0) {
                formatting.erase(formatting.begin() + fi);
                return true;
            }
            if (!inScope(subjectTag, Scope::Default))
                return true;
            int bi = -1;
            for (int i = si + 1; i < int(stack.size()); ++i) {
                if (isSpecial(stack[size_t(i)].tag, stack[size_t(i)].ns)) {
                    bi = i;
                    break;
                }
            }
            if (bi < 0) {
                while (int(stack.size()) > si)
                    pop();
                dropFormattingBySerial(serial);
                return true;
            }
            if (si == 0 || !isHeld(stack[size_t(bi)])) {
                // The block's start went out already: leave the element open.
                notes.add(QStringLiteral("Misnested formatting past 1 MiB was left unresolved"));
                dropFormattingBySerial(serial);
                return true;
            }
            adopt(si, bi, fi);
        }
        return true;
    }

    void dropFormattingBySerial(quint64 serial)
    {
        for (int i = int(formatting.size()) - 1; i >= 0; --i) {
            if (formatting[size_t(i)].serial == serial && !formatting[size_t(i)].marker) {
                dropFormatting(i);
                return;
            }
        }
    }

    // Moves the furthest block at stack index bi out of the formatting
    // element at si (list index fi) by rewriting the held events.
    void adopt(int si, int bi, int fi)
    {
        const int caIndex = si - 1;
        Entry &block = stack[size_t(bi)];
        const int at = block.heldAt;
        // The clones of formatting elements between, innermost first.
        std::vector<FormattingEntry> clones;
        int bookmark = fi + 1;
        int inner = 0;
        for (int i = bi - 1; i > si; --i) {
            ++inner;
            const quint64 serial = stack[size_t(i)].serial;
            int li = -1;
            for (int k = int(formatting.size()) - 1; k >= 0; --k) {
                if (formatting[size_t(k)].serial == serial && !formatting[size_t(k)].marker) {
                    li = k;
                    break;
                }
            }
            if (inner > 3 && li >= 0) {
                formatting.erase(formatting.begin() + li);
                if (li < bookmark)
                    --bookmark;
                li = -1;
            }
            if (li < 0)
                continue;
            FormattingEntry clone = formatting[size_t(li)];
            clone.serial = nextSerial++;
            clone.onStack = true;
            formatting[size_t(li)] = clone;
            if (clones.empty())
                bookmark = li + 1;
            clones.push_back(clone);
        }
        // Events at the block's start: the originals from F up close, the
        // clones open outermost first, then the block and F's clone in it.
        std::vector<Held> inserted;
        for (int i = bi - 1; i >= si; --i) {
            Entry &e = stack[size_t(i)];
            inserted.push_back(Held::close(e.children, e.types));
        }
        Entry &ca = caIndex >= 0 ? stack[size_t(caIndex)] : document;
        std::vector<Entry> chain;
        int depth = caIndex + 1;
        Entry *parent = &ca;
        for (auto it = clones.rbegin(); it != clones.rend(); ++it) {
            Entry e;
            e.name = it->name;
            e.tag = it->tag;
            e.serial = it->serial;
            e.inList = true;
            if (countTypes)
                e.types = std::make_shared<TypeCounts>();
            const int index = ++parent->children;
            const int typeIndex = countTypes ? parent->types->add(e.name) : 0;
            inserted.push_back(Held::open(e.name, e.tag, Ns::Html, span(it->attributes), depth++,
                                          index, typeIndex, false));
            chain.push_back(std::move(e));
            parent = &chain.back();
        }
        Held &blockOpen = held[size_t(at)];
        blockOpen.depth = depth;
        blockOpen.index = ++parent->children;
        blockOpen.typeIndex = countTypes ? parent->types->add(nameOf(block)) : 0;
        // F's clone takes the block's children.
        FormattingEntry fClone = formatting[size_t(fi)];
        fClone.serial = nextSerial++;
        fClone.onStack = true;
        Entry fEntry;
        fEntry.name = fClone.name;
        fEntry.tag = fClone.tag;
        fEntry.serial = fClone.serial;
        fEntry.inList = true;
        fEntry.children = block.children;
        fEntry.types = block.types;
        block.children = 1;
        if (countTypes) {
            block.types = std::make_shared<TypeCounts>();
            block.types->add(fEntry.name);
        }
        Held fOpen = Held::open(fEntry.name, fEntry.tag, Ns::Html, span(fClone.attributes),
                                depth + 1, 1, countTypes ? 1 : 0, false);
        const int shift = int(inserted.size()) + 1;
        held.insert(held.begin() + at, std::make_move_iterator(inserted.begin()),
                    std::make_move_iterator(inserted.end()));
        held.insert(held.begin() + at + int(inserted.size()) + 1, std::move(fOpen));
        const int depthDelta = depth + 1 - bi; // the block's former children were at bi + 1
        for (size_t k = size_t(at + shift + 1); k < held.size(); ++k) {
            if (held[k].kind == Held::Open)
                held[k].depth += depthDelta;
        }
        // The list: F's clone at the bookmark in F's place.
        formatting.insert(formatting.begin() + bookmark, fClone);
        formatting.erase(formatting.begin() + (bookmark <= fi ? fi + 1 : fi));
        // The stack: CA, the clones, the block, F's clone, what was above.
        std::vector<Entry> above(std::make_move_iterator(stack.begin() + bi + 1),
                                 std::make_move_iterator(stack.end()));
        Entry blockEntry = std::move(stack[size_t(bi)]);
        for (int i = int(stack.size()) - 1; i >= si; --i) {
            if (i == bi)
                continue;
            if (i > bi)
                continue;
            forgetQuietly(stack[size_t(i)]);
        }
        stack.resize(size_t(si));
        blockEntry.heldAt = at + shift - 1;
        for (Entry &e : chain) {
            e.heldAt = -1;
            ++formattingOnStack;
            ++tagCounts[int(e.tag)];
            stack.push_back(std::move(e));
        }
        stack.push_back(std::move(blockEntry));
        fEntry.heldAt = at + shift;
        fEntry.holdGeneration = holdGeneration;
        ++formattingOnStack;
        ++tagCounts[int(fEntry.tag)];
        stack.push_back(std::move(fEntry));
        for (Entry &e : above) {
            if (e.heldAt >= 0)
                e.heldAt += shift;
            stack.push_back(std::move(e));
        }
        for (Entry &e : stack) {
            if (e.holdGeneration != holdGeneration)
                e.heldAt = -1;
        }
    }

    // Off the stack without an event: its close is among the rewritten ones.
    void forgetQuietly(Entry &e)
    {
        if (e.ns == Ns::Html)
            --tagCounts[int(e.tag)];
        if (e.inList) {
            --formattingOnStack;
            for (FormattingEntry &f : formatting) {
                if (f.serial == e.serial)
                    f.onStack = false;
            }
        }
        if (e.heldBlock)
            --heldBlocks;
    }

    // ---- insertion -------------------------------------------------------
    Entry &insert(const Tag &tag, T t, Ns ns = Ns::Html)
    {
        Entry &e = push(tag.name, t, ns, tag.attributes);
        updateForeign();
        return e;
    }

    void insertVoid(const Tag &tag, T t)
    {
        insert(tag, t);
        pop();
    }

    void insertImplied(T tag)
    {
        push(tagName(tag), tag, Ns::Html, {});
        updateForeign();
    }

    void rawText(const Tag &tag, T t, Tokenizer::State state)
    {
        insert(tag, t);
        if (m_tokenizer()) {
            m_tokenizer()->setState(state);
            m_tokenizer()->setLastStartTag(tag.name);
        }
        originalMode = mode;
        mode = Mode::Text;
    }

    void resetMode()
    {
        for (int i = int(stack.size()) - 1; i >= 0; --i) {
            const Entry &e = stack[size_t(i)];
            const bool last = i == 0;
            if (e.ns != Ns::Html && !last)
                continue;
            switch (e.tag) {
            case T::Select:
                for (int k = i - 1; k > 0; --k) {
                    if (stack[size_t(k)].tag == T::Table && stack[size_t(k)].ns == Ns::Html) {
                        mode = Mode::InSelectInTable;
                        return;
                    }
                }
                mode = Mode::InSelect;
                return;
            case T::Td:
            case T::Th:
                if (last)
                    break;
                mode = Mode::InCell;
                return;
            case T::Tr:
                mode = Mode::InRow;
                return;
            case T::Tbody:
            case T::Thead:
            case T::Tfoot:
                mode = Mode::InTableBody;
                return;
            case T::Caption:
                mode = Mode::InCaption;
                return;
            case T::Colgroup:
                mode = Mode::InColumnGroup;
                return;
            case T::Table:
                mode = Mode::InTable;
                return;
            case T::Template:
                mode = Mode::InBody;
                return;
            case T::Head:
                if (last)
                    break;
                mode = Mode::InHead;
                return;
            case T::Body:
                mode = Mode::InBody;
                return;
            case T::Frameset:
                mode = Mode::InFrameset;
                return;
            case T::Html:
                mode = headSerial ? Mode::AfterHead : Mode::BeforeHead;
                return;
            default:
                break;
            }
            if (last)
                break;
        }
        mode = Mode::InBody;
    }

    // ---- tokens ------------------------------------------------------------
    bool inForeignContent(const Tag *start) const
    {
        if (stack.empty())
            return false;
        const Entry &e = stack.back();
        if (e.ns == Ns::Html)
            return false;
        const bool mathText =
            e.ns == Ns::MathMl && among(e.tag, {T::Mi, T::Mo, T::Mn, T::Ms, T::Mtext});
        if (start) {
            const T t = tagId(start->name);
            if (mathText && t != T::Mglyph && t != T::Malignmark)
                return false;
            if (e.ns == Ns::MathMl && e.tag == T::AnnotationXml && t == T::Svg)
                return false;
            if (e.integration)
                return false;
            return true;
        }
        return !(mathText || e.integration); // characters
    }

    void startTag(Tag &tag)
    {
        skipNewline = false;
        const T t = tag.id;
        if (inForeignContent(&tag)) {
            if (breaksOutOfForeign(t, tag)) {
                while (!stack.empty() && current().ns != Ns::Html && !current().integration &&
                       !(current().ns == Ns::MathMl &&
                         among(current().tag, {T::Mi, T::Mo, T::Mn, T::Ms, T::Mtext})))
                    pop();
                startTagIn(mode, tag, t);
                return;
            }
            insertForeign(tag, current().ns);
            return;
        }
        // Nearly every tag of a page comes in body: straight there.
        if (mode == Mode::InBody)
            inBodyStart(tag, t);
        else
            startTagIn(mode, tag, t);
    }

    void insertForeign(Tag &tag, Ns ns)
    {
        if (ns == Ns::Svg) {
            tag.name = svgTagName(tag.name);
            adjustSvgAttributes(tag.attributes);
        } else {
            for (Attribute &a : tag.attributes) {
                if (a.name == "definitionurl")
                    a.name = "definitionURL";
            }
        }
        const T t = tagId(tag.name);
        push(tag.name, t, ns, tag.attributes);
        if (tag.selfClosing)
            pop();
        updateForeign();
    }

    void startTagIn(Mode m, Tag &tag, T t)
    {
        switch (m) {
        case Mode::Initial:
            quirks = true;
            mode = Mode::BeforeHtml;
            [[fallthrough]];
        case Mode::BeforeHtml:
            if (t == T::Html) {
                insert(tag, t);
                mode = Mode::BeforeHead;
                return;
            }
            insertImplied(T::Html);
            mode = Mode::BeforeHead;
            [[fallthrough]];
        case Mode::BeforeHead:
            if (t == T::Html)
                return;
            if (t == T::Head) {
                headSerial = insert(tag, t).serial;
                mode = Mode::InHead;
                return;
            }
            insertImplied(T::Head);
            headSerial = current().serial;
            mode = Mode::InHead;
            [[fallthrough]];
        case Mode::InHead:
            if (inHeadStart(tag, t))
                return;
            popUntil(T::Head);
            mode = Mode::AfterHead;
            [[fallthrough]];
        case Mode::AfterHead:
            if (t == T::Html || t == T::Head)
                return;
            if (t == T::Body) {
                insert(tag, t);
                mode = Mode::InBody;
                return;
            }
            if (t == T::Frameset) {
                insert(tag, t);
                mode = Mode::InFrameset;
                return;
            }
            if (among(t, {T::Base, T::Basefont, T::Bgsound, T::Link, T::Meta, T::Noframes,
                          T::Script, T::Style, T::Template, T::Title})) {
                inHeadStart(tag, t);
                return;
            }
            insertImplied(T::Body);
            mode = Mode::InBody;
            inBodyStart(tag, t);
            return;
        case Mode::InHeadNoscript:
            if (among(t, {T::Basefont, T::Bgsound, T::Link, T::Meta, T::Noframes, T::Style})) {
                inHeadStart(tag, t);
                return;
            }
            if (t == T::Head || t == T::Noscript || t == T::Html)
                return;
            pop();
            mode = Mode::InHead;
            startTagIn(mode, tag, t);
            return;
        case Mode::InBody:
        case Mode::Text:
            inBodyStart(tag, t);
            return;
        case Mode::InTable:
            inTableStart(tag, t);
            return;
        case Mode::InCaption:
            if (among(t, {T::Caption, T::Col, T::Colgroup, T::Tbody, T::Td, T::Tfoot, T::Th,
                          T::Thead, T::Tr})) {
                if (!inScope(T::Caption, Scope::Table))
                    return;
                closeCaption();
                startTagIn(mode, tag, t);
                return;
            }
            inBodyStart(tag, t);
            return;
        case Mode::InColumnGroup:
            if (t == T::Col) {
                insertVoid(tag, t);
                return;
            }
            if (t == T::Template) {
                inHeadStart(tag, t);
                return;
            }
            if (!currentIs(T::Colgroup))
                return;
            pop();
            mode = Mode::InTable;
            startTagIn(mode, tag, t);
            return;
        case Mode::InTableBody:
            if (t == T::Tr) {
                clearToContext({T::Tbody, T::Tfoot, T::Thead, T::Template, T::Html});
                insert(tag, t);
                mode = Mode::InRow;
                return;
            }
            if (t == T::Th || t == T::Td) {
                clearToContext({T::Tbody, T::Tfoot, T::Thead, T::Template, T::Html});
                insertImplied(T::Tr);
                mode = Mode::InRow;
                startTagIn(mode, tag, t);
                return;
            }
            if (among(t, {T::Caption, T::Col, T::Colgroup, T::Tbody, T::Tfoot, T::Thead})) {
                if (!inScope(T::Tbody, Scope::Table) && !inScope(T::Thead, Scope::Table) &&
                    !inScope(T::Tfoot, Scope::Table))
                    return;
                clearToContext({T::Tbody, T::Tfoot, T::Thead, T::Template, T::Html});
                pop();
                mode = Mode::InTable;
                startTagIn(mode, tag, t);
                return;
            }
            inTableStart(tag, t);
            return;
        case Mode::InRow:
            if (t == T::Th || t == T::Td) {
                clearToContext({T::Tr, T::Template, T::Html});
                insert(tag, t);
                mode = Mode::InCell;
                pushMarker();
                return;
            }
            if (among(t, {T::Caption, T::Col, T::Colgroup, T::Tbody, T::Tfoot, T::Thead, T::Tr})) {
                if (!inScope(T::Tr, Scope::Table))
                    return;
                closeRow();
                startTagIn(mode, tag, t);
                return;
            }
            inTableStart(tag, t);
            return;
        case Mode::InCell:
            if (among(t, {T::Caption, T::Col, T::Colgroup, T::Tbody, T::Td, T::Tfoot, T::Th,
                          T::Thead, T::Tr})) {
                if (!inScope(T::Td, Scope::Table) && !inScope(T::Th, Scope::Table))
                    return;
                closeCell();
                startTagIn(mode, tag, t);
                return;
            }
            inBodyStart(tag, t);
            return;
        case Mode::InSelectInTable:
            if (among(t,
                      {T::Caption, T::Table, T::Tbody, T::Tfoot, T::Thead, T::Tr, T::Td, T::Th})) {
                popUntil(T::Select);
                resetMode();
                startTagIn(mode, tag, t);
                return;
            }
            [[fallthrough]];
        case Mode::InSelect:
            inSelectStart(tag, t);
            return;
        case Mode::AfterBody:
        case Mode::AfterAfterBody:
            if (t == T::Html)
                return;
            mode = Mode::InBody;
            inBodyStart(tag, t);
            return;
        case Mode::InFrameset:
            if (t == T::Frameset)
                insert(tag, t);
            else if (t == T::Frame)
                insertVoid(tag, t);
            else if (t == T::Noframes)
                inHeadStart(tag, t);
            return;
        case Mode::AfterFrameset:
            if (t == T::Noframes)
                inHeadStart(tag, t);
            return;
        }
    }

    bool inHeadStart(Tag &tag, T t)
    {
        switch (t) {
        case T::Html:
            return true;
        case T::Base:
        case T::Basefont:
        case T::Bgsound:
        case T::Link:
        case T::Meta:
            insertVoid(tag, t);
            return true;
        case T::Title:
            rawText(tag, t, Tokenizer::State::RcData);
            return true;
        case T::Noscript:
            if (mode == Mode::InHead) {
                insert(tag, t);
                mode = Mode::InHeadNoscript;
                return true;
            }
            [[fallthrough]];
        case T::Noframes:
        case T::Style:
            rawText(tag, t, Tokenizer::State::RawText);
            return true;
        case T::Script:
            rawText(tag, t, Tokenizer::State::ScriptData);
            return true;
        case T::Template:
            insert(tag, t);
            pushMarker();
            if (mode == Mode::InHead || mode == Mode::AfterHead)
                mode = Mode::InBody;
            return true;
        case T::Head:
            return true;
        default:
            return false;
        }
    }

    void inBodyStart(Tag &tag, T t)
    {
        switch (t) {
        case T::Html:
        case T::Body:
        case T::Frameset:
        case T::Caption:
        case T::Col:
        case T::Colgroup:
        case T::Frame:
        case T::Head:
        case T::Tbody:
        case T::Td:
        case T::Tfoot:
        case T::Th:
        case T::Thead:
        case T::Tr:
            return;
        case T::Base:
        case T::Basefont:
        case T::Bgsound:
        case T::Link:
        case T::Meta:
        case T::Noframes:
        case T::Script:
        case T::Style:
        case T::Template:
        case T::Title:
            inHeadStart(tag, t);
            return;
        case T::H1:
        case T::H2:
        case T::H3:
        case T::H4:
        case T::H5:
        case T::H6:
            closeParagraph();
            if (!stack.empty() && current().ns == Ns::Html && isHeading(current().tag))
                pop();
            insert(tag, t);
            return;
        case T::Pre:
        case T::Listing:
            closeParagraph();
            insert(tag, t);
            skipNewline = true;
            return;
        case T::Form:
            if (formSerial && entryOf(formSerial))
                return;
            closeParagraph();
            formSerial = insert(tag, t).serial;
            return;
        case T::Li:
        case T::Dd:
        case T::Dt:
            for (int i = int(stack.size()) - 1; i >= 0; --i) {
                const Entry &e = stack[size_t(i)];
                const bool kin = e.ns == Ns::Html &&
                                 (t == T::Li ? e.tag == T::Li : (e.tag == T::Dd || e.tag == T::Dt));
                if (kin) {
                    const T found = e.tag;
                    generateImpliedEndTags(found);
                    popUntil(found);
                    break;
                }
                if (isSpecial(e.tag, e.ns) &&
                    !(e.ns == Ns::Html && among(e.tag, {T::Address, T::Div, T::P})))
                    break;
            }
            closeParagraph();
            insert(tag, t);
            return;
        case T::Plaintext:
            closeParagraph();
            insert(tag, t);
            if (m_tokenizer())
                m_tokenizer()->setState(Tokenizer::State::PlainText);
            return;
        case T::Button:
            if (inScope(T::Button, Scope::Default)) {
                generateImpliedEndTags();
                popUntil(T::Button);
            }
            reconstructFormatting();
            insert(tag, t);
            return;
        case T::A:
            for (int i = int(formatting.size()) - 1; i >= 0 && !formatting[size_t(i)].marker; --i) {
                if (formatting[size_t(i)].tag == T::A) {
                    const quint64 serial = formatting[size_t(i)].serial;
                    adoptionAgency(T::A);
                    dropFormattingBySerial(serial);
                    const int si = stackIndexOf(serial);
                    if (si >= 0)
                        removeFromStack(si);
                    break;
                }
            }
            reconstructFormatting();
            insert(tag, t);
            pushFormatting(tag, t);
            return;
        case T::B:
        case T::Big:
        case T::Code:
        case T::Em:
        case T::Font:
        case T::I:
        case T::S:
        case T::Small:
        case T::Strike:
        case T::Strong:
        case T::Tt:
        case T::U:
            reconstructFormatting();
            insert(tag, t);
            pushFormatting(tag, t);
            return;
        case T::Nobr:
            reconstructFormatting();
            if (inScope(T::Nobr, Scope::Default)) {
                adoptionAgency(T::Nobr);
                reconstructFormatting();
            }
            insert(tag, t);
            pushFormatting(tag, t);
            return;
        case T::Applet:
        case T::Marquee:
        case T::Object:
            reconstructFormatting();
            insert(tag, t);
            pushMarker();
            return;
        case T::Table:
            if (!quirks)
                closeParagraph();
            insert(tag, t);
            mode = Mode::InTable;
            return;
        case T::Area:
        case T::Br:
        case T::Embed:
        case T::Img:
        case T::Keygen:
        case T::Wbr:
        case T::Input:
            reconstructFormatting();
            insertVoid(tag, t);
            return;
        case T::Param:
        case T::Source:
        case T::Track:
            insertVoid(tag, t);
            return;
        case T::Hr:
            closeParagraph();
            insertVoid(tag, t);
            return;
        case T::Image:
            tag.name = "img";
            inBodyStart(tag, T::Img);
            return;
        case T::Textarea:
            insert(tag, t);
            skipNewline = true;
            if (m_tokenizer()) {
                m_tokenizer()->setState(Tokenizer::State::RcData);
                m_tokenizer()->setLastStartTag(tag.name);
            }
            originalMode = mode;
            mode = Mode::Text;
            return;
        case T::Xmp:
            closeParagraph();
            reconstructFormatting();
            rawText(tag, t, Tokenizer::State::RawText);
            return;
        case T::Iframe:
        case T::Noembed:
            rawText(tag, t, Tokenizer::State::RawText);
            return;
        case T::Select:
            reconstructFormatting();
            insert(tag, t);
            mode = among(mode, {Mode::InTable, Mode::InCaption, Mode::InTableBody, Mode::InRow,
                                Mode::InCell})
                       ? Mode::InSelectInTable
                       : Mode::InSelect;
            return;
        case T::Optgroup:
        case T::Option:
            if (currentIs(T::Option))
                pop();
            reconstructFormatting();
            insert(tag, t);
            return;
        case T::Rb:
        case T::Rtc:
            if (inScope(T::Ruby, Scope::Default))
                generateImpliedEndTags();
            insert(tag, t);
            return;
        case T::Rp:
        case T::Rt:
            if (inScope(T::Ruby, Scope::Default))
                generateImpliedEndTags(T::Rtc);
            insert(tag, t);
            return;
        case T::Math:
        case T::Svg:
            reconstructFormatting();
            insertForeign(tag, t == T::Math ? Ns::MathMl : Ns::Svg);
            return;
        default:
            if (closesParagraph(t)) {
                closeParagraph();
                insert(tag, t);
                return;
            }
            reconstructFormatting();
            insert(tag, t);
            return;
        }
    }

    void removeFromStack(int index)
    {
        if (index == int(stack.size()) - 1) {
            pop();
            return;
        }
        // Still the parent of what is above it: its close waits for them.
        Entry &e = stack[size_t(index)];
        forget(e);
        e.inList = false;
        e.zombie = true;
        e.tag = T::Unknown;
        e.name = QByteArray();
    }

    void inTableStart(Tag &tag, T t)
    {
        switch (t) {
        case T::Caption:
            clearToContext({T::Table, T::Template, T::Html});
            pushMarker();
            insert(tag, t);
            mode = Mode::InCaption;
            return;
        case T::Colgroup:
            clearToContext({T::Table, T::Template, T::Html});
            insert(tag, t);
            mode = Mode::InColumnGroup;
            return;
        case T::Col:
            clearToContext({T::Table, T::Template, T::Html});
            insertImplied(T::Colgroup);
            mode = Mode::InColumnGroup;
            startTagIn(mode, tag, t);
            return;
        case T::Tbody:
        case T::Tfoot:
        case T::Thead:
            clearToContext({T::Table, T::Template, T::Html});
            insert(tag, t);
            mode = Mode::InTableBody;
            return;
        case T::Td:
        case T::Th:
        case T::Tr:
            clearToContext({T::Table, T::Template, T::Html});
            insertImplied(T::Tbody);
            mode = Mode::InTableBody;
            startTagIn(mode, tag, t);
            return;
        case T::Table:
            if (!inScope(T::Table, Scope::Table))
                return;
            popUntil(T::Table);
            resetMode();
            startTagIn(mode, tag, t);
            return;
        case T::Style:
        case T::Script:
        case T::Template:
            inHeadStart(tag, t);
            return;
        case T::Input:
            if (const Attribute *type = tag.attribute("type");
                type && type->value.compare("hidden", Qt::CaseInsensitive) == 0) {
                insertVoid(tag, t);
                return;
            }
            break;
        case T::Form:
            if (formSerial && entryOf(formSerial))
                return;
            formSerial = insert(tag, t).serial;
            pop();
            return;
        default:
            break;
        }
        // Foster parenting is not done: the element stays where it is.
        inBodyStart(tag, t);
    }

    void inSelectStart(Tag &tag, T t)
    {
        switch (t) {
        case T::Html:
            return;
        case T::Option:
            if (currentIs(T::Option))
                pop();
            insert(tag, t);
            return;
        case T::Optgroup:
            if (currentIs(T::Option))
                pop();
            if (currentIs(T::Optgroup))
                pop();
            insert(tag, t);
            return;
        case T::Hr:
            if (currentIs(T::Option))
                pop();
            if (currentIs(T::Optgroup))
                pop();
            insertVoid(tag, t);
            return;
        case T::Select:
            if (inScope(T::Select, Scope::Select)) {
                popUntil(T::Select);
                resetMode();
            }
            return;
        case T::Input:
        case T::Keygen:
        case T::Textarea:
            if (!inScope(T::Select, Scope::Select))
                return;
            popUntil(T::Select);
            resetMode();
            startTagIn(mode, tag, t);
            return;
        case T::Script:
        case T::Template:
            inHeadStart(tag, t);
            return;
        default:
            return;
        }
    }

    void closeCaption()
    {
        generateImpliedEndTags();
        popUntil(T::Caption);
        clearToMarker();
        mode = Mode::InTable;
    }

    void closeRow()
    {
        clearToContext({T::Tr, T::Template, T::Html});
        pop();
        mode = Mode::InTableBody;
    }

    void closeCell()
    {
        generateImpliedEndTags();
        while (!stack.empty()) {
            const bool cell =
                current().ns == Ns::Html && (current().tag == T::Td || current().tag == T::Th);
            pop();
            if (cell)
                break;
        }
        clearToMarker();
        mode = Mode::InRow;
    }

    // ---- end tags --------------------------------------------------------
    void endTag(Tag &tag)
    {
        skipNewline = false;
        const T t = tag.id;
        if (!stack.empty() && current().ns != Ns::Html) {
            foreignEnd(tag, t);
            return;
        }
        if (mode == Mode::InBody)
            inBodyEnd(tag, t);
        else
            endTagIn(mode, tag, t);
    }

    void foreignEnd(Tag &tag, T t)
    {
        for (int i = int(stack.size()) - 1; i > 0; --i) {
            Entry &e = stack[size_t(i)];
            if (e.ns == Ns::Html) {
                endTagIn(mode, tag, t);
                return;
            }
            if (e.name.compare(tag.name, Qt::CaseInsensitive) == 0) {
                while (int(stack.size()) > i)
                    pop();
                return;
            }
        }
    }

    void endTagIn(Mode m, Tag &tag, T t)
    {
        switch (m) {
        case Mode::Initial:
            quirks = true;
            mode = Mode::BeforeHtml;
            [[fallthrough]];
        case Mode::BeforeHtml:
            if (!among(t, {T::Head, T::Body, T::Html, T::Br}))
                return;
            insertImplied(T::Html);
            mode = Mode::BeforeHead;
            [[fallthrough]];
        case Mode::BeforeHead:
            if (!among(t, {T::Head, T::Body, T::Html, T::Br}))
                return;
            insertImplied(T::Head);
            headSerial = current().serial;
            mode = Mode::InHead;
            [[fallthrough]];
        case Mode::InHead:
            if (t == T::Template) {
                endTemplate();
                return;
            }
            if (t != T::Head && !among(t, {T::Body, T::Html, T::Br}))
                return;
            popUntil(T::Head);
            mode = Mode::AfterHead;
            if (t == T::Head)
                return;
            [[fallthrough]];
        case Mode::AfterHead:
            if (t == T::Template) {
                endTemplate();
                return;
            }
            if (!among(t, {T::Body, T::Html, T::Br}))
                return;
            insertImplied(T::Body);
            mode = Mode::InBody;
            endTagIn(mode, tag, t);
            return;
        case Mode::InHeadNoscript:
            if (t == T::Noscript) {
                pop();
                mode = Mode::InHead;
            } else if (t == T::Br) {
                pop();
                mode = Mode::InHead;
                endTagIn(mode, tag, t);
            }
            return;
        case Mode::Text:
            pop();
            mode = originalMode;
            return;
        case Mode::InBody:
            inBodyEnd(tag, t);
            return;
        case Mode::InTable:
            inTableEnd(tag, t);
            return;
        case Mode::InCaption:
            if (t == T::Caption || t == T::Table) {
                if (!inScope(T::Caption, Scope::Table))
                    return;
                closeCaption();
                if (t == T::Table)
                    endTagIn(mode, tag, t);
                return;
            }
            if (among(t, {T::Body, T::Col, T::Colgroup, T::Html, T::Tbody, T::Td, T::Tfoot, T::Th,
                          T::Thead, T::Tr}))
                return;
            inBodyEnd(tag, t);
            return;
        case Mode::InColumnGroup:
            if (t == T::Colgroup) {
                if (currentIs(T::Colgroup)) {
                    pop();
                    mode = Mode::InTable;
                }
                return;
            }
            if (t == T::Col)
                return;
            if (t == T::Template) {
                endTemplate();
                return;
            }
            if (!currentIs(T::Colgroup))
                return;
            pop();
            mode = Mode::InTable;
            endTagIn(mode, tag, t);
            return;
        case Mode::InTableBody:
            if (among(t, {T::Tbody, T::Tfoot, T::Thead})) {
                if (!inScope(t, Scope::Table))
                    return;
                clearToContext({T::Tbody, T::Tfoot, T::Thead, T::Template, T::Html});
                pop();
                mode = Mode::InTable;
                return;
            }
            if (t == T::Table) {
                if (!inScope(T::Tbody, Scope::Table) && !inScope(T::Thead, Scope::Table) &&
                    !inScope(T::Tfoot, Scope::Table))
                    return;
                clearToContext({T::Tbody, T::Tfoot, T::Thead, T::Template, T::Html});
                pop();
                mode = Mode::InTable;
                endTagIn(mode, tag, t);
                return;
            }
            if (among(t, {T::Body, T::Caption, T::Col, T::Colgroup, T::Html, T::Td, T::Th, T::Tr}))
                return;
            inTableEnd(tag, t);
            return;
        case Mode::InRow:
            if (t == T::Tr) {
                if (inScope(T::Tr, Scope::Table))
                    closeRow();
                return;
            }
            if (t == T::Table || among(t, {T::Tbody, T::Tfoot, T::Thead})) {
                if (t != T::Table && !inScope(t, Scope::Table))
                    return;
                if (!inScope(T::Tr, Scope::Table))
                    return;
                closeRow();
                endTagIn(mode, tag, t);
                return;
            }
            if (among(t, {T::Body, T::Caption, T::Col, T::Colgroup, T::Html, T::Td, T::Th}))
                return;
            inTableEnd(tag, t);
            return;
        case Mode::InCell:
            if (t == T::Td || t == T::Th) {
                if (!inScope(t, Scope::Table))
                    return;
                generateImpliedEndTags();
                popUntil(t);
                clearToMarker();
                mode = Mode::InRow;
                return;
            }
            if (among(t, {T::Body, T::Caption, T::Col, T::Colgroup, T::Html}))
                return;
            if (among(t, {T::Table, T::Tbody, T::Tfoot, T::Thead, T::Tr})) {
                if (!inScope(t, Scope::Table))
                    return;
                closeCell();
                endTagIn(mode, tag, t);
                return;
            }
            inBodyEnd(tag, t);
            return;
        case Mode::InSelectInTable:
            if (among(t,
                      {T::Caption, T::Table, T::Tbody, T::Tfoot, T::Thead, T::Tr, T::Td, T::Th})) {
                if (!inScope(t, Scope::Table))
                    return;
                popUntil(T::Select);
                resetMode();
                endTagIn(mode, tag, t);
                return;
            }
            [[fallthrough]];
        case Mode::InSelect:
            if (t == T::Optgroup) {
                if (currentIs(T::Option) && stack.size() > 1 &&
                    stack[stack.size() - 2].tag == T::Optgroup)
                    pop();
                if (currentIs(T::Optgroup))
                    pop();
            } else if (t == T::Option) {
                if (currentIs(T::Option))
                    pop();
            } else if (t == T::Select) {
                if (inScope(T::Select, Scope::Select)) {
                    popUntil(T::Select);
                    resetMode();
                }
            } else if (t == T::Template) {
                endTemplate();
            }
            return;
        case Mode::AfterBody:
            if (t == T::Html) {
                mode = Mode::AfterAfterBody;
                return;
            }
            mode = Mode::InBody;
            inBodyEnd(tag, t);
            return;
        case Mode::AfterAfterBody:
            mode = Mode::InBody;
            inBodyEnd(tag, t);
            return;
        case Mode::InFrameset:
            if (t == T::Frameset && !currentIs(T::Html)) {
                pop();
                if (!currentIs(T::Frameset))
                    mode = Mode::AfterFrameset;
            }
            return;
        case Mode::AfterFrameset:
            return;
        }
    }

    void endTemplate()
    {
        if (!inScope(T::Template, Scope::Table))
            return;
        generateImpliedEndTags();
        popUntil(T::Template);
        clearToMarker();
        resetMode();
    }

    void inTableEnd(Tag &tag, T t)
    {
        if (t == T::Table) {
            if (!inScope(T::Table, Scope::Table))
                return;
            popUntil(T::Table);
            resetMode();
            return;
        }
        if (among(t, {T::Body, T::Caption, T::Col, T::Colgroup, T::Html, T::Tbody, T::Td, T::Tfoot,
                      T::Th, T::Thead, T::Tr}))
            return;
        if (t == T::Template) {
            endTemplate();
            return;
        }
        inBodyEnd(tag, t);
    }

    void inBodyEnd(Tag &tag, T t)
    {
        if (closedByBlockEnd(t)) {
            if (!inScope(t, Scope::Default))
                return;
            generateImpliedEndTags();
            popUntil(t);
            return;
        }
        switch (t) {
        case T::Template:
            endTemplate();
            return;
        case T::Body:
        case T::Html:
            if (!inScope(T::Body, Scope::Default))
                return;
            mode = Mode::AfterBody;
            if (t == T::Html)
                endTagIn(mode, tag, t);
            return;
        case T::Form: {
            const quint64 serial = std::exchange(formSerial, 0);
            const int index = serial ? stackIndexOf(serial) : -1;
            if (index < 0 || !inScope(T::Form, Scope::Default))
                return;
            generateImpliedEndTags();
            removeFromStack(stackIndexOf(serial));
            return;
        }
        case T::P:
            if (!inScope(T::P, Scope::Button))
                insertImplied(T::P);
            generateImpliedEndTags(T::P);
            popUntil(T::P);
            return;
        case T::Li:
            if (!inScope(T::Li, Scope::ListItem))
                return;
            generateImpliedEndTags(T::Li);
            popUntil(T::Li);
            return;
        case T::Dd:
        case T::Dt:
            if (!inScope(t, Scope::Default))
                return;
            generateImpliedEndTags(t);
            popUntil(t);
            return;
        case T::H1:
        case T::H2:
        case T::H3:
        case T::H4:
        case T::H5:
        case T::H6:
            if (!headingInScope())
                return;
            generateImpliedEndTags();
            popUntilHeading();
            return;
        case T::A:
        case T::B:
        case T::Big:
        case T::Code:
        case T::Em:
        case T::Font:
        case T::I:
        case T::Nobr:
        case T::S:
        case T::Small:
        case T::Strike:
        case T::Strong:
        case T::Tt:
        case T::U:
            if (adoptionAgency(t))
                return;
            break;
        case T::Applet:
        case T::Marquee:
        case T::Object:
            if (!inScope(t, Scope::Default))
                return;
            generateImpliedEndTags();
            popUntil(t);
            clearToMarker();
            return;
        case T::Br: {
            Tag br;
            br.name = "br";
            reconstructFormatting();
            insertVoid(br, T::Br);
            return;
        }
        default:
            break;
        }
        anyOtherEnd(tag.name, t);
    }

    void anyOtherEnd(const QByteArray &name, T t)
    {
        for (int i = int(stack.size()) - 1; i >= 0; --i) {
            const Entry &e = stack[size_t(i)];
            if (e.zombie)
                continue;
            if (e.ns == Ns::Html && e.tag == t && (t != T::Unknown || e.name == name)) {
                generateImpliedEndTags(e.tag == T::Unknown ? T::Count : e.tag);
                while (int(stack.size()) > i)
                    pop();
                return;
            }
            if (isSpecial(e.tag, e.ns))
                return;
        }
    }

    // ---- characters --------------------------------------------------------
    void characters(QByteArrayView text)
    {
        if (std::exchange(skipNewline, false) && text.startsWith('\n'))
            text = text.sliced(1);
        if (text.isEmpty())
            return;
        if (text.size() == 1 && text[0] == '\0') {
            if (!stack.empty() && current().ns != Ns::Html && inForeignContent(nullptr))
                emitText("\xEF\xBF\xBD");
            else if (mode == Mode::Text)
                emitText("\xEF\xBF\xBD");
            return;
        }
        if (inForeignContent(nullptr)) {
            emitText(text);
            return;
        }
        if (mode == Mode::InBody) {
            reconstructFormatting();
            emitText(text);
            return;
        }
        charactersIn(text);
    }

    void charactersIn(QByteArrayView text)
    {
        switch (mode) {
        case Mode::Initial:
        case Mode::BeforeHtml:
        case Mode::BeforeHead:
        case Mode::InHead:
        case Mode::InHeadNoscript:
        case Mode::AfterHead: {
            qsizetype spaces = 0;
            while (spaces < text.size() && isSpaceChar(text[spaces]))
                ++spaces;
            if (mode == Mode::InHead || mode == Mode::InHeadNoscript || mode == Mode::AfterHead)
                emitText(text.first(spaces));
            text = text.sliced(spaces);
            if (text.isEmpty())
                return;
            Tag none;
            // What an implied body needs: the same steps as a start tag would take.
            switch (mode) {
            case Mode::Initial:
                quirks = true;
                [[fallthrough]];
            case Mode::BeforeHtml:
                insertImplied(T::Html);
                [[fallthrough]];
            case Mode::BeforeHead:
                insertImplied(T::Head);
                headSerial = current().serial;
                [[fallthrough]];
            case Mode::InHead:
            case Mode::InHeadNoscript:
                if (mode == Mode::InHeadNoscript)
                    pop();
                popUntil(T::Head);
                [[fallthrough]];
            default:
                insertImplied(T::Body);
                mode = Mode::InBody;
            }
            charactersIn(text);
            return;
        }
        case Mode::InColumnGroup: {
            // Only white space belongs here; what follows it closes the group.
            qsizetype spaces = 0;
            while (spaces < text.size() && isSpaceChar(text[spaces]))
                ++spaces;
            emitText(text.first(spaces));
            text = text.sliced(spaces);
            if (!text.isEmpty() && currentIs(T::Colgroup)) {
                pop();
                mode = Mode::InTable;
                charactersIn(text);
            }
            return;
        }
        case Mode::InSelect:
        case Mode::InSelectInTable:
        case Mode::Text:
        case Mode::InTable:
        case Mode::InTableBody:
        case Mode::InRow:
            emitText(text);
            return;
        case Mode::InFrameset:
        case Mode::AfterFrameset:
            return;
        case Mode::AfterBody:
        case Mode::AfterAfterBody:
            if (allSpace(text)) {
                reconstructFormatting();
                emitText(text);
                return;
            }
            mode = Mode::InBody;
            [[fallthrough]];
        default:
            reconstructFormatting();
            emitText(text);
        }
    }

    void endOfFile()
    {
        if (mode == Mode::Text) {
            pop();
            mode = originalMode;
        }
        if (mode == Mode::Initial || mode == Mode::BeforeHtml) {
            insertImplied(T::Html);
            mode = Mode::BeforeHead;
        }
        if (mode == Mode::BeforeHead) {
            insertImplied(T::Head);
            mode = Mode::InHead;
        }
        if (mode == Mode::InHead || mode == Mode::InHeadNoscript) {
            while (!currentIs(T::Head) && !stack.empty())
                pop();
            if (!stack.empty())
                pop();
            mode = Mode::AfterHead;
        }
        if (mode == Mode::AfterHead)
            insertImplied(T::Body);
        while (!stack.empty())
            pop();
        if (holding)
            flushHeld();
    }
};

// ---------------------------------------------------------------------------
TreeBuilder::TreeBuilder(TreeSink &sink, Notes &notes, bool countTypes)
    : d(std::make_unique<Private>(*this, sink, notes, countTypes))
{
}

TreeBuilder::~TreeBuilder() = default;

void TreeBuilder::startTag(Tag &tag)
{
    d->startTag(tag);
}

void TreeBuilder::endTag(Tag &tag)
{
    d->endTag(tag);
}

void TreeBuilder::characters(QByteArrayView text)
{
    d->characters(text);
}

void TreeBuilder::commentBegin()
{
    // Comments before the root element or after the body are not in it.
    d->commentShown = !d->stack.empty() && d->mode != Mode::AfterBody &&
                      d->mode != Mode::AfterAfterBody && d->mode != Mode::AfterFrameset;
    if (d->commentShown)
        d->emitComment({}, true, false);
}

void TreeBuilder::commentText(QByteArrayView text)
{
    if (d->commentShown)
        d->emitComment(text, false, false);
}

void TreeBuilder::commentEnd()
{
    if (std::exchange(d->commentShown, false))
        d->emitComment({}, false, true);
}

void TreeBuilder::doctype(const Doctype &doctype)
{
    if (d->mode != Mode::Initial)
        return;
    d->quirks =
        doctype.forceQuirks || doctype.name != "html" ||
        doctype.publicId.startsWith("-//W3C//DTD HTML 3") ||
        doctype.publicId.startsWith("-//W3C//DTD HTML 4.0 Transitional") ||
        (!doctype.hasSystemId && doctype.publicId.startsWith("-//W3C//DTD HTML 4.01 Transitional"));
    d->mode = Mode::BeforeHtml;
}

void TreeBuilder::endOfFile()
{
    d->endOfFile();
}

} // namespace html
