#include "support/TestHttpServer.h"

#include "extraction/ExtractionRun.h"
#include "platform/CurlPageFetcher.h"
#include "results/ResultList.h"
#include "sitelist/SiteList.h"

#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <memory>

namespace {

constexpr int runTimeoutMs = 20'000;

// Fixed rule texts and options; records what the run shows, in order.
class RecordingHost : public RunHost
{
public:
    QString ruleText(Rule) const override { return QStringLiteral("hit"); }
    QString startText() const override { return QStringLiteral("<b>"); }
    QString endText() const override { return QStringLiteral("</b>"); }
    bool keepDuplicates() const override { return true; }
    bool includeAddress() const override { return false; }
    bool includeAddressIfNothingFound() const override { return false; }
    void setStatus(const QString &status) override { shown << status; }
    void setBusy(bool busy) override { shown << (busy ? "busy" : "idle"); }

    QStringList shown;
};

// Requests under way at the servers, now and at most, overall and per server.
struct Load
{
    int now = 0;
    int peak = 0;
    QHash<quint16, int> nowAt;
    QHash<quint16, int> peakAt;
};

// Answers path with body after delayMs, counting the requests under way.
void serveCounted(TestHttpServer &server, const QString &path, const QByteArray &body, int delayMs,
                  const std::shared_ptr<Load> &load)
{
    const quint16 port = server.port();
    server.setHandler(path, [=](QTcpSocket *socket, const QByteArray &) {
        load->peak = std::max(load->peak, ++load->now);
        load->peakAt[port] = std::max(load->peakAt[port], ++load->nowAt[port]);
        QTimer::singleShot(delayMs, socket, [=] {
            --load->now;
            --load->nowAt[port];
            socket->write(TestHttpServer::response(200, {}, body));
            socket->disconnectFromHost();
        });
    });
}

struct Run
{
    Run(Rule rule, const QStringList &urls)
        : run(std::make_unique<ExtractionRun>(rule, sites, results, fetcher, host)),
          finished(run.get(), &ExtractionRun::finished)
    {
        sites.append(urls);
    }
    bool finish()
    {
        run->start();
        return finished.wait(runTimeoutMs) || finished.count() == 1;
    }

    CurlPageFetcher fetcher;
    SiteList sites;
    ResultList results;
    RecordingHost host;
    std::unique_ptr<ExtractionRun> run;
    QSignalSpy finished;
};

} // namespace

class TestExtractionRun : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void rowsInListOrderWhenLaterPagesAnswerFirst_data();
    void rowsInListOrderWhenLaterPagesAnswerFirst();
    void limitsFetchesInFlight_data();
    void limitsFetchesInFlight();
    void limitsPagesWaiting();
    void rowsChangedAfterFetchingAhead_data();
    void rowsChangedAfterFetchingAhead();
    void destroyingTheRunCancelsItsFetches();
};

void TestExtractionRun::initTestCase()
{
    qputenv("no_proxy", "127.0.0.1");
    qputenv("NO_PROXY", "127.0.0.1");
}

void TestExtractionRun::rowsInListOrderWhenLaterPagesAnswerFirst_data()
{
    QTest::addColumn<Rule>("rule");
    QTest::newRow("with text") << Rule::WithText;
    QTest::newRow("without text") << Rule::WithoutText;
    QTest::newRow("between") << Rule::Between;
}

void TestExtractionRun::rowsInListOrderWhenLaterPagesAnswerFirst()
{
    QFETCH(Rule, rule);
    TestHttpServer server;
    const auto load = std::make_shared<Load>();
    const int pages = 6;
    QStringList urls;
    for (int i = 0; i < pages; ++i) {
        const QString path = "/page/" + QString::number(i);
        const QByteArray n = QByteArray::number(i);
        // The first page answers last.
        serveCounted(server, path, "hit " + n + "\nother " + n + "\n<b>" + n + "</b>",
                     (pages - i) * 60, load);
        urls << server.url(path);
    }
    Run run(rule, urls);
    QVERIFY(run.finish());

    QStringList rows, shown;
    for (int i = 0; i < pages; ++i) {
        const QString n = QString::number(i);
        if (rule == Rule::WithText)
            rows << "hit " + n;
        else if (rule == Rule::WithoutText)
            rows << "other " + n << "<b>" + n + "</b>";
        else
            rows << n;
    }
    for (const QString &url : urls) {
        shown << "busy"
              << "Extracting from " + url;
        if (rule != Rule::Between)
            shown << "idle"
                  << "Done.";
    }
    if (rule == Rule::Between)
        shown << "idle"
              << "Done.";
    QCOMPARE(run.results.texts(), rows);
    QCOMPARE(run.host.shown, shown);
    // Every page was asked for before the first one answered.
    QCOMPARE(load->peak, pages);
}

void TestExtractionRun::limitsFetchesInFlight_data()
{
    QTest::addColumn<int>("hosts");
    QTest::addColumn<int>("peak");
    QTest::addColumn<int>("peakPerHost");
    QTest::newRow("one host") << 1 << 6 << 6;
    // Listed host after host: the run passes over a full host to the next.
    QTest::newRow("three hosts") << 3 << 16 << 6;
}

