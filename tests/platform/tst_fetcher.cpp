// The fetcher against one catalogue of server behaviours, good and hostile,
// plain and over TLS; the same catalogue then drives one whole run and the
// link harvests, which must go on past every bad site and keep nothing of it.
#include "extraction/ExtractionRun.h"
#include "platform/CurlPageFetcher.h"
#include "platform/TextDecoding.h"
#include "results/ResultList.h"
#include "sitelist/ExtractLinks.h"
#include "sitelist/SiteList.h"
#include "support/Fakes.h"
#include "support/Process.h"
#include "support/TestServer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QPointer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace std::chrono_literals;

namespace {

constexpr qint64 cap = 1 << 20;
const QByteArray bait = "keep hostile\n"; // any of it passing as a page would show as rows
const QByteArray utf8Text = QByteArray("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80").repeated(40);

enum Flags
{
    Untrusted = 1, // fetched without trusting the test certificate
    NotInRun = 2,  // fails only because of the catalogue's small cap
    Harvested = 4  // also harvested, through a page file
};

struct Behaviour
{
    const char *name;
    const char *address; // "/x" plain, "tls:/x", "name:/x" (by a name the certificate lacks)
    bool ok;
    const char *error; // part of a failure's reason
    int flags = 0;
};

// clang-format off
const Behaviour behaviours[] = {
    {"plain page", "/page", true, ""},
    {"redirect chain", "/chain", true, ""},
    {"ten redirects", "/hop/1", true, ""},
    {"relative redirect", "/dir/relative", true, ""},
    {"protocol-relative redirect", "/protocol-relative", true, ""},
    {"no content", "/204", true, ""},
    {"empty body until close", "/empty-until-close", true, ""},
    {"slow answer", "/delayed", true, ""},
    {"slow body above the low-speed limit", "/trickle", true, ""},
    {"UTF-8 cut across pieces", "/utf8-pieces", true, ""},
    {"invalid UTF-8 after many pieces", "/utf8-broken", true, ""},
    {"charset of the header", "/windows-1252", true, ""},
    {"gzip", "/gzip", true, ""},
    {"gzip of two members", "/gzip-members", true, ""},
    {"deflate", "/deflate", true, ""},
    {"raw deflate", "/deflate-raw", true, ""},
    {"body at the cap", "/at-cap", true, ""},
    {"two equal Content-Lengths", "/equal-lengths", true, ""},
    {"trusted certificate", "tls:/page", true, ""},
    {"relative redirect over https", "tls:/relative", true, ""},
    {"body one byte over the cap", "/over-cap", false, "larger", NotInRun},
    {"body over the cap, announced", "/huge-announced", false, "larger"},
    {"body over the cap, until close", "/huge", false, "larger", Harvested},
    {"decoded body over the cap", "/gzip-over-cap", false, "larger", NotInRun},
    {"gzip bomb", "/gzip-bomb", false, "larger", Harvested},
    {"header lines flooding in", "/header-flood", false, ""},
    {"404", "/404", false, "404", Harvested},
    {"500", "/500", false, "500"},
    {"429", "/429", false, "429"},
    {"redirect to ftp", "/to-ftp", false, "redirect to ftp:"},
    {"redirect to file", "/to-file", false, "redirect to file:"},
    {"redirect to data", "/to-data", false, "redirect to data:"},
    {"redirect loop", "/loop", false, ""},
    {"eleven redirects", "/hop/0", false, ""},
    {"redirect without a Location", "/nowhere", false, "302"},
    {"nobody listening", "refused:", false, "onnect"},
    {"closed before any answer", "/closed", false, ""},
    {"reset before the headers", "/reset", false, "reset"},
    {"reset in the middle of the body", "/reset-mid-body", false, "reset", Harvested},
    {"accepts and never answers", "/stalled", false, "too slow"},
    {"a byte every half second", "/drip", false, "too slow", Harvested},
    {"header lines that trickle", "/header-drip", false, "too slow"},
    {"informational answers forever", "/continue-forever", false, "too slow"},
    {"a steady body past the deadline", "/steady", false, "timed out"},
    {"body shorter than Content-Length", "/short", false, "", Harvested},
    {"body shorter than Content-Length, reset", "/short-reset", false, "reset"},
    {"two Content-Lengths, longer last", "/lengths-longer-last", false, "Content-Length", Harvested},
    {"two Content-Lengths, shorter last", "/lengths-shorter-last", false, "Content-Length"},
    {"two Content-Lengths in one header", "/length-list", false, "Content-Length"},
    {"negative Content-Length", "/negative-length", false, "Content-Length"},
    {"Content-Length past 64 bits", "/huge-length", false, "Content-Length"},
    {"invalid chunk size", "/bad-chunk", false, ""},
    {"overflowing chunk size", "/overflow-chunk", false, ""},
    {"chunked body cut by a close", "/cut-chunked", false, "", Harvested},
    {"NUL byte in a header", "/nul-header", false, ""},
    {"a 300 KB header", "/huge-header", false, ""},
    {"garbage status line", "/garbage", false, "", Harvested},
    {"status code that is not a number", "/bad-code", false, ""},
    {"gzip without its trailer", "/gzip-cut", false, "ends early"},
    {"corrupt gzip", "/gzip-fake", false, "corrupt"},
    {"unsupported encoding", "/brotli", false, "br"},
    {"self-signed certificate", "tls:/page", false, "certificate", Untrusted | Harvested},
    {"trusted certificate, another name", "name:/page", false, "name"},
    {"TLS handshake never answered", "silent-tls:", false, ""},
    {"redirect from https to http", "tls:/to-plain", false, "redirect to http:"},
    {"https to http after an https hop", "tls:/hop-to-plain", false, "redirect to http:"},
    {"scheme only", "http://", false, "valid"},
    {"empty address", "", false, "valid"},
    {"blank in the address", "http://127.0.0.1:1/a b", false, "valid"},
    {"ftp address", "ftp://127.0.0.1/x", false, "http and https"},
    {"file address", "file:///etc/passwd", false, "http and https"},
};
// clang-format on

constexpr auto head = &TestServer::head;

QByteArray chunk(const QByteArray &data)
{
    return QByteArray::number(data.size(), 16) + "\r\n" + data + "\r\n";
}

// Writes head, then a piece of body every intervalMs; endless repeats the first piece.
void trickle(TestServer &server, const QString &path, const QByteArray &head,
             const QByteArray &body, int piece, int intervalMs, bool endless = false)
{
    server.route(path, [=](QTcpSocket *socket, const QByteArray &) {
        socket->write(head);
        auto *timer = new QTimer(socket);
        auto sent = std::make_shared<qsizetype>(0);
        QObject::connect(timer, &QTimer::timeout, socket, [=] {
            socket->write(body.mid(endless ? 0 : *sent, piece));
            if ((*sent += piece) >= body.size() && !endless)
                socket->disconnectFromHost();
        });
        timer->start(intervalMs);
    });
}

// A long body made as it is sent, so that the server never holds more than a
// little of it: prefix, then filler up to length, as fast as it is read; or,
// with paceMs, one chunk of the chunked encoding every paceMs.
void stream(TestServer &server, const QString &path, const QByteArray &head,
            const QByteArray &prefix, const QByteArray &filler, qint64 length, int paceMs = 0)
{
    server.route(path, [=](QTcpSocket *socket, const QByteArray &) {
        socket->write(head + prefix);
        const QByteArray piece = filler.repeated(std::max<qsizetype>(1, 4096 / filler.size()));
        auto sent = std::make_shared<qint64>(prefix.size());
        QPointer<QTcpSocket> guarded(socket);
        const auto pump = [=] {
            while (guarded && guarded->bytesToWrite() < 512 * 1024 && *sent < length) {
                const QByteArray data = piece.left(std::min<qint64>(piece.size(), length - *sent));
                *sent += data.size();
                guarded->write(paceMs ? chunk(data) : data);
                if (paceMs)
                    return;
            }
            if (guarded && *sent >= length)
                guarded->disconnectFromHost();
        };
        if (paceMs) {
            auto *timer = new QTimer(socket);
            QObject::connect(timer, &QTimer::timeout, socket, pump);
            timer->start(paceMs);
        } else {
            QObject::connect(socket, &QTcpSocket::bytesWritten, socket, pump);
            pump();
        }
    });
}

void serveCatalogue(TestServer &s, const QString &plainBase)
{
    const qint64 huge = qint64(1) << 30;
    const QByteArray two = bait.repeated(2);
    s.page("/page", bait);
    s.raw("/chain", TestServer::response(301, {"Location: /chain-2"}, {}));
    s.raw("/chain-2", TestServer::response(307, {"Location: " + s.url("/page").toUtf8()}, {}));
    for (int hop = 0; hop < 11; ++hop)
        s.raw(QStringLiteral("/hop/%1").arg(hop),
              TestServer::response(302, {"Location: /hop/" + QByteArray::number(hop + 1)}, {}));
    s.page("/hop/11", bait);
    s.raw("/dir/relative", TestServer::response(302, {"Location: ../page"}, {}));
    s.raw("/relative", TestServer::response(302, {"Location: /page"}, {}));
    s.raw("/protocol-relative",
          TestServer::response(302, {"Location: //127.0.0.1:" + QByteArray::number(s.port()) + "/page"}, {}));
    s.raw("/204", TestServer::response(204, {}, {}));
    s.raw("/empty-until-close", head(200, {}));
    s.delayed("/delayed", bait, 300);
    trickle(s, "/trickle", head(200, {"Content-Length: 1500"}), QByteArray(1500, 'a'), 150, 100);
    trickle(s, "/utf8-pieces", head(200, {}), utf8Text, 7, 1);
    trickle(s, "/utf8-broken", head(200, {}), utf8Text + "\xE9", 7, 1);
    s.page("/windows-1252", "caf\xE9 \x80", "text/html; charset=windows-1252");
    s.raw("/gzip", TestServer::response(200, {"Content-Encoding: gzip"}, TestServer::gzip(bait)));
    s.raw("/gzip-members", TestServer::response(200, {"Content-Encoding: gzip"},
                                                TestServer::gzip("keep ") + TestServer::gzip("two")));
    const QByteArray zlib = qCompress(bait).mid(4); // after qCompress's length
    s.raw("/deflate", TestServer::response(200, {"Content-Encoding: deflate"}, zlib));
    s.raw("/deflate-raw", TestServer::response(200, {"Content-Encoding: deflate"},
                                               zlib.mid(2, zlib.size() - 6)));
    s.page("/at-cap", QByteArray(cap, 'x'));
    s.page("/over-cap", QByteArray(cap + 1, 'x'));
    s.raw("/equal-lengths", head(200, {"Content-Length: 26", "Content-Length: 26"}) + two);
    stream(s, "/huge-announced", head(200, {"Content-Length: " + QByteArray::number(huge)}), bait,
           "a", huge);
    stream(s, "/huge", head(200, {}), bait, "a", huge);
    s.raw("/gzip-over-cap", TestServer::response(200, {"Content-Encoding: gzip"},
                                                 TestServer::gzip(QByteArray(cap * 10, 'x'))));
    const QByteArray bombMember = TestServer::gzip(QByteArray(8 << 20, '\0'));
    s.raw("/gzip-bomb", TestServer::response(200, {"Content-Encoding: gzip"}, bombMember.repeated(256)));
    stream(s, "/header-flood", "HTTP/1.1 200 OK\r\n", {}, "X-Flood: " + QByteArray(50, 'h') + "\r\n", huge);
    s.raw("/404", TestServer::response(404, {}, bait));
    s.raw("/500", TestServer::response(500, {}, bait));
    s.raw("/429", TestServer::response(429, {"Retry-After: 1"}, bait));
    s.raw("/to-ftp", TestServer::response(302, {"Location: ftp://127.0.0.1/keep"}, {}));
    s.raw("/to-file", TestServer::response(302, {"Location: file:///etc/passwd"}, {}));
    s.raw("/to-data", TestServer::response(302, {"Location: data:text/plain,keep%20hostile"}, {}));
    s.raw("/loop", TestServer::response(302, {"Location: /loop"}, {}));
    s.raw("/nowhere", TestServer::response(302, {}, bait));
    s.raw("/closed", {});
    s.reset("/reset");
    s.reset("/reset-mid-body", head(200, {"Transfer-Encoding: chunked"}) + chunk(bait) + "400\r\n" + two, 200);
    s.route("/stalled", [](QTcpSocket *, const QByteArray &) {});
    trickle(s, "/drip", head(200, {"Content-Length: 100"}), bait.repeated(10), 1, 500);
    trickle(s, "/header-drip", "HTTP/1.1 200 OK\r\n", "X-Drip: 1\r\n", 11, 300, true);
    trickle(s, "/continue-forever", {}, "HTTP/1.1 100 Continue\r\n\r\n", 26, 40, true);
    stream(s, "/steady", head(200, {"Transfer-Encoding: chunked"}), chunk(bait), "a", qint64(1) << 40, 40);
    s.raw("/short", head(200, {"Content-Length: 100"}) + bait);
    s.reset("/short-reset", head(200, {"Content-Length: 1000"}) + bait, 200);
    s.raw("/lengths-longer-last", head(200, {"Content-Length: 13", "Content-Length: 26"}) + two);
    s.raw("/lengths-shorter-last", head(200, {"Content-Length: 26", "Content-Length: 13"}) + two);
    s.raw("/length-list", head(200, {"Content-Length: 13, 26"}) + two);
    s.raw("/negative-length", head(200, {"Content-Length: -1"}) + two);
    s.raw("/huge-length", head(200, {"Content-Length: 123456789012345678901234567890"}) + two);
    s.raw("/bad-chunk", head(200, {"Transfer-Encoding: chunked"}) + "zz\r\n" + bait + "\r\n0\r\n\r\n");
    s.raw("/overflow-chunk", head(200, {"Transfer-Encoding: chunked"}) + "fffffffffffffffffffffff\r\n" + bait);
    s.raw("/cut-chunked", head(200, {"Transfer-Encoding: chunked"}) + chunk(bait));
    s.raw("/nul-header", head(200, {QByteArray("X-Bad: a\0b", 10), "Content-Length: 13"}) + bait);
    s.raw("/huge-header", head(200, {"X-Huge: " + QByteArray(300 * 1024, 'h'), "Content-Length: 13"}) + bait);
    s.raw("/garbage", "SOMETHING ELSE ENTIRELY\r\n\r\n" + two);
    s.raw("/bad-code", "HTTP/1.1 2OO OK\r\nContent-Length: 26\r\n\r\n" + two);
    QByteArray cut = TestServer::gzip(bait.repeated(40));
    cut.chop(8);
    s.raw("/gzip-cut", TestServer::response(200, {"Content-Encoding: gzip"}, cut));
    s.raw("/gzip-fake", TestServer::response(200, {"Content-Encoding: gzip"}, two));
    s.raw("/brotli", TestServer::response(200, {"Content-Encoding: br"}, two));
    s.raw("/to-plain", TestServer::response(302, {"Location: " + plainBase.toUtf8() + "/page"}, {}));
    s.raw("/hop-to-plain", TestServer::response(302, {"Location: /to-plain"}, {}));
}

FetchSettings quick(qint64 bodyCap)
{
    FetchSettings settings;
    settings.connectTimeout = 2s;
    settings.lowSpeedTime = 2s;
    settings.totalTimeout = 4s;
    settings.maxBodyBytes = bodyCap;
    return settings;
}

// The longest the event loop went without serving a 20 ms timer.
struct StallProbe
{
    StallProbe()
    {
        clock.start();
        QObject::connect(&timer, &QTimer::timeout, [this] {
            worst = std::max(worst, clock.restart());
        });
        timer.start(20);
    }
    QTimer timer;
    QElapsedTimer clock;
    qint64 worst = 0;
};

} // namespace

