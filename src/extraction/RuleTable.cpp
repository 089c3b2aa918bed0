#include "extraction/RuleTable.h"

#include "extraction/BetweenRule.h"
#include "extraction/LineRule.h"
#include "extraction/MatchRule.h"
#include "extraction/PatternBetweenRule.h"
#include "extraction/RunHost.h"
#include "extraction/SelectRule.h"

#include <algorithm>
#include <array>
#include <type_traits>

namespace {

template <typename R> std::unique_ptr<PageRule> make(Rule kind, RunHost &host, SiteRows &rows)
{
    if constexpr (std::is_constructible_v<R, Rule, RunHost &, SiteRows &>)
        return std::make_unique<R>(kind, host, rows);
    else
        return std::make_unique<R>(host, rows);
}

// Whether the markers are patterns is settled as each page begins.
std::unique_ptr<PageRule> makeBetween(Rule kind, RunHost &host, SiteRows &rows)
{
    if (host.startPattern() || host.endPattern())
        return make<PatternBetweenRule>(kind, host, rows);
    return make<BetweenRule>(kind, host, rows);
}

using AddressRow = RuleEntry::AddressRow;

// Every rule, one entry each: its refusal, its maker, whether its text is
// always a pattern, whether it drops duplicates, where its address row goes,
// whether it reads the page as a document, and whether "Done." follows every site.
constexpr std::array entries{
    RuleEntry{Rule::WithText, &LineRule::problem, &make<LineRule>, false, false,
              AddressRow::AfterEveryLine, false, true},
    RuleEntry{Rule::WithoutText, &LineRule::problem, &make<LineRule>, false, false,
              AddressRow::AfterEveryLine, false, true},
    RuleEntry{Rule::Between, &BetweenRule::problem, &makeBetween, false, true,
              AddressRow::AfterPage, false, false},
    RuleEntry{Rule::Match, &MatchRule::problem, &make<MatchRule>, true, true, AddressRow::AfterPage,
              false, false},
    RuleEntry{Rule::Select, &SelectRule::problem, &make<SelectRule>, false, false,
              AddressRow::AfterPage, true, false},
};

} // namespace

const RuleEntry &ruleEntry(Rule kind)
{
    const auto found = std::find_if(entries.begin(), entries.end(),
                                    [kind](const RuleEntry &entry) { return entry.kind == kind; });
    Q_ASSERT(found != entries.end());
    return *found;
}

RuleDescription describeRule(Rule kind, const RunHost &host)
{
    return {kind,
            host.ruleText(kind),
            host.startText(),
            host.endText(),
            host.keepDuplicates(),
            host.includeAddress(),
            host.includeAddressIfNothingFound(),
            ruleEntry(kind).textIsPattern || host.rulePattern(kind),
            host.startPattern(),
            host.endPattern(),
            host.readsText(),
            host.takes()};
}

QString ruleProblem(const RuleDescription &rule, qsizetype siteCount)
{
    return ruleEntry(rule.kind).problem(rule, siteCount);
}

bool dropsDuplicates(const RuleDescription &rule)
{
    return ruleEntry(rule.kind).honoursKeepDuplicates && !rule.keepDuplicates;
}
