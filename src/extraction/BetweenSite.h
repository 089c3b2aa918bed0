#pragma once

#include "extraction/BetweenMarkers.h"

class ResultSink;
class RunHost;

// The between rule over one site's page: the markers and options are read
// from the window as each pass begins, and results become rows.
class BetweenSite : private BetweenClient
{
public:
    BetweenSite(QString page, const QString &address, RunHost &host, ResultSink &results);

    // Runs passes until the slice expires; true once they have ended.
    bool advance(const WorkSlice &slice) { return m_passes.advance(slice); }

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
};
