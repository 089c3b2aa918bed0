// A whole line-filter run over one page, against the run read literally: the
// page cut at every line feed, "&amp;" replaced from the left, both texts
// folded to one case, and the address row after any piece while no row shows
// the address.
#include "FuzzCheck.h"
#include "extraction/ExtractionRun.h"
#include "extraction/SiteSource.h"
#include "results/ResultList.h"
#include "sitelist/SiteList.h"

#include <QCoreApplication>

namespace {

const QString address = QStringLiteral("http://site.test/page");

struct Host : RunHost
{
    QString rule;
    bool include = false, evenIfNothing = false;
    QString ruleText(Rule) const override { return rule; }
    QString startText() const override { return {}; }
    QString endText() const override { return {}; }
    bool keepDuplicates() const override { return true; }
    bool includeAddress() const override { return include; }
    bool includeAddressIfNothingFound() const override { return evenIfNothing; }
    void setStatus(const QString &) override {}
    void setBusy(bool) override {}
};

struct Reply : FetchReply
{
    void abort() override {}
};

// Answers every request with the page, from the event loop.
struct PageFetcherOf : PageFetcher
{
    QByteArray page;
    std::unique_ptr<FetchReply> fetchText(const QString &) override { return fetchUtf8({}); }
    std::unique_ptr<FetchReply> fetchUtf8(const QString &) override
    {
        FetchResult result;
        result.ok = true;
        result.utf8 = page;
        auto reply = std::make_unique<Reply>();
        QMetaObject::invokeMethod(
            reply.get(), [r = reply.get(), result] { emit r->finished(result); },
            Qt::QueuedConnection);
        return reply;
    }
    std::unique_ptr<FetchReply> downloadToFile(const QString &, const QString &) override
    {
        return {};
    }
    bool hasRoomFor(const QString &) const override { return true; }
    QByteArray hostOf(const QString &url) const override { return url.toUtf8(); }
};

QStringList literalRun(Rule rule, const QString &page, const Host &host)
{
    QStringList rows;
    bool shown = false;
    for (const QString &piece : page.isEmpty() ? QStringList() : page.split(u'\n')) {
        const QString line = QString(piece).replace(QLatin1String("&amp;"), QLatin1String("&"));
        if (!piece.isEmpty() &&
            line.toCaseFolded().contains(host.rule.toCaseFolded()) == (rule == Rule::WithText)) {
            rows << (host.include ? address + u',' + line : line);
            shown = shown || host.include;
        }
        if (host.include && host.evenIfNothing && !shown) {
            rows << address;
            shown = true;
        }
    }
    return rows;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    new QCoreApplication(*argc, *argv); // lives as long as the process
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input(data, size);
    const uint8_t options = input.byte();
    const Rule rule = options & 1 ? Rule::WithoutText : Rule::WithText;
    Host host;
    host.include = options & 2;
    host.evenIfNothing = host.include && (options & 4);
    // Decoded pages and typed texts never hold a lone surrogate.
    host.rule = QString::fromUtf8(text(input.part(), options & 8).toUtf8());
    const QString page = QString::fromUtf8(text(input.rest(), options & 8).toUtf8());
    if (host.rule.isEmpty())
        return 0; // refused before a run starts

    SiteList sites;
    sites.append(address);
    ResultList results;
    PageFetcherOf fetcher;
    fetcher.page = page.toUtf8();
    SiteListSource source(sites);
    ExtractionRun run(rule, source, results, fetcher, host);
    bool done = false;
    QObject::connect(&run, &QueuedJob::finished, [&done] { done = true; });
    run.start();
    int turns = 0;
    while (!done) { // the harness's own loop, not the product's
        FUZZ_CHECK(++turns < 100'000);
        QCoreApplication::processEvents();
    }
    FUZZ_CHECK(results.texts() == literalRun(rule, page, host));
    return 0;
}
