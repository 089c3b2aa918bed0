#pragma once

#include "extraction/PageLines.h"
#include "extraction/PageRule.h"
#include "extraction/Rule.h"

#include <QString>

class RunHost;
class SiteRows;
struct RuleDescription;

// The with-text and without-text filters: every line of the page is tested as
// it completes. The text is literal, or a regular expression while the host
// says so, read at every call.
class LineRule : public PageRule
{
public:
    LineRule(Rule kind, RunHost &host, SiteRows &rows);

    static QString problem(const RuleDescription &rule, qsizetype siteCount);

    void take(QByteArrayView piece) override { m_lines.take(piece); }
    void endOfPage() override { m_lines.endOfPage(); }
    bool advance(const WorkSlice &slice) override;
    qint64 heldBytes() const override { return m_lines.heldBytes(); }

private:
    bool advancePattern(const WorkSlice &slice);

    Rule m_kind;
    RunHost &m_host;
    SiteRows &m_rows;
    const bool m_decodeAmp; // "&amp;" in a page's HTML, not in its visible text
    PageLines m_lines;
};
