#include "html/ElementTaker.h"

#include "html/Bytes.h"
#include "html/Tags.h"
#include "html/TextLayout.h"
#include "html/Tokenizer.h"
#include "html/TreeBuilder.h"

#include <QVarLengthArray>

#include <cstring>
#include <deque>

namespace html {

using namespace selector;

namespace {

// A set of bits, one for each compound (or :has() step) of the selectors:
// inline while they are few, as they nearly always are, since every element
// clears, copies and merges several of them.
class Bits
{
public:
    Bits() = default;
    explicit Bits(int bits) : m_words((bits + 63) / 64)
    {
        if (m_words > kInline)
            m_heap = std::make_unique<quint64[]>(size_t(m_words));
    }
    Bits(const Bits &other) : Bits(other.m_words * 64) { copy(other); }
    Bits &operator=(const Bits &other)
    {
        if (this != &other) {
            if (m_words != other.m_words)
                *this = Bits(other.m_words * 64);
            copy(other);
        }
        return *this;
    }
    Bits(Bits &&) = default;
    Bits &operator=(Bits &&) = default;

    bool test(int bit) const { return bit >= 0 && (data()[bit >> 6] >> (bit & 63)) & 1; }
    void set(int bit) { data()[bit >> 6] |= quint64(1) << (bit & 63); }
    // Between sets of one size: inline ones take both words, used or not,
    // without a loop.
    void zero()
    {
        if (m_heap)
            std::fill_n(m_heap.get(), m_words, 0);
        else
            m_inline[0] = m_inline[1] = 0;
    }
    void copy(const Bits &from)
    {
        if (m_heap) {
            std::copy_n(from.data(), m_words, m_heap.get());
        } else {
            m_inline[0] = from.m_inline[0];
            m_inline[1] = from.m_inline[1];
        }
    }
    void orWith(const Bits &from)
    {
        if (m_heap) {
            for (int i = 0; i < m_words; ++i)
                m_heap[i] |= from.m_heap[i];
        } else {
            m_inline[0] |= from.m_inline[0];
            m_inline[1] |= from.m_inline[1];
        }
    }
    void clear() { *this = Bits(); }

private:
    static constexpr int kInline = 2;
    quint64 *data() { return m_heap ? m_heap.get() : m_inline; }
    const quint64 *data() const { return m_heap ? m_heap.get() : m_inline; }

    quint64 m_inline[kInline] = {};
    std::unique_ptr<quint64[]> m_heap;
    int m_words = 0;
};

enum class Tri : quint8
{
    False,
    True,
    Unknown
};

bool asciiEqual(QByteArrayView a, QByteArrayView b, bool fold)
{
    if (!fold)
        return a == b;
    return a.size() == b.size() && QByteArrayView(a).compare(b, Qt::CaseInsensitive) == 0;
}

bool isRawTextParent(TagId tag, Namespace ns)
{
    return ns == Namespace::Html && hasFlag(tag, RawTextParent);
}

bool isPreformatted(TagId tag, Namespace ns)
{
    return ns == Namespace::Html && hasFlag(tag, Preformatted);
}

void escapeInto(QByteArray &out, QByteArrayView text, bool attribute)
{
    const char *p = text.data(), *end = p + text.size();
    while (p < end) {
        const char *q = p;
        while (q < end && *q != '&' && *q != '<' && *q != '>' && *q != '"' && uchar(*q) != 0xC2)
            ++q;
        out.append(p, q - p);
        if (q == end)
            break;
        p = q + 1;
        switch (*q) {
        case '&':
            out.append("&amp;");
            break;
        case '<':
            out.append("&lt;");
            break;
        case '>':
            out.append("&gt;");
            break;
        case '"':
            out.append(attribute ? "&quot;" : "\"");
            break;
        default: // 0xC2: U+00A0 is C2 A0
            if (p < end && uchar(*p) == 0xA0) {
                out.append("&nbsp;");
                ++p;
            } else {
                out.append(*q);
            }
        }
    }
}

// What matching needs of an element; the last part only at its end. Every
// element start makes one: its members are all given, none zeroed first.
struct Info
{
    struct End
    {
        int siblings, siblingsOfType;
        const int *ofTotal;
        bool empty;
        const Bits *hasChild, *hasDescendant;
        const bool *contains;
        bool lowerBound; // the sibling counts are only those so far
    };

    QByteArrayView name;
    TagId tag;
    Namespace ns;
    Attributes attributes;
    int depth, index, typeIndex;
    const Bits *reached;
    const int *ofIndex;
    const End *end; // null until the element's end

    const Attribute *attribute(QByteArrayView wanted) const
    {
        for (const Attribute &a : attributes) {
            if (asciiEqual(a.name, wanted, true))
                return &a;
        }
        return nullptr;
    }
};

// A stretch of a stream, held by the stream's chunks themselves: captures cut
// at the limit inside each other share them rather than a copy each.
struct Slice
{
    QList<QByteArray> chunks;
    qint64 offset = 0; // into the first chunk
    qint64 size = 0;

    QByteArray joined() const
    {
        if (chunks.size() == 1)
            return offset == 0 && size == chunks[0].size() ? chunks[0]
                                                           : chunks[0].sliced(offset, size);
        QByteArray out;
        out.reserve(size);
        qint64 from = offset;
        for (const QByteArray &chunk : chunks) {
            const qint64 n = std::min<qint64>(chunk.size() - from, size - out.size());
            out.append(chunk.constData() + from, n);
            from = 0;
        }
        return out;
    }
    void clear()
    {
        chunks.clear();
        offset = size = 0;
    }
};

// Copies into the room a buffer has: a reused field costs no allocation.
void assign(QByteArray &to, QByteArrayView from)
{
    to.resize(from.size());
    if (!from.isEmpty())
        std::memcpy(to.data(), from.data(), size_t(from.size()));
}

struct Record
{
    static constexpr qsizetype kKeptField = 1 << 16;
    enum class State : quint8
    {
        Pending,
        Match,
        Drop
    } state = State::Pending;
    QList<QByteArray> fields;
    bool capturing = true;
    qint64 htmlFrom = 0, rawFrom = 0;         // where its part of the shared streams begins
    qint64 htmlTo = -1, rawTo = -1;           // and ends, once it has
    bool htmlTaken = false, rawTaken = false; // its part already cut at the limit
    bool materialized = false;                // its fields made from the streams
    Slice rawCut, innerCut;                   // its parts, once cut at the limit
    QByteArray startTag, endTag;
    // Its text, in the layout the captures share until it is taken.
    TextLayout::Mark textMark;
    qint64 textTo = -1;
    bool laysOut = false;
    bool textCut = false; // its text reached the limit: textTo is there
    bool textIsRaw = false;
    bool readsRaw = false; // a raw take, or a text take of a hidden element
    bool cut = false;
    // For deciding at the end.
    QList<int> candidates;
    bool waitsForParent = false;
    QByteArray name;
    TagId tag = TagId::Unknown;
    Namespace ns = Namespace::Html;
    QList<Attribute> attributes;
    int depth = 0, index = 0, typeIndex = 0;
    Bits reached, hasChild, hasDescendant;
    QVarLengthArray<int, 2> ofIndex, ofTotal;
    int siblings = 0, siblingsOfType = 0;
    bool empty = false;
    QVarLengthArray<bool, 4> contains;
    qint64 bytes = 0;
    qint64 serial = 0; // its place in the queue
    // Which of the parts above it used, for clear() to leave the rest alone.
    bool usedStreams = false; // the html and raw parts
    bool deferred = false;    // the parts for deciding at the end

