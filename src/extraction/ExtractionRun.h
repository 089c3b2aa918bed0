#pragma once

#include "extraction/RunHost.h"
#include "platform/PageFetcher.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <deque>
#include <memory>

class SiteList;
class ResultList;
class BetweenSite;

// One press of an Extract button: visits every site in list order, fetches
// its page and appends the rule's hits. It advances in short slices on the
// event loop and never blocks; destroying it abandons the work at once.
class ExtractionRun : public QObject
{
    Q_OBJECT
public:
    ExtractionRun(Rule rule, SiteList &sites, ResultList &results, PageFetcher &fetcher,
                  RunHost &host, QObject *parent = nullptr);
    ~ExtractionRun() override;

    // The message that refuses a run before it starts, or an empty text.
    static QString inputProblem(Rule rule, const RunHost &host, const SiteList &sites);

    Rule rule() const { return m_rule; }
    void start();

signals:
    void finished();

private:
    void beginSite();
    void onFetched(quint64 id, const FetchResult &result);
    void processSlice();
    bool processLine();
    void endSite();
    void finish();

    Rule m_rule;
    SiteList &m_sites;
    ResultList &m_results;
    PageFetcher &m_fetcher;
    RunHost &m_host;

    qsizetype m_siteCount = 0;
    qsizetype m_siteIndex = 0;
    QString m_address;
    quint64 m_fetchId = 0;
    bool m_waiting = false;
    bool m_done = false;

    // The page being worked on and where the next line starts.
    QString m_page;
    qsizetype m_lineStart = 0;
    bool m_linesLeft = false;
    // The between rule's passes over the page being worked on.
    std::unique_ptr<BetweenSite> m_between;
};

// Runs never interleave: a press while a run is under way starts its run when
// the current one ends, in the order pressed.
class RunQueue : public QObject
{
    Q_OBJECT
public:
    RunQueue(SiteList &sites, ResultList &results, PageFetcher &fetcher, RunHost &host,
             QObject *parent = nullptr);

    void enqueue(Rule rule);
    bool isRunning() const { return m_current != nullptr; }
    int pending() const { return int(m_pending.size()); }

signals:
    void idle();

private:
    void startNext();

    SiteList &m_sites;
    ResultList &m_results;
    PageFetcher &m_fetcher;
    RunHost &m_host;
    QPointer<ExtractionRun> m_current;
    std::deque<Rule> m_pending;
};
