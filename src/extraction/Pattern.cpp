#include "extraction/Pattern.h"

#include "extraction/Utf8LineFilter.h"
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
    QByteArrayView region = page.sliced(from, regionEnd - from);
    // "&amp;" is ASCII: decoded in the bytes, where looking for it is cheap.
    QByteArray decoded;
    if (region.indexOf("&amp;") >= 0) {
        decoded = decodeAmpUtf8(region);
        region = decoded;
    }
    *text = QString::fromUtf8(region);
    // Only the page's own byte-order mark was dropped, by the fetcher.
    if (region.startsWith("\xEF\xBB\xBF") && !text->startsWith(QChar(0xFEFF)))
        text->prepend(QChar(0xFEFF));
    return end;
}

void matchLines(const QString &text, const QRegularExpression &pattern, const QString &source,
                bool everyLine, const std::function<void(QStringView line, bool matches)> &line)
{
    // Decoded text is valid UTF-16: no need to check it at every search.
    const auto valid = QRegularExpression::DontCheckSubjectStringMatchOption;
    const auto normal = QRegularExpression::NormalMatch;
    const auto test = [&](qsizetype start, qsizetype end, bool mayMatch) {
        const QStringView piece = QStringView(text).sliced(start, end - start);
        if (piece.isEmpty())
            return;
        const bool matches = mayMatch && pattern.match(piece, 0, normal, valid).hasMatch();
        if (matches || everyLine)
            line(piece, matches);
    };
    const auto endOfLine = [&](qsizetype from) {
        const qsizetype end = text.indexOf(u'\n', from);
        return end < 0 ? text.size() : end;
    };
    const bool searchAll = staysInLine(source);
    for (qsizetype start = 0; start <= text.size();) {
        if (!searchAll) {
            const qsizetype end = endOfLine(start);
            test(start, end, true);
            start = end + 1;
            continue;
        }
        // One search finds the next line that matches; those before it do not.
        const QRegularExpressionMatch found = pattern.match(text, start, normal, valid);
        const qsizetype at = found.hasMatch() ? found.capturedStart() : -1;
        // A match at a line feed is the line's: $, or an empty one.
        const qsizetype matchLine = at < 0       ? text.size() + 1
                                    : at > start ? text.lastIndexOf(u'\n', at - 1) + 1
                                                 : start;
        for (qsizetype end; everyLine && start < matchLine; start = end + 1) {
            end = endOfLine(start);
            test(start, end, false);
        }
        if (at < 0)
            break;
        start = matchLine;
        const qsizetype end = endOfLine(at);
        test(start, end, true);
        start = end + 1;
    }
}