    // As new, keeping the room it has: records are reused, and so are their
    // fields' buffers while small.
    void clear()
    {
        state = State::Pending;
        for (QByteArray &field : fields) {
            if (field.isDetached() && field.capacity() <= kKeptField)
                field.resize(0);
            else
                field = QByteArray();
        }
        capturing = true;
        materialized = textIsRaw = readsRaw = false;
        laysOut = textCut = false;
        bytes = serial = 0;
        if (std::exchange(usedStreams, false)) {
            htmlFrom = rawFrom = 0;
            htmlTo = rawTo = -1;
            htmlTaken = rawTaken = cut = false;
            rawCut.clear();
            innerCut.clear();
            startTag = endTag = QByteArray();
        }
        if (std::exchange(deferred, false)) {
            candidates.clear();
            waitsForParent = empty = false;
            name = QByteArray();
            tag = TagId::Unknown;
            ns = Namespace::Html;
            attributes.clear();
            depth = index = typeIndex = siblings = siblingsOfType = 0;
            reached.clear();
            hasChild.clear();
            hasDescendant.clear();
            ofIndex.clear();
            ofTotal.clear();
            contains.clear();
        }
    }
};

// What a field held costs besides its bytes: its place and its buffer's header.
constexpr qint64 kFieldCost = sizeof(QByteArray) + 32;
// A part of the shared streams small enough to copy for a record that waits.
constexpr qint64 kSmallPart = 4 << 10;

struct Settled
{
    QList<QByteArray> fields;
    qint64 bytes = 0; // what they hold
};

// A record's place in page order. One done while a record before it is not
// keeps its fields alone and gives the record back: a record costs a
// kilobyte and more, its fields often a few dozen bytes, and a page may hold
// a million of them behind an element that ends with the page.
struct Queued
{
    std::unique_ptr<Record> record;   // null once settled, or dropped
    std::unique_ptr<Settled> settled; // its fields alone, once settled
};

// Records that read a shared text, in page order; those before head read it
// no more. A record stops reading for good, so only the front goes.
struct Readers
{
    std::vector<qint64> serials;
    size_t head = 0;

    void add(qint64 serial) { serials.push_back(serial); }
    bool empty() const { return head == serials.size(); }
    void clear()
    {
        serials.clear();
        head = 0;
    }
};

struct Frame
{
    Bits reached, inherited, childrenOr, lastChild, hasChild, hasDescendant;
    QVarLengthArray<int, 2> ofCounts;
    bool nonEmpty = false;
    int childrenSoFar = 0;
    bool hidden = false, pre = false, rawText = false;
    bool isVoid = false;
    QByteArray name; // when a capture needs its end tag
    Record *record = nullptr;
    std::vector<Record *> waiting; // in page order, from waitingHead on
    size_t waitingHead = 0;
};

// One :contains() text looked for along all the page's text at once: the
// text content of an element is one stretch of it.
struct Needle
{
    QByteArray text;
    QList<int> failure;
    int state = 0;
    struct Open
    {
        qint64 start;
        Record *record;
    };
    std::vector<Open> open;
    size_t satisfied = 0; // open[0 .. satisfied) hold it
};

// What the open captures read, written once for all of them: each one's part
// is the stretch from where it began. It is kept in chunks, and those that
// none of them needs any more are dropped from the front.
struct SharedStream
{
    static constexpr qint64 kChunk = 1 << 20;
    std::deque<QByteArray> chunks; // each kChunk long but the last
    qint64 base = 0;               // the offset of the first chunk
    qint64 total = 0;

    qint64 end() const { return total; }
    void append(QByteArrayView bytes)
    {
        while (!bytes.isEmpty()) {
            if (chunks.empty() || chunks.back().size() == kChunk)
                chunks.emplace_back();
            QByteArray &last = chunks.back();
            const qsizetype n = std::min<qsizetype>(bytes.size(), kChunk - last.size());
            html::bytes::append(last, bytes.first(n));
            bytes = bytes.sliced(n);
            total += n;
        }
    }
    Slice slice(qint64 from, qint64 to) const
    {
        Slice s;
        size_t i = size_t((from - base) / kChunk);
        s.offset = (from - base) % kChunk;
        s.size = to - from;
        for (qint64 at = base + qint64(i) * kChunk; at < to; at += kChunk, ++i)
            s.chunks.append(chunks[i]);
        return s;
    }
    QByteArray part(qint64 from, qint64 to) const { return slice(from, to).joined(); }
    void dropBefore(qint64 offset)
    {
        while (chunks.size() > 1 && base + kChunk <= offset) {
            chunks.pop_front();
            base += kChunk;
        }
    }
    qint64 capacity() const
    {
        qint64 n = 0;
        for (const QByteArray &chunk : chunks)
            n += chunk.capacity();
        return n;
    }
    void clear()
    {
        chunks.clear();
        base = total = 0;
    }
};

struct HasStep
{
    int bit;           // the compound's local match
    Combinator before; // to the step before, or the anchor
    int next;          // the step after, -1 at the last
};

} // namespace

struct ElementTaker::Private : TreeSink
{
    const Data &data;
    SelectorList selectors;
    QList<Take> takes;
    bool needText = false, rawTake = false, needHtml = false, countTypes = false;
    bool combined = false;  // some selector has a combinator: elements keep their context
    bool usesEmpty = false; // :empty, for which text tells whether an element is
    // Every compound, by bit, with what its test at an element start needs.
    struct CompoundTest
    {
        const Compound *compound;
        int complex;
        int previous = -1; // the compound before it across a combinator
        Combinator combinator = Combinator::Descendant;
        bool subject = false;         // names the element a selector of the list takes
        const QList<int> *counters{}; // the "of S" counters of its complex, when it ends it
    };
    std::vector<CompoundTest> tests;
    std::vector<HasStep> steps;
    QList<int> firstStep;         // per complex, its first step or -1
    QList<QList<int>> countersOf; // per complex, the "of S" counters it is an S of
    std::vector<Needle> needles;

