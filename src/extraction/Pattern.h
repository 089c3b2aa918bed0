#pragma once

#include <QRegularExpression>
#include <QString>
#include <QStringView>

#include <functional>

// The rules' regular expressions: letter case ignored, as the literal rules
// do, and ^ and $ at line ends. Compiled once for each text; the rules read
// their texts afresh at every line or pass and get the compiled one back.
//
// A match costs at most a bounded amount of work (PCRE2's match limit,
// lowered to a millisecond or two): a pattern that backtracks without end
// cannot hold the event loop. A search that reaches the limit gives an
// invalid match, which is neither a match nor its absence: the rules then
// fail the site with patternLimitReason().
QRegularExpression compiledPattern(const QString &text);
QString patternLimitReason();
// A marker as the between rule searches for it: the text itself, or the
// pattern it is.
QRegularExpression markerPattern(const QString &text, bool isPattern);
// Why the pattern does not compile, or an empty text.
QString patternProblem(const QString &text);

// The text of the pieces of page from `from` on, at least minBytes of them
// and up to a piece's end, as the line rules read it: pieces joined by '\n',
// "&amp;" decoded unless told not to. Returns where the next piece starts, or page.size() + 1
// once the last piece is in, as Utf8LineFilter::scan does.
qsizetype decodeLines(QByteArrayView page, qsizetype from, qsizetype minBytes, QString *text,
                      bool decodeAmp = true);

// A text of ASCII characters every match of the pattern holds, letter case
// aside, so that a line without it need not be decoded nor searched; empty
// when the pattern's text does not show one plainly.
QString requiredText(const QString &pattern);

// Calls hit with every non-empty line of the pieces of page from `from` on
// (as decodeLines reads them) that the pattern, compiled from source, matches
// on its own. Returns where the next piece starts, as decodeLines does, or -1
// once a line could not be decided.
qsizetype matchingLines(QByteArrayView page, qsizetype from, qsizetype minBytes,
                        const QRegularExpression &pattern, const QString &source,
                        const std::function<void(QString &&line)> &hit, bool decodeAmp = true);

// Calls line with every non-empty line of text that the pattern (compiled
// from source) matches, each line tested on its own, or with every non-empty
// line and whether it matches. False once a line could not be decided.
bool matchLines(const QString &text, const QRegularExpression &pattern, const QString &source,
                bool everyLine, const std::function<void(QStringView line, bool matches)> &line);

// Every match of a pattern along a line, one after another as
// QRegularExpression::globalMatch() finds them, telling a search that could
// not be decided from the end of the line.
class LineMatches
{
public:
    LineMatches(const QRegularExpression &pattern, const QString &source)
        : m_pattern(pattern), m_source(source)
    {
    }
    // False once the next match could not be decided.
    bool forEach(const QString &line,
                 const std::function<void(const QRegularExpressionMatch &match)> &found);

private:
    const QRegularExpression &longer();

    QRegularExpression m_pattern;
    QString m_source;
    QRegularExpression m_longer; // made when first needed
    bool m_longerMade = false;
};
