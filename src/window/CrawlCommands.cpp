#include "window/CrawlCommands.h"

#include "platform/UiServices.h"
#include "sitelist/CrawlQueue.h"

void askAndCrawl(UiServices &ui, CrawlQueue &crawls)
{
    CrawlQuestion question;
    if (!ui.askCrawl(question))
        return;
    CrawlSettings settings;
    settings.depth = std::max(0, question.depth);
    settings.scope = crawlScopeNamed(question.scope).value_or(CrawlScope::Host);
    // An address that is none is refused by the crawl, with a message.
    crawls.crawl(question.address, settings);
}

void askAndLoadSitemap(UiServices &ui, CrawlQueue &crawls)
{
    const QString typed = ui.input(QStringLiteral("Enter the address of a sitemap or sitemap index "
                                                  "(i.e. http://www.example.com/sitemap.xml):"));
    if (!typed.isEmpty())
        crawls.loadSitemap(typed);
}
