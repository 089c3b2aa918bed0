#pragma once

#include "platform/PageFetcher.h"

#include <QByteArrayView>

// Reads a site's page beside the rule, for a source of addresses that learns
// more of them from the pages (a crawl): what answered, the page's text as it
// was fetched, piece by piece as the rule is given it, and how it ended.
class PageReader
{
public:
    virtual ~PageReader() = default;
    virtual void answered(const FetchResponse &response) = 0;
    virtual void take(QByteArrayView utf8) = 0;
    // The page broke off and is read afresh: what was taken goes.
    virtual void restart() = 0;
    // Whole, or failed; a reader destroyed before is abandoned.
    virtual void end(const FetchResult &result) = 0;
};
