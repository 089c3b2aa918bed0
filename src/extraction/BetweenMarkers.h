#pragma once

#include <QByteArray>
#include <QString>
#include <QStringDecoder>

class WorkSlice;

// A marker looked for in unfolded text, either exactly or ignoring letter
// case as foldCase() does: candidates are where one chosen unit of it occurs
// in any form that folds to it, so the page needs no folded copy.
class MarkerNeedle
{
public:
    MarkerNeedle() = default;
    // folded: text is already folded and matches any text folding to it.
    MarkerNeedle(const QString &text, bool folded);
    qsizetype size() const { return m_text.size(); }
    const QString &text() const { return m_text; }
    // First match in text at or after from, lying wholly in text; or -1.
    qsizetype indexIn(QStringView text, qsizetype from = 0) const;
    // Whether the unit at offset i of a match may be u.
    bool unitMatches(qsizetype i, QChar u) const;

private:
    QString m_text;
    bool m_folded = false;
    qsizetype m_anchor = 0;
    // The units that fold to m_text[m_anchor], at most four; none when more.
    char16_t m_forms[4] = {};
    int m_formCount = 0;
};

// Lower-cases one UTF-16 unit at a time: ASCII letters, and other units whose
// lower case is a single unit; surrogates stay as they are. The result has the
// length of the input, so a position found in folded text is the same
// position in the original.
QString foldCase(QStringView text);

// What the passes read and where their results go. The markers are asked
// afresh at every pass, so a change made between passes applies from the next one.
class BetweenClient
{
public:
    virtual ~BetweenClient() = default;
    virtual QString startText() const = 0;
    virtual QString endText() const = 0;
    // A result the passes took, "&amp;" decoded unless told not to; never empty.
    virtual void addResult(const QString &result) = 0;
};

// Takes, pass after pass, the text between a start marker and the nearest end
// marker out of one page, deleting each section it read, until the page no
// longer holds both markers (matched ignoring letter case).
//
// The page comes as UTF-8 pieces. A pass is made as soon as the text so far
// decides it: a start match, and an end match after it, that later text cannot
// move. A pass that has to wait keeps the markers it read and goes on with
// them when more text comes. Markers may change between passes and a new
// start marker may be anywhere, so the text not yet deleted is kept.
//
// Each pass deletes the first exact occurrence of its section, which is the
// section itself except when the section is shorter than the start marker.
// The text being searched is kept as a gap buffer with the deletions at the
// gap, and every search resumes where the previous one proved there is
// nothing, so the passes over a page cost about one scan of it rather than
// one scan per pass.
//
// While the markers stay the same, no start match lies before where the last
// search found one, less a marker's length that a deletion may join, and
// each section is deleted at that match. The text behind that point is read
// again only when the markers change, when a short section's first
// occurrence is looked for, or when the end marker is looked for anywhere to
// keep the passes going; it is kept compactly (one byte per ASCII
// character), searched piece by piece, and reopened only from a match on.
class BetweenMarkers
{
public:
    // The text behind the passes goes compact, is searched and is reopened in
    // steps of about step units; small steps let small pages reach them.
    // Without decodeAmp, results are taken as they are ("&amp;" stays).
    explicit BetweenMarkers(BetweenClient &client, qsizetype step = 1 << 16, bool decodeAmp = true);

    // More of the page, cut anywhere; ignored once the passes have ended.
    void append(QByteArrayView utf8);
    // The page has no more text.
    void endOfText();
    // Runs passes until the slice expires; true once a pass waits for more
    // text, or the passes have ended.
    bool advance(const WorkSlice &slice);
    bool finished() const { return m_finished; }
    // Bytes of page text held, about.
    qint64 heldBytes() const;

private:
    // Where a search in the text after the gap ended: no match starts in
    // [from, match), and one starts at match; or, when match is -1, none in
    // [from, clearTo). Positions are buffer positions, stable while the gap
    // only moves forward.
    struct SearchMemo
    {
        bool valid = false;
        qsizetype from = 0;
        qsizetype match = -1;
        qsizetype clearTo = 0;
    };

    enum class Pass
    {
        Made,
        Waits, // for more text
        Last   // the text no longer holds both markers
    };

    // Positions are in the remaining text, compact part included, except
    // where said to be open ones: from the start of the open part.
    Pass pass();
    void commit();
    void reopen(qsizetype pos);
    void shiftMemos(qsizetype delta);
    void compact();
    void useMarkers(const QString &start, const QString &end);
    qsizetype openSize() const { return m_text.size() - (m_gapEnd - m_gap); }
    qsizetype size() const { return m_compactSize + openSize(); }
    qsizetype findText(const MarkerNeedle &needle, qsizetype from, qsizetype last,
                       SearchMemo *memo) const;
    qsizetype findCompact(const MarkerNeedle &needle, qsizetype from, qsizetype last) const;
    // In open positions.
    qsizetype find(const MarkerNeedle &needle, qsizetype from, qsizetype last,
                   SearchMemo *memo) const;
    bool endOccursUpTo(qsizetype last);
    qsizetype sectionAt(qsizetype start, qsizetype length);
    // In open positions.
    QString mid(qsizetype pos, qsizetype length) const;
    void erase(qsizetype pos, qsizetype length);
    void moveGap(qsizetype pos);

    BetweenClient &m_client;
    const qsizetype m_step;
    const bool m_decodeAmp;
    bool m_finished = false;
    bool m_ended = false;    // no more text comes
    bool m_passOpen = false; // a pass read its markers and waits for text
    QByteArray m_partial;    // a character the last piece cut
    // The fetcher dropped the page's byte-order mark: any other is text.
    QStringDecoder m_decoder{QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom};
    // The remaining text is the compact part followed by the open part.
    // The compact part holds m_compactSize UTF-16 units, each as one to three
    // bytes (UTF-8, but a surrogate on its own), so that any text round-trips.
    QByteArray m_compact;
    qsizetype m_compactSize = 0;
    // The open part is m_text[0, m_gap) followed by m_text[m_gapEnd, end).
    QString m_text;
    qsizetype m_gap = 0;
    qsizetype m_gapEnd = 0;

    // Markers the search state below belongs to.
    QString m_start;
    QString m_end;
    MarkerNeedle m_foldedStart;
    MarkerNeedle m_foldedEnd;
    SearchMemo m_startMemo;
    SearchMemo m_endMemo;
    qsizetype m_noStartBefore = 0;
    qsizetype m_noEndBefore = 0;
    qsizetype m_firstEnd = -1; // known first end match, -1 when not known

    // The last section looked up by its exact text, and how far it surely is not.
    MarkerNeedle m_section;
    qsizetype m_noSectionBefore = 0;
};
