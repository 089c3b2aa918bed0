#include "extraction/PageRule.h"

#include "extraction/BetweenRule.h"
#include "extraction/LineRule.h"
#include "extraction/MatchRule.h"
#include "extraction/PatternBetweenRule.h"

#include <algorithm>
#include <array>

namespace {

std::unique_ptr<PageRule> makeLineRule(Rule kind, const QString &address, RunHost &host,
                                       ResultSink &results)
{
    return std::make_unique<LineRule>(kind, address, host, results);
}

// Whether the markers are patterns is settled as each page begins.
std::unique_ptr<PageRule> makeBetweenRule(Rule, const QString &address, RunHost &host,
                                          ResultSink &results)
{
    if (host.startPattern() || host.endPattern())
        return std::make_unique<PatternBetweenRule>(address, host, results);
    return std::make_unique<BetweenRule>(address, host, results);
}

std::unique_ptr<PageRule> makeMatchRule(Rule, const QString &address, RunHost &host,
                                        ResultSink &results)
{
    return std::make_unique<MatchRule>(address, host, results);
}

// Every rule, one entry each.
constexpr std::array entries{
    RuleEntry{Rule::WithText, &LineRule::problem, &makeLineRule, false, true},
    RuleEntry{Rule::WithoutText, &LineRule::problem, &makeLineRule, false, true},
    RuleEntry{Rule::Between, &BetweenRule::problem, &makeBetweenRule, true, false},
    RuleEntry{Rule::Match, &MatchRule::problem, &makeMatchRule, true, false},
};

} // namespace

const RuleEntry &ruleEntry(Rule kind)
{
    const auto found = std::find_if(entries.begin(), entries.end(),
                                    [kind](const RuleEntry &entry) { return entry.kind == kind; });
    Q_ASSERT(found != entries.end());
    return *found;
}

RuleDescription RuleDescription::read(Rule kind, const RunHost &host)
{
    return {kind,
            host.ruleText(kind),
            host.startText(),
            host.endText(),
            host.keepDuplicates(),
            host.includeAddress(),
            host.includeAddressIfNothingFound(),
            host.rulePattern(kind),
            host.startPattern(),
            host.endPattern()};
}

QString RuleDescription::problem(qsizetype siteCount) const
{
    return ruleEntry(kind).problem(*this, siteCount);
}

bool RuleDescription::dropsDuplicates() const
{
    return ruleEntry(kind).honoursKeepDuplicates && !keepDuplicates;
}
