#pragma once

class CrawlQueue;
class UiServices;

// File > Crawl Site…: the start, depth and scope asked, then the crawl queued.
void askAndCrawl(UiServices &ui, CrawlQueue &crawls);
// File > Load Sitemap…: the sitemap's address asked, then its pages queued.
void askAndLoadSitemap(UiServices &ui, CrawlQueue &crawls);
