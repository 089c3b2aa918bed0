#include "extraction/Pattern.h"

#include "extraction/Utf8LineFilter.h"
#include "model/TextList.h"
#include "model/UserMessage.h"

#include <QHash>

#include <algorithm>

namespace {

// Whether no match of the pattern can reach past a line feed or look at the
// lines around it: then one search over many lines finds exactly the lines
// that match on their own. Decided from the text alone, so it says no to
// much that would do (any escape other than a few, lookarounds, negated
// classes, verbs), and those patterns are tried line by line.
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
        } else if (c == u'(' && pattern.mid(i + 1, 1) == u"*") {
            return false; // a verb may say what ends a line
        } else if (c == u'[' && (pattern.mid(i + 1, 1) == u"^" || pattern.mid(i + 1, 1) == u":")) {
            return false;
        } else if (c == u'-' && i > 0 &&
                   (pattern[i - 1] < u'\n' || pattern.mid(i - 2, 2) == u"\\t")) {
            return false; // a range from below the line feed, as [\t-~], may hold it
        }
    }
    return !pattern.contains(QStringLiteral("[:"));
}

// Verbs that must open a pattern, such as (*CR), as its text starts with them.
qsizetype leadingVerbs(const QString &pattern)
{
    qsizetype at = 0;
    while (pattern.mid(at, 2) == u"(*") {
        const qsizetype end = pattern.indexOf(u')', at);
        if (end < 0)
            break;
        at = end + 1;
    }
    return at;
}

// At most this much backtracking in one search: about a millisecond and a
// half on this machine's kind, where PCRE2's default lets one line take 50.
const QString limit = QStringLiteral("(*LIMIT_MATCH=1000000)");

// Where a character class that starts at i ends, just past its ']'; -1 when
// it does not.
qsizetype skipClass(const QString &pattern, qsizetype i)
{
    ++i;
    if (i < pattern.size() && pattern[i] == u'^')
        ++i;
    if (i < pattern.size() && pattern[i] == u']') // a member when first
        ++i;
    while (i < pattern.size()) {
        if (pattern[i] == u'\\')
            i += 2;
        else if (pattern[i] == u']')
            return i + 1;
        else
            ++i;
    }
    return -1;
}

// Where a group that starts at i ends, just past its ')'; -1 when it does not.
qsizetype skipGroup(const QString &pattern, qsizetype i)
{
    for (int depth = 0; i < pattern.size();) {
        const QChar c = pattern[i];
        if (c == u'\\') {
            i += 2;
        } else if (c == u'[') {
            if ((i = skipClass(pattern, i)) < 0)
                return -1;
        } else {
            ++i;
            if (c == u'(')
                ++depth;
            else if (c == u')' && --depth == 0)
                return i;
        }
    }
    return -1;
}

} // namespace