    Notes notes;
    TreeBuilder builder;
    Tokenizer tokenizer;
    // The open elements' frames, kept for reuse: frames[0 .. live) are open.
    std::vector<Frame> frames;
    size_t live = 0;
    // Records in page order; one dropped before its turn is freed at once.
    std::deque<Queued> records;
    qint64 firstSerial = 0;
    std::vector<Record *> capturing; // outermost first
    SharedStream html, raw;
    // The text of the captures open, laid out once for all of them:
    // layingOut[textFull ..) lay out, those before were cut at the limit.
    TextLayout layout;
    std::vector<Record *> layingOut;
    size_t textFull = 0;
    Readers textUsers;
    size_t htmlFull = 0, rawFull = 0; // capturing[0 .. n) took their part at the limit
    Readers htmlUsers, rawUsers;
    int rawReaders = 0; // captures that read the raw stream
    // Records done with, for the next ones: most elements taken then cost no
    // allocation of their own.
    std::vector<std::unique_ptr<Record>> spareRecords;
    qint64 recordBytes = 0;
    qint64 settledBytes = 0;  // of those above, what the settled ones hold
    qint64 deferredBytes = 0; // and those that wait for their parent's end
    qint64 textOffset = 0;
    bool finished = false;
    QByteArray escaped;
    bool heldC2 = false; // see text()
    QByteArray scratch;  // a tag on its way to the html stream

    Private(const SelectorList &selectors, QList<Take> takes)
        : data(selectors.data()), selectors(selectors), takes(std::move(takes)),
          builder(*this, notes, usesTypes(selectors.data())), tokenizer(builder, notes)
    {
        builder.setTokenizer(&tokenizer);
        for (const Take &t : this->takes) {
            needText |= t.kind == Take::Kind::Text;
            rawTake |= t.kind == Take::Kind::Raw;
            needHtml |= t.kind == Take::Kind::Html || t.kind == Take::Kind::Inner;
        }
        countTypes = usesTypes(data);
        usesEmpty = uses(data, [](const Simple &s) { return s.kind == Simple::Kind::Empty; });
        // Read into the compound tests below, and not after.
        QList<bool> isHasArgument(data.complexes.size(), false);
        QList<bool> isTop(data.complexes.size(), false);
        firstStep = QList<int>(data.complexes.size(), -1);
        for (int top : data.top)
            isTop[top] = true;
        for (int arg : data.hasArguments) {
            isHasArgument[arg] = true;
            const Complex &c = data.complexes[arg];
            firstStep[arg] = int(steps.size());
            for (qsizetype k = 0; k < c.compounds.size(); ++k) {
                steps.push_back(HasStep{c.compounds[k].bit, k ? c.combinators[k - 1] : c.leading,
                                        k + 1 < c.compounds.size() ? int(steps.size()) + 1 : -1});
            }
        }
        countersOf = QList<QList<int>>(data.complexes.size());
        for (const Complex &c : data.complexes) {
            for (const Compound &compound : c.compounds) {
                for (const Simple &s : compound.simples) {
                    for (int arg : s.args) {
                        if (s.kind == Simple::Kind::Nth)
                            countersOf[arg].append(s.id);
                    }
                }
            }
        }
        tests.resize(size_t(data.bits));
        for (qsizetype i = 0; i < data.complexes.size(); ++i) {
            const Complex &c = data.complexes[i];
            combined |= !isHasArgument[i] && c.compounds.size() > 1;
            for (qsizetype k = 0; k < c.compounds.size(); ++k) {
                if (c.compounds[k].bit < 0)
                    continue;
                CompoundTest &t = tests[size_t(c.compounds[k].bit)];
                t.compound = &c.compounds[k];
                t.complex = int(i);
                if (!isHasArgument[i] && k > 0) {
                    t.previous = c.compounds[k - 1].bit;
                    t.combinator = c.combinators[k - 1];
                }
                const bool last = k + 1 == c.compounds.size();
                t.subject = isTop[i] && last;
                if (last && !countersOf[i].isEmpty())
                    t.counters = &countersOf[i];
            }
        }
        needles.resize(size_t(data.needles));
        for (const Complex &c : data.complexes) {
            for (const Compound &compound : c.compounds) {
                for (const Simple &s : compound.simples) {
                    for (qsizetype n = 0; s.kind == Simple::Kind::Contains && n < s.needles.size();
                         ++n)
                        prepareNeedle(needles[size_t(s.id + n)], s.needles[n]);
                }
            }
        }
        pushFrame();
    }

    static bool uses(const Data &data, bool (*is)(const Simple &))
    {
        for (const Complex &c : data.complexes) {
            for (const Compound &compound : c.compounds) {
                for (const Simple &s : compound.simples) {
                    if (is(s))
                        return true;
                }
            }
        }
        return false;
    }
    static bool usesTypes(const Data &data)
    {
        return uses(data, [](const Simple &s) { return s.kind == Simple::Kind::Nth && s.ofType; });
    }

    static void prepareNeedle(Needle &n, const QByteArray &text)
    {
        n.text = text;
        n.failure = QList<int>(text.size() + 1, 0);
        for (qsizetype i = 1, k = 0; i < text.size(); ++i) {
            while (k > 0 && text[i] != text[k])
                k = n.failure[k];
            if (text[i] == text[k])
                ++k;
            n.failure[i + 1] = int(k);
        }
    }

    // A cleared frame on top, reusing the one left there before.
    Frame &pushFrame()
    {
        if (live == frames.size()) {
            Frame f;
            f.reached = f.inherited = f.childrenOr = f.lastChild = Bits(data.bits);
            f.hasChild = f.hasDescendant = Bits(int(steps.size()));
            f.ofCounts = QVarLengthArray<int, 2>(data.nthCounters, 0);
            frames.push_back(std::move(f));
            return frames[live++];
        }
        // Every element pushes one: only what was used is cleared.
        Frame &f = frames[live++];
        f.reached.zero();
        if (combined) {
            f.childrenOr.zero();
            f.lastChild.zero();
        }
        if (!steps.empty()) {
            f.hasChild.zero();
            f.hasDescendant.zero();
        }
        if (data.nthCounters)
            std::fill(f.ofCounts.begin(), f.ofCounts.end(), 0);
        f.nonEmpty = f.hidden = f.pre = f.rawText = f.isVoid = false;
        f.childrenSoFar = 0;
        if (!f.name.isNull())
            f.name = QByteArray();
        f.record = nullptr;
        if (!f.waiting.empty())
            f.waiting.clear();
        f.waitingHead = 0;
        return f;
    }

