#include "extraction/MatchRule.h"

#include "extraction/LineFilter.h"
#include "extraction/Pattern.h"
#include "model/WorkSlice.h"
#include "results/ResultSink.h"

MatchRule::MatchRule(const QString &address, RunHost &host, ResultSink &results)
    : LineRule(Rule::Match, address, host, results)
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

void MatchRule::endOfPage()
{
    LineRule::endOfPage();
    m_ended = true;
}

bool MatchRule::advance(const WorkSlice &slice)
{
    const QString text = m_host.ruleText(m_kind);
    const QRegularExpression pattern = compiledPattern(text);
    const auto kind =
        m_host.includeAddress() ? ResultRow::Kind::ResultWithAddress : ResultRow::Kind::Result;
    const bool keepDuplicates = m_host.keepDuplicates();
    const int group = pattern.captureCount() > 0 ? 1 : 0;
    const auto valid = QRegularExpression::DontCheckSubjectStringMatchOption;
    for (bool first = true; m_next <= lines().size() || moveToRest(); first = false) {
        if (!first && slice.expired())
            return false;
        m_next = matchingLines(lines(), m_next, bytesPerCheck, pattern, text, [&](QString &&line) {
            // The iterator steps past an empty match, so it always ends.
            auto found = pattern.globalMatch(line, 0, QRegularExpression::NormalMatch, valid);
            while (found.hasNext()) {
                const QString result = found.next().captured(group);
                if (!result.isEmpty() && (keepDuplicates || !m_results.holdsResult(result)))
                    m_results.append({m_address, result, kind});
            }
        });
    }
    linesDone();
    if (m_ended && !std::exchange(m_addressRowDone, true))
        addAddressRow();
    return true;
}
