#pragma once

#include "crawl/Frontier.h"
#include "crawl/SeenSet.h"
#include "crawl/WebAddress.h"
#include "sitelist/AddressSource.h"

#include <chrono>
#include <deque>
#include <optional>

class RobotsBook;
class SitemapFeed;

// How a crawl goes, as the command line's options and the window's dialog set it.
struct CrawlSettings
{
    int depth = 3; // links followed from the start; 0: the start page alone
    CrawlScope scope = CrawlScope::Host;
    qint64 maxPages = 100'000; // fetched; those found past it are listed as such
    bool obeyRobots = true;
    bool obeyNofollow = false;
    bool withSitemaps = false; // the start host's robots.txt's sitemaps seed it too
    // The delay every host gets; a longer Crawl-delay counts for its host.
    std::chrono::milliseconds delay{0};
};

// "host", "domain" or "prefix".
std::optional<CrawlScope> crawlScopeNamed(QStringView name);

// A crawl from one address: every page found, breadth first, is an address it
// produces, in the order found, each once however its links spell it. It
// learns a page's links as the page is read: by a command-line run, which
// gives each page it fetches to readerFor()'s reader, or, for the window, by
// fetching each page itself as it produces it. Only HTML pages are read for
// links, and only links in scope count. With robots.txt obeyed, a page it
// forbids is produced tagged so, never fetched; its host's robots.txt is
// fetched before the host's first page is produced.
//
// What it holds: the addresses seen, as fingerprints, and the frontier, whose
// memory is bounded and which spills to a temporary file; so a crawl of a
// million pages takes the memory of one of a thousand, plus the fingerprints.
class CrawlSource : public AddressSource
{
    Q_OBJECT
public:
    enum class Fetching
    {
        ByTheRun, // produced as asked; a run fetches them and gives their text
        Itself    // fetched as produced; forbidden pages are left out
    };
    static constexpr qint64 frontierMemory = 4 << 20;
    // Pages fetched at once by a crawl that fetches them itself.
    static constexpr int ownFetches = 8;

    CrawlSource(PageFetcher &fetcher, const QString &typed, const CrawlSettings &settings,
                Fetching fetching, QObject *parent = nullptr);
    ~CrawlSource() override;

    State produce(TextList &out, const WorkSlice &slice) override;
    std::unique_ptr<PageReader> readerFor(const QString &address) override;
    // Lists what is left, the frontier too, without fetching anything more.
    void finishWithoutWaiting() override;
    UserMessage message() const override;

    // How far it is, for the window.
    struct Progress
    {
        qint64 listed = 0;  // pages produced to fetch
        qint64 read = 0;    // and read
        qint64 toGo = 0;    // in the frontier
        qint64 leftOut = 0; // forbidden by robots.txt, or past the page limit
        bool ended = false;
    };
    Progress progress() const;
    QString startAddress() const { return m_start.toString(); }

private:
    class Reader;
    friend class Reader;
    struct OwnFetch;

    bool begin();
    void found(const WebAddress &link, int depth);
    void redirected(const WebAddress &to);
    bool inScope(const WebAddress &address) const { return m_scope.contains(address); }
    void readerDone();
    void addSitemaps();
    quint32 tagFor(const WebAddress &address, bool &pending);
    void fetchOwn(const FrontierEntry &entry);
    bool busy() const;

    PageFetcher &m_fetcher;
    const QString m_typed;
    const CrawlSettings m_settings;
    const Fetching m_fetching;
    WebAddress m_start;
    ScopeCheck m_scope;
    SeenSet m_seen;
    Frontier m_frontier{frontierMemory};
    RobotsBook *m_robots;
    SitemapFeed *m_sitemaps = nullptr;
    std::optional<FrontierEntry> m_held; // taken, waiting for its host's robots.txt or room
    struct Open
    {
        QByteArray address;
        int depth;
    };
    std::deque<Open> m_open; // produced for the run, not read yet
    int m_readers = 0;       // reading a page
    std::deque<std::unique_ptr<OwnFetch>> m_own;
    Progress m_progress;
    qint64 m_tooLong = 0; // links longer than any address
    bool m_begun = false;
    bool m_sitemapsAdded = false;
    bool m_finishing = false;
    bool m_noted = false;
};
