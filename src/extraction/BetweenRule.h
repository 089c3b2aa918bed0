#pragma once

#include "extraction/BetweenMarkers.h"
#include "extraction/PageRule.h"

class RunHost;
class SiteRows;
struct RuleDescription;

// The between rule over one site's page: the markers are read from the host
// as each pass begins, and every result is a hit.
class BetweenRule : public PageRule, private BetweenClient
{
public:
    BetweenRule(RunHost &host, SiteRows &rows);

    static QString problem(const RuleDescription &rule, qsizetype siteCount);

    void take(QByteArrayView piece) override { m_passes.append(piece); }
    void endOfPage() override { m_passes.endOfText(); }
    bool advance(const WorkSlice &slice) override { return m_passes.advance(slice); }
    qint64 heldBytes() const override { return m_passes.heldBytes(); }

private:
    QString startText() const override;
    QString endText() const override;
    void addResult(const QString &result) override;

    RunHost &m_host;
    SiteRows &m_rows;
    BetweenMarkers m_passes;
};