    Frame &top() { return frames[live - 1]; }

    // ---- matching ------------------------------------------------------------------
    Tri evalCompound(const Compound &c, const Info &info) const
    {
        Tri out = Tri::True;
        for (const Simple &s : c.simples) {
            const Tri t = evalSimple(s, info);
            if (t == Tri::False)
                return Tri::False;
            if (t == Tri::Unknown)
                out = Tri::Unknown;
        }
        return out;
    }

    Tri evalComplex(int index, const Info &info) const
    {
        const Complex &c = data.complexes[index];
        if (c.compounds.size() == 1)
            return evalCompound(c.compounds[0], info);
        return info.reached->test(c.compounds.last().bit) ? Tri::True : Tri::False;
    }

    static bool nth(int a, int b, int index)
    {
        if (a == 0)
            return index == b;
        const int diff = index - b;
        return diff % a == 0 && diff / a >= 0;
    }

    Tri evalSimple(const Simple &s, const Info &info) const
    {
        auto tri = [](bool b) {
            return b ? Tri::True : Tri::False;
        };
        switch (s.kind) {
        case Simple::Kind::Universal:
            return Tri::True;
        case Simple::Kind::Type:
            // HTML names come lower-cased, as the selector's do; known ones
            // are told by their tag.
            if (info.ns != Namespace::Html)
                return tri(asciiEqual(info.name, s.name, true));
            if (info.tag != s.tag)
                return Tri::False;
            return tri(s.tag != TagId::Unknown || info.name == s.name);
        case Simple::Kind::Id: {
            const Attribute *a = info.attribute("id");
            return tri(a && a->value == s.value);
        }
        case Simple::Kind::Class: {
            const Attribute *a = info.attribute("class");
            if (!a || s.value.isEmpty())
                return Tri::False;
            return tri(hasWord(a->value, s.value, false));
        }
        case Simple::Kind::Attribute:
            return tri(matchAttribute(s, info));
        case Simple::Kind::Root:
            return tri(info.depth == 0);
        case Simple::Kind::Nth: {
            int index = s.ofType ? info.typeIndex : info.index;
            if (!s.args.isEmpty()) {
                index = info.ofIndex[s.id];
                if (index == 0)
                    return Tri::False;
            }
            if (!s.last)
                return tri(nth(s.a, s.b, index));
            if (!info.end)
                return Tri::Unknown;
            const int total = s.ofType            ? info.end->siblingsOfType
                              : !s.args.isEmpty() ? info.end->ofTotal[s.id]
                                                  : info.end->siblings;
            if (info.end->lowerBound) {
                // More may come: only An+B with A = 0 is decided, once passed.
                if (total < 0 || s.a != 0 || total - index + 1 <= s.b)
                    return Tri::Unknown;
                return Tri::False;
            }
            return tri(nth(s.a, s.b, total - index + 1));
        }
        case Simple::Kind::Empty:
            return info.end ? tri(info.end->empty) : Tri::Unknown;
        case Simple::Kind::Has: {
            if (!info.end)
                return Tri::Unknown;
            for (int arg : s.args) {
                const int first = std::as_const(firstStep)[arg];
                const Bits &bits = steps[size_t(first)].before == Combinator::Child
                                       ? *info.end->hasChild
                                       : *info.end->hasDescendant;
                if (bits.test(first))
                    return Tri::True;
            }
            return Tri::False;
        }
        case Simple::Kind::Contains:
            if (!info.end)
                return Tri::Unknown;
            for (qsizetype n = 0; n < s.needles.size(); ++n) {
                if (info.end->contains[s.id + n])
                    return Tri::True;
            }
            return Tri::False;
        case Simple::Kind::Not:
        case Simple::Kind::Is: {
            Tri any = Tri::False;
            for (int arg : s.args) {
                const Tri t = evalComplex(arg, info);
                if (t == Tri::True) {
                    any = Tri::True;
                    break;
                }
                if (t == Tri::Unknown)
                    any = Tri::Unknown;
            }
            if (s.kind == Simple::Kind::Is || any == Tri::Unknown)
                return any;
            return any == Tri::True ? Tri::False : Tri::True;
        }
        }
        return Tri::False;
    }

