#pragma once

#include "extraction/RunHost.h"
#include "results/ResultRow.h"
#include "sitelist/CrawlSource.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// What quillora-cli was asked to do.
struct CliOptions
{
    enum class SourceKind
    {
        Url,     // --url: one address, through AddHttp
        Sites,   // --sites: an address file, or "-" for standard input
        LinksOf, // --links-of: the links of one page
        Crawl,   // --crawl: the pages found from one
        Sitemap  // --sitemap: the pages a sitemap lists
    };
    struct Source
    {
        SourceKind kind;
        QString value;
    };

    QList<Source> sources;    // in the order given
    CrawlSettings crawl;      // of every --crawl; its robots.txt choice of every --sitemap too
    QStringList crawlOptions; // those given, which need a crawl
    std::optional<Rule> rule;
    QString text, start, end;
    bool keepDuplicates = false;
    bool regex = false;       // the rule's texts are regular expressions
    bool visibleText = false; // rules read pages' visible text
    QStringList takes;        // of each element the selector rule matches
    bool includeUrl = false;
    bool evenIfNothing = false;
    SaveFormat format = SaveFormat::List; // of standard output
    QString saveList, saveCommas, saveCsv, failedFile;
    int delayMs = 0;
    int retries = 0;
    int timeoutSeconds = 0; // 0: the window's
    int perHost = 6;        // connections to one HTTP/1.1 host
    int connections = 16;   // connections in all
    bool quiet = false;
    bool inputClosed = false; // standard input was closed at start
    bool help = false;
    bool version = false;
};

// Reads the arguments (without the program name) into options; why they are
// wrong, or an empty text.
QString parseArguments(const QStringList &arguments, CliOptions &options);
QString usage();

// Reads the crawl's option at arguments[i], if it is one, with its value,
// moving i past it; problem says what is wrong with it.
bool parseCrawlOption(const QStringList &arguments, qsizetype &i, CliOptions &options,
                      QString &problem);
// Once all are read: a crawl's option without a crawl.
QString crawlOptionsProblem(const CliOptions &options);
QString crawlUsage();