class TestFetcher : public QObject
{
    Q_OBJECT

    QTemporaryDir m_certificates, m_temp;
    QString m_certificate, m_key;
    std::unique_ptr<TestServer> m_plain, m_tls;
    QHash<QString, FetchResult> m_text, m_utf8; // by row name

    QString address(const Behaviour &b) const
    {
        const QString a = QString::fromLatin1(b.address);
        if (a.startsWith(u'/'))
            return m_plain->url(a);
        if (a.startsWith(QLatin1String("tls:")))
            return m_tls->url(a.mid(4));
        if (a.startsWith(QLatin1String("name:")))
            return QStringLiteral("https://localhost:%1%2").arg(m_tls->port()).arg(a.mid(5));
        if (a == QLatin1String("silent-tls:")) // a plain server waits for a request head forever
            return QStringLiteral("https://127.0.0.1:%1/stalled").arg(m_plain->port());
        if (a == QLatin1String("refused:")) {
            QTcpServer closed;
            closed.listen(QHostAddress::LocalHost);
            return QStringLiteral("http://127.0.0.1:%1/").arg(closed.serverPort());
        }
        return a;
    }

private slots:
    void initTestCase()
    {
        qputenv("no_proxy", "*");
        qputenv("TMPDIR", QFile::encodeName(m_temp.path())); // where harvests keep their pages
        const QString problem =
            TestServer::makeCertificate(m_certificates.path(), m_certificate, m_key);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        m_plain = std::make_unique<TestServer>();
        m_tls = std::make_unique<TestServer>(m_certificate, m_key);
        serveCatalogue(*m_plain, m_plain->url({}));
        serveCatalogue(*m_tls, m_plain->url({}));

        // Every row at once, as text and as UTF-8.
        FetchSettings settings = quick(cap);
        settings.maxTransfers = settings.maxTransfersPerHost = 1000;
        CurlPageFetcher untrusted(settings);
        settings.caFile = m_certificate;
        CurlPageFetcher trusted(settings);
        // (fetcher, id) -> (row, as UTF-8)
        QHash<std::pair<PageFetcher *, quint64>, std::pair<QString, bool>> asked;
        for (const Behaviour &b : behaviours) {
            CurlPageFetcher *fetcher = b.flags & Untrusted ? &untrusted : &trusted;
            asked.insert({fetcher, fetcher->fetchText(address(b))}, {b.name, false});
            asked.insert({fetcher, fetcher->fetchUtf8(address(b))}, {b.name, true});
        }
        for (PageFetcher *fetcher : {&untrusted, &trusted}) {
            connect(fetcher, &PageFetcher::finished, this, [&, fetcher](quint64 id, const FetchResult &r) {
                const auto [name, utf8] = asked.take({fetcher, id});
                (utf8 ? m_utf8 : m_text).insert(name, r);
            });
        }
        QTRY_VERIFY_WITH_TIMEOUT(asked.isEmpty(), 30'000);
    }

    void catalogue_data()
    {
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QString>("error");
        for (const Behaviour &b : behaviours)
            QTest::newRow(b.name) << b.ok << QString::fromLatin1(b.error);
    }
    void catalogue()
    {
        QFETCH(bool, ok);
        QFETCH(QString, error);
        const FetchResult text = m_text.value(QTest::currentDataTag());
        const FetchResult utf8 = m_utf8.value(QTest::currentDataTag());
        QVERIFY2(text.ok == ok && utf8.ok == ok, qPrintable(text.error + " / " + utf8.error));
        QVERIFY2(text.error.contains(error), qPrintable(text.error));
        QCOMPARE(utf8.utf8, text.text.toUtf8());
        QVERIFY(utf8.text.isEmpty());
        if (!ok)
            QVERIFY(text.text.isEmpty() && utf8.utf8.isEmpty());
    }

    void pageTexts_data()
    {
        QTest::addColumn<QString>("text");
        const QString keep = QString::fromUtf8(bait);
        QTest::newRow("plain page") << keep;
        QTest::newRow("ten redirects") << keep;
        QTest::newRow("no content") << QString();
        QTest::newRow("slow body above the low-speed limit") << QString(1500, u'a');
        QTest::newRow("UTF-8 cut across pieces") << QString::fromUtf8(utf8Text);
        QTest::newRow("invalid UTF-8 after many pieces") << decodePageText(utf8Text + "\xE9", {});
        QTest::newRow("charset of the header") << QStringLiteral("caf\u00E9 \u20AC");
        QTest::newRow("gzip") << keep;
        QTest::newRow("gzip of two members") << QStringLiteral("keep two");
        QTest::newRow("raw deflate") << keep;
        QTest::newRow("body at the cap") << QString(cap, u'x');
        QTest::newRow("trusted certificate") << keep;
    }
    void pageTexts()
    {
        QFETCH(QString, text);
        QCOMPARE(m_text.value(QTest::currentDataTag()).text, text);
    }

    // One run over every bad site, each followed by a good one: the run goes
    // on, keeps exactly the good sites' rows, never stalls and stays small.
    void runGoesOnPastBadSites()
    {
        CurlPageFetcher fetcher(quick(16 << 20));
        SiteList sites;
        ResultList results;
        TestRunHost host;
        host.rule = QStringLiteral("KEEP");
        host.include = host.evenIfNothing = true;
        QStringList expected;
        for (const Behaviour &b : behaviours) {
            if (b.ok || b.flags & NotInRun)
                continue;
            const QString good = m_plain->url(QStringLiteral("/good/%1").arg(sites.count()));
            m_plain->page(good.section(u'/', 3).prepend(u'/'), "keep a\nskip\nkeep b\n");
            sites.append(QStringList{address(b), good});
            expected << good + ",keep a" << good + ",keep b";
        }
        RunQueue runs(sites, results, fetcher, host);
        QSignalSpy idle(&runs, &RunQueue::idle);
        ProcessMemory::startNewPeak();
        const qint64 before = ProcessMemory::residentKiB();
        StallProbe probe;
        runs.enqueue(Rule::WithText);
        QVERIFY(idle.wait(60'000));
        QCOMPARE(results.texts(), expected);
        QCOMPARE(host.shown.last(), QStringLiteral("Done."));
        QVERIFY(!host.busy);
        QVERIFY2(probe.worst < 1000, qPrintable(QString::number(probe.worst)));
        const qint64 grownMiB = (ProcessMemory::peakKiB() - before) / 1024;
        QVERIFY2(!ProcessMemory::measurable || grownMiB < 256, qPrintable(QString::number(grownMiB)));
    }

    // A bad page ends its harvest in "Url not found" with no page file left,
    // and the next harvest goes on.
    void harvestsOfBadPages()
    {
        CurlPageFetcher fetcher(quick(cap));
        SiteList list;
        FakeUiServices ui;
        HarvestQueue harvests(list, fetcher, ui);
        QSignalSpy idle(&harvests, &HarvestQueue::idle);
        QStringList warnings;
        for (const Behaviour &b : behaviours) {
            if (b.flags & Harvested) {
                harvests.enqueue(address(b) + u'/');
                warnings << QStringLiteral("warning:Url not found");
            }
        }
        m_plain->page("/links/", "<a href=\"a.htm\">");
        harvests.enqueue(m_plain->url("/links/"));
        QVERIFY(idle.wait(60'000));
        QCOMPARE(ui.log, warnings);
        QCOMPARE(list.count(), 2);
        QCOMPARE(list.text(1), m_plain->url("/links/a.htm/"));
        QCOMPARE(QDir(m_temp.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
    }

    void downloadsToFile_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("file"); // in a fresh folder, which holds "old" already
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("stored decoded") << "/gzip" << "page" << true << bait;
        QTest::newRow("longer file replaced") << "/page" << "old" << true << bait;
        QTest::newRow("empty body") << "/204" << "page" << true << QByteArray();
        QTest::newRow("missing folder") << "/page" << "no/page" << false << QByteArray();
        QTest::newRow("a folder") << "/page" << "." << false << QByteArray();
        QTest::newRow("404") << "/404" << "page" << false << QByteArray();
    }
    void downloadsToFile()
    {
        QFETCH(QString, path);
        QFETCH(QString, file);
        QFETCH(bool, ok);
        QFETCH(QByteArray, bytes);
        QTemporaryDir folder;
        QFile old(folder.filePath("old"));
        QVERIFY(old.open(QIODevice::WriteOnly) && old.write(QByteArray(5000, '#')) == 5000);
        old.close();
        CurlPageFetcher fetcher(quick(cap));
        QSignalSpy done(&fetcher, &PageFetcher::finished);
        fetcher.downloadToFile(m_plain->url(path), folder.filePath(file));
        QVERIFY(done.wait(10'000));
        const auto result = done[0][1].value<FetchResult>();
        QCOMPARE(result.ok, ok);
        QFile written(folder.filePath(file));
        if (ok)
            QVERIFY(written.open(QIODevice::ReadOnly) && written.readAll() == bytes);
    }

    // Pages wait in the fetcher's own queue, so that none starts its deadline
    // before its transfer starts, and each host (port) has its own limit.
    void limitsTransfers_data()
    {
        QTest::addColumn<int>("servers");
        QTest::addColumn<int>("total");
        QTest::addColumn<int>("perHost");
        QTest::addColumn<int>("peak");
        QTest::newRow("total limit") << 1 << 3 << 6 << 3;
        QTest::newRow("per-host limit, each port a host") << 2 << 16 << 2 << 4;
    }
    void limitsTransfers()
    {
        QFETCH(int, servers);
        QFETCH(int, total);
        QFETCH(int, perHost);
        QFETCH(int, peak);
        auto load = std::make_shared<std::pair<int, int>>(); // now, peak
        std::vector<std::unique_ptr<TestServer>> hosts;
        FetchSettings settings = quick(cap);
        settings.maxTransfers = total;
        settings.maxTransfersPerHost = perHost;
        settings.totalTimeout = 600ms; // 12 answers of 200 ms through these slots take longer
        CurlPageFetcher fetcher(settings);
        QSignalSpy done(&fetcher, &PageFetcher::finished);
        for (int h = 0; h < servers; ++h) {
            hosts.push_back(std::make_unique<TestServer>());
            hosts.back()->route("/p", [load](QTcpSocket *socket, const QByteArray &) {
                load->second = std::max(load->second, ++load->first);
                QTimer::singleShot(200, socket, [load, socket] {
                    --load->first;
                    socket->write(TestServer::response(200, {}, "page"));
                    socket->disconnectFromHost();
                });
            });
            for (int i = 0; i < 12 / servers; ++i)
                fetcher.fetchText(hosts.back()->url(QStringLiteral("/p?%1").arg(i)));
        }
        QTRY_COMPARE_WITH_TIMEOUT(done.count(), 12, 10'000);
        for (const QList<QVariant> &result : done)
            QVERIFY2(result[1].value<FetchResult>().ok, qPrintable(result[1].value<FetchResult>().error));
        QCOMPARE(load->second, peak);
    }

    // A cancelled transfer closes its connection and reports nothing, even
    // when its result was already on its way; destroying the fetcher ends
    // everything at once.
    void cancelAndDestroy()
    {
        auto closed = std::make_shared<int>(0);
        m_plain->route("/held", [closed](QTcpSocket *socket, const QByteArray &) {
            QObject::connect(socket, &QTcpSocket::disconnected, [closed] { ++*closed; });
        });
        auto fetcher = std::make_unique<CurlPageFetcher>(); // the real, long deadlines
        QSignalSpy done(fetcher.get(), &PageFetcher::finished);
        quint64 answered = 0;
        m_plain->route("/answered", [&](QTcpSocket *socket, const QByteArray &) {
            socket->write(TestServer::response(200, {}, "x"));
            socket->disconnectFromHost();
            QTest::qSleep(300); // the result is posted meanwhile
            fetcher->cancel(answered);
        });
        const quint64 held = fetcher->fetchText(m_plain->url("/held"));
        answered = fetcher->fetchText(m_plain->url("/answered"));
        fetcher->cancel(fetcher->fetchText(QStringLiteral("http://"))); // failure already posted
        QTRY_COMPARE(m_plain->requests("/answered"), 1);
        QTRY_COMPARE(m_plain->requests("/held"), 1);
        fetcher->cancel(held);
        QTRY_COMPARE_WITH_TIMEOUT(*closed, 1, 2000);
        QVERIFY(!fetcher->stillExecuting());
        fetcher->fetchText(m_plain->url("/page"));
        QVERIFY(done.wait(5000));
        QTest::qWait(100);
        QCOMPARE(done.count(), 1);

        fetcher->fetchText(m_plain->url("/held"));
        QTRY_COMPARE(m_plain->requests("/held"), 2);
        QElapsedTimer clock;
        clock.start();
        fetcher.reset();
        QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
        QTRY_COMPARE_WITH_TIMEOUT(*closed, 2, 2000);
        QCOMPARE(done.count(), 1);
    }
};

QTEST_GUILESS_MAIN(TestFetcher)
#include "tst_fetcher.moc"
