#pragma once

#include "extraction/PageRule.h"

#include <QRegularExpression>
#include <QStringDecoder>

class RunHost;
class SiteRows;

// The between rule while a marker is a regular expression: pass after pass,
// the text between a match of the start pattern and the next match of the end
// pattern after it. A marker whose switch is off is its literal text.
//
// Each pass passes over the text up to the end of its end match, the text
// before its start match included; the next pass looks for a start after
// that. Only the text from there on is kept, and a little before it for
// lookbehinds, \b and ^. A match that more text could make longer, or one
// that could begin in text not yet arrived, waits for that text. As in the
// literal rule the markers are read at every pass and matched ignoring case,
// and "&amp;" is decoded in the result.
class PatternBetweenRule : public PageRule
{
public:
    PatternBetweenRule(RunHost &host, SiteRows &rows);

    void take(QByteArrayView piece) override;
    void endOfPage() override;
    bool advance(const WorkSlice &slice) override;
    // The text kept as UTF-16, and a character cut by the last piece.
    qint64 heldBytes() const override { return m_text.capacity() * 2 + m_partial.size(); }

private:
    enum class Pass
    {
        Made,
        Waits,
        Last,
        Undecided // the pattern could not be decided: the site fails
    };
    Pass pass();
    void dropPassedText();

    RunHost &m_host;
    SiteRows &m_rows;
    const bool m_decodeAmp; // "&amp;" in a page's HTML, not in its visible text
    QByteArray m_partial;   // a character the last piece cut
    // The fetcher dropped the page's byte-order mark: any other is text.
    QStringDecoder m_decoder{QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom};
    QString m_text;
    bool m_ended = false;
    bool m_finished = false;

    qsizetype m_next = 0; // where the next pass begins
    // The pass under way: its markers, and what earlier text settled.
    bool m_passOpen = false;
    QRegularExpression m_start, m_end;
    qsizetype m_startFrom = 0;   // no start match begins before this
    qsizetype m_startBegin = -1; // the start match, once settled
    qsizetype m_startEnd = -1;
    qsizetype m_endFrom = 0;    // no end match begins before this
    qsizetype m_searchWhen = 0; // no search before the text is this long
};
