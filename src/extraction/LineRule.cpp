#include "extraction/LineRule.h"

#include "extraction/Pattern.h"
#include "extraction/RuleDescription.h"
#include "extraction/RunHost.h"
#include "extraction/SiteRows.h"
#include "extraction/Utf8LineFilter.h"
#include "model/WorkSlice.h"
#include "platform/PageFetcher.h"

LineRule::LineRule(Rule kind, RunHost &host, SiteRows &rows)
    : m_kind(kind), m_host(host), m_rows(rows), m_decodeAmp(!host.readsText()), m_lines(rows)
{
}

QString LineRule::problem(const RuleDescription &rule, qsizetype siteCount)
{
    if (rule.text.isEmpty())
        return rule.kind == Rule::WithoutText
                   ? QStringLiteral("Fill out text to use to skip lines.")
                   : QStringLiteral("Fill out text to use to extract lines.");
    if (rule.textPattern) {
        if (QString problem = patternProblem(rule.text); !problem.isEmpty())
            return problem;
    }
    if (siteCount == 0)
        return QStringLiteral("No sites added.");
    return {};
}

bool LineRule::advance(const WorkSlice &slice)
{
    if (!m_lines.pending())
        return true;
    if (m_host.rulePattern(m_kind))
        return advancePattern(slice);
    // Nothing the rule reads can change before it yields again, so one reading
    // of the text serves the whole call.
    const Utf8LineFilter filter(m_kind, m_host.ruleText(m_kind), m_decodeAmp);
    const auto hit = [this](QByteArrayView line) {
        m_rows.hitUtf8(line);
    };
    m_lines.next = filter.scan(m_lines.lines(), m_lines.next, 0, hit);
    m_rows.lineTested();
    while (m_lines.pending()) {
        if (slice.expired())
            return false;
        m_lines.next = filter.scan(m_lines.lines(), m_lines.next, PageLines::bytesPerCheck, hit);
    }
    m_lines.done();
    return true;
}

// The same lines as the literal filter, tested by the pattern. The with-text
// rule reads only the lines the pattern may match; the without-text rule
// decodes every line, as most become rows.
bool LineRule::advancePattern(const WorkSlice &slice)
{
    const QString text = m_host.ruleText(m_kind);
    const QRegularExpression pattern = compiledPattern(text);
    const bool keepMatching = m_kind == Rule::WithText;
    QString decoded;
    for (qsizetype minBytes = 0; m_lines.pending(); minBytes = PageLines::bytesPerCheck) {
        if (minBytes > 0 && slice.expired())
            return false;
        bool decided = true;
        if (keepMatching) {
            m_lines.next = matchingLines(
                m_lines.lines(), m_lines.next, minBytes, pattern, text,
                [this](QString &&line) { m_rows.hit(line); }, m_decodeAmp);
            decided = m_lines.next >= 0;
        } else {
            m_lines.next =
                decodeLines(m_lines.lines(), m_lines.next, minBytes, &decoded, m_decodeAmp);
            // A text made invalid while the run waited matches nothing.
            decided = !pattern.isValid() || matchLines(decoded, pattern, text, true,
                                                       [this](QStringView line, bool matches) {
                                                           if (!matches)
                                                               m_rows.hit(line);
                                                       });
        }
        if (!decided) {
            m_lines.stop();
            m_rows.fail(FetchError::PatternLimit, patternLimitReason());
            return true;
        }
        if (minBytes == 0)
            m_rows.lineTested();
    }
    m_lines.done();
    return true;
}
