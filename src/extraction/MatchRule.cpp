#include "extraction/MatchRule.h"

#include "extraction/Pattern.h"
#include "extraction/RuleDescription.h"
#include "extraction/RunHost.h"
#include "extraction/SiteRows.h"
#include "model/WorkSlice.h"

MatchRule::MatchRule(RunHost &host, SiteRows &rows) : m_host(host), m_rows(rows) {}

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
    const auto valid = QRegularExpression::DontCheckSubjectStringMatchOption;
    for (bool first = true; m_lines.pending(); first = false) {
        if (!first && slice.expired())
            return false;
        m_lines.next = matchingLines(m_lines.lines(), m_lines.next, PageLines::bytesPerCheck,
                                     pattern, text, [&](QString &&line) {
                                         // The iterator steps past an empty match, so it ends.
                                         auto found = pattern.globalMatch(
                                             line, 0, QRegularExpression::NormalMatch, valid);
                                         while (found.hasNext())
                                             m_rows.hit(found.next().capturedView(group));
                                     });
    }
    m_lines.done();
    return true;
}
