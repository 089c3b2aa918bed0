#include "extraction/BetweenRule.h"

#include "extraction/LineFilter.h"
#include "extraction/Pattern.h"
#include "extraction/RunHost.h"
#include "results/ResultSink.h"

BetweenRule::BetweenRule(const QString &address, RunHost &host, ResultSink &results)
    : m_address(address), m_host(host), m_results(results), m_passes(*this)
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

bool BetweenRule::advance(const WorkSlice &slice)
{
    if (!m_passes.advance(slice))
        return false;
    if (m_passes.finished() && !std::exchange(m_addressRowDone, true))
        AddAddressRow(m_results, m_address, m_host.includeAddress(),
                      m_host.includeAddressIfNothingFound());
    return true;
}

QString BetweenRule::startText() const
{
    return m_host.startText();
}

QString BetweenRule::endText() const
{
    return m_host.endText();
}

bool BetweenRule::keepDuplicates() const
{
    return m_host.keepDuplicates();
}

// Only an equal result counts as a duplicate, from any site or rule; a row
// the user removed no longer does.
bool BetweenRule::holdsResult(const QString &result) const
{
    return m_results.holdsResult(result);
}

void BetweenRule::addResult(const QString &result)
{
    m_results.append(
        {m_address, result,
         m_host.includeAddress() ? ResultRow::Kind::ResultWithAddress : ResultRow::Kind::Result});
}
