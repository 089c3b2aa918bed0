#pragma once

#include <QByteArray>
#include <QByteArrayView>

class SiteRows;

// A page's lines as its pieces arrive, for the rules that test line by line:
// the lines a piece completes are read where they are, and only the line
// that spans pieces is copied.
//
// lines() holds whole lines without their last line feed, tested from next on:
// first the line a piece completed, then the piece's later whole lines. None
// are left once next is past its end and pending() has nothing more to move to.
//
// A line that alone would outgrow the run's page budget is not held: the site
// fails as too large, naming the line.
class PageLines
{
public:
    explicit PageLines(SiteRows &rows) : m_rows(rows) {}

    // Bytes tested between two looks at the clock: small enough that a slice
    // of many hits overruns its budget by little.
    static constexpr qsizetype bytesPerCheck = 32 * 1024;

    void take(QByteArrayView piece);
    // The piece after the last line feed is a line too, even an empty one;
    // an empty page has none.
    void endOfPage();

    QByteArrayView lines() const { return m_inRest ? m_rest : QByteArrayView(m_lines); }
    // Whether lines wait to be tested, moving on to the piece's later lines
    // once those before are done.
    bool pending();
    // Every line given so far was tested.
    void done();
    // The site failed: no line is held or tested again, whatever comes.
    void stop();
    // The line the pieces so far leave unfinished, and the one they finished.
    qint64 heldBytes() const { return m_partial.capacity() + m_lines.capacity(); }

    qsizetype next = 1;

private:
    SiteRows &m_rows;
    bool m_stopped = false;
    QByteArray m_lines;
    QByteArrayView m_rest;
    bool m_hasRest = false;
    bool m_inRest = false;
    QByteArray m_partial; // the line the last piece ended in
    bool m_pageEmpty = true;
};
