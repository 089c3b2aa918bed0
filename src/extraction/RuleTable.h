#pragma once

#include "extraction/RuleDescription.h"

#include <QString>

#include <memory>

class PageRule;
class RunHost;
class SiteRows;

// A rule's entry: everything a run, the window and the command line ask
// about a rule, in one place. A new rule is one class and one entry.
struct RuleEntry
{
    enum class AddressRow
    {
        AfterEveryLine, // the address-only row may follow any line the rule tests
        AfterPage       // once, after the page
    };

    Rule kind;
    // Why a run with this rule is refused before it starts, or an empty text.
    QString (*problem)(const RuleDescription &rule, qsizetype siteCount);
    // The rule over one page; it may choose its class as the page begins.
    std::unique_ptr<PageRule> (*make)(Rule kind, RunHost &host, SiteRows &rows);
    // The rule's text is a regular expression whatever the host says.
    bool textIsPattern;
    // A result equal to one already listed is dropped unless duplicates are kept.
    bool honoursKeepDuplicates;
    AddressRow addressRow;
    // The rule reads the page's HTML itself, whether or not rules read pages as text.
    bool readsDocument;
    // "Done." and the idle pointer after every site rather than after the run.
    bool doneAfterEverySite;
};

const RuleEntry &ruleEntry(Rule kind);

// The controls of a host as they are now.
RuleDescription describeRule(Rule kind, const RunHost &host);
// The message that refuses a run before it starts, or an empty text.
QString ruleProblem(const RuleDescription &rule, qsizetype siteCount);
// Whether a row equal to one already listed is dropped.
bool dropsDuplicates(const RuleDescription &rule);
