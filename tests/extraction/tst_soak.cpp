// Thousands of sites in one run, a tenth of them failing in the cheap ways a
// real crawl meets all the time: the run keeps exactly the good sites' rows and
// leaves nothing behind that grows with the number of sites.
#include "extraction/ExtractionRun.h"
#include "platform/CurlPageFetcher.h"
#include "results/ResultList.h"
#include "sitelist/SiteList.h"
#include "support/ProcessMemory.h"
#include "support/TestHttpServer.h"
#include "support/TestRunHost.h"

#include <QSignalSpy>
#include <QTest>

#include <memory>

using namespace std::chrono_literals;

namespace {
constexpr int siteCount = 2000;
constexpr int smallRun = 200;

bool isHostile(int site)
{
    return site % 10 == 3;
}

} // namespace

class TestSoak : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void manySitesKeepOnlyTheGoodRows();

private:
    // Runs the with-text rule over sites /0 .. /count-1 and returns its rows.
    QStringList run(int count);
    QStringList expectedRows(int count) const;

    std::unique_ptr<TestHttpServer> m_server;
    std::unique_ptr<CurlPageFetcher> m_fetcher; // one for every run, as in the program
    TestRunHost m_host;
};

void TestSoak::initTestCase()
{
    qputenv("no_proxy", "127.0.0.1");
    qputenv("NO_PROXY", "127.0.0.1");
    ProcessMemory::fixMmapThreshold();
    m_server = std::make_unique<TestHttpServer>();
    QVERIFY(m_server->isListening());
    for (int site = 0; site < siteCount; ++site) {
        const QString path = QStringLiteral("/%1").arg(site);
        const QByteArray n = QByteArray::number(site);
        if (!isHostile(site)) {
            m_server->setPage(path, "keep " + n + " a\nskip " + n + "\nkeep " + n + " b\n",
                              "text/plain; charset=utf-8");
            continue;
        }
        const QByteArray bait = "keep " + n + " hostile\n";
        switch (site / 10 % 5) {
        case 0:
            m_server->setStatus(path, 404, bait);
            break;
        case 1:
            m_server->setReset(path);
            break;
        case 2:
            m_server->setShortBody(path, bait, bait.size() + 10);
            break;
        case 3:
            m_server->setCutChunked(path, bait);
            break;
        default:
            m_server->setRaw(path, "NOT HTTP AT ALL\r\n\r\n" + bait);
            break;
        }
    }
    FetchSettings settings;
    settings.connectTimeout = 2s;
    settings.lowSpeedTime = 2s;
    settings.totalTimeout = 5s;
    m_fetcher = std::make_unique<CurlPageFetcher>(settings);
    m_host.rule = QStringLiteral("KEEP");
    m_host.include = true;
    m_host.evenIfNothing = true;
}

void TestSoak::cleanupTestCase()
{
    m_fetcher.reset();
    m_server.reset();
}

QStringList TestSoak::run(int count)
{
    SiteList sites;
    ResultList results;
    RunQueue runs(sites, results, *m_fetcher, m_host);
    QSignalSpy idle(&runs, &RunQueue::idle);
    QStringList addresses;
    for (int site = 0; site < count; ++site)
        addresses << m_server->url(QStringLiteral("/%1").arg(site));
    sites.append(addresses);
    m_host.statuses.clear();
    runs.enqueue(Rule::WithText);
    // A real event loop: QTRY's polling would sleep between the many turns a site takes.
    // Generous: a hang, not a slow machine, should trip it.
    if (!idle.wait(120'000))
        return {QStringLiteral("<the run did not end>")};
    return results.texts();
}

QStringList TestSoak::expectedRows(int count) const
{
    QStringList rows;
    for (int site = 0; site < count; ++site) {
        if (isHostile(site))
            continue;
        const QString prefix = m_server->url(QStringLiteral("/%1").arg(site)) + u',';
        rows << prefix + QStringLiteral("keep %1 a").arg(site)
             << prefix + QStringLiteral("keep %1 b").arg(site);
    }
    return rows;
}

void TestSoak::manySitesKeepOnlyTheGoodRows()
{
    // The warm-up visits every site once, so that caches, pools and the test
    // server's own tables have all grown to their size before anything is measured.
    QCOMPARE(run(siteCount), expectedRows(siteCount));
    QCOMPARE(run(smallRun), expectedRows(smallRun));
    ProcessMemory::startNewPeak();
    const qint64 afterSmall = ProcessMemory::residentKiB();

    const QStringList rows = run(siteCount);
    QCOMPARE(rows.size(), expectedRows(siteCount).size());
    QCOMPARE(rows, expectedRows(siteCount));
    QCOMPARE(m_host.statuses.size(), 2 * siteCount);
    QCOMPARE(m_host.statuses.last(), QStringLiteral("Done."));
    QVERIFY(!m_host.busy);
    QVERIFY(!m_fetcher->stillExecuting());

    ProcessMemory::startNewPeak();
    const qint64 afterLarge = ProcessMemory::residentKiB();
    qInfo("resident after %d sites: %lld KiB; after %d sites: %lld KiB", smallRun, afterSmall,
          siteCount, afterLarge);
    if (!ProcessMemory::measurable)
        QSKIP("resident sizes mean nothing under AddressSanitizer; the rows were checked");
    QVERIFY2(afterLarge <= afterSmall * 11 / 10 && afterLarge >= afterSmall * 9 / 10,
             "resident memory after the large run is not within 10 % of the small run's");
}

QTEST_GUILESS_MAIN(TestSoak)
#include "tst_soak.moc"
