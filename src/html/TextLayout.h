#pragma once

#include "html/TreeBuilder.h"

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
    QByteArray take(); // the lines made so far
    QByteArrayView lines() const { return {m_out.constData(), m_used}; }
    void reset(qsizetype keep = 1 << 16); // for another element, keeping a buffer this small
    qint64 heldBytes() const { return m_out.capacity(); }
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
};

} // namespace html
