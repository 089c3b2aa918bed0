// A whole line-filter run over one page from a scripted fetcher, against the
// run read literally: the page cut at every line feed, "&amp;" replaced once
// from the left, both texts folded to one letter case, and the address row
// added after any piece while no row shows the address.
#include "FuzzCheck.h"
#include "extraction/ExtractionRun.h"
#include "results/ResultList.h"
#include "sitelist/SiteList.h"

#include <QCoreApplication>

namespace {

const QString address = QStringLiteral("http://site.test/page");

class Host : public RunHost
{
public:
    QString rule;
    bool include = false;
    bool evenIfNothing = false;
    QString ruleText(Rule) const override { return rule; }
    QString startText() const override { return {}; }
    QString endText() const override { return {}; }
    bool keepDuplicates() const override { return true; }
    bool includeAddress() const override { return include; }
    bool includeAddressIfNothingFound() const override { return evenIfNothing; }
    void setStatus(const QString &) override {}
    void setBusy(bool) override {}
};

// Answers every request with the same page, always later, never from inside the call.
class PageOnce : public PageFetcher
{
public:
    explicit PageOnce(QString page) : m_page(std::move(page)) {}
    quint64 fetchText(const QString &) override { return deliver(false); }
    quint64 fetchUtf8(const QString &) override { return deliver(true); }
    quint64 downloadToFile(const QString &, const QString &) override { return 0; }
    void cancel(quint64) override {}
    bool stillExecuting() const override { return false; }

private:
    quint64 deliver(bool utf8)
    {
        const quint64 id = ++m_lastId;
        FetchResult result;
        result.ok = true;
        if (utf8)
            result.utf8 = m_page.toUtf8();
        else
            result.text = m_page;
        QMetaObject::invokeMethod(
            this, [this, id, result] { emit finished(id, result); }, Qt::QueuedConnection);
        return id;
    }

    QString m_page;
    quint64 m_lastId = 0;
};

QStringList literalRun(Rule rule, const QString &page, const Host &host)
{
    QStringList rows;
    if (page.isEmpty())
        return rows;
    bool addressShown = false;
    for (const QString &piece : page.split(u'\n')) {
        if (!piece.isEmpty()) {
            const QString line = QString(piece).replace(QLatin1String("&amp;"), QLatin1String("&"));
            const bool found = line.toCaseFolded().contains(host.rule.toCaseFolded());
            if (found == (rule == Rule::WithText)) {
                rows << (host.include ? address + u',' + line : line);
                addressShown = addressShown || host.include;
            }
        }
        if (host.include && host.evenIfNothing && !addressShown) {
            rows << address;
            addressShown = true;
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
    // Plain bytes read as Latin-1 make the common markup easy to reach; raw
    // UTF-16 reaches every unit, surrogates included.
    const bool wide = options & 8;
    const QByteArrayView ruleBytes = input.part();
    const QByteArrayView pageBytes = input.rest();
    host.rule = wide ? utf16(ruleBytes) : QString::fromLatin1(ruleBytes);
    // Pages reach the rules as decoded text, so never with a lone surrogate:
    // round-trip through UTF-8 as the fetcher's decoding would.
    const QString page =
        QString::fromUtf8((wide ? utf16(pageBytes) : QString::fromLatin1(pageBytes)).toUtf8());
    host.rule = QString::fromUtf8(host.rule.toUtf8()); // likewise: typed text is whole
    if (host.rule.isEmpty())
        return 0; // refused before the run starts

    SiteList sites;
    sites.append(address);
    ResultList results;
    PageOnce fetcher(page);
    ExtractionRun run(rule, sites, results, fetcher, host);
    bool done = false;
    QObject::connect(&run, &ExtractionRun::finished, [&done] { done = true; });
    run.start();
    int turns = 0;
    while (!done) { // the fuzzer's own loop, not the product's
        FUZZ_CHECK(++turns < 100'000);
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
    FUZZ_CHECK(results.texts() == literalRun(rule, page, host));
    return 0;
}
