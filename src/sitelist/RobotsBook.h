#pragma once

#include "crawl/RobotsTxt.h"
#include "platform/PageFetcher.h"

#include <QHash>
#include <QObject>

#include <chrono>
#include <memory>

class WebAddress;

// The robots.txt of every host (scheme, name and port) a crawl meets, each
// fetched once, when the first address of its host is asked about, through
// the fetcher the pages go through. RFC 9309 decides how the answer counts: a
// 4xx or a redirect that led nowhere allows all, a 5xx or no answer allows
// nothing. A Crawl-delay longer than the delay every host gets becomes its
// host's delay in the fetcher, a minute at most.
class RobotsBook : public QObject
{
    Q_OBJECT
public:
    enum class Verdict
    {
        Pending, // its robots.txt is on its way: known() tells when it came
        Allowed,
        Disallowed,
        TooComplex,  // the rules are too costly to match against it
        Unavailable, // robots.txt could not be had: nothing of the host is fetched
    };
    static constexpr std::chrono::seconds longestDelay{60};

    RobotsBook(PageFetcher &fetcher, std::chrono::milliseconds delay, QObject *parent = nullptr);
    ~RobotsBook() override;

    // What the robots.txt of the address's host says of it, fetched now if it
    // has not been asked for yet.
    Verdict verdict(const WebAddress &address);
    // The same without fetching: Pending while it is not known.
    Verdict knownVerdict(const WebAddress &address) const;
    // The Sitemap lines of the robots.txt of the address's host, once known.
    QList<QByteArray> sitemapsOf(const WebAddress &address) const;
    // Whether a robots.txt is on its way.
    bool isFetching() const { return m_fetching > 0; }
    // Drops the fetches under way; their hosts stay unknown.
    void stop();

signals:
    void known();

private:
    struct Host;
    static QByteArray originOf(const WebAddress &address);
    void read(Host &host);
    void arrived(const QByteArray &origin, const FetchResult &result);

    PageFetcher &m_fetcher;
    const std::chrono::milliseconds m_delay;
    QHash<QByteArray, std::shared_ptr<Host>> m_hosts;
    int m_fetching = 0;
};
