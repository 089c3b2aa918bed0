#include "sitelist/CrawlQueue.h"

#include "sitelist/SitemapSource.h"

#include <QElapsedTimer>
#include <QLocale>

namespace {
// The status line is told no more often than this while work goes on.
constexpr qint64 statusEveryMs = 100;
} // namespace

struct CrawlQueue::Counts
{
    QString what; // "Crawling http://…" or "Reading sitemap http://…"
    qint64 listed = 0, read = 0, toGo = 0, leftOut = 0, failed = 0;
    bool crawl = false, ended = false;
    QElapsedTimer told;

    QString text(bool stopped) const
    {
        const QLocale english(QLocale::English);
        QString line = what + QStringLiteral(": %1 added").arg(english.toString(listed));
        if (crawl && !ended && !stopped)
            line += QStringLiteral(", %1 read, %2 to go")
                        .arg(english.toString(read), english.toString(toGo));
        if (leftOut > 0)
            line += QStringLiteral(", %1 left out (robots.txt or the page limit)")
                        .arg(english.toString(leftOut));
        if (failed > 0)
            line += QStringLiteral(", %1 sitemaps not read whole").arg(english.toString(failed));
        return line + (stopped ? QStringLiteral(". Stopped.")
                       : ended ? QStringLiteral(". Done.")
                               : "");
    }
};

CrawlQueue::CrawlQueue(SiteList &list, PageFetcher &fetcher, QObject *parent)
    : SerialQueue(parent), m_list(list), m_fetcher(fetcher)
{
}

void CrawlQueue::crawl(const QString &typed, const CrawlSettings &settings)
{
    enqueue([this, typed, settings] {
        auto source = std::make_unique<CrawlSource>(m_fetcher, typed, settings,
                                                    CrawlSource::Fetching::Itself);
        auto counts = std::make_shared<Counts>();
        counts->what = QStringLiteral("Crawling ") + typed;
        counts->crawl = true;
        CrawlSource *crawl = source.get();
        connect(crawl, &CrawlSource::progressed, this, [this, crawl, counts] {
            const CrawlSource::Progress now = crawl->progress();
            counts->listed = now.listed;
            counts->read = now.read;
            counts->toGo = now.toGo;
            counts->leftOut = now.leftOut;
            counts->ended = now.ended;
            if (counts->ended || !counts->told.isValid() ||
                counts->told.elapsed() >= statusEveryMs) {
                counts->told.start();
                emit progress(counts->text(false));
            }
        });
        return watch(std::move(source), counts);
    });
}

void CrawlQueue::loadSitemap(const QString &typed)
{
    enqueue([this, typed] {
        auto source =
            std::make_unique<SitemapSource>(m_fetcher, typed, true, std::chrono::milliseconds(0),
                                            SitemapSource::Listing::ForTheList);
        auto counts = std::make_shared<Counts>();
        counts->what = QStringLiteral("Reading sitemap ") + typed;
        SitemapSource *sitemap = source.get();
        connect(sitemap, &SitemapSource::progressed, this, [this, sitemap, counts] {
            counts->listed = sitemap->listed();
            counts->leftOut = sitemap->leftOut();
            counts->ended = sitemap->ended();
            if (counts->ended || !counts->told.isValid() ||
                counts->told.elapsed() >= statusEveryMs) {
                counts->told.start();
                emit progress(counts->text(false));
            }
        });
        return watch(std::move(source), counts);
    });
}

// The fill of the site list, and the last word on the status line once it is
// done: its counts, or that it was stopped.
QueuedJob *CrawlQueue::watch(std::unique_ptr<AddressSource> source, std::shared_ptr<Counts> counts)
{
    connect(source.get(), &AddressSource::partFailed, this, [counts] { ++counts->failed; });
    auto *fill =
        new SiteListFill(m_list, std::move(source), SiteListFill::Arrival::AsTheyCome, this);
    connect(fill, &QueuedJob::finished, this, [this, counts](const UserMessage &message) {
        if (!message.text.isEmpty())
            return;
        const bool stopped = !counts->ended;
        counts->ended = true;
        emit progress(counts->text(stopped));
    });
    return fill;
}
