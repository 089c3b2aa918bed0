#pragma once

#include "extraction/LineRule.h"

// Every match of a pattern in every line, line after line, each match a row:
// its first capture group when the pattern has one, else the whole match.
// Lines are those of the line rules; an empty match, or an empty group, makes
// no row. An equal result is dropped unless duplicates are kept, and the
// address row comes once, after the page.
class MatchRule : public LineRule
{
public:
    MatchRule(const QString &address, RunHost &host, ResultSink &results);

    static QString problem(const RuleDescription &rule, qsizetype siteCount);

    void endOfPage() override;
    bool advance(const WorkSlice &slice) override;

private:
    bool m_ended = false;
    bool m_addressRowDone = false;
};
