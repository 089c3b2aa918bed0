#pragma once

#include "crawl/Frontier.h"
#include "sitelist/AddressSource.h"

#include <chrono>
#include <optional>

class RobotsBook;
class SitemapFeed;

// The pages of a sitemap, or of every sitemap of a sitemap index, nested or
// compressed, as addresses in the order the files list them, as written in
// them. The files are read as they arrive and their addresses wait in a
// frontier that spills to disk, so a million of them take the memory of a
// few. With robots.txt obeyed, a page it forbids is tagged so for a run, or
// left out of the window's list; its host's robots.txt is fetched before the
// host's first page is produced. A sitemap that cannot be read whole is told
// by partFailed(), its addresses read before kept.
class SitemapSource : public AddressSource
{
    Q_OBJECT
public:
    enum class Listing
    {
        ForARun,    // forbidden pages produced, tagged
        ForTheList, // left out
    };
    static constexpr qint64 frontierMemory = 4 << 20;
    static constexpr qsizetype chunk = 256;

    SitemapSource(PageFetcher &fetcher, const QString &typed, bool obeyRobots,
                  std::chrono::milliseconds delay, Listing listing, QObject *parent = nullptr);
    ~SitemapSource() override;

    State produce(TextList &out, const WorkSlice &slice) override;
    // Lists the addresses read, without reading more; the sitemaps not read
    // whole are named in a note.
    void finishWithoutWaiting() override;
    UserMessage message() const override;

    qint64 listed() const { return m_listed; }
    qint64 leftOut() const { return m_leftOut; }
    bool ended() const { return m_ended; }

private:
    State told(State state);

    const QString m_typed;
    const bool m_obeyRobots;
    const Listing m_listing;
    SitemapFeed *m_feed;
    RobotsBook *m_robots;
    Frontier m_pages{frontierMemory};
    std::optional<FrontierEntry> m_held; // waiting for its host's robots.txt
    qint64 m_listed = 0;
    qint64 m_leftOut = 0;
    bool m_begun = false;
    bool m_finishing = false;
    bool m_ended = false;
};
