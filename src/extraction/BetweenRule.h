#pragma once

#include "extraction/BetweenMarkers.h"
#include "extraction/PageRule.h"

// The between rule over one site's page: the markers and options are read
// from the host as each pass begins, results become rows, and the address row
// comes once, after the last pass.
class BetweenRule : public PageRule, private BetweenClient
{
public:
    BetweenRule(const QString &address, RunHost &host, ResultSink &results);

    static QString problem(const RuleDescription &rule, qsizetype siteCount);

    void take(QByteArrayView piece) override { m_passes.append(piece); }
    void endOfPage() override { m_passes.endOfText(); }
    bool advance(const WorkSlice &slice) override;
    qint64 heldBytes() const override { return m_passes.heldBytes(); }

private:
    QString startText() const override;
    QString endText() const override;
    bool keepDuplicates() const override;
    bool holdsResult(const QString &result) const override;
    void addResult(const QString &result) override;

    QString m_address;
    RunHost &m_host;
    ResultSink &m_results;
    BetweenMarkers m_passes;
    bool m_addressRowDone = false;
};