void TestExtractionRun::limitsFetchesInFlight()
{
    QFETCH(int, hosts);
    QFETCH(int, peak);
    QFETCH(int, peakPerHost);
    std::vector<std::unique_ptr<TestHttpServer>> servers;
    const auto load = std::make_shared<Load>();
    QStringList urls, rows;
    for (int h = 0; h < hosts; ++h) {
        servers.push_back(std::make_unique<TestHttpServer>());
        for (int i = 0; i < 12; ++i) {
            const QString path = "/page/" + QString::number(i);
            const QByteArray row = "hit " + QByteArray::number(h * 100 + i);
            serveCounted(*servers.back(), path, row, 100, load);
            urls << servers.back()->url(path);
            rows << row;
        }
    }
    Run run(Rule::WithText, urls);
    QVERIFY(run.finish());

    QCOMPARE(run.results.texts(), rows);
    QCOMPARE(load->peak, peak);
    for (const int atHost : std::as_const(load->peakAt))
        QVERIFY2(atHost <= peakPerHost, qPrintable(QString::number(atHost)));
}

// While the current site's page is held back, pages fetched ahead pile up
// only until they make 64 MiB.
void TestExtractionRun::limitsPagesWaiting()
{
    TestHttpServer server;
    QTcpSocket *held = nullptr;
    server.setHandler("/held", [&held](QTcpSocket *socket, const QByteArray &) { held = socket; });
    const QByteArray filler(8 * 1024 * 1024 - 1, '\n');
    const int pages = 15;
    QStringList urls{server.url("/held")}, rows{"hit held"};
    for (int i = 0; i < pages; ++i) {
        const QString path = "/big/" + QString::number(i);
        server.setPage(path, "hit " + QByteArray::number(i) + filler, "text/plain");
        urls << server.url(path);
        rows << "hit " + QString::number(i);
    }
    const auto requested = [&] {
        int count = 0;
        for (int i = 0; i < pages; ++i)
            count += server.requestCount("/big/" + QString::number(i));
        return count;
    };
    Run run(Rule::WithText, urls);
    run.run->start();
    QTRY_VERIFY_WITH_TIMEOUT(requested() >= 8, runTimeoutMs);
    QTest::qWait(300); // room for any further request to show
    // Five at first (six per host, the held one among them), then one more as
    // each of the first seven lands; the eighth makes 64 MiB.
    QVERIFY2(requested() <= 12, qPrintable(QString::number(requested())));
    QVERIFY(held);
    held->write(TestHttpServer::response(200, {}, "hit held"));
    held->disconnectFromHost();
    QVERIFY(run.finished.wait(runTimeoutMs));
    QCOMPARE(run.results.texts(), rows);
    QCOMPARE(requested(), pages);
}

void TestExtractionRun::rowsChangedAfterFetchingAhead_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<QStringList>("fetchedOnce");
    QTest::newRow("replaced") << "replace" << QStringList{"hit slow", "hit d", "hit c"}
                              << QStringList{"/b", "/c", "/d"};
    QTest::newRow("removed") << "remove" << QStringList{"hit slow", "hit c"}
                             << QStringList{"/b", "/c"};
    // Pages fetched ahead are found by address, so moved rows are not fetched again.
    QTest::newRow("swapped") << "swap" << QStringList{"hit slow", "hit c", "hit b"}
                             << QStringList{"/b", "/c"};
}

void TestExtractionRun::rowsChangedAfterFetchingAhead()
{
    QFETCH(QString, change);
    QFETCH(QStringList, rows);
    QFETCH(QStringList, fetchedOnce);
    TestHttpServer server;
    server.setDelayed("/slow", "hit slow", 300);
    for (const char *name : {"b", "c", "d"})
        server.setPage(QString("/") + name, QByteArray("hit ") + name);
    Run run(Rule::WithText, {server.url("/slow"), server.url("/b"), server.url("/c")});
    run.run->start();
    QTRY_VERIFY_WITH_TIMEOUT(server.requestCount("/b") == 1 && server.requestCount("/c") == 1,
                             runTimeoutMs);
    QCOMPARE(server.requestCount("/slow"), 1);
    QVERIFY(run.results.texts().isEmpty());
    if (change == "replace") {
        run.sites.setText(1, server.url("/d"));
    } else if (change == "remove") {
        run.sites.removeAt(1);
    } else {
        run.sites.setText(1, server.url("/c"));
        run.sites.setText(2, server.url("/b"));
    }
    QVERIFY(run.finished.wait(runTimeoutMs));
    QCOMPARE(run.results.texts(), rows);
    for (const QString &path : fetchedOnce)
        QCOMPARE(server.requestCount(path), 1);
}

void TestExtractionRun::destroyingTheRunCancelsItsFetches()
{
    TestHttpServer server;
    QStringList urls;
    for (int i = 0; i < 10; ++i) {
        const QString path = "/stalled/" + QString::number(i);
        server.setStalled(path);
        urls << server.url(path);
    }
    Run run(Rule::WithText, urls);
    run.run->start();
    const auto requested = [&] {
        int count = 0;
        for (int i = 0; i < 10; ++i)
            count += server.requestCount("/stalled/" + QString::number(i));
        return count;
    };
    QTRY_COMPARE_WITH_TIMEOUT(requested(), ExtractionRun::maxInFlightPerHost, runTimeoutMs);
    QVERIFY(run.fetcher.stillExecuting());
    // The fetcher outlives the run, as the window's does.
    run.run.reset();
    QVERIFY(!run.fetcher.stillExecuting());
}

QTEST_MAIN(TestExtractionRun)
#include "tst_extractionrun.moc"
