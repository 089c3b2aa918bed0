#pragma once

#include "extraction/PageRule.h"
#include "extraction/RunHost.h"
#include "extraction/SiteRows.h"
#include "html/VisibleText.h"
#include "model/SerialQueue.h"
#include "platform/PageFetcher.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>

#include <deque>
#include <limits>
#include <map>
#include <memory>
#include <optional>

class PageReader;
class SiteSource;
class ResultSink;
class PageRule;

// One press of an Extract button: visits every site in order, fetches its
// page and appends the rule's hits. It advances in short slices on the event
// loop and never blocks; destroying it abandons the work at once.
//
// While one site is worked on, the pages of the sites after it are fetched
// ahead, as far as the fetcher has room for them at once and within
// pageBudget: the text held of every page, arriving, waiting its turn or
// worked on (what the rule keeps of it included), and the unread text each
// reply may hold. A page fetched ahead
// that finds the budget spent is left unread, which pauses its transfer; the
// current site's page is always read. Should what the rule keeps of it grow
// past what was left, the pages furthest ahead are let go, to be fetched again
// in their turn. The sites are still handled one at a
// time in order, each reading its address at its turn: a page fetched ahead
// for another address than the one the site then has is not used.
//
// The rows a page gives while it arrives are held until it has arrived whole,
// so that a page that breaks off gives none; a page still arriving after
// showRowsAfter, or whose rows held reach showRowsAbove bytes, shows them from
// then on, and keeps them should it break off.
//
// A host that could not be reached three times in a row is given up for the
// rest of the run: its remaining sites fail at once, for the same reason.
class ExtractionRun : public QueuedJob
{
    Q_OBJECT
public:
    ExtractionRun(Rule rule, SiteSource &sites, ResultSink &results, PageFetcher &fetcher,
                  RunHost &host, QObject *parent = nullptr);
    ~ExtractionRun() override;

    void start() override;
    // Ends the run after the piece or pass it is on, with "Stopped.".
    void stop() override;

    qsizetype sitesDone() const { return m_siteIndex; }
    qsizetype sitesFailed() const { return m_failed; }

    static constexpr qint64 pageBudget = ::pageBudget;
    static constexpr int showRowsAfter = 500;        // ms
    static constexpr qint64 showRowsAbove = 8 << 20; // bytes held

signals:
    // What answered for a site's page, before its rows: once it has arrived
    // whole, or failed; and first, should its rows show while it still
    // arrives, what answered then.
    void pageFetched(const QString &address, const FetchResult &fetch);
    // After each site, with how its fetch went (without the page).
    void siteDone(const QString &address, const FetchResult &fetch);

private:
    // Text of a page in the pieces it was read in, never joined: joining
    // would copy it into memory not touched before.
    struct HeldText
    {
        std::deque<QByteArray> pieces;
        qint64 bytes = 0;
        qint64 add(const QByteArray &piece)
        {
            if (!piece.isEmpty())
                pieces.push_back(piece);
            bytes += piece.size();
            return piece.size();
        }
    };
    // A site's page as it arrives.
    struct Prefetch
    {
        QString address;
        std::unique_ptr<FetchReply> reply; // until its text is read whole
        HeldText text;                     // read ahead, not yet handed on, as UTF-8
        FetchResponse response;            // what answered, once known
        FetchResult result;
        bool ended = false;    // the result came
        bool heldBack = false; // text was left unread for the budget
    };

    void beginSite();
    std::unique_ptr<FetchReply> fetch(const QString &address);
    void onAnswered(FetchReply *reply);
    void onRestarted(FetchReply *reply);
    void onReadable(FetchReply *reply);
    void onFetched(FetchReply *reply, const FetchResult &result);
    void readAhead(Prefetch &prefetch);
    qint64 budgetLeft() const;
    void settlePrefetchesBehind();
    void fetchAhead();
    void dropPrefetch(std::map<qsizetype, Prefetch>::iterator entry);
    void keepWithinBudget();
    void makeRoomFor(const QString &address);
    // What arrives of the current site's page, and its end.
    void takePiece(const QByteArray &piece);
    QByteArrayView textToGive();
    void dropPage();
    void pageEnded(const FetchResult &result);
    void ruleFailed(const FetchResult &failure);
    void scheduleSlice();
    void showRowsWhenSlow();
    void noteReachable(const QString &address, const FetchResult &result);
    const FetchResult *givenUp(const QString &address) const;
    void processSlice();
    void makeRule();
    QByteArrayView pageText(QByteArrayView raw);
    void endSite();
    void finish(const QString &status);

    Rule m_rule;
    SiteSource &m_sites;
    ResultSink &m_results;
    PageFetcher &m_fetcher;
    RunHost &m_host;

    qsizetype m_siteIndex = 0;
    // A page let go for what a rule keeps, and those after it, wait for its turn.
    qsizetype m_fetchAheadBelow = std::numeric_limits<qsizetype>::max();
    qsizetype m_failed = 0;
    QString m_address;
    FetchResult m_fetch;                   // how the current site's page came, without it
    FetchResponse m_response;              // what answered for it, once known
    std::unique_ptr<PageReader> m_reader;  // who reads it besides the rule, if anyone
    std::unique_ptr<FetchReply> m_awaited; // the current site's page, until it ends
    bool m_waitingForSites = false;
    bool m_done = false;

    // By the index of the site they were asked for.
    std::map<qsizetype, Prefetch> m_ahead;
    qint64 m_heldBytes = 0; // of pages read ahead and the current one
    // By host: connections that failed in a row, and the last such failure.
    QHash<QByteArray, std::pair<int, FetchResult>> m_unreachable;

    // The rule over the current site's page, the site's rows, the text the
    // rule has yet to take (from m_given on in the first piece), and where the
    // page is: ended (m_fetch says how), and the rule told so.
    std::unique_ptr<PageRule> m_pageRule;
    SiteRows m_siteRows{m_results};
    HeldText m_page;
    qsizetype m_given = 0;
    bool m_ended = false;
    bool m_ruleAtEnd = false;
    bool m_pageDone = false;    // the rule is done with the page, and the rows told so
    bool m_idle = false;        // waiting for the page's next text or its end
    bool m_sliceQueued = false; // a slice is due from the event loop
    QElapsedTimer m_pageClock;  // since the site's turn began
    QTimer m_showRows;          // lets the rows of a slow page go
    // What the rule reads of an HTML page when rules read pages as text, and
    // the text given it last; settled as the page's first text comes.
    std::optional<html::VisibleText> m_visible;
    QByteArray m_textPiece;
    bool m_textSettled = false;
    bool m_textEnded = false;
};
