#pragma once

#include <QByteArrayView>
#include <QtGlobal>

class WorkSlice;

// Everything held of pages in a run, arriving, waiting or worked on, what the
// rule keeps included.
constexpr qint64 pageBudget = 64LL * 1024 * 1024;

// One rule over one site's page. A rule only finds text: each hit goes to the
// site's rows (SiteRows), which decide what it becomes. The page comes as
// valid UTF-8 cut into pieces anywhere, even inside a character; the rule
// keeps only what the pieces after it still need (a partial line, the text
// the passes may still read), and reads its texts afresh as it goes.
class PageRule
{
public:
    virtual ~PageRule() = default;

    // The next piece of the page; given only once advance() asked for more,
    // and left as it is until advance() asks again.
    virtual void take(QByteArrayView piece) = 0;
    // The page has ended, told as a piece is; a page that failed to come is
    // an empty one.
    virtual void endOfPage() = 0;
    // Works until the slice expires. True once it did all it can with what it
    // was given: then it asks for the next piece or, after endOfPage(), it is
    // done with the page.
    virtual bool advance(const WorkSlice &slice) = 0;
    // Bytes the rule holds of the page, counted against the run's page
    // budget: every rule says, as what it holds may be most of a page.
    virtual qint64 heldBytes() const = 0;
};
