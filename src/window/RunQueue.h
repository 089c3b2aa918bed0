#pragma once

#include "extraction/ExtractionRun.h"

#include <QPointer>

class PageFetcher;
class ResultSink;
class RunHost;
class SiteList;

// Runs never interleave: a press while a run is under way starts its run when
// the current one ends, in the order pressed. Each run takes the sites the
// list has when it starts.
class RunQueue : public SerialQueue
{
    Q_OBJECT
public:
    RunQueue(SiteList &sites, ResultSink &results, PageFetcher &fetcher, RunHost &host,
             QObject *parent = nullptr);

    void enqueue(Rule rule);
    // The run under way, if any.
    ExtractionRun *current() const { return m_current; }

signals:
    void started(ExtractionRun *run);

private:
    SiteList &m_sites;
    ResultSink &m_results;
    PageFetcher &m_fetcher;
    RunHost &m_host;
    QPointer<ExtractionRun> m_current;
};
