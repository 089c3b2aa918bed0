#pragma once

#include "extraction/PageLines.h"
#include "extraction/PageRule.h"
#include "extraction/Rule.h"

#include <QString>

class RunHost;
class SiteRows;
struct RuleDescription;

// Every match of a pattern in every line, line after line, each match a hit:
// its first capture group when the pattern has one, else the whole match.
// Lines are those of the line rules.
class MatchRule : public PageRule
{
public:
    MatchRule(RunHost &host, SiteRows &rows);

    static QString problem(const RuleDescription &rule, qsizetype siteCount);

    void take(QByteArrayView piece) override { m_lines.take(piece); }
    void endOfPage() override { m_lines.endOfPage(); }
    bool advance(const WorkSlice &slice) override;
    qint64 heldBytes() const override { return m_lines.heldBytes(); }

private:
    RunHost &m_host;
    SiteRows &m_rows;
    const bool m_decodeAmp; // "&amp;" in a page's HTML, not in its visible text
    PageLines m_lines;
};
