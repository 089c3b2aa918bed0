#include "window/RunQueue.h"

#include "extraction/SiteSource.h"

RunQueue::RunQueue(SiteList &sites, ResultSink &results, PageFetcher &fetcher, RunHost &host,
                   QObject *parent)
    : SerialQueue(parent), m_sites(sites), m_results(results), m_fetcher(fetcher), m_host(host)
{
}

void RunQueue::enqueue(Rule rule)
{
    SerialQueue::enqueue([this, rule] {
        auto *sites = new SiteListSource(m_sites);
        auto *run = new ExtractionRun(rule, *sites, m_results, m_fetcher, m_host, this);
        sites->setParent(run);
        m_current = run;
        emit started(run);
        return run;
    });
}
