#pragma once

#include "model/SerialQueue.h"
#include "sitelist/CrawlSource.h"

class PageFetcher;
class SiteList;

// The window's crawls and sitemap loads, one at a time in the order asked:
// each adds the pages it finds to the site list as they come, and they stay
// should it be stopped. A crawl fetches its pages itself, there being no run
// to read them. progress() tells the status line how far it is.
class CrawlQueue : public SerialQueue
{
    Q_OBJECT
public:
    CrawlQueue(SiteList &list, PageFetcher &fetcher, QObject *parent = nullptr);

    void crawl(const QString &typed, const CrawlSettings &settings);
    void loadSitemap(const QString &typed);

signals:
    void progress(const QString &status);

private:
    struct Counts;
    QueuedJob *watch(std::unique_ptr<AddressSource> source, std::shared_ptr<Counts> counts);

    SiteList &m_list;
    PageFetcher &m_fetcher;
};
