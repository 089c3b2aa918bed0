#pragma once

#include "extraction/RunHost.h"
#include "platform/PageFetcher.h"
#include "platform/SerialQueue.h"

#include <QObject>
#include <QString>

#include <QHash>

#include <map>
#include <memory>

class SiteList;
class ResultList;
class BetweenSite;

// One press of an Extract button: visits every site in list order, fetches
// its page and appends the rule's hits. It advances in short slices on the
// event loop and never blocks; destroying it abandons the work at once.
//
// While one site is worked on, the pages of the sites after it are fetched
// ahead, within the limits below. The sites are still handled one at a time
// in list order, each reading its address at its turn: a page fetched ahead
// for another address than the one the list then holds is not used.
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

    // Pages fetched ahead: in flight at once, in flight per host (port
    // included), and bytes of fetched pages waiting for their turn.
    static constexpr int maxInFlight = 16;
    static constexpr int maxInFlightPerHost = 6;
    static constexpr qint64 maxWaitingBytes = 64LL * 1024 * 1024;

signals:
    void finished();

private:
    struct Prefetch
    {
        QString address;
        QByteArray host;
        quint64 id = 0;
        bool arrived = false;
        FetchResult result;
        qint64 bytes = 0;
    };

    void beginSite();
    quint64 fetch(const QString &address);
    void onFetched(quint64 id, const FetchResult &result);
    void settlePrefetchesBehind();
    void fetchAhead();
    void dropPrefetch(std::map<qsizetype, Prefetch>::iterator entry);
    void dropAllPrefetches();
    QByteArray hostOf(const QString &address);
    qint64 pageBytes(const FetchResult &result) const;
    void startPage(const FetchResult &result);
    void processSlice();
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
    QByteArray m_hostKey; // of the page awaited for the current site
    quint64 m_fetchId = 0;
    bool m_waiting = false;
    bool m_done = false;

    // By the index of the site they were asked for.
    std::map<qsizetype, Prefetch> m_ahead;
    qint64 m_waitingBytes = 0;
    QHash<QString, QByteArray> m_hosts; // address -> host, parsed once

    // The page being worked on, as UTF-8, and where the next piece starts.
    QByteArray m_page;
    qsizetype m_lineStart = 0;
    bool m_linesLeft = false;
    // The between rule's passes over the page being worked on.
    std::unique_ptr<BetweenSite> m_between;
};

// Runs never interleave: a press while a run is under way starts its run when
// the current one ends, in the order pressed.
class RunQueue : public SerialQueue
{
    Q_OBJECT
public:
    RunQueue(SiteList &sites, ResultList &results, PageFetcher &fetcher, RunHost &host,
             QObject *parent = nullptr);

    void enqueue(Rule rule);

private:
    SiteList &m_sites;
    ResultList &m_results;
    PageFetcher &m_fetcher;
    RunHost &m_host;
};
