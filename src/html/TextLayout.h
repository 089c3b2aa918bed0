#pragma once

#include "html/TreeBuilder.h"

#include <utility>
#include <vector>

namespace html {

// The visible text of a run of tree events, as innerText gives it with only
// the default style sheet: blocks end lines, white space collapses, lines are
// trimmed and empty ones dropped, pre keeps its white space, cells are
// parted by a tab. Every line written ends in '\n'.
class TextLayout
{
public:
    TextLayout() = default;
    TextLayout(const TextLayout &) = delete; // it writes through a pointer into its buffer
    TextLayout &operator=(const TextLayout &) = delete;
    void elementStarted(const ElementStart &element) { elementStarted(element, isShown(element)); }
    void elementStarted(const ElementStart &element, bool shown); // shown: isShown(element)
    void text(QByteArrayView text);
    void elementEnded();
    void finish() { endLine(); }
    QByteArray take();                    // the lines made so far
    void reset(qsizetype keep = 1 << 16); // for another element, keeping a buffer this small
    qint64 heldBytes() const { return m_out.capacity(); }

    // Elements inside each other share one layout: each marks where its text
    // begins, after its start. What was laid out since, less the separator
    // the text around it put before its first word, is what a layout of its
    // own would give.
    struct Mark
    {
        qint64 from = 0;      // counted from the layout's start
        qint64 foreignAt = 0; // the separator that is not its own, once written
        int foreign = 0;
        int tabs = 0; // of those pending, how many are not its own
    };
    void mark(Mark &m)
    {
        m = Mark{position(), 0, 0, m_tabs};
        m_pending.push_back(&m);
    }
    // Before the mark is gone: its element ended, or its text was taken.
    void unmark(Mark &m)
    {
        // Marks end in the reverse of their order: one still pending is last.
        if (!m_pending.empty() && m_pending.back() == &m)
            m_pending.pop_back();
        else
            std::erase(m_pending, &m);
    }
    qint64 position() const { return m_base + m_used; }
    // Its text up to a position, in two parts around that separator.
    std::pair<QByteArrayView, QByteArrayView> since(const Mark &m, qint64 to) const
    {
        const char *const out = m_out.constData();
        const char *const from = out + (m.from - m_base), *const end = out + (to - m_base);
        if (m.foreign == 0)
            return {QByteArrayView(from, end), {}};
        const char *const at = out + (m.foreignAt - m_base);
        return {QByteArrayView(from, at), QByteArrayView(at + m.foreign, end)};
    }
    // What lies before a position is no longer read: it goes when the room
    // is needed, and at once when nothing after it is kept.
    void dropBefore(qint64 position);
    // For another element, as a layout of its own, keeping what was laid out.
    void restart()
    {
        m_pending.clear();
        m_frames.clear();
        m_hidden = m_pre = m_tabs = 0;
        m_lineHasText = m_space = false;
    }
    bool hidden() const { return m_hidden > 0; }
    // For the text of an element inside pre: white space kept from the start.
    void setPreformatted() { m_pre = 1; }

    // Whether the default style sheet and the element's own attributes show it.
    static bool isShown(const ElementStart &element);

private:
    enum Flag : quint8
    {
        Hides = 1,
        Block = 2,
        Pre = 4,
        Row = 8
    };
    struct Frame
    {
        quint8 flags = 0;
        int cells = 0;
    };
    void endLine();
    // What comes first after a mark: a line's end or a space is the text
    // around's, as are the tabs pending when it was made; a layout of its
    // own, with no text yet, would write none of them. After that, both
    // write alike.
    void settleMarks(qint64 at, bool lineEnd)
    {
        for (Mark *m : m_pending) {
            m->foreignAt = at;
            m->foreign = lineEnd ? int(m_lineHasText) : m_tabs ? m->tabs : int(m_space);
        }
        m_pending.clear();
    }
    // Room for n more bytes; the common case, room there already, inline.
    char *room(qsizetype n)
    {
        return m_out.size() - m_used >= n && m_data ? m_data + m_used : grow(n);
    }
    char *grow(qsizetype n);

    // The lines are m_out's first m_used bytes; the rest is room, so that
    // most pieces of text cost no call to resize.
    QByteArray m_out;
    // m_out's bytes, never shared: writing through it asks no detach, whose
    // look at the buffer's header is a cache miss as often as not.
    char *m_data = nullptr;
    qsizetype m_used = 0;
    qsizetype m_taken = 0; // about the size of what was taken lately
    std::vector<Frame> m_frames;
    int m_hidden = 0;
    int m_pre = 0;
    bool m_lineHasText = false;
    bool m_space = false;
    int m_tabs = 0;
    qint64 m_base = 0;             // where m_out begins, once the start was dropped
    qint64 m_unread = 0;           // what lies before is no longer read
    std::vector<Mark *> m_pending; // marks with nothing of their own written since
};

} // namespace html