QString requiredText(const QString &pattern)
{
    // Whatever changes how the rest reads (options, verbs, quoting, POSIX
    // classes) or asks for text around the match ends the search.
    for (const char *odd : {"[:", "[.", "[=", "\\Q", "\\E", "(*"}) {
        if (pattern.contains(QLatin1String(odd)))
            return {};
    }
    for (qsizetype at = pattern.indexOf(u"(?"); at >= 0; at = pattern.indexOf(u"(?", at + 1)) {
        if (pattern.mid(at + 2, 1) != u":")
            return {};
    }
    QString best, run;
    bool lastInRun = false;
    const auto endRun = [&] {
        if (run.size() > best.size())
            best = run;
        run.clear();
        lastInRun = false;
    };
    for (qsizetype i = 0; i < pattern.size();) {
        const char16_t c = pattern[i].unicode();
        if (c == u'*' || c == u'+' || c == u'?' || c == u'{') {
            // A quantifier: its atom may be missing or repeated.
            if (c == u'{') {
                const qsizetype end = pattern.indexOf(u'}', i);
                if (end < 0)
                    return {};
                for (const QChar d : QStringView(pattern).sliced(i + 1, end - i - 1)) {
                    if (!d.isDigit() && d != u',' && d != u' ')
                        return {};
                }
                i = end;
            }
            if (++i < pattern.size() && (pattern[i] == u'+' || pattern[i] == u'?'))
                ++i;
            if (lastInRun)
                run.chop(1);
            endRun();
            continue;
        }
        if (c == u'|' || c == u')')
            return {};
        if (c == u'(' || c == u'[') {
            if ((i = c == u'(' ? skipGroup(pattern, i) : skipClass(pattern, i)) < 0)
                return {};
            endRun();
            continue;
        }
        char16_t literal = c;
        if (c == u'\\') {
            if (i + 1 == pattern.size())
                return {};
            literal = pattern[i + 1].unicode();
            i += 2;
            if (literal < 0x80 && QChar(literal).isLetterOrNumber()) {
                // Escapes that take no argument match some character or none.
                if (!QStringView(u"AbBdDhHKRsSvVwWXzZGtnrfea").contains(QChar(literal)))
                    return {};
                endRun();
                continue;
            }
        } else {
            ++i;
            if (c == u'.' || c == u'^' || c == u'$') {
                endRun();
                continue;
            }
        }
        // Printable ASCII matches only itself and, for a letter, the other
        // case and what Qt's case folding also turns into it.
        if (literal < 0x20 || literal > 0x7E) {
            endRun();
            continue;
        }
        run += QChar(literal);
        lastInRun = true;
    }
    endRun();
    return best;
}

QRegularExpression compiledPattern(const QString &text)
{
    // A handful of texts at most are in use at once: the rule's, the markers.
    static QHash<QString, QRegularExpression> cache;
    if (const auto found = cache.constFind(text); found != cache.cend())
        return *found;
    if (cache.size() >= 16)
        cache.clear();
    QRegularExpression pattern(limit + text, QRegularExpression::CaseInsensitiveOption |
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
    return patternErrorText(text, pattern.errorString(),
                            std::max<qsizetype>(0, pattern.patternErrorOffset() - limit.size()));
}

QString patternLimitReason()
{
    return QStringLiteral("regular expression too costly (its match limit was reached)");
}

qsizetype decodeLines(QByteArrayView page, qsizetype from, qsizetype minBytes, QString *text,
                      bool decodeAmp)
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
    if (decodeAmp && region.indexOf("&amp;") >= 0) {
        decoded = decodeAmpUtf8(region);
        region = decoded;
    }
    *text = QString::fromUtf8(region);
    // Only the page's own byte-order mark was dropped, by the fetcher; the
    // decoder drops one at the region's start, even when another follows.
    if (region.startsWith("\xEF\xBB\xBF"))
        text->prepend(QChar(0xFEFF));
    return end;
}

qsizetype matchingLines(QByteArrayView page, qsizetype from, qsizetype minBytes,
                        const QRegularExpression &pattern, const QString &source,
                        const std::function<void(QString &&line)> &hit, bool decodeAmp)
{
    const auto valid = QRegularExpression::DontCheckSubjectStringMatchOption;
    const auto normal = QRegularExpression::NormalMatch;
    // A line without the text every match holds cannot match: the literal
    // filter finds the lines with it by their bytes and decodes only those,
    // each alone, which gives the same text as decoding them among the rest.
    // A short text would pass too many lines for that to pay.
    if (const QString required = requiredText(source); required.size() >= 3) {
        const Utf8LineFilter filter(Rule::WithText, required, decodeAmp);
        bool decided = true;
        const qsizetype next = filter.scan(page, from, minBytes, [&](QByteArrayView bytes) {
            if (!decided || !pattern.isValid())
                return;
            QString line = textOfUtf8(bytes);
            const QRegularExpressionMatch found = pattern.match(line, 0, normal, valid);
            decided = found.isValid();
            if (found.hasMatch())
                hit(std::move(line));
        });
        return decided ? next : -1;
    }
    QString text;
    const qsizetype next = decodeLines(page, from, minBytes, &text, decodeAmp);
    if (pattern.isValid() && !matchLines(text, pattern, source, false,
                                         [&](QStringView line, bool) { hit(line.toString()); }))
        return -1;
    return next;
}

