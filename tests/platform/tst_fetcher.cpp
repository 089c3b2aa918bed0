// The fetcher against one catalogue of server behaviours, good and hostile,
// plain and over TLS; the same catalogue then drives one whole run and the
// link harvests, which must go on past every bad site and keep nothing of it.
#include "extraction/ExtractionRun.h"
#include "extraction/SiteSource.h"
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
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace std::chrono_literals;
using E = FetchError;

namespace {

constexpr qint64 cap = 1 << 20;
const QByteArray bait = "keep hostile\n"; // any of it passing as a page would show as rows
const QByteArray utf8Text = QByteArray("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80").repeated(40);

enum Flags
{
    Untrusted = 1, // fetched without trusting the test certificate
    NotInRun = 2,  // fails only for the catalogue's small cap
    Harvested = 4  // harvested too, through a page file
};

struct Behaviour
{
    const char *name;
    const char *address; // "/x" plain, "tls:/x", "name:/x" (a name the certificate lacks)
    FetchError kind;     // None: fetched
    int flags = 0;
};

// clang-format off
const Behaviour behaviours[] = {
    {"plain page", "/page", E::None}, {"redirect chain", "/chain", E::None}, {"ten redirects", "/hop/1", E::None},
    {"relative redirect", "/dir/relative", E::None}, {"protocol-relative redirect", "/protocol-relative", E::None},
    {"no content", "/204", E::None}, {"empty body until close", "/empty-until-close", E::None},
    {"slow answer", "/delayed", E::None}, {"slow body above the low-speed limit", "/trickle", E::None},
    {"UTF-8 cut across pieces", "/utf8-pieces", E::None}, {"invalid UTF-8 after many pieces", "/utf8-broken", E::None},
    {"charset of the header", "/windows-1252", E::None}, {"gzip", "/gzip", E::None},
    {"gzip of two members", "/gzip-members", E::None}, {"deflate", "/deflate", E::None},
    {"raw deflate", "/deflate-raw", E::None}, {"body at the cap", "/at-cap", E::None},
    {"two equal Content-Lengths", "/equal-lengths", E::None}, {"trusted certificate", "tls:/page", E::None},
    {"relative redirect over https", "tls:/relative", E::None},
    {"body one byte over the cap", "/over-cap", E::TooLarge, NotInRun},
    {"body over the cap, announced", "/huge-announced", E::TooLarge, NotInRun},
    {"body over the cap, until close", "/huge", E::TooLarge, NotInRun | Harvested},
    {"decoded body over the cap", "/gzip-over-cap", E::TooLarge, NotInRun},
    {"gzip bomb", "/gzip-bomb", E::TooLarge, Harvested},
    {"header lines flooding in", "/header-flood", E::Malformed},
    {"404", "/404", E::HttpStatus, Harvested}, {"500", "/500", E::HttpStatus}, {"429", "/429", E::HttpStatus},
    {"redirect to ftp", "/to-ftp", E::RedirectRefused}, {"redirect to file", "/to-file", E::RedirectRefused},
    {"redirect to data", "/to-data", E::RedirectRefused}, {"redirect loop", "/loop", E::RedirectRefused},
    {"eleven redirects", "/hop/0", E::RedirectRefused}, {"redirect without a Location", "/nowhere", E::HttpStatus},
    {"nobody listening", "refused:", E::ConnectionRefused}, {"closed before any answer", "/closed", E::Malformed},
    {"reset before the headers", "/reset", E::ConnectionReset},
    {"reset in the middle of the body", "/reset-mid-body", E::ConnectionReset, Harvested},
    {"accepts and never answers", "/stalled", E::TooSlow}, {"a byte every half second", "/drip", E::TooSlow, Harvested},
    {"header lines that trickle", "/header-drip", E::TooSlow}, {"informational answers forever", "/continue-forever", E::TooSlow},
    {"a steady body past the deadline", "/steady", E::TimedOut},
    {"body shorter than Content-Length", "/short", E::Malformed, Harvested},
    {"shorter than Content-Length, reset", "/short-reset", E::ConnectionReset},
    {"two Content-Lengths, longer last", "/lengths-longer-last", E::Malformed, Harvested},
    {"two Content-Lengths, shorter last", "/lengths-shorter-last", E::Malformed},
    {"two Content-Lengths in one header", "/length-list", E::Malformed},
    {"negative Content-Length", "/negative-length", E::Malformed},
    {"Content-Length past 64 bits", "/huge-length", E::Malformed},
    {"invalid chunk size", "/bad-chunk", E::Malformed}, {"overflowing chunk size", "/overflow-chunk", E::Malformed},
    {"chunked body cut by a close", "/cut-chunked", E::Malformed, Harvested},
    {"NUL byte in a header", "/nul-header", E::Malformed}, {"a 300 KB header", "/huge-header", E::TooLarge},
    {"garbage status line", "/garbage", E::Malformed, Harvested}, {"status code not a number", "/bad-code", E::Malformed},
    {"gzip without its trailer", "/gzip-cut", E::Malformed}, {"corrupt gzip", "/gzip-fake", E::Malformed},
    {"unsupported encoding", "/brotli", E::Malformed},
    {"self-signed certificate", "tls:/page", E::Certificate, Untrusted | Harvested},
    {"trusted certificate, another name", "name:/page", E::Certificate},
    {"TLS handshake never answered", "silent-tls:", E::NoAnswer},
    {"redirect from https to http", "tls:/to-plain", E::RedirectRefused},
    {"https to http after an https hop", "tls:/hop-to-plain", E::RedirectRefused},
    {"scheme only", "http://", E::InvalidAddress}, {"empty address", "", E::InvalidAddress},
    {"blank in the address", "http://127.0.0.1:1/a b", E::InvalidAddress},
    {"ftp address", "ftp://127.0.0.1/x", E::SchemeRefused}, {"file address", "file:///etc/passwd", E::SchemeRefused},
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

void serveCatalogue(TestServer &s, const QString &plainBase)
{
    const qint64 huge = qint64(1) << 30;
    const QByteArray two = bait.repeated(2);
    const auto redirect = [&](const QString &path, const QByteArray &to, int status = 302) {
        s.raw(path, TestServer::response(status, {"Location: " + to}, {}));
    };
    const auto encoded = [&](const QString &path, const QByteArray &coding,
                             const QByteArray &body) {
        s.raw(path, TestServer::response(200, {"Content-Encoding: " + coding}, body));
    };
    s.page("/page", bait);
    redirect("/chain", "/chain-2", 301);
    redirect("/chain-2", s.url("/page").toUtf8(), 307);
    for (int hop = 0; hop < 11; ++hop)
        redirect(QStringLiteral("/hop/%1").arg(hop), "/hop/" + QByteArray::number(hop + 1));
    s.page("/hop/11", bait);
    redirect("/dir/relative", "../page");
    redirect("/relative", "/page");
    redirect("/protocol-relative", "//127.0.0.1:" + QByteArray::number(s.port()) + "/page");
    s.raw("/204", TestServer::response(204, {}, {}));
    s.raw("/empty-until-close", head(200, {}));
    s.delayed("/delayed", bait, 300);
    trickle(s, "/trickle", head(200, {"Content-Length: 1500"}), QByteArray(1500, 'a'), 150, 100);
    trickle(s, "/utf8-pieces", head(200, {}), utf8Text, 7, 1);
    trickle(s, "/utf8-broken", head(200, {}), utf8Text + "\xE9", 7, 1);
    s.page("/windows-1252", "caf\xE9 \x80", "text/html; charset=windows-1252");
    encoded("/gzip", "gzip", TestServer::gzip(bait));
    encoded("/gzip-members", "gzip", TestServer::gzip("keep ") + TestServer::gzip("two"));
    const QByteArray zlib = qCompress(bait).mid(4); // after qCompress's length
    encoded("/deflate", "deflate", zlib);
    encoded("/deflate-raw", "deflate", zlib.mid(2, zlib.size() - 6));
    s.page("/at-cap", QByteArray(cap, 'x'));
    s.page("/over-cap", QByteArray(cap + 1, 'x'));
    s.raw("/equal-lengths", head(200, {"Content-Length: 26", "Content-Length: 26"}) + two);
    const QByteArray overCap = bait + QByteArray(2 * cap, 'a');
    s.raw("/huge-announced", head(200, {"Content-Length: " + QByteArray::number(huge)}) + overCap);
    s.raw("/huge", head(200, {}) + overCap);
    encoded("/gzip-over-cap", "gzip", TestServer::gzip(QByteArray(cap * 10, 'x')));
    encoded("/gzip-bomb", "gzip", TestServer::gzip(QByteArray(8 << 20, '\0')).repeated(256));
    s.raw("/header-flood",
          "HTTP/1.1 200 OK\r\n" + ("X-Flood: " + QByteArray(50, 'h') + "\r\n").repeated(8000));
    s.raw("/404", TestServer::response(404, {}, bait));
    s.raw("/500", TestServer::response(500, {}, bait));
    s.raw("/429", TestServer::response(429, {"Retry-After: 1"}, bait));
    redirect("/to-ftp", "ftp://127.0.0.1/keep");
    redirect("/to-file", "file:///etc/passwd");
    redirect("/to-data", "data:text/plain,keep%20hostile");
    redirect("/loop", "/loop");
    s.raw("/nowhere", TestServer::response(302, {}, bait));
    s.raw("/closed", {});
    s.reset("/reset");
    s.reset("/reset-mid-body",
            head(200, {"Transfer-Encoding: chunked"}) + chunk(bait) + "400\r\n" + two, 200);
    s.route("/stalled", [](QTcpSocket *, const QByteArray &) {});
    trickle(s, "/drip", head(200, {"Content-Length: 100"}), bait.repeated(10), 1, 500);
    trickle(s, "/header-drip", "HTTP/1.1 200 OK\r\n", "X-Drip: 1\r\n", 11, 300, true);
    trickle(s, "/continue-forever", {}, "HTTP/1.1 100 Continue\r\n\r\n", 26, 40, true);
    const QByteArray piece = chunk(QByteArray(4096, 'a'));
    trickle(s, "/steady", head(200, {"Transfer-Encoding: chunked"}), piece, int(piece.size()), 40,
            true);
    s.raw("/short", head(200, {"Content-Length: 100"}) + bait);
    s.reset("/short-reset", head(200, {"Content-Length: 1000"}) + bait, 200);
    s.raw("/lengths-longer-last", head(200, {"Content-Length: 13", "Content-Length: 26"}) + two);
    s.raw("/lengths-shorter-last", head(200, {"Content-Length: 26", "Content-Length: 13"}) + two);
    s.raw("/length-list", head(200, {"Content-Length: 13, 26"}) + two);
    s.raw("/negative-length", head(200, {"Content-Length: -1"}) + two);
    s.raw("/huge-length", head(200, {"Content-Length: 123456789012345678901234567890"}) + two);
    s.raw("/bad-chunk",
          head(200, {"Transfer-Encoding: chunked"}) + "zz\r\n" + bait + "\r\n0\r\n\r\n");
    s.raw("/overflow-chunk",
          head(200, {"Transfer-Encoding: chunked"}) + "fffffffffffffffffffffff\r\n" + bait);
    s.raw("/cut-chunked", head(200, {"Transfer-Encoding: chunked"}) + chunk(bait));
    s.raw("/nul-header", head(200, {QByteArray("X-Bad: a\0b", 10), "Content-Length: 13"}) + bait);
    s.raw("/huge-header",
          head(200, {"X-Huge: " + QByteArray(300 * 1024, 'h'), "Content-Length: 13"}) + bait);
    s.raw("/garbage", "SOMETHING ELSE ENTIRELY\r\n\r\n" + two);
    s.raw("/bad-code", "HTTP/1.1 2OO OK\r\nContent-Length: 26\r\n\r\n" + two);
    encoded("/gzip-cut", "gzip", TestServer::gzip(bait.repeated(40)).chopped(8));
    encoded("/gzip-fake", "gzip", two);
    encoded("/brotli", "br", two);
    redirect("/to-plain", plainBase.toUtf8() + "/page");
    redirect("/hop-to-plain", "/to-plain");
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

// Fetches url and waits for the result.
FetchResult fetch(PageFetcher &fetcher, const QString &url)
{
    const std::unique_ptr<FetchReply> reply = fetcher.fetchText(url);
    QSignalSpy done(reply.get(), &FetchReply::finished);
    if (!done.wait(20'000))
        return {};
    return done[0][0].value<FetchResult>();
}

// The rows of a with-text run over sites, and the longest the event loop went
// without serving a 20 ms timer meanwhile.
QStringList runOver(PageFetcher &fetcher, const QStringList &sites, const QString &rule = "keep",
                    qint64 *stallMs = nullptr)
{
    SiteList list;
    list.append(sites);
    SiteListSource source(list);
    ResultList results;
    TestRunHost host;
    host.rule = rule;
    host.include = host.evenIfNothing = true;
    ExtractionRun run(Rule::WithText, source, results, fetcher, host);
    QSignalSpy finished(&run, &QueuedJob::finished);
    QElapsedTimer clock;
    QTimer probe;
    qint64 worst = 0;
    QObject::connect(&probe, &QTimer::timeout, [&] { worst = std::max(worst, clock.restart()); });
    clock.start();
    probe.start(20);
    run.start();
    if (!finished.wait(60'000))
        return {"<the run did not end>"};
    if (stallMs)
        *stallMs = worst;
    return results.texts();
}

// A loopback port whose backlog is full, so that a connection to it is never
// taken: what a host that is down looks like.
struct DeadPort
{
    DeadPort()
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        listener = socket(AF_INET, SOCK_STREAM, 0);
        bind(listener, reinterpret_cast<sockaddr *>(&address), size);
        listen(listener, 0);
        getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size);
        port = ntohs(address.sin_port);
        for (int &filler : fillers) {
            filler = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            ::connect(filler, reinterpret_cast<sockaddr *>(&address), size);
        }
        QTest::qWait(100);
    }
    ~DeadPort()
    {
        for (int fd : fillers)
            close(fd);
        close(listener);
    }
    int listener, fillers[4];
    quint16 port;
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
    // The HTTP/2 test server, or why there is none.
    std::unique_ptr<QProcess> startHttp2(const QStringList &options, quint16 &port)
    {
        auto server = std::make_unique<QProcess>();
        server->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        server->start(QFile::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3",
                      QStringList{QFINDTESTDATA("../support/h2server.py"), m_certificate, m_key} +
                          options);
        while (!server->canReadLine()) {
            if (!server->waitForReadyRead(10'000))
                return nullptr;
        }
        port = quint16(server->readLine().split(' ').value(1).trimmed().toUInt());
        return server;
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
        settings.maxConnections = settings.maxConnectionsPerHost = 1000;
        CurlPageFetcher untrusted(settings);
        settings.caFile = m_certificate;
        CurlPageFetcher trusted(settings);
        std::vector<std::unique_ptr<FetchReply>> replies;
        for (const Behaviour &b : behaviours) {
            CurlPageFetcher &fetcher = b.flags & Untrusted ? untrusted : trusted;
            for (const bool utf8 : {false, true}) {
                replies.push_back(utf8 ? fetcher.fetchUtf8(address(b))
                                       : fetcher.fetchText(address(b)));
                auto &results = utf8 ? m_utf8 : m_text;
                connect(
                    replies.back().get(), &FetchReply::finished, this,
                    [&results, name = b.name](const FetchResult &r) { results.insert(name, r); });
            }
        }
        QTRY_COMPARE_WITH_TIMEOUT(m_text.size() + m_utf8.size(), qsizetype(replies.size()), 30'000);
    }

    void catalogue_data()
    {
        QTest::addColumn<FetchError>("kind");
        for (const Behaviour &b : behaviours)
            QTest::newRow(b.name) << b.kind;
    }
    void catalogue()
    {
        QFETCH(FetchError, kind);
        const FetchResult text = m_text.value(QTest::currentDataTag());
        const FetchResult utf8 = m_utf8.value(QTest::currentDataTag());
        QVERIFY2(text.kind == kind && utf8.kind == kind, qPrintable(text.error));
        QCOMPARE(text.ok, kind == E::None);
        QCOMPARE(text.error.isEmpty(), text.ok);
        QCOMPARE(utf8.utf8, text.text.toUtf8());
        QVERIFY(utf8.text.isEmpty());
        if (!text.ok)
            QVERIFY(text.text.isEmpty() && utf8.utf8.isEmpty());
    }

    void pageTexts_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("status");
        const QString keep = QString::fromUtf8(bait);
        QTest::newRow("plain page") << keep << 200;
        QTest::newRow("ten redirects") << keep << 200;
        QTest::newRow("no content") << QString() << 204;
        QTest::newRow("slow body above the low-speed limit") << QString(1500, u'a') << 200;
        QTest::newRow("UTF-8 cut across pieces") << QString::fromUtf8(utf8Text) << 200;
        QTest::newRow("invalid UTF-8 after many pieces")
            << decodePageText(utf8Text + "\xE9", {}) << 200;
        QTest::newRow("charset of the header") << QStringLiteral("caf\u00E9 \u20AC") << 200;
        QTest::newRow("gzip of two members") << QStringLiteral("keep two") << 200;
        QTest::newRow("raw deflate") << keep << 200;
        QTest::newRow("body at the cap") << QString(cap, u'x') << 200;
        QTest::newRow("404") << QString() << 404;
        QTest::newRow("redirect without a Location") << QString() << 302;
    }
    void pageTexts()
    {
        QFETCH(QString, text);
        QFETCH(int, status);
        const FetchResult result = m_text.value(QTest::currentDataTag());
        QCOMPARE(result.text, text);
        QCOMPARE(result.httpStatus, status);
        QCOMPARE(result.httpVersion, 11);
    }

    // One run over every bad site, each followed by a good one: the run goes
    // on, keeps exactly the good sites' rows, never stalls and stays small.
    void runGoesOnPastBadSites()
    {
        CurlPageFetcher fetcher(quick(16 << 20));
        QStringList sites, expected;
        for (const Behaviour &b : behaviours) {
            if (b.kind == E::None || b.flags & NotInRun)
                continue;
            const QString good = QStringLiteral("/good/%1").arg(sites.size());
            m_plain->page(good, "keep a\nskip\nkeep b\n");
            sites << address(b) << m_plain->url(good);
            expected << m_plain->url(good) + ",keep a" << m_plain->url(good) + ",keep b";
        }
        ProcessMemory::startNewPeak();
        const qint64 before = ProcessMemory::peakKiB();
        qint64 stall = 0;
        QCOMPARE(runOver(fetcher, sites, "KEEP", &stall), expected);
        QVERIFY2(stall < 1000, qPrintable(QString::number(stall)));
        const qint64 grownMiB = (ProcessMemory::peakKiB() - before) / 1024;
        QVERIFY2(!ProcessMemory::measurable || grownMiB < 256,
                 qPrintable(QString::number(grownMiB)));
    }

    // A bad page ends its harvest in "Url not found" with no page file left,
    // and the next harvest goes on.
    void harvestsOfBadPages()
    {
        CurlPageFetcher fetcher(quick(cap));
        SiteList list;
        HarvestQueue harvests(list, fetcher);
        QStringList said, warnings;
        connect(&harvests, &SerialQueue::reported, this,
                [&](const UserMessage &m) { said << QString::number(int(m.icon)) + m.text; });
        QSignalSpy idle(&harvests, &HarvestQueue::idle);
        for (const Behaviour &b : behaviours) {
            if (b.flags & Harvested) {
                harvests.enqueue(address(b) + u'/');
                warnings << QString::number(int(MessageIcon::Exclamation)) + "Url not found";
            }
        }
        m_plain->raw("/links/", TestServer::response(200, {"Content-Encoding: gzip"},
                                                     TestServer::gzip("<a href=\"a.htm\">")));
        harvests.enqueue(m_plain->url("/links/"));
        QVERIFY(idle.wait(60'000));
        QCOMPARE(said, warnings);
        QCOMPARE(list.count(), 2);
        QCOMPARE(list.text(1), m_plain->url("/links/a.htm/"));
        QCOMPARE(QDir(m_temp.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
                 QStringList());
    }

    // A page is written whole over an older file; a place it cannot be written fails.
    void downloadsToFile()
    {
        QTemporaryDir folder;
        CurlPageFetcher fetcher(quick(cap));
        for (const QString file : {"page", "no/page", "."}) {
            QFile old(folder.filePath("page"));
            QVERIFY(old.open(QIODevice::WriteOnly) && old.write(QByteArray(5000, '#')) == 5000);
            old.close();
            const std::unique_ptr<FetchReply> reply =
                fetcher.downloadToFile(m_plain->url("/gzip"), folder.filePath(file));
            QSignalSpy done(reply.get(), &FetchReply::finished);
            QVERIFY(done.wait(10'000));
            const auto result = done[0][0].value<FetchResult>();
            QCOMPARE(result.kind, file == "page" ? E::None : E::FileError);
            QVERIFY(old.open(QIODevice::ReadOnly));
            QCOMPARE(old.readAll(), file == "page" ? bait : QByteArray(5000, '#'));
        }
    }

    // Pages wait in the fetcher's own queue, so that none starts its deadline
    // before its transfer starts; each host (port) has a limit of its own.
    void limitsConnections_data()
    {
        QTest::addColumn<int>("servers");
        QTest::addColumn<int>("total");
        QTest::addColumn<int>("perHost");
        QTest::addColumn<int>("peak");
        QTest::newRow("total limit") << 1 << 3 << 6 << 3;
        QTest::newRow("per-host limit, each port a host") << 2 << 16 << 2 << 4;
    }
    void limitsConnections()
    {
        QFETCH(int, servers);
        QFETCH(int, total);
        QFETCH(int, perHost);
        QFETCH(int, peak);
        auto load = std::make_shared<std::pair<int, int>>(); // now, peak
        std::vector<std::unique_ptr<TestServer>> hosts;
        FetchSettings settings = quick(cap);
        settings.maxConnections = total;
        settings.maxConnectionsPerHost = perHost;
        settings.totalTimeout = 500ms; // 12 answers of 200 ms through these slots take longer
        CurlPageFetcher fetcher(settings);
        std::vector<std::unique_ptr<FetchReply>> replies;
        int ok = 0;
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
            for (int i = 0; i < 12 / servers; ++i) {
                const QString url = hosts.back()->url(QStringLiteral("/p?%1").arg(i));
                QCOMPARE(fetcher.hasRoomFor(url), i < std::min(total, perHost));
                replies.push_back(fetcher.fetchText(url));
                connect(replies.back().get(), &FetchReply::finished, this,
                        [&](const FetchResult &r) { ok += r.ok; });
            }
        }
        QTRY_COMPARE_WITH_TIMEOUT(ok, 12, 10'000);
        QCOMPARE(load->second, peak);
    }

    // An abandoned transfer closes its connection and reports nothing, even
    // when its result was on its way; destroying the fetcher ends everything at once.
    void abandonAndDestroy()
    {
        auto closed = std::make_shared<int>(0);
        m_plain->route("/held", [closed](QTcpSocket *socket, const QByteArray &) {
            QObject::connect(socket, &QTcpSocket::disconnected, [closed] { ++*closed; });
        });
        auto fetcher = std::make_unique<CurlPageFetcher>(); // the real, long deadlines
        std::unique_ptr<FetchReply> answered = fetcher->fetchText(m_plain->url("/answered"));
        QSignalSpy late(answered.get(), &FetchReply::finished);
        m_plain->route("/answered", [&](QTcpSocket *socket, const QByteArray &) {
            socket->write(TestServer::response(200, {}, "x"));
            socket->disconnectFromHost();
            QTest::qSleep(300); // the result is posted meanwhile
            answered->abort();
        });
        std::unique_ptr<FetchReply> held = fetcher->fetchText(m_plain->url("/held"));
        fetcher->fetchText(QStringLiteral("http://")); // a failure on its way, dropped
        QTRY_COMPARE(m_plain->requests("/held"), 1);
        held.reset();
        QTRY_COMPARE_WITH_TIMEOUT(*closed, 1, 2000);
        QCOMPARE(fetch(*fetcher, m_plain->url("/page")).kind, E::None);
        QCOMPARE(late.count(), 0);
        held = fetcher->fetchText(m_plain->url("/held"));
        QTRY_COMPARE(m_plain->requests("/held"), 2);
        QElapsedTimer clock;
        clock.start();
        fetcher.reset();
        QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
        QTRY_COMPARE_WITH_TIMEOUT(*closed, 2, 2000);
    }

    // Answers 429 and 503 and resets are tried again after Retry-After or a
    // second, doubling; one host's requests keep their distance.
    void retriesAndDelays()
    {
        auto times = std::make_shared<QList<qint64>>();
        QElapsedTimer clock;
        clock.start();
        m_plain->route("/busy", [times, clock](QTcpSocket *socket, const QByteArray &) {
            *times << clock.elapsed();
            const QList<QByteArray> headers{times->size() == 1 ? "Retry-After: 0" : "X: y"};
            socket->write(TestServer::response(times->size() < 3 ? 503 : 200, headers, "keep"));
            socket->disconnectFromHost();
        });
        FetchSettings settings = quick(cap);
        settings.retries = 2;
        settings.perHostDelay = 300ms;
        CurlPageFetcher fetcher(settings);
        QCOMPARE(fetch(fetcher, m_plain->url("/busy")).kind, E::None);
        QCOMPARE(times->size(), 3);
        QVERIFY2((*times)[1] - (*times)[0] >= 300 && (*times)[2] - (*times)[1] >= 1000,
                 qPrintable(QString::number((*times)[2])));
        settings.retries = 1;
        CurlPageFetcher once(settings);
        times->clear();
        QCOMPARE(fetch(once, m_plain->url("/busy")).httpStatus, 503);
        QCOMPARE(times->size(), 2);
    }

    // Over HTTP/2 a host's pages share one connection, many at a time, and the
    // connection outlives the run; an HTTP/1.1 host in the same run keeps to
    // six; a server that ends its connection midway costs no page.
    void http2_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<int>("version");
        QTest::addColumn<int>("minPeak");
        QTest::addColumn<int>("maxPeak");
        QTest::addColumn<bool>("oneConnection");
        QTest::newRow("HTTP/2") << QStringList{"--delay-ms", "200"} << 20 << 20 << 32 << true;
        QTest::newRow("GOAWAY after 7 pages")
            << QStringList{"--goaway-after", "7"} << 20 << 1 << 32 << false;
        QTest::newRow("HTTP/1.1 over TLS")
            << QStringList{"--alpn", "http/1.1", "--delay-ms", "100"} << 11 << 0 << 0 << false;
    }
    void http2()
    {
        QFETCH(QStringList, options);
        QFETCH(int, version);
        QFETCH(int, minPeak);
        QFETCH(int, maxPeak);
        QFETCH(bool, oneConnection);
        quint16 port = 0;
        const auto server = startHttp2(options, port);
        if (!server)
            QSKIP("no HTTP/2 test server (Debian's python3-h2)");
        const auto load = std::make_shared<std::pair<int, int>>();
        m_plain->route("/h1", [load](QTcpSocket *socket, const QByteArray &) {
            load->second = std::max(load->second, ++load->first);
            QTimer::singleShot(100, socket, [load, socket] {
                --load->first;
                socket->write(TestServer::response(200, {}, "keep h1"));
                socket->disconnectFromHost();
            });
        });
        FetchSettings settings = quick(cap);
        settings.caFile = m_certificate;
        CurlPageFetcher fetcher(settings);
        QStringList sites, rows;
        for (int i = 0; i < 60; ++i) {
            sites << QStringLiteral("https://127.0.0.1:%1/page/%2").arg(port).arg(i);
            rows << sites.last() + ",keep /page/" + QString::number(i);
            if (i % 5 == 0) {
                sites << m_plain->url(QStringLiteral("/h1?%1").arg(i));
                rows << sites.last() + ",keep h1";
            }
        }
        QCOMPARE(runOver(fetcher, sites), rows);
        QCOMPARE(runOver(fetcher, sites.mid(0, 6)), rows.mid(0, 6));
        const FetchResult stats =
            fetch(fetcher, QStringLiteral("https://127.0.0.1:%1/stats").arg(port));
        QCOMPARE(stats.httpVersion, version);
        const QJsonObject counts = QJsonDocument::fromJson(stats.text.toUtf8()).object();
        qInfo() << counts;
        QVERIFY(counts["peak_streams"].toInt() >= minPeak &&
                counts["peak_streams"].toInt() <= maxPeak);
        QCOMPARE(counts["connections"].toInt() == 1, oneConnection);
        QCOMPARE(load->second, 6);
    }

    // A host that never takes a connection is given up after three tries, and
    // costs its connect timeout once, while another host's pages go on.
    void deadHostCostsOneWait()
    {
        DeadPort dead;
        FetchSettings settings = quick(cap);
        settings.connectTimeout = 1s;
        CurlPageFetcher fetcher(settings);
        QCOMPARE(fetch(fetcher, QStringLiteral("http://127.0.0.1:%1/").arg(dead.port)).kind,
                 E::NoAnswer);
        QStringList sites;
        for (int i = 0; i < 24; ++i)
            sites << QStringLiteral("http://127.0.0.1:%1/%2").arg(dead.port).arg(i);
        sites << m_plain->url("/page");
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(runOver(fetcher, sites), QStringList{m_plain->url("/page") + ",keep hostile"});
        QVERIFY2(clock.elapsed() < 1800, qPrintable(QString::number(clock.elapsed())));
    }
};

QTEST_GUILESS_MAIN(TestFetcher)
#include "tst_fetcher.moc"
