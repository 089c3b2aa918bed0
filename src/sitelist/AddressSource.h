#pragma once

#include "model/SerialQueue.h"
#include "model/TextList.h"
#include "model/UserMessage.h"
#include "platform/PageFetcher.h"
#include "platform/PageReader.h"

#include <QObject>

#include <memory>
#include <optional>

class SiteList;
class WorkSlice;

// What produces addresses, in order: an address file, the links of a page,
// the addresses given on the command line. Its consumers (the window's site
// list, the command line's stream of sites) pull them on the event loop, so a
// new source is one class that both take alike. Nothing is read before the
// first pull.
class AddressSource : public QObject
{
    Q_OBJECT
public:
    enum class State
    {
        More,    // more may come at once
        Waiting, // more comes later: ready() tells when
        Ended,
        Failed // see failure()
    };
    struct Failure
    {
        QString reason; // in a few words
        FetchError kind = FetchError::Other;
        // The page that could not be had; empty when the input itself failed.
        QString address;
    };

    // What an address's tag in produce()'s list says of it.
    enum Tag : quint32
    {
        ToFetch = 0,
        ForbiddenByRobots = 1, // listed as failed, not fetched
        RobotsTooComplex = 2,  // robots.txt's rules too costly to match against it: the same
        RobotsUnavailable = 3, // its host's robots.txt could not be had: the same
        PastPageLimit = 4      // found after a crawl fetched as many pages as it may
    };
    // How a run fails an address produced with tag without fetching it.
    static std::optional<FetchResult> unfetched(quint32 tag);

    using QObject::QObject;

    // Appends the next addresses to out, about a chunk's worth at most, and
    // works no longer than the slice.
    virtual State produce(TextList &out, const WorkSlice &slice) = 0;
    // Who reads the page of an address it produced as a run fetches it, for a
    // source that learns addresses from pages; none for others.
    virtual std::unique_ptr<PageReader> readerFor(const QString &address)
    {
        Q_UNUSED(address)
        return nullptr;
    }
    // From now on the source lists what is left without waiting for anything:
    // a page not fetched yet stands for its links, a pipe gives what it holds.
    virtual void finishWithoutWaiting() {}
    // Why it failed, after Failed; and what the window tells the user then.
    const Failure &failure() const { return m_failure; }
    virtual UserMessage message() const = 0;

signals:
    // produce() may have more than when it said Waiting.
    void ready();
    // A file it reads for addresses (a sitemap) could not be read whole; it
    // goes on without the rest of it.
    void partFailed(const AddressSource::Failure &failure);
    // Something the user should know that is no failure.
    void note(const QString &text);
    // What it has found or read so far changed (for a window's progress).
    void progressed();

protected:
    State fail(Failure failure)
    {
        m_failure = std::move(failure);
        return State::Failed;
    }
    // produce() says Waiting through this: wake() then tells the consumer.
    State waitForMore()
    {
        m_waiting = true;
        return State::Waiting;
    }
    // More may have come: progressed(), and ready() if the consumer waits,
    // once per turn of the event loop however often it is called.
    void wake();
    // A source that waits clears this at the start of produce().
    void consumerAsks() { m_waiting = false; }

private:
    Failure m_failure;
    bool m_waiting = false;
    bool m_wakeQueued = false;
};

// Fills the window's site list from one source, in slices on the event loop.
// Together: the addresses arrive in one batch once the source has ended, or
// not at all (a file that cannot be read whole adds nothing). As they come:
// each slice's addresses arrive at once, and stay should the source fail or
// be stopped. finished() follows either way, with what the source has to tell.
class SiteListFill : public QueuedJob
{
    Q_OBJECT
public:
    enum class Arrival
    {
        Together,
        AsTheyCome
    };
    SiteListFill(SiteList &list, std::unique_ptr<AddressSource> source, Arrival arrival,
                 QObject *parent = nullptr);
    ~SiteListFill() override;

    void start() override;
    // Ends at once: addresses arriving together are dropped.
    void stop() override;

private:
    void advance();

    SiteList &m_list;
    std::unique_ptr<AddressSource> m_source;
    const Arrival m_arrival;
    TextList m_addresses;
    bool m_queued = false;
    bool m_done = false;
};