bool matchLines(const QString &text, const QRegularExpression &pattern, const QString &source,
                bool everyLine, const std::function<void(QStringView line, bool matches)> &line)
{
    // Decoded text is valid UTF-16: no need to check it at every search.
    const auto valid = QRegularExpression::DontCheckSubjectStringMatchOption;
    const auto normal = QRegularExpression::NormalMatch;
    const auto test = [&](qsizetype start, qsizetype end, bool mayMatch) {
        const QStringView piece = QStringView(text).sliced(start, end - start);
        if (piece.isEmpty())
            return true;
        bool matches = false;
        if (mayMatch) {
            const QRegularExpressionMatch found = pattern.match(piece, 0, normal, valid);
            if (!found.isValid())
                return false;
            matches = found.hasMatch();
        }
        if (matches || everyLine)
            line(piece, matches);
        return true;
    };
    const auto endOfLine = [&](qsizetype from) {
        const qsizetype end = text.indexOf(u'\n', from);
        return end < 0 ? text.size() : end;
    };
    bool searchAll = staysInLine(source);
    for (qsizetype start = 0; start <= text.size();) {
        QRegularExpressionMatch found;
        if (searchAll) {
            // One search finds the next line that matches; those before it do not.
            found = pattern.match(text, start, normal, valid);
            // One that ran out of work over many lines may not on each alone.
            searchAll = found.isValid();
        }
        if (!searchAll) {
            const qsizetype end = endOfLine(start);
            if (!test(start, end, true))
                return false;
            start = end + 1;
            continue;
        }
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
        if (!test(start, end, true))
            return false;
        start = end + 1;
    }
    return true;
}

// What follows an empty match: a longer one at the same place, as PCRE2's
// "not empty at start" finds, which Qt's own iterator uses but does not offer.
const QRegularExpression &LineMatches::longer()
{
    if (!std::exchange(m_longerMade, true)) {
        // A line end closes a comment that (?x) lets the text end in.
        static const QRegularExpression extended(QStringLiteral("\\(\\?[a-zA-Z^]*x"));
        const qsizetype verbs = leadingVerbs(m_source);
        m_longer =
            compiledPattern(m_source.left(verbs) + QStringLiteral("(?:") + m_source.mid(verbs) +
                            (m_source.contains(extended) ? QStringLiteral("\n") : QString()) +
                            QStringLiteral(")(?!\\G)"));
    }
    return m_longer;
}

bool LineMatches::forEach(const QString &line,
                          const std::function<void(const QRegularExpressionMatch &match)> &found)
{
    const auto valid = QRegularExpression::DontCheckSubjectStringMatchOption;
    const auto normal = QRegularExpression::NormalMatch;
    QRegularExpressionMatch match = m_pattern.match(line, 0, normal, valid);
    while (match.isValid() && match.hasMatch()) {
        found(match);
        const qsizetype end = match.capturedEnd();
        if (end > match.capturedStart()) {
            match = m_pattern.match(line, end, normal, valid);
            continue;
        }
        if (!longer().isValid()) {
            // Not seen: a pattern that compiles compiles so wrapped. Qt's own
            // iterator then, which cannot tell an undecided search from the end.
            auto rest = m_pattern.globalMatch(line, end, normal, valid);
            if (rest.hasNext())
                rest.next(); // the empty match just found
            while (rest.hasNext())
                found(rest.next());
            return true;
        }
        match = longer().match(line, end, normal,
                               valid | QRegularExpression::AnchorAtOffsetMatchOption);
        if (match.isValid() && !match.hasMatch() && end < line.size()) {
            const qsizetype next = end + (line[end].isHighSurrogate() ? 2 : 1);
            match = m_pattern.match(line, next, normal, valid);
        }
    }
    return match.isValid();
}
