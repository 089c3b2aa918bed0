#include "cli/CommandLine.h"

#include <algorithm>
#include <limits>

bool parseCrawlOption(const QStringList &arguments, qsizetype &i, CliOptions &options,
                      QString &problem)
{
    using Kind = CliOptions::SourceKind;
    const QString option = arguments[i];
    const auto value = [&]() -> std::optional<QString> {
        if (i + 1 >= arguments.size()) {
            problem = option + QStringLiteral(" needs a value.");
            return std::nullopt;
        }
        return arguments[++i];
    };
    const auto number = [&](qint64 low, qint64 &into) {
        const std::optional<QString> text = value();
        bool ok = false;
        if (text)
            into = text->toLongLong(&ok);
        if (text && (!ok || into < low))
            problem = option + (low == 0 ? QStringLiteral(" needs a whole number.")
                                         : QStringLiteral(" needs a number from %1 on.").arg(low));
    };
    if (option == QLatin1String("--crawl") || option == QLatin1String("--sitemap")) {
        if (const std::optional<QString> address = value())
            options.sources.append(
                {option == QLatin1String("--crawl") ? Kind::Crawl : Kind::Sitemap, *address});
        return true;
    }
    if (option == QLatin1String("--depth")) {
        qint64 depth = 0;
        number(0, depth);
        options.crawl.depth = int(std::min<qint64>(depth, std::numeric_limits<int>::max()));
    } else if (option == QLatin1String("--max-pages")) {
        number(1, options.crawl.maxPages);
    } else if (option == QLatin1String("--scope")) {
        const std::optional<QString> name = value();
        const std::optional<CrawlScope> scope = name ? crawlScopeNamed(*name) : std::nullopt;
        if (scope)
            options.crawl.scope = *scope;
        else if (name)
            problem = QStringLiteral("--scope needs host, domain or prefix.");
    } else if (option == QLatin1String("--ignore-robots")) {
        options.crawl.obeyRobots = false;
    } else if (option == QLatin1String("--obey-nofollow")) {
        options.crawl.obeyNofollow = true;
    } else if (option == QLatin1String("--with-sitemaps")) {
        options.crawl.withSitemaps = true;
    } else {
        return false;
    }
    options.crawlOptions << option;
    return true;
}

QString crawlOptionsProblem(const CliOptions &options)
{
    const auto has = [&](CliOptions::SourceKind kind) {
        return std::any_of(
            options.sources.begin(), options.sources.end(),
            [kind](const CliOptions::Source &source) { return source.kind == kind; });
    };
    const bool crawl = has(CliOptions::SourceKind::Crawl);
    for (const QString &option : options.crawlOptions) {
        if (option == QLatin1String("--ignore-robots")) {
            if (!crawl && !has(CliOptions::SourceKind::Sitemap))
                return QStringLiteral("--ignore-robots needs --crawl or --sitemap.");
        } else if (!crawl) {
            return option + QStringLiteral(" needs --crawl.");
        }
    }
    return {};
}

QString crawlUsage()
{
    return QStringLiteral(
        R"(  --crawl ADDRESS      the page, then every page found from it by its links,
                       breadth first, each once however its links spell it;
                       only HTML pages are read for links: the href of <a>,
                       <area> and <link rel=next>, after <base href>
  --sitemap ADDRESS    every page a sitemap or sitemap index lists (nested,
                       gzip-compressed or not), in the order listed

Crawling:
  --depth N            follow links this far from the start (3 by default;
                       0: the start page alone)
  --scope SCOPE        the pages that count as the site's:
                         host    the start's scheme, host and port (default)
                         domain  the start's host and its subdomains
                         prefix  the start's host, under the start's folder
  --max-pages N        fetch at most N pages of a crawl (100,000 by default);
                       those found past it are listed as failed, with the
                       reason "past the page limit"
  --with-sitemaps      also crawl the pages of the sitemaps the start host's
                       robots.txt names
  --obey-nofollow      leave out links marked rel=nofollow
  --ignore-robots      for sites you own: fetch what their robots.txt
                       forbids. Otherwise a page it forbids is listed as
                       failed with the reason "robots.txt", a host whose
                       robots.txt cannot be had is not fetched at all, and a
                       Crawl-delay longer than --delay is kept (a minute at
                       most)
)");
}
