#pragma once

#include "extraction/Rule.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <vector>

// A line filter over a page held as UTF-8 bytes. It gives exactly the rows that
// cutting the decoded text into QString lines, decoding "&amp;" and looking for
// the rule text in each, ignoring case, would give, at a fraction of the cost:
// the with-text rule looks only at the lines around a byte-level match of its
// text, and a QString is made only for a line whose letters Qt's case folding
// could match in ways a byte comparison would not. Passing lines are handed
// on as UTF-8, "&amp;" decoded.
class Utf8LineFilter
{
public:
    // Without decodeAmp, lines are taken as they are ("&amp;" stays).
    Utf8LineFilter(Rule rule, const QString &ruleText, bool decodeAmp = true);

    using Hit = std::function<void(QByteArrayView line)>;

    // Whether one piece (a line without its '\n') passes; the decoded line goes
    // to hit when it does. An empty piece never passes.
    bool passes(QByteArrayView piece, const Hit &hit) const;

    // Tests the pieces from the one starting at from on, at least minBytes of
    // the page and up to a piece boundary, calling hit with every passing line
    // in page order. Returns where the next piece starts, or page.size() + 1
    // once the last piece was tested.
    qsizetype scan(QByteArrayView page, qsizetype from, qsizetype minBytes, const Hit &hit) const;

private:
    qsizetype findFolded(QByteArrayView text, qsizetype from) const;
    bool holdsFoldTrap(QByteArrayView text) const;
    void scanEveryPiece(QByteArrayView page, qsizetype from, qsizetype end, const Hit &hit) const;
    void scanAroundMatches(QByteArrayView page, qsizetype from, qsizetype end,
                           const Hit &hit) const;

    Rule m_rule;
    QString m_text;
    bool m_decodeAmp;
    bool m_ascii;                        // the text is ASCII: bytes can be compared
    QByteArray m_folded;                 // the ASCII text, lower-cased
    qsizetype m_anchor = 0;              // the rarest byte of m_folded, searched for first
    qsizetype m_second = 0;              // the next rarest
    bool m_needsAmp = false;             // a decoded "&amp;" can make a match
    std::vector<QByteArray> m_foldTraps; // non-ASCII characters folding into the text
};

// "&amp;" replaced by "&" in one left-to-right pass, as decodeAmp does.
QByteArray decodeAmpUtf8(QByteArrayView text);