    static bool hasWord(QByteArrayView list, QByteArrayView word, bool fold)
    {
        const char *p = list.data(), *end = p + list.size();
        while (p < end) {
            while (p < end && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\f' || *p == '\r'))
                ++p;
            const char *q = p;
            while (q < end && !(*q == ' ' || *q == '\t' || *q == '\n' || *q == '\f' || *q == '\r'))
                ++q;
            if (q > p && asciiEqual(QByteArrayView(p, q - p), word, fold))
                return true;
            p = q;
        }
        return false;
    }

    static bool matchAttribute(const Simple &s, const Info &info)
    {
        const Attribute *a = info.attribute(s.name);
        if (!a)
            return false;
        const QByteArrayView v = a->value, w = s.value;
        const bool fold = s.caseInsensitive;
        switch (s.op) {
        case Simple::Operator::Exists:
            return true;
        case Simple::Operator::Equals:
            return asciiEqual(v, w, fold);
        case Simple::Operator::Includes:
            return !w.isEmpty() && hasWord(v, w, fold);
        case Simple::Operator::DashMatch:
            return asciiEqual(v, w, fold) || (v.size() > w.size() && v[w.size()] == '-' &&
                                              asciiEqual(v.first(w.size()), w, fold));
        case Simple::Operator::Prefix:
            return !w.isEmpty() && v.size() >= w.size() && asciiEqual(v.first(w.size()), w, fold);
        case Simple::Operator::Suffix:
            return !w.isEmpty() && v.size() >= w.size() && asciiEqual(v.last(w.size()), w, fold);
        case Simple::Operator::Substring:
            if (w.isEmpty())
                return false;
            if (!fold)
                return v.indexOf(w) >= 0;
            return QByteArray(v.data(), v.size())
                       .toLower()
                       .indexOf(QByteArray(w.data(), w.size()).toLower()) >= 0;
        }
        return false;
    }

    // ---- tree events -------------------------------------------------------------------
    // A text's last byte held back as the start of U+00A0 is itself when
    // the text ends there.
    void releaseC2()
    {
        if (std::exchange(heldC2, false)) [[unlikely]]
            write(html, "\xC2", true);
    }

    void elementStarted(const ElementStart &e) override
    {
        releaseC2();
        {
            Frame &parent = top();
            parent.nonEmpty = true;
            ++parent.childrenSoFar;
            if (parent.waitingHead < parent.waiting.size())
                decideEarly(parent);
        }
        Frame &f = pushFrame();
        Frame &parent = frames[live - 2];
        if (combined) {
            f.inherited.copy(parent.inherited);
            f.inherited.orWith(parent.reached);
        }
        QVarLengthArray<int, 2> ofIndex;
        if (data.nthCounters)
            ofIndex.resize(data.nthCounters, 0);
        const Info info{e.name,  e.tag,       e.ns,       e.attributes,   e.depth,
                        e.index, e.typeIndex, &f.reached, ofIndex.data(), nullptr};
        QList<int> candidates;
        bool matched = false;
        for (const CompoundTest &test : tests) {
            if (test.previous >= 0) {
                const Combinator comb = test.combinator;
                const Bits &context = comb == Combinator::Descendant ? f.inherited
                                      : comb == Combinator::Child    ? parent.reached
                                      : comb == Combinator::Adjacent ? parent.lastChild
                                                                     : parent.childrenOr;
                if (!context.test(test.previous))
                    continue;
            }
            const Tri t = evalCompound(*test.compound, info);
            if (t == Tri::True)
                f.reached.set(test.compound->bit);
            if (test.subject && t == Tri::True)
                matched = true;
            else if (test.subject && t == Tri::Unknown)
                candidates.append(test.complex);
            // "of S" counters follow as soon as S is known.
            if (test.counters && t == Tri::True) {
                for (int n : *test.counters) {
                    if (!ofIndex[n])
                        ofIndex[n] = parent.ofCounts[n] + 1;
                }
            }
        }
        if (combined) {
            parent.lastChild.copy(f.reached);
            parent.childrenOr.orWith(f.reached);
        }
        for (int n = 0; n < data.nthCounters; ++n) {
            if (ofIndex[n])
                parent.ofCounts[n] = ofIndex[n];
        }
        // Whether its attributes hide it: read once for all the layouts.
        const bool shown = !needText || TextLayout::isShown(e);
        if (needText) {
            f.hidden = parent.hidden || !shown;
            f.pre = parent.pre || isPreformatted(e.tag, e.ns);
        }
        f.rawText = isRawTextParent(e.tag, e.ns);
        f.isVoid = e.isVoid;
        // The element's start goes to the captures around it.
        if (!capturing.empty()) {
            if (needHtml) {
                f.name = nameOf(e);
                scratch.clear();
                appendStartTag(scratch, e);
                write(html, scratch, true);
            }
            if (textFull < layingOut.size())
                layout.elementStarted(e, shown);
        }
        if (matched || !candidates.isEmpty())
            f.record = open(e, f, matched ? QList<int>() : candidates, shown, ofIndex);
    }

    // Known HTML names are static strings: no copy of them is made.
    static QByteArray nameOf(const ElementStart &e)
    {
        return e.ns == Namespace::Html && e.tag != TagId::Unknown ? tagName(e.tag)
                                                                  : e.name.toByteArray();
    }

    static void appendStartTag(QByteArray &out, const ElementStart &e)
    {
        out.append('<').append(e.name);
        for (const Attribute &a : e.attributes) {
            out.append(' ').append(a.name).append("=\"");
            escapeInto(out, a.value, true);
            out.append('"');
        }
        out.append('>');
    }

    Record *open(const ElementStart &e, Frame &f, const QList<int> &candidates, bool shown,
                 const QVarLengthArray<int, 2> &ofIndex)
    {
        Record &r = *(records.emplace_back().record = newRecord());
        r.serial = firstSerial + qint64(records.size()) - 1;
        add(r, sizeof(Record));
        if (!candidates.isEmpty()) {
            r.deferred = true;
            r.candidates = candidates;
            r.name = e.name.toByteArray();
            r.tag = e.tag;
            r.ns = e.ns;
            r.attributes = QList<Attribute>(e.attributes.begin(), e.attributes.end());
            r.depth = e.depth;
            r.index = e.index;
            r.typeIndex = e.typeIndex;
            r.reached = f.reached;
            r.ofIndex = ofIndex;
            for (int ci : candidates) {
                const Compound &subject = data.complexes[ci].compounds.last();
                r.waitsForParent = r.waitsForParent || subject.atParentEnd;
            }
            for (Needle &n : needles) {
                if (n.open.empty())
                    n.state = 0;
                n.open.push_back(Needle::Open{textOffset, &r});
            }
            r.contains = QVarLengthArray<bool, 4>(qsizetype(needles.size()), false);
        }
        // Fields known now.
        if (r.fields.size() != takes.size())
            r.fields.resize(takes.size());
        for (qsizetype i = 0; i < takes.size(); ++i) {
            const Take &t = takes[i];
            if (t.kind == Take::Kind::Attribute) {
                const Attribute *a = nullptr;
                for (const Attribute &x : e.attributes) {
                    if (x.name.compare(t.attribute, Qt::CaseInsensitive) == 0) {
                        a = &x;
                        break;
                    }
                }
                if (a) {
                    assign(r.fields[i], a->value);
                    add(r, a->value.size());
                }
            }
        }
        if (needHtml) {
            appendStartTag(r.startTag, e);
            f.name = nameOf(e);
            add(r, r.startTag.size());
        }
        r.readsRaw = rawTake;
        r.usedStreams = needHtml || rawTake;
        if (needText) {
            r.textIsRaw = f.hidden;
            r.readsRaw |= f.hidden;
            r.usedStreams |= f.hidden;
            if (!f.hidden) {
                r.laysOut = true;
                // The first to lay out starts the layout, as the element's own.
                if (textFull == layingOut.size()) {
                    layout.restart();
                    if (f.pre && !isPreformatted(e.tag, e.ns))
                        layout.setPreformatted();
                    layout.elementStarted(e, shown);
                }
                layout.mark(r.textMark);
                layingOut.push_back(&r);
                textUsers.add(r.serial);
            }
        }
        if (r.readsRaw || needHtml || needText) {
            r.htmlFrom = html.end();
            r.rawFrom = raw.end();
            rawReaders += r.readsRaw;
            capturing.push_back(&r);
            if (needHtml)
                htmlUsers.add(r.serial);
            if (r.readsRaw)
                rawUsers.add(r.serial);
        } else {
            r.capturing = false;
            if (candidates.isEmpty()) {
                // All it gives is known now: it may go at once.
                r.state = Record::State::Match;
                r.materialized = true;
                settle(r);
                return nullptr;
            }
        }
        return &r;
    }

    void add(Record &r, qint64 n)
    {
        r.bytes += n;
        recordBytes += n;
    }

    // Appends to a shared stream; a capture that reaches the limit takes its
    // part at once, cut, and holds the stream no longer.
    void write(SharedStream &stream, QByteArrayView bytes, bool isHtml)
    {
        stream.append(bytes);
        size_t &full = isHtml ? htmlFull : rawFull;
        while (full < capturing.size()) {
            Record &r = *capturing[full];
            if (!isHtml && !r.readsRaw) {
                ++full;
                continue;
            }
            const qint64 from = isHtml ? r.htmlFrom : r.rawFrom;
            if (stream.end() - from < kCaptureLimit)
                break;
            (isHtml ? r.innerCut : r.rawCut) = stream.slice(from, from + kCaptureLimit);
            (isHtml ? r.htmlTaken : r.rawTaken) = true;
            add(r, kCaptureLimit);
            noteCut(r);
            ++full;
        }
        stream.dropBefore(neededFrom(isHtml));
    }

    std::unique_ptr<Record> newRecord()
    {
        if (spareRecords.empty())
            return std::make_unique<Record>();
        std::unique_ptr<Record> r = std::move(spareRecords.back());
        spareRecords.pop_back();
        return r;
    }

    void recycle(std::unique_ptr<Record> &r)
    {
        if (spareRecords.size() < 4096) {
            r->clear();
            spareRecords.push_back(std::move(r));
        }
        r.reset();
    }

    // A matched record that waits for an undecided one before it keeps its
    // fields alone, copied off the record's buffers; one behind records ready
    // to go goes with them. Its parts of the shared streams are copied for it
    // only when small: a large part stays shared with the records around it
    // until it is taken.
    void settle(Record &r)
    {
        const Record *first = records.front().record.get();
        if (!first || first->state != Record::State::Pending)
            return;
        if (!r.materialized) {
            if (r.htmlTaken || r.rawTaken ||
                (r.htmlTo - r.htmlFrom) + (r.rawTo - r.rawFrom) +
                        (r.laysOut ? r.textTo - r.textMark.from : 0) >
                    kSmallPart)
                return;
            materialize(r);
        }
        keepFieldsAlone(r);
    }
    [[gnu::noinline]] void keepFieldsAlone(Record &r)
    {
        Queued &q = records[size_t(r.serial - firstSerial)];
        auto settled = std::make_unique<Settled>();
        settled->fields.reserve(r.fields.size());
        settled->bytes = sizeof(Settled);
        for (const QByteArray &field : std::as_const(r.fields)) {
            settled->fields.append(QByteArray(field.constData(), field.size()));
            settled->bytes += kFieldCost + field.size();
        }
        recordBytes += settled->bytes - r.bytes;
        settledBytes += settled->bytes;
        q.settled = std::move(settled);
        recycle(q.record);
    }

    Record *recordOf(qint64 serial) const
    {
        const qint64 at = serial - firstSerial;
        return at >= 0 && at < qint64(records.size()) ? records[size_t(at)].record.get() : nullptr;
    }

    bool needs(const Record &r, bool isHtml) const
    {
        return !r.materialized && (isHtml ? needHtml && !r.htmlTaken : r.readsRaw && !r.rawTaken);
    }

    // The oldest record still to read a shared text, if any: what lies
    // before where it begins may go.
    const Record *oldestReader(Readers &readers, auto reads)
    {
        const Record *r = nullptr;
        for (; !readers.empty(); ++readers.head) {
            r = recordOf(readers.serials[readers.head]);
            if (r && reads(*r))
                break;
            r = nullptr;
        }
        if (readers.head > 1024 && 2 * readers.head > readers.serials.size()) {
            readers.serials.erase(readers.serials.begin(),
                                  readers.serials.begin() + qsizetype(readers.head));
            readers.head = 0;
        }
        return r;
    }
    qint64 neededFrom(bool isHtml)
    {
        const Record *r = oldestReader(isHtml ? htmlUsers : rawUsers,
                                       [&](const Record &r) { return needs(r, isHtml); });
        return r ? (isHtml ? r->htmlFrom : r->rawFrom) : (isHtml ? html : raw).end();
    }

    // The innermost capture ends: its parts of the streams.
    void endCapture(Record &r)
    {
        r.htmlTo = html.end();
        r.rawTo = raw.end();
        capturing.pop_back();
        htmlFull = std::min(htmlFull, capturing.size());
        rawFull = std::min(rawFull, capturing.size());
        rawReaders -= r.readsRaw;
        r.capturing = false;
        if (!layingOut.empty() && layingOut.back() == &r) {
            if (!r.textCut) {
                r.textTo = layout.position();
                layout.unmark(r.textMark);
            }
            layingOut.pop_back();
            textFull = std::min(textFull, layingOut.size());
        }
    }

    // Its text from its part of the layout, as a layout of its own would give
    // it less the last line's end: a view of the layout while it can be.
    QByteArray laidOut(const Record &r) const
    {
        auto [text, after] = layout.since(r.textMark, r.textTo);
        QByteArray joined;
        if (text.isEmpty()) {
            text = after;
        } else if (!after.isEmpty()) [[unlikely]] {
            joined = text.toByteArray().append(after);
            text = joined;
        }
        if (r.textCut) [[unlikely]]
            text.truncate(cutSize(text));
        if (text.endsWith('\n'))
            text.chop(1);
        if (joined.isNull())
            return QByteArray::fromRawData(text.data(), text.size());
        joined.truncate(text.size());
        return joined;
    }
    void setText(Record &r, const QByteArray &text)
    {
        QByteArray *fields = r.fields.data();
        for (qsizetype i = 0; i < takes.size(); ++i) {
            if (takes[i].kind == Take::Kind::Text)
                fields[i] = text;
        }
    }

    // Looked at once a piece, not once a record.
    void dropUnreadText()
    {
        const Record *r =
            oldestReader(textUsers, [](const Record &r) { return r.laysOut && !r.materialized; });
        if (r) {
            layout.dropBefore(r->textMark.from);
        } else { // none: a large buffer goes too
            textUsers.clear();
            layout.reset();
        }
    }

    // A part cut at the limit ends before a character it would cut short.
    static qsizetype cutSize(QByteArrayView part)
    {
        return bytes::wholeCharacters(part.first(std::min(part.size(), kCaptureLimit)));
    }
    static QByteArray cut(QByteArray part)
    {
        part.truncate(cutSize(part));
        return part;
    }
    void noteCut(Record &r)
    {
        if (!std::exchange(r.cut, true))
            notes.add(QStringLiteral("A capture larger than 16 MiB was cut"));
    }

    // A record's parts of the streams become its fields when it is taken, so
    // that records waiting their turn share one copy of what they read.
    void materialize(Record &r)
    {
        if (r.materialized)
            return;
        r.materialized = true;
        if (r.laysOut)
            setText(r, laidOut(r));
        if (!needHtml && !r.readsRaw)
            return;
        const QByteArray inner = !needHtml     ? QByteArray()
                                 : r.htmlTaken ? cut(r.innerCut.joined())
                                               : html.part(r.htmlFrom, r.htmlTo);
        const QByteArray rawText = !r.readsRaw  ? QByteArray()
                                   : r.rawTaken ? cut(r.rawCut.joined())
                                                : raw.part(r.rawFrom, r.rawTo);
        for (qsizetype i = 0; i < takes.size(); ++i) {
            switch (takes[i].kind) {
            case Take::Kind::Text:
                if (r.textIsRaw)
                    r.fields[i] = rawText;
                break;
            case Take::Kind::Raw:
                r.fields[i] = rawText;
                break;
            case Take::Kind::Html:
                r.fields[i] = r.startTag + inner + r.endTag;
                if (r.fields[i].size() > kCaptureLimit) {
                    r.fields[i].truncate(cutSize(r.fields[i]));
                    noteCut(r);
                }
                break;
            case Take::Kind::Inner:
                r.fields[i] = inner;
                break;
            case Take::Kind::Attribute:
                break;
            }
        }
        r.rawCut.clear();
        r.innerCut.clear();
        r.startTag = r.endTag = QByteArray();
        html.dropBefore(neededFrom(true));
        raw.dropBefore(neededFrom(false));
        if (capturing.empty() && htmlUsers.empty() && rawUsers.empty()) {
            html.clear();
            raw.clear();
        }
    }

    void text(QByteArrayView text) override
    {
        Frame &parent = top();
        if (usesEmpty && !parent.nonEmpty) {
            for (char c : text) {
                if (!(c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r')) {
                    parent.nonEmpty = true;
                    break;
                }
            }
        }
        for (Needle &n : needles) {
            if (!n.open.empty())
                search(n, text);
        }
        textOffset += text.size();
        if (capturing.empty())
            return;
        if (needHtml) {
            if (parent.rawText) {
                write(html, text, true);
            } else {
                // U+00A0 is written &nbsp;, whichever pieces its two bytes come in.
                escaped.clear();
                QByteArrayView rest = text;
                if (std::exchange(heldC2, false)) {
                    const bool nbsp = rest.startsWith('\xA0');
                    escaped.append(nbsp ? "&nbsp;" : "\xC2");
                    rest = rest.sliced(nbsp);
                }
                escapeInto(escaped, rest, false);
                if (rest.endsWith('\xC2')) {
                    escaped.chop(1);
                    heldC2 = true;
                }
                write(html, escaped, true);
            }
        }
        if (rawReaders)
            write(raw, text, false);
        if (textFull < layingOut.size()) {
            layout.text(text);
            // The outermost begins first: none inside it is longer.
            if (layout.position() - layingOut[textFull]->textMark.from >= kCaptureLimit)
                [[unlikely]]
                cutTexts();
        }
    }

    // The texts that reached the limit end there; the layout goes on for
    // those inside them.
    void cutTexts()
    {
        while (textFull < layingOut.size()) {
            Record &r = *layingOut[textFull];
            // Measured as a layout of its own would have it, its last line's
            // end included.
            const auto [before, after] = layout.since(r.textMark, layout.position());
            if (before.size() + after.size() < kCaptureLimit)
                break;
            // It goes on sharing what it has: elements inside each other
            // reach the limit together, and a copy each would multiply it.
            r.textTo = layout.position();
            r.textCut = true;
            layout.unmark(r.textMark);
            noteCut(r);
            ++textFull;
        }
    }

    void search(Needle &n, QByteArrayView text)
    {
        const qsizetype length = n.text.size();
        if (length == 0) {
            n.satisfied = n.open.size();
            return;
        }
        for (qsizetype i = 0; i < text.size(); ++i) {
            while (n.state > 0 && text[i] != n.text[n.state])
                n.state = n.failure[n.state];
            if (text[i] == n.text[n.state])
                ++n.state;
            if (n.state == length) {
                const qint64 start = textOffset + i + 1 - length;
                // Every open candidate that began at or before the match holds it.
                const auto upto =
                    std::upper_bound(n.open.begin(), n.open.end(), start,
                                     [](qint64 s, const Needle::Open &o) { return s < o.start; });
                n.satisfied = std::max(n.satisfied, size_t(upto - n.open.begin()));
                n.state = n.failure[n.state];
            }
        }
    }

    void comment(QByteArrayView text, bool begin, bool end) override
    {
        releaseC2();
        if (!needHtml || capturing.empty())
            return;
        write(html, begin ? QByteArrayView("<!--") : end ? QByteArrayView("-->") : text, true);
    }

    void elementEnded(const ElementEnd &end) override
    {
        releaseC2();
        Frame &f = frames[--live];
        Frame &parent = top();
        Record *own = f.record;
        if (textFull < layingOut.size())
            layout.elementEnded();
        if (own && own->capturing)
            endCapture(*own);
        if (!capturing.empty() && needHtml && !f.isVoid) {
            scratch.clear();
            scratch.append("</", 2).append(f.name).append('>');
            write(html, scratch, true);
        }
        // :has(): what this element and its subtree give its parent.
        for (size_t s = 0; s < steps.size(); ++s) {
            const HasStep &step = steps[s];
            if (!f.reached.test(step.bit))
                continue;
            bool holds = true;
            if (step.next >= 0) {
                const HasStep &next = steps[size_t(step.next)];
                holds = (next.before == Combinator::Child ? f.hasChild : f.hasDescendant)
                            .test(step.next);
            }
            if (holds) {
                parent.hasChild.set(int(s));
                parent.hasDescendant.set(int(s));
            }
        }
        parent.hasDescendant.orWith(f.hasDescendant);
        if (own)
            close(*own, f, parent);
        for (size_t i = f.waitingHead; i < f.waiting.size(); ++i) {
            Record *r = f.waiting[i];
            r->siblings = end.children;
            r->siblingsOfType = end.types ? end.types->count(r->name) : 0;
            r->ofTotal = f.ofCounts;
            decide(*r);
        }
        flushFront();
    }

    void close(Record &r, Frame &f, Frame &parent)
    {
        finishFields(r, f);
        if (r.candidates.isEmpty()) {
            r.state = Record::State::Match;
            settle(r);
            return;
        }
        r.empty = !f.nonEmpty;
        r.hasChild = f.hasChild;
        r.hasDescendant = f.hasDescendant;
        for (size_t i = 0; i < needles.size(); ++i) {
            Needle &n = needles[i];
            if (n.open.empty() || n.open.back().record != &r)
                continue;
            r.contains[qsizetype(i)] = n.open.size() <= n.satisfied;
            n.open.pop_back();
            n.satisfied = std::min(n.satisfied, n.open.size());
        }
        if (r.waitsForParent) {
            parent.waiting.push_back(&r);
            deferredBytes += r.bytes;
        } else {
            decide(r);
        }
    }

    void finishFields(Record &r, const Frame &f)
    {
        if (needHtml && !f.isVoid)
            r.endTag = "</" + f.name + '>';
        qint64 bytes =
            sizeof(Record) + r.startTag.size() + r.endTag.size() + r.innerCut.size + r.rawCut.size;
        for (const QByteArray &field : r.fields)
            bytes += field.size();
        for (const Attribute &a : std::as_const(r.attributes)) // kept to decide it at the end
            bytes += 2 * kFieldCost + a.name.size() + a.value.size();
        recordBytes += bytes - r.bytes;
        r.bytes = bytes;
        if (!needHtml && !r.readsRaw && !r.laysOut)
            r.materialized = true;
    }

    static Info infoOf(Record &r, Info::End &end)
    {
        end = Info::End{r.siblings,  r.siblingsOfType, r.ofTotal.data(),  r.empty,
                        &r.hasChild, &r.hasDescendant, r.contains.data(), false};
        return Info{r.name,
                    r.tag,
                    r.ns,
                    Attributes(r.attributes.constData(), size_t(r.attributes.size())),
                    r.depth,
                    r.index,
                    r.typeIndex,
                    &r.reached,
                    r.ofIndex.data(),
                    &end};
    }

    void decide(Record &r)
    {
        if (r.waitsForParent)
            deferredBytes -= r.bytes;
        Info::End end;
        const Info info = infoOf(r, end);
        bool match = false;
        for (int ci : r.candidates)
            match = match || evalCompound(data.complexes[ci].compounds.last(), info) == Tri::True;
        r.state = match ? Record::State::Match : Record::State::Drop;
        r.attributes.clear();
        if (match) {
            settle(r);
        } else {
            recordBytes -= r.bytes;
            recycle(records[size_t(r.serial - firstSerial)].record);
        }
    }

    // What siblings opened so far already decide: :last-child is false once
    // another child opens. Only the oldest waiting are looked at, so each
    // child costs O(1) unless it decides some.
    void decideEarly(Frame &parent)
    {
        while (parent.waitingHead < parent.waiting.size()) {
            Record &r = *parent.waiting[parent.waitingHead];
            Info::End end;
            const Info info = infoOf(r, end);
            end.siblings = parent.childrenSoFar;
            end.siblingsOfType = -1; // unknown yet
            end.ofTotal = parent.ofCounts.data();
            end.lowerBound = true;
            Tri result = Tri::False;
            for (int ci : r.candidates) {
                const Tri t = evalCompound(data.complexes[ci].compounds.last(), info);
                if (t == Tri::True || (t == Tri::Unknown && result == Tri::False))
                    result = t;
            }
            if (result == Tri::Unknown)
                break;
            ++parent.waitingHead;
            deferredBytes -= r.bytes;
            r.state = result == Tri::True ? Record::State::Match : Record::State::Drop;
            r.attributes.clear();
            if (result == Tri::True) {
                settle(r);
            } else {
                recordBytes -= r.bytes;
                recycle(records[size_t(r.serial - firstSerial)].record);
            }
        }
        if (parent.waitingHead > 64 && 2 * parent.waitingHead > parent.waiting.size()) {
            parent.waiting.erase(parent.waiting.begin(),
                                 parent.waiting.begin() + qsizetype(parent.waitingHead));
            parent.waitingHead = 0;
        }
    }

    void flushFront()
    {
        while (!records.empty() && !records.front().record && !records.front().settled) {
            records.pop_front();
            ++firstSerial;
        }
        // With no record left, none reads the shared text.
        if (!records.empty())
            return;
        if (html.end() + raw.end() > 0) [[unlikely]] {
            html.clear();
            raw.clear();
            htmlUsers.clear();
            rawUsers.clear();
        }
        if (!textUsers.serials.empty()) {
            layout.dropBefore(layout.position());
            textUsers.clear();
        }
    }
};

ElementTaker::ElementTaker(const SelectorList &selectors, QList<Take> takes)
    : d(std::make_unique<Private>(selectors, std::move(takes)))
{
}

ElementTaker::~ElementTaker() = default;

void ElementTaker::feed(QByteArrayView utf8)
{
    if (d->finished)
        return;
    d->dropUnreadText();
    d->tokenizer.feed(utf8);
    d->flushFront();
}

void ElementTaker::finish()
{
    if (std::exchange(d->finished, true))
        return;
    d->tokenizer.finish();
    // The document's own children wait for nothing more.
    Frame &document = d->frames.front();
    for (size_t i = document.waitingHead; i < document.waiting.size(); ++i) {
        Record *r = document.waiting[i];
        r->siblings = 1; // the root element is the document's only element
        r->siblingsOfType = 1;
        r->ofTotal = document.ofCounts;
        d->decide(*r);
    }
    document.waiting.clear();
    document.waitingHead = 0;
    d->flushFront();
}

bool ElementTaker::hasRecord() const
{
    if (d->records.empty())
        return false;
    const Queued &q = d->records.front();
    return q.record ? q.record->state == Record::State::Match : bool(q.settled);
}

const QList<QByteArray> &ElementTaker::record()
{
    Q_ASSERT(hasRecord());
    Queued &q = d->records.front();
    if (q.settled)
        return q.settled->fields;
    d->materialize(*q.record);
    return q.record->fields;
}

void ElementTaker::dropRecord()
{
    if (!hasRecord())
        return;
    Queued &q = d->records.front();
    if (q.settled) {
        d->recordBytes -= q.settled->bytes;
        d->settledBytes -= q.settled->bytes;
    } else {
        d->recordBytes -= q.record->bytes;
        d->recycle(q.record);
    }
    d->records.pop_front();
    ++d->firstSerial;
    d->flushFront();
}

QList<QByteArray> ElementTaker::takeRecord()
{
    if (!hasRecord())
        return {};
    QList<QByteArray> fields = record();
    // Copied apart from the buffers the record keeps for the next one.
    for (QByteArray &field : fields)
        field = QByteArray(field.constData(), field.size());
    dropRecord();
    return fields;
}

qint64 ElementTaker::heldBytes() const
{
    // The text of the elements still open, as it is laid out.
    return d->tokenizer.heldBytes() + d->builder.heldBytes() + d->recordBytes +
           d->layout.heldBytes() + d->html.capacity() + d->raw.capacity();
}

qint64 ElementTaker::waitingBytes() const
{
    // The shared text holds besides at most a capture's 16 MiB for the
    // elements still open.
    return d->settledBytes + d->deferredBytes + d->html.capacity() + d->raw.capacity() +
           (d->textUsers.empty() ? 0 : d->layout.heldBytes());
}

QStringList ElementTaker::notes() const
{
    return d->notes.list();
}

} // namespace html
