#include "extraction/Pattern.h"

#include "extraction/LineFilter.h"
#include "model/UserMessage.h"

#include <QHash>

namespace {

// Whether no match of the pattern can reach past a line feed or look at the
// lines around it: then one search over many lines finds exactly the lines
// that match on their own. Decided from the text alone, so it says no to
// much that would do (any escape other than a few, lookarounds, negated
// classes), and those patterns are tried line by line.
bool staysInLine(const QString &pattern)
{
    for (qsizetype i = 0; i < pattern.size(); ++i) {
        const QChar c = pattern[i];
        if (c == u'\n')
            return false;
        if (c == u'\\') {
            if (++i == pattern.size())
                return false;
            const QChar next = pattern[i];
            if (next.isLetterOrNumber() && !QStringView(u"dwbBt").contains(next))
                return false;
        } else if (c == u'(' && pattern.mid(i + 1, 1) == u"?" && pattern.mid(i + 2, 1) != u":") {
            return false;
        } else if (c == u'[' && (pattern.mid(i + 1, 1) == u"^" || pattern.mid(i + 1, 1) == u":")) {
            return false;
        }
    }
    return !pattern.contains(QStringLiteral("[:"));
}

} // namespace

QRegularExpression compiledPattern(const QString &text)
{
    // A handful of texts at most are in use at once: the rule's, the markers.
    static QHash<QString, QRegularExpression> cache;
    if (const auto found = cache.constFind(text); found != cache.cend())
        return *found;
    if (cache.size() >= 16)
        cache.clear();
    QRegularExpression pattern(text, QRegularExpression::CaseInsensitiveOption |
                                         QRegularExpression::MultilineOption);
    pattern.optimize();
    return *cache.insert(text, pattern);
}

QRegularExpression markerPattern(const QString &text, bool isPattern)
{
    return compiledPattern(isPattern ? text : QRegularExpression::escape(text));
}

QString patternProblem(const QString &text)
{
    const QRegularExpression pattern = compiledPattern(text);
    if (pattern.isValid())
        return {};
    return patternErrorText(text, pattern.errorString(), pattern.patternErrorOffset());
}

qsizetype decodeLines(QByteArrayView page, qsizetype from, qsizetype minBytes, QString *text)
{
    qsizetype end = page.size() + 1;
    qsizetype regionEnd = page.size();
    if (from + minBytes < page.size()) {
        if (const qsizetype nl = page.indexOf('\n', from + minBytes); nl >= 0) {
            end = nl + 1;
            regionEnd = nl;
        }
    }
    const QByteArrayView region = page.sliced(from, regionEnd - from);
    *text = QString::fromUtf8(region);
    // Only the page's own byte-order mark was dropped, by the fetcher.
    if (region.startsWith("\xEF\xBB\xBF") && !text->startsWith(QChar(0xFEFF)))
        text->prepend(QChar(0xFEFF));
    if (text->contains(QLatin1String("&amp;")))
        *text = decodeAmp(*text);
    return end;
}

void matchLines(const QString &text, const QRegularExpression &pattern, const QString &source,
                const std::function<void(QStringView line, bool matches)> &line)
{
    const bool searchAll = staysInLine(source);
    // Decoded text is valid UTF-16: no need to check it at every search.
    const auto valid = QRegularExpression::DontCheckSubjectStringMatchOption;
    const auto normal = QRegularExpression::NormalMatch;
    // Where the next match over all lines starts; -2 before the first
    // search, -1 when there is none.
    qsizetype nextMatch = -2;
    for (qsizetype start = 0; start <= text.size();) {
        qsizetype end = text.indexOf(u'\n', start);
        if (end < 0)
            end = text.size();
        const QStringView piece = QStringView(text).sliced(start, end - start);
        if (!piece.isEmpty()) {
            if (searchAll && (nextMatch == -2 || (nextMatch >= 0 && nextMatch < start))) {
                const QRegularExpressionMatch found = pattern.match(text, start, normal, valid);
                nextMatch = found.hasMatch() ? found.capturedStart() : -1;
            }
            // A match at the line feed is the line's: $, or an empty one.
            const bool matches = (!searchAll || (nextMatch >= start && nextMatch <= end)) &&
                                 pattern.match(piece, 0, normal, valid).hasMatch();
            line(piece, matches);
        }
        start = end + 1;
    }
}
