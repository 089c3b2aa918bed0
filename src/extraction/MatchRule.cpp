#include "extraction/MatchRule.h"

#include "extraction/Pattern.h"
#include "extraction/RuleDescription.h"
#include "extraction/RunHost.h"
#include "extraction/SiteRows.h"
#include "model/WorkSlice.h"
#include "platform/PageFetcher.h"

MatchRule::MatchRule(RunHost &host, SiteRows &rows)
    : m_host(host), m_rows(rows), m_decodeAmp(!host.readsText()), m_lines(rows)
{
}

QString MatchRule::problem(const RuleDescription &rule, qsizetype siteCount)
{
    if (rule.text.isEmpty())
        return QStringLiteral("Fill out a regular expression to match.");
    if (QString problem = patternProblem(rule.text); !problem.isEmpty())
        return problem;
    if (siteCount == 0)
        return QStringLiteral("No sites added.");
    return {};
}

bool MatchRule::advance(const WorkSlice &slice)
{
    const QString text = m_host.ruleText(Rule::Match);
    const QRegularExpression pattern = compiledPattern(text);
    const int group = pattern.captureCount() > 0 ? 1 : 0;
    LineMatches matches(pattern, text);
    bool decided = true;
    for (bool first = true; decided && m_lines.pending(); first = false) {
        if (!first && slice.expired())
            return false;
        m_lines.next =
            matchingLines(m_lines.lines(), m_lines.next, PageLines::bytesPerCheck, pattern, text,
                          [&](QString &&line) {
                              decided = decided && matches.forEach(line, [&](const auto &match) {
                                  m_rows.hit(match.capturedView(group));
                              });
                          });
        decided = decided && m_lines.next >= 0;
    }
    if (!decided) {
        m_lines.stop();
        m_rows.fail(FetchError::PatternLimit, patternLimitReason());
        return true;
    }
    m_lines.done();
    return true;
}
