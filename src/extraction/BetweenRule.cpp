#include "extraction/BetweenRule.h"

#include "extraction/Pattern.h"
#include "extraction/RuleDescription.h"
#include "extraction/RunHost.h"
#include "extraction/SiteRows.h"

BetweenRule::BetweenRule(RunHost &host, SiteRows &rows)
    : m_host(host), m_rows(rows), m_passes(*this, 1 << 16, !host.readsText())
{
}

QString BetweenRule::problem(const RuleDescription &rule, qsizetype siteCount)
{
    if (rule.start.isEmpty() || rule.end.isEmpty())
        return QStringLiteral("Fill out starting text (or character) and fill out ending "
                              "text (or character).");
    for (const auto &[text, isPattern] :
         {std::pair{rule.start, rule.startPattern}, std::pair{rule.end, rule.endPattern}}) {
        if (QString problem = isPattern ? patternProblem(text) : QString(); !problem.isEmpty())
            return problem;
    }
    if (siteCount == 0)
        return QStringLiteral("No files in list.");
    return {};
}

QString BetweenRule::startText() const
{
    return m_host.startText();
}

QString BetweenRule::endText() const
{
    return m_host.endText();
}

void BetweenRule::addResult(const QString &result)
{
    m_rows.hit(result);
}
