// The fetcher against one catalogue of server behaviours, good and hostile,
// plain and over TLS, which then drives one whole run past every bad site.
#include "extraction/ExtractionRun.h"
#include "extraction/SiteSource.h"
#include "platform/CurlPageFetcher.h"
#include "platform/RetryPolicy.h"
#include "platform/TextDecoding.h"
#include "platform/Utf8Validation.h"
#include "results/ResultList.h"
#include "support/Checks.h"
#include "support/Fakes.h"
#include "support/TestServer.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QStringEncoder>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <random>

using namespace std::chrono_literals;
using E = FetchError;

namespace {

constexpr qint64 cap = 1 << 20;
const QByteArray bait = "keep hostile\n"; // any of it passing as a page would show as rows
// A page's start too short to tell its charset by, then the rest after a pause.
const QByteArray paused[2] = {QByteArray("l\xC3\xAEne\n").repeated(150),
                              QByteArray("l\xC3\xAEne\n").repeated(200)};

enum Flags
{
    Untrusted = 1, // fetched without trusting the test certificate
    NotInRun = 2,  // fails only for the catalogue's small cap
    Early = 4      // its first text comes well before its end
};

struct Behaviour
{
    const char *name;
    const char *address; // $p, $t: the plain and TLS servers; $P, $T: their ports
    FetchError kind;     // None: fetched
    int flags = 0;
};

// clang-format off
const Behaviour behaviours[] = {
    {"plain page", "$p/page", E::None}, {"no content", "$p/204", E::None},
    {"trusted certificate", "$t/page", E::None}, {"gzip, two members", "$p/gzip-members", E::None},
    {"deflate, zlib", "$p/zlib", E::None}, {"deflate, raw", "$p/raw-deflate", E::None},
    {"at the cap", "$p/at-cap", E::None}, {"equal lengths", "$p/equal-lengths", E::None},
    {"ten redirects", "$p/hop/1", E::None}, {"eleven redirects", "$p/hop/0", E::RedirectRefused},
    {"over the cap", "$p/over-cap", E::TooLarge, NotInRun},
    {"over the cap, until close", "$p/huge", E::TooLarge, NotInRun}, {"gzip bomb", "$p/gzip-bomb", E::TooLarge},
    {"raw deflate as gzip", "$p/not-gzip", E::Malformed}, {"deflate, one byte", "$p/deflate-byte", E::Malformed}, {"404", "$p/404", E::HttpStatus}, {"header flood", "$p/header-flood", E::Malformed},
    {"gzip as deflate", "$p/gzip-as-deflate", E::Malformed}, {"short lines, then a pause", "$p/pause", E::None, Early},
    {"redirect to ftp", "$p/to-ftp", E::RedirectRefused}, {"300 to an unusable address", "$p/300-bad", E::RedirectRefused},
    {"nobody listening", "http://127.0.0.1:1/", E::ConnectionRefused},
    {"reset midway", "$p/reset-mid-body", E::ConnectionReset}, {"never answers", "$p/stalled", E::TooSlow},
    {"a byte every half second", "$p/drip", E::TooSlow}, {"steady past the deadline", "$p/steady", E::TimedOut},
    {"short body", "$p/short", E::Malformed}, {"two lengths, longer last", "$p/lengths-longer-last", E::Malformed},
    {"length past 64 bits", "$p/huge-length", E::Malformed},
    {"chunks cut by a close", "$p/cut-chunked", E::Malformed},
    {"gzip without its trailer", "$p/gzip-cut", E::Malformed}, {"self-signed", "$t/page", E::Certificate, Untrusted},
    {"another name", "https://localhost:$T/page", E::Certificate},
    {"TLS never answered", "https://127.0.0.1:$P/stalled", E::NoAnswer},
    {"https to http after a hop", "$t/hop-to-plain", E::RedirectRefused},
    {"scheme only", "http://", E::InvalidAddress}, {"ftp address", "ftp://127.0.0.1/x", E::SchemeRefused},
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
    const QByteArray two = bait.repeated(2), chunked = "Transfer-Encoding: chunked";
    const auto redirect = [&](const QString &path, const QByteArray &to) {
        s.raw(path, TestServer::response(302, {"Location: " + to}, {}));
    };
    const auto encoded = [&](const QString &path, const QByteArray &body,
                             const QByteArray &coding = "gzip") {
        s.raw(path, TestServer::response(200, {"Content-Encoding: " + coding}, body));
    };
    s.page("/page", bait);
    for (int hop = 0; hop < 11; ++hop)
        redirect(QStringLiteral("/hop/%1").arg(hop), "/hop/" + QByteArray::number(hop + 1));
    s.page("/hop/11", bait);
    s.raw("/204", TestServer::response(204, {}, {}));
    encoded("/gzip-members", TestServer::deflate("keep ") + TestServer::deflate("two"));
    encoded("/zlib", TestServer::deflate(bait, 15), "deflate");
    encoded("/raw-deflate", TestServer::deflate(bait, -15), "Deflate");
    encoded("/not-gzip", TestServer::deflate(bait, -15));
    encoded("/deflate-byte", "x", "deflate");
    encoded("/gzip-as-deflate", TestServer::deflate(bait), "deflate");
    s.route("/pause", [](QTcpSocket *socket, const QByteArray &) {
        socket->write(head(200, {"Content-Type: text/html", "Content-Length: 2100"}) + paused[0]);
        QTimer::singleShot(2500, socket, [socket] { socket->write(paused[1]); });
    });
    s.raw("/300-bad", TestServer::response(300, {"Location: http://[::1"}, bait));
    s.page("/at-cap", QByteArray(cap, 'x'));
    s.page("/over-cap", QByteArray(cap + 1, 'x'));
    s.raw("/equal-lengths", head(200, {"Content-Length: 26", "Content-Length: 26"}) + two);
    s.raw("/huge", head(200, {}) + bait + QByteArray(2 * cap, 'a'));
    encoded("/gzip-bomb", TestServer::deflate(QByteArray(8 << 20, '\0')).repeated(256));
    s.raw("/header-flood",
          "HTTP/1.1 200 OK\r\n" + ("X-Flood: " + QByteArray(50, 'h') + "\r\n").repeated(8000));
    s.raw("/404", TestServer::response(404, {}, bait));
    redirect("/to-ftp", "ftp://127.0.0.1/keep");
    s.reset("/reset-mid-body", head(200, {chunked}) + chunk(bait) + "400\r\n" + two, 200);
    s.route("/stalled", [](QTcpSocket *, const QByteArray &) {});
    trickle(s, "/drip", head(200, {"Content-Length: 100"}), bait.repeated(10), 1, 500);
    const QByteArray piece = chunk(QByteArray(4096, 'a'));
    trickle(s, "/steady", head(200, {chunked}), piece, int(piece.size()), 40, true);
    s.raw("/short", head(200, {"Content-Length: 100"}) + bait);
    s.raw("/lengths-longer-last", head(200, {"Content-Length: 13", "Content-Length: 26"}) + two);
    s.raw("/huge-length", head(200, {"Content-Length: 99999999999999999999"}) + bait);
    s.raw("/cut-chunked", head(200, {chunked}) + chunk(bait));
    encoded("/gzip-cut", TestServer::deflate(bait.repeated(40)).chopped(8));
    redirect("/to-plain", plainBase.toUtf8() + "/page");
    redirect("/hop-to-plain", "/to-plain");
}

// Serves body 64 KiB at a time as the client takes it: what the client holds
// back stays unsent. *sent counts what went out.
void serveAsTaken(TestServer &server, const QString &path, const QByteArray &body, qint64 *sent)
{
    server.route(path, [=](QTcpSocket *socket, const QByteArray &) {
        socket->write(head(200, {"Content-Length: " + QByteArray::number(body.size())}));
        const auto at = std::make_shared<qsizetype>(0);
        const auto more = [=] {
            for (QByteArray piece; socket->bytesToWrite() < 65536 && *at < body.size();) {
                socket->write(piece = body.mid(*at, 65536));
                *at += piece.size();
                *sent += piece.size();
            }
        };
        QObject::connect(socket, &QTcpSocket::bytesWritten, socket, more);
        more();
    });
}

FetchSettings quick(qint64 bodyCap = cap)
{
    FetchSettings settings;
    settings.connectTimeout = settings.lowSpeedTime = 2s;
    settings.totalTimeout = 4s;
    settings.maxBodyBytes = bodyCap;
    return settings;
}

struct Fetched
{
    FetchResult result;
    QByteArray text;
    FetchResponse response; // as it was told
    int started = 0;        // responseStarted(), before any text
    bool textFirst = false; // text came before it
    qint64 firstTextMs = -1, endMs = -1;
};

// Reads every piece as it comes, and what is left once the reply finished.
void collect(FetchReply *reply, QHash<QString, Fetched> &into, const QString &name)
{
    QElapsedTimer clock;
    clock.start();
    const auto take = [=, &into] {
        Fetched &f = into[name];
        const QByteArray piece = reply->read();
        f.textFirst = f.textFirst || (!piece.isEmpty() && f.started == 0);
        if (!piece.isEmpty() && f.firstTextMs < 0)
            f.firstTextMs = clock.elapsed();
        f.text += piece;
    };
    QObject::connect(reply, &FetchReply::responseStarted, [=, &into] {
        ++into[name].started;
        into[name].response = reply->response();
    });
    QObject::connect(reply, &FetchReply::readyRead, take);
    QObject::connect(reply, &FetchReply::finished, [=, &into](const FetchResult &r) {
        take();
        into[name].result = r;
        into[name].endMs = clock.elapsed();
    });
}

Fetched fetch(PageFetcher &fetcher, const QString &url)
{
    const std::unique_ptr<FetchReply> reply = fetcher.fetch(url);
    QHash<QString, Fetched> got;
    collect(reply.get(), got, {});
    QSignalSpy done(reply.get(), &FetchReply::finished);
    return done.wait(20'000) ? got[{}] : Fetched();
}

// The rows of a with-text run over sites, each row led by its address.
QStringList runOver(PageFetcher &fetcher, const QStringList &sites, const QString &rule = "keep",
                    qint64 *stallMs = nullptr)
{
    TestRunHost host;
    host.rule = rule;
    host.setOptions(QStringLiteral("ie"));
    return runRows(Rule::WithText, fetcher, sites, host, stallMs);
}

} // namespace

class TestFetcher : public QObject
{
    Q_OBJECT

    QTemporaryDir m_certificates, m_temp;
    QString m_certificate, m_key;
    std::unique_ptr<TestServer> m_plain, m_tls;
    QHash<QString, Fetched> m_text, m_file; // by row name

    QString address(const Behaviour &b) const
    {
        return QString::fromLatin1(b.address)
            .replace("$p", m_plain->url({}))
            .replace("$t", m_tls->url({}))
            .replace("$P", QString::number(m_plain->port()))
            .replace("$T", QString::number(m_tls->port()));
    }

    // The HTTP/2 test server and its port, or none.
    std::unique_ptr<QProcess> startHttp2(const QStringList &options, quint16 &port)
    {
        auto server = std::make_unique<QProcess>();
        server->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        server->start(QFile::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3",
                      QStringList{QFINDTESTDATA("../support/h2server.py"), m_certificate, m_key} +
                          options);
        while (!server->canReadLine())
            if (!server->waitForReadyRead(10'000))
                return nullptr;
        port = quint16(server->readLine().split(' ').value(1).trimmed().toUInt());
        return server;
    }

private slots:
    void initTestCase()
    {
        qputenv("no_proxy", "*");
        // The system's messages in German, as a user's locale may have them.
        qputenv("LANGUAGE", "de");
        setlocale(LC_ALL, "C.UTF-8");
        const QString problem =
            TestServer::makeCertificate(m_certificates.path(), m_certificate, m_key);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        m_plain = std::make_unique<TestServer>();
        m_tls = std::make_unique<TestServer>(m_certificate, m_key);
        serveCatalogue(*m_plain, m_plain->url({}));
        serveCatalogue(*m_tls, m_plain->url({}));

        // Every row at once, as text and into a file.
        FetchSettings settings = quick();
        settings.maxConnections = settings.maxConnectionsPerHost = 1000;
        CurlPageFetcher untrusted(settings);
        settings.caFile = m_certificate;
        CurlPageFetcher trusted(settings);
        std::vector<std::unique_ptr<FetchReply>> replies;
        for (const Behaviour &b : behaviours) {
            CurlPageFetcher &fetcher = b.flags & Untrusted ? untrusted : trusted;
            const QString url = address(b);
            replies.push_back(fetcher.fetch(url));
            collect(replies.back().get(), m_text, b.name);
            replies.push_back(fetcher.downloadToFile(url, m_temp.filePath(b.name)));
            collect(replies.back().get(), m_file, b.name);
        }
        const auto done = [](const QHash<QString, Fetched> &all) {
            return std::count_if(all.begin(), all.end(), [](const Fetched &f) {
                return f.result.kind != E::None || f.result.ok;
            });
        };
        QTRY_COMPARE_WITH_TIMEOUT(done(m_text) + done(m_file), qsizetype(replies.size()), 30'000);
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
        const QString tag = QString::fromLatin1(QTest::currentDataTag());
        const FetchResult text = m_text[tag].result, file = m_file[tag].result;
        QVERIFY2(text.kind == kind && file.kind == kind, qPrintable(text.error));
        QCOMPARE(text.ok, kind == E::None);
        QCOMPARE(text.error.isEmpty(), text.ok);
        if (text.ok || kind == E::HttpStatus) {
            QCOMPARE(text.httpVersion, 11);
            QCOMPARE(text.httpStatus, text.ok ? (tag == "no content" ? 204 : 200) : 404);
        }
        // What answered is told once, before any text, and is what finished.
        for (const Fetched &f : {m_text[tag], m_file[tag]}) {
            QVERIFY(!f.textFirst && f.started <= 1);
            QCOMPARE(f.started, f.result.ok ? 1 : f.started * (f.result.httpStatus / 100 == 2));
            if (f.started)
                QCOMPARE(f.response.finalUrl + ' ' + QString::number(f.response.httpStatus),
                         f.result.finalUrl + ' ' + QString::number(f.result.httpStatus));
        }
        if (tag == "plain page")
            QCOMPARE(m_text[tag].response.contentType, "text/plain; charset=utf-8");
        const QHash<QString, QByteArray> pages{
            {"no content", ""},
            {"gzip, two members", "keep two"},
            {"at the cap", QByteArray(cap, 'x')},
            {"equal lengths", bait + bait},
            {"short lines, then a pause", paused[0] + paused[1]}};
        const Behaviour &b = *std::find_if(std::begin(behaviours), std::end(behaviours),
                                           [&](const Behaviour &b) { return tag == b.name; });
        if (b.flags & Early) // the charset is settled from what came, well before the end
            QVERIFY2(
                m_text[tag].firstTextMs >= 0 && m_text[tag].firstTextMs < m_text[tag].endMs - 600,
                qPrintable(
                    QStringLiteral("%1 %2").arg(m_text[tag].firstTextMs).arg(m_text[tag].endMs)));
        if (text.ok) {
            QVERIFY2(text.finalUrl.endsWith(tag == "ten redirects" ? "/hop/11" : b.address + 2),
                     qPrintable(text.finalUrl));
            QCOMPARE(m_text[tag].text, pages.value(tag, bait));
            QCOMPARE(readAll(m_temp.filePath(tag)), m_text[tag].text);
        }
    }

    // A reply nobody reads pauses its transfer; a run over pages far larger
    // than its budget all together reads ahead only within it, and its rows
    // for every rule are those of the whole pages, cut anywhere.
    void pagesInPiecesWithinBudget()
    {
        QByteArray block = "<b>v\u00FC N</b> keep \u00E9\u20AC N\n" + QByteArray(65536, 'x') + "\n";
        QByteArray page;
        QStringList lines, values;
        for (int n = 0; n < 256; ++n) {
            page += QByteArray(block).replace("N", QByteArray::number(n));
            lines << QString::fromUtf8(page.sliced(page.lastIndexOf("<b>")).chopped(65538));
            values << QStringLiteral("v\u00FC %1").arg(n);
        }
        qint64 sent = 0;
        serveAsTaken(*m_plain, "/big", page, &sent);
        FetchSettings patient; // however slowly a sanitized build reads the pages
        patient.maxBodyBytes = 64 << 20;
        CurlPageFetcher fetcher(patient);
        const std::unique_ptr<FetchReply> unread = fetcher.fetch(m_plain->url("/big"));
        // Nor is a compressed page inflated past the limit, whatever its ratio,
        // and it goes on as it is read.
        const QByteArray plain = QByteArray("keep a line\n").repeated(4 << 20);
        m_plain->raw("/inflating", TestServer::response(200, {"Content-Encoding: gzip"},
                                                        TestServer::deflate(plain)));
        CurlPageFetcher inflater(patient);
        const std::unique_ptr<FetchReply> inflating = inflater.fetch(m_plain->url("/inflating"));
        QTest::qWait(1000);
        QVERIFY2(sent < page.size() / 2, qPrintable(QString::number(sent)));
        QCOMPARE(fetch(fetcher, m_plain->url("/big")).text, page);
        qint64 most = 0, inflated = 0;
        const auto drain = [&] {
            const qint64 piece = inflating->read().size();
            most = std::max(most, piece);
            inflated += piece;
        };
        drain();
        connect(inflating.get(), &FetchReply::readyRead, drain);
        QSignalSpy inflatedAll(inflating.get(), &FetchReply::finished);
        QVERIFY(inflatedAll.wait(20'000));
        drain();
        QCOMPARE(inflated, plain.size());
        QVERIFY2(most < FetchReply::unreadLimit + 64 * 1024, qPrintable(QString::number(most)));

        // The first page comes late: meanwhile the others arrive as fast as they can.
        m_plain->slow("/late", 1500, "keep late");
        QStringList sites{m_plain->url("/late")}, with{sites[0] + ",keep late"};
        for (int i = 0; i < 12; ++i)
            for (const QString &line : lines)
                with << (sites << m_plain->url(QStringLiteral("/big?%1").arg(i))).last() + ',' +
                            line;
        sites.removeDuplicates();
        const qint64 before = peakMiB();
        QCOMPARE(runOver(fetcher, sites, "KEEP"), with);
        QVERIFY2(peakMiB() - before < 128, qPrintable(QString::number(peakMiB() - before)));
        TestRunHost host;
        host.setTexts("<b>|</b>");
        QCOMPARE(runRows(Rule::Between, fetcher, sites, host), values);
        // The between rule holds its page twice over, as UTF-16.
        QVERIFY2(peakMiB() - before < 224, qPrintable(QString::number(peakMiB() - before)));
        host.setTexts("xxx");
        QCOMPARE(runRows(Rule::WithoutText, fetcher, sites.mid(1, 2), host), lines + lines);
        // The rule reads a page as it arrives: a page near the budget is never
        // held whole (the server's copy is there already).
        QByteArray huge;
        for (int n = 0; n < 48 * 1024; ++n)
            huge += QByteArray(1023, n == 30'000 ? 'k' : 'x') + '\n';
        huge.replace(30'000 * 1024, 4, "keep");
        serveAsTaken(*m_plain, "/larger-than-budget", huge, &sent);
        peakMiBSinceLast();
        const qint64 held = peakMiBSinceLast();
        const QString large = m_plain->url("/larger-than-budget");
        QCOMPARE(runOver(fetcher, {large}, "KEEP"),
                 QStringList({large, large + ',' + huge.sliced(30'000 * 1024, 1023)}));
        const qint64 peak = peakMiBSinceLast();
        QVERIFY2(peak - held < 16, qPrintable(QString::number(peak - held)));
    }

    // Whether a failure is tried again, and after how long: Retry-After as
    // seconds or a date, else 1 s doubling, never beyond the 60 s cap.
    void retryPolicy_data()
    {
        QTest::addColumn<FetchError>("kind");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("tries");
        QTest::addColumn<QByteArray>("after"); // "-": no Retry-After
        QTest::addColumn<bool>("reused");
        QTest::addColumn<int>("waitMs"); // -1: given up, -2: at once, on a new connection
        // clang-format off
        QTest::newRow("huge Retry-After") << E::HttpStatus << 503 << 0 << QByteArray("9223372036854776") << false << 60'000;
        QTest::newRow("Retry-After past 64 bits") << E::HttpStatus << 429 << 0 << QByteArray("99999999999999999999999") << false << 60'000;
        QTest::newRow("Retry-After seconds") << E::HttpStatus << 503 << 2 << QByteArray(" 5 ") << false << 5'000;
        QTest::newRow("Retry-After date passed") << E::HttpStatus << 503 << 0 << QByteArray("Wed, 21 Oct 2015 07:28:00 GMT") << false << 0;
        QTest::newRow("Retry-After unreadable") << E::HttpStatus << 503 << 1 << QByteArray("soon") << false << 2'000;
        QTest::newRow("reset, doubling") << E::ConnectionReset << 0 << 2 << QByteArray("-") << false << 4'000;
        QTest::newRow("back-off capped") << E::TimedOut << 0 << 9 << QByteArray("-") << false << 60'000;
        QTest::newRow("tries used up") << E::TooSlow << 0 << 10 << QByteArray("-") << false << -1;
        QTest::newRow("404") << E::HttpStatus << 404 << 0 << QByteArray("1") << false << -1;
        QTest::newRow("cut off on a kept connection") << E::Malformed << 0 << 0 << QByteArray("-") << true << -2;
        // clang-format on
    }
    void retryPolicy()
    {
        QFETCH(FetchError, kind);
        QFETCH(int, status);
        QFETCH(int, tries);
        QFETCH(QByteArray, after);
        QFETCH(bool, reused);
        QFETCH(int, waitMs);
        const RetryCase failure{kind, status, tries, 0, reused, after != "-", after};
        const QDateTime now = QDateTime::fromString("2026-01-01T00:00:00Z", Qt::ISODate);
        const RetryDecision decision = decideRetry(failure, 10, 60s, now);
        QCOMPARE(decision.what == RetryDecision::GiveUp      ? -1
                 : decision.what == RetryDecision::Reconnect ? -2
                                                             : int(decision.wait.count()),
                 waitMs);
    }

    // The charset of the header, else a byte-order mark, else a <meta> in the
    // first 1024 bytes, else UTF-8 when valid, else windows-1252; in 7-byte
    // pieces, and given to the decoder in two pieces cut anywhere. A sequence
    // cut by the end is U+FFFD.
    void pageTexts_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArray>("type");
        QTest::addColumn<QString>("text");
        const QByteArray cafe = "caf\xC3\xA9", meta = "<meta charset=\"KOI8-R\">";
        const QString café = QStringLiteral("caf\u00E9"), metaText = QString::fromLatin1(meta);
        const QByteArray emoji = QByteArray("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80").repeated(120);
        const QByteArray content = "<meta content='text/html;charset=koi8-r'";
        const QByteArray equiv = content + " http-equiv=' Content-Type'>";
        const QString smile = QStringLiteral("a\U0001F600\u00E9").repeated(300), ab = "ab";
        const auto in = [](const char *charset, const QString &text) -> QByteArray {
            return QStringEncoder(charset)(text);
        };
        const QString japanese = QStringLiteral("\u65E5\u672C\u8A9E\u306E\u30C6\u30AD\u30B9\u30C8");
        // clang-format off
        QTest::newRow("windows-1252, undefined bytes as browsers read them") << QByteArray("\x80\x81\x8D\x8F\x90\x9D\x9F\xE9") << QByteArray("text/plain; charset=windows-1252") << QStringLiteral("\u20AC\u0081\u008D\u008F\u0090\u009D\u0178\u00E9");
        QTest::newRow("header wins over meta") << meta + cafe << QByteArray("text/html; charset=utf-8") << metaText + café;
        QTest::newRow("unknown header label, then meta") << meta + "\xC1" << QByteArray("text/html; charset=bogus") << metaText + "\u0430";
        QTest::newRow("utf-8 mark dropped, wins over meta") << "\xEF\xBB\xBF" + meta + cafe << QByteArray() << metaText + café;
        QTest::newRow("utf-8 mark under a windows-1252 header is text") << "\xEF\xBB\xBF" + cafe << QByteArray("text/plain; charset=windows-1252") << QStringLiteral("\u00EF\u00BB\u00BFcaf\u00C3\u00A9");
        QTest::newRow("meta http-equiv") << equiv + "\xC1" << QByteArray() << QString::fromLatin1(equiv) + "\u0430";
        QTest::newRow("meta/, not metadata") << QByteArray("<metadata charset=iso-8859-5><meta/charset=koi8-r>\xC1") << QByteArray() << "<metadata charset=iso-8859-5><meta/charset=koi8-r>\u0430";
        QTest::newRow("meta content alone") << content + ">\xC1" << QByteArray() << QString::fromLatin1(content) + ">\u00C1";
        QTest::newRow("meta past 1024 bytes") << QByteArray(1100, ' ') + meta + cafe << QByteArray() << QString(1100, u' ') + metaText + café;
        QTest::newRow("valid utf-8") << emoji << QByteArray("text/html") << QString::fromUtf8(emoji);
        QTest::newRow("bytes not utf-8 among utf-8") << emoji + "\xE9\xC3" + emoji + "\xF0\x9F" << QByteArray() << QString::fromUtf8(emoji) + "\u00E9\u00C3" + QString::fromUtf8(emoji) + "\u00F0\u0178";
        QTest::newRow("utf-8 named, last sequence cut") << QByteArray("caf\xC3\xA9\xE2\x82") << QByteArray("text/plain; charset=utf-8") << café + "\uFFFD";
        QTest::newRow("utf-16le, pairs cut anywhere") << in("utf-16le", smile) << QByteArray("text/plain; charset=utf-16le") << smile;
        QTest::newRow("utf-16be by its mark") << "\xFE\xFF" + in("utf-16be", smile) << QByteArray() << smile;
        QTest::newRow("utf-16le by its mark, a byte cut off") << "\xFF\xFE" + in("utf-16le", ab) + "\x3D" << QByteArray() << ab + "\uFFFD";
        QTest::newRow("utf-16, a pair cut off") << in("utf-16le", ab) + "\x3D\xD8" << QByteArray("text/html; charset=utf-16") << ab + "\uFFFD";
        QTest::newRow("utf-16be, unpaired surrogates") << QByteArray("\xD8\x3D\x00" "a\xDC\x00\x00" "b", 8) << QByteArray("text/html; charset=utf-16be") << "\uFFFDa\uFFFDb";
        QTest::newRow("shift_jis, cut anywhere and at the end") << in("shift_jis", japanese.repeated(80)) + "\x93" << QByteArray("text/plain; charset=shift_jis") << japanese.repeated(80) + "\uFFFD";
        // clang-format on
    }
    void pageTexts()
    {
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, type);
        QFETCH(QString, text);
        const QByteArray typeLine = type.isEmpty() ? "X: y" : "Content-Type: " + type;
        trickle(*m_plain, "/text", head(200, {typeLine}), body, 7, 1);
        CurlPageFetcher fetcher(quick());
        QCOMPARE(QString::fromUtf8(fetch(fetcher, m_plain->url("/text")).text), text);
        for (qsizetype cut = 0; cut <= body.size(); ++cut) {
            PageTextDecoder decoder;
            decoder.setContentType(type);
            QByteArray got = decoder.decode(body.first(cut), false);
            got += decoder.decode(body.sliced(cut), true);
            QVERIFY2(QString::fromUtf8(got) == text, qPrintable(QString::number(cut)));
        }
    }

    // The fast check against Qt's on text with a fault of every kind at every
    // place of a block: each code point range's edges, then one byte changed,
    // dropped or cut off.
    void utf8Check()
    {
        const QList<char32_t> edges{0x7F,     0x80,     0x7FF,  0x800,   0xFFF,   0x1000,  0xD7FF,
                                    0xE000,   0xFFFD,   0xFFFF, 0x10000, 0x3FFFF, 0x40000, 0xFFFFF,
                                    0x100000, 0x10FFFF, u'a',   0x2028,  0x1F600};
        const QByteArray odd(
            "\x80\x8F\x90\x9F\xA0\xBF\xC0\xC1\xC2\xDF\xE0\xED\xEF\xF0\xF4\xF5\xFF\x00", 18);
        std::minstd_rand draw(7);
        int valid = 0;
        for (int round = 0; round < 20000; ++round) {
            QByteArray text;
            while (text.size() < 40 + round % 140)
                text += QString::fromUcs4(&edges[draw() % edges.size()], 1).toUtf8();
            const qsizetype at = draw() % text.size();
            switch (round % 4) {
            case 1:
                text[at] = odd[draw() % odd.size()];
                break;
            case 2:
                text.remove(at, 1);
                break;
            case 3:
                text.truncate(at + 64);
                break;
            }
            valid += QByteArrayView(text).isValidUtf8();
            QCOMPARE(isValidUtf8(text), QByteArrayView(text).isValidUtf8());
        }
        QVERIFY(valid > 5000 && valid < 15000);
    }

    // A page broken off midway is tried again while its reader has not
    // committed to it: the reader hears of the fresh start before any of its
    // text, and has the whole page once. A reader that does not listen for
    // fresh starts commits to what it read.
    void retryAfterPartOfPage_data()
    {
        QTest::addColumn<QString>("reader"); // listens, commits, hesitates, deaf, late, file
        QTest::addColumn<FetchError>("kind");
        QTest::newRow("listens for a fresh start: the whole page once") << "listens" << E::None;
        QTest::newRow("committed: fails, saying so") << "commits" << E::ConnectionReset;
        QTest::newRow("committed as a fresh start began: fails") << "hesitates" << E::TooSlow;
        QTest::newRow("deaf to fresh starts: fails") << "deaf" << E::ConnectionReset;
        QTest::newRow("read at the end: the whole page once") << "late" << E::None;
        QTest::newRow("into a file: the whole page once") << "file" << E::None;
    }
    void retryAfterPartOfPage()
    {
        QFETCH(QString, reader);
        QFETCH(FetchError, kind);
        const bool whole = kind == E::None;
        const QByteArray page = bait.repeated(8000).first(100'000);
        const QString path = "/flaky/" + reader;
        const auto tries = std::make_shared<int>(0);
        m_plain->route(path, [=](QTcpSocket *socket, const QByteArray &) {
            if (++*tries > 1)
                return void(socket->write(TestServer::response(200, {}, page)));
            // Once its charset was settled from them, the first 7 bytes are text.
            socket->write(head(200, {"Content-Length: 100000"}) + page.first(7));
            socket->flush();
            if (kind != E::TooSlow)
                QTimer::singleShot(900, socket, [socket] { TestServer::resetConnection(socket); });
        });
        FetchSettings settings = quick();
        settings.retries = 1;
        CurlPageFetcher fetcher(settings);
        const QString file = m_temp.filePath("flaky");
        const std::unique_ptr<FetchReply> reply =
            reader == "file" ? fetcher.downloadToFile(m_plain->url(path), file)
                             : fetcher.fetch(m_plain->url(path));
        QByteArray text;
        int started = 0, restarts = 0;
        connect(reply.get(), &FetchReply::responseStarted, [&] { ++started; });
        if (reader == "listens" || reader == "commits" || reader == "hesitates")
            connect(reply.get(), &FetchReply::restarted, [&] { ++restarts, text.clear(); });
        if (reader != "late")
            connect(reply.get(), &FetchReply::readyRead, [&] {
                text += reply->read();
                if (text.isEmpty() || (reader != "commits" && reader != "hesitates"))
                    return;
                // Meanwhile the stalled page is given up on and starts afresh,
                // unknown to this reader until it commits.
                if (reader == "hesitates")
                    QTest::qSleep(4000);
                reply->setRestartable(false);
            });
        QSignalSpy done(reply.get(), &FetchReply::finished);
        QVERIFY(done.wait(10'000));
        const FetchResult result = done.first().first().value<FetchResult>();
        text += reply->read();
        QCOMPARE(result.kind, kind);
        QCOMPARE(result.restartRefused, !whole);
        if (reader != "hesitates") // it may have asked again by then
            QCOMPARE(*tries, whole ? 2 : 1);
        QCOMPARE(started, whole ? 2 : 1);
        QCOMPARE(restarts, reader == "listens");
        QCOMPARE(reader == "file" ? readAll(file) : text, whole ? page : page.first(7));
    }

    // A page sent slowly shows its rows while it arrives, and keeps them
    // should it break off after they showed.
    void slowPageShowsRowsAsTheyCome_data()
    {
        QTest::addColumn<QByteArray>("length");
        QTest::newRow("whole") << QByteArray("4000");
        QTest::newRow("breaks off") << QByteArray("4999");
    }
    void slowPageShowsRowsAsTheyCome()
    {
        QFETCH(QByteArray, length);
        QByteArray page;
        QStringList lines;
        for (int n = 10; n < 30; ++n)
            lines << QString::fromLatin1(
                         page.append("keep " + QByteArray(194, char(n + 'A')) + '\n').right(200))
                         .trimmed();
        const QString path = "/slow" + length;
        trickle(*m_plain, path, head(200, {"Content-Length: " + length}), page, 200, 100);
        CurlPageFetcher fetcher(quick());
        SiteList list;
        list.append({m_plain->url(path)});
        SiteListSource source(list);
        ResultList results;
        TestRunHost host;
        host.setTexts("keep");
        ExtractionRun run(Rule::WithText, source, results, fetcher, host);
        QSignalSpy finished(&run, &QueuedJob::finished);
        QElapsedTimer clock;
        clock.start();
        run.start();
        QTRY_VERIFY_WITH_TIMEOUT(results.count() > 0, 5000);
        const qint64 firstRow = clock.elapsed();
        QVERIFY(!finished.isEmpty() || finished.wait(10'000));
        QVERIFY2(firstRow < 1200 && clock.elapsed() > 1800,
                 qPrintable(QStringLiteral("%1 %2").arg(firstRow).arg(clock.elapsed())));
        QCOMPARE(results.texts(), lines);
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
            const QString good = m_plain->url(QStringLiteral("/good?%1").arg(sites.size()));
            sites << address(b) << good;
            expected << good + ",keep a" << good + ",keep b";
        }
        m_plain->page("/good", "keep a\nskip\nkeep b\n");
        const qint64 before = peakMiB();
        qint64 stall = 0;
        QCOMPARE(runOver(fetcher, sites, "KEEP", &stall), expected);
        QVERIFY2(stall < 1000, qPrintable(QString::number(stall)));
        QVERIFY2(peakMiB() - before < 256, qPrintable(QString::number(peakMiB() - before)));
    }

    // An abandoned transfer closes its connection and reports nothing, even
    // when its result was on its way; destroying the fetcher ends everything at once.
    void abandonAndDestroy()
    {
        const auto held = std::make_shared<std::pair<int, int>>(); // asked for, closed
        m_plain->route("/held", [held](QTcpSocket *socket, const QByteArray &) {
            ++held->first;
            QObject::connect(socket, &QTcpSocket::disconnected, [held] { ++held->second; });
        });
        auto fetcher = std::make_unique<CurlPageFetcher>(); // the real, long deadlines
        std::unique_ptr<FetchReply> answered = fetcher->fetch(m_plain->url("/answered"));
        QSignalSpy late(answered.get(), &FetchReply::finished);
        m_plain->route("/answered", [&](QTcpSocket *socket, const QByteArray &) {
            socket->write(TestServer::response(200, {}, "x"));
            socket->disconnectFromHost();
            QTest::qSleep(300); // the result is posted meanwhile
            answered->abort();
        });
        std::unique_ptr<FetchReply> reply = fetcher->fetch(m_plain->url("/held"));
        fetcher->fetch(QStringLiteral("http://")); // a failure on its way, dropped
        QTRY_COMPARE(held->first, 1);
        reply.reset();
        QTRY_COMPARE_WITH_TIMEOUT(held->second, 1, 2000);
        QCOMPARE(fetch(*fetcher, m_plain->url("/page")).result.kind, E::None);
        QCOMPARE(late.count(), 0);
        reply = fetcher->fetch(m_plain->url("/held"));
        QTRY_COMPARE(held->first, 2);
        QElapsedTimer clock;
        clock.start();
        fetcher.reset();
        QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
        QTRY_COMPARE_WITH_TIMEOUT(held->second, 2, 2000);
    }

    // A host's room is taken while its page is under way and given back when
    // the page ends, however the fetcher learnt of the transfers in between.
    void roomFollowsTransfers()
    {
        m_plain->route("/hold", [](QTcpSocket *, const QByteArray &) {});
        FetchSettings settings = quick();
        settings.maxConnectionsPerHost = 1;
        CurlPageFetcher fetcher(settings);
        const QString held = m_plain->url("/hold");
        std::unique_ptr<FetchReply> reply = fetcher.fetch(held);
        QVERIFY(!fetcher.hasRoomFor(held));
        TestServer other;
        other.page("/page", "x");
        QCOMPARE(fetch(fetcher, other.url("/page")).result.kind, E::None);
        QVERIFY(!fetcher.hasRoomFor(held));
        reply.reset();
        QTRY_VERIFY(fetcher.hasRoomFor(held));
        QCOMPARE(fetch(fetcher, held.chopped(4) + "page").result.kind, E::None);
        QTRY_VERIFY(fetcher.hasRoomFor(held));
    }

    // Over HTTP/2 a host's pages share one connection that outlives the run;
    // an HTTP/1.1 host (each port one) keeps to six; a GOAWAY midway costs no
    // page; a connection is free for another host once its pages ended, and
    // taken again only when there is room.
    void http2_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<int>("minPeak");
        QTest::addColumn<bool>("oneConnection");
        QTest::addColumn<int>("connections"); // in all
        QTest::addColumn<int>("h1Peak");      // of both HTTP/1.1 ports
        QTest::newRow("HTTP/2") << QStringList{"--delay-ms", "200"} << 32 << true << 16 << 12;
        QTest::newRow("GOAWAY after 7 pages")
            << QStringList{"--goaway-after", "7"} << 1 << false << 16 << 12;
        QTest::newRow("one connection in turn") << QStringList() << 1 << false << 1 << 2;
    }
    void http2()
    {
        QFETCH(QStringList, options);
        QFETCH(int, minPeak);
        QFETCH(bool, oneConnection);
        QFETCH(int, connections);
        QFETCH(int, h1Peak);
        quint16 port = 0;
        const auto server = startHttp2(options, port);
        if (!server)
            QSKIP("no HTTP/2 test server (Debian's python3-h2)");
        TestServer h1[2]; // one name, two ports; slow, so both fill once HTTP/2 frees connections
        for (TestServer &server : h1)
            server.slow("/h1", 400, "keep h1");
        FetchSettings settings = quick();
        settings.caFile = m_certificate;
        settings.maxConnections = connections;
        CurlPageFetcher fetcher(settings);
        QStringList sites, rows;
        for (int i = 0; i < 32; ++i) { // all in the first round, known to share at the handshake
            sites << QStringLiteral("https://127.0.0.1:%1/page/%2").arg(port).arg(i);
            rows << sites.last() + ",keep /page/" + QString::number(i);
            if (i % 5 < 2)
                rows << (sites << h1[i % 5].url("/h1?" + QString::number(i))).last() + ",keep h1";
        }
        QCOMPARE(runOver(fetcher, sites), rows);
        QCOMPARE(runOver(fetcher, sites.mid(0, 6)), rows.mid(0, 6));
        const auto stats = fetch(fetcher, QStringLiteral("https://127.0.0.1:%1/stats").arg(port));
        QCOMPARE(stats.result.httpVersion, 20);
        const QJsonObject counts = QJsonDocument::fromJson(stats.text).object();
        QVERIFY2(counts["peak_streams"].toInt() >= minPeak && counts["peak_streams"].toInt() <= 32,
                 qPrintable(QString::number(counts["peak_streams"].toInt())));
        QCOMPARE(counts["connections"].toInt() == 1, oneConnection);
        QCOMPARE(h1[0].peakLoad() + h1[1].peakLoad(), h1Peak);
        if (connections == 1) { // the HTTP/2 host, its pages ended, waits for the one in use
            h1[0].route("/hold", [](QTcpSocket *, const QByteArray &) {});
            const std::unique_ptr<FetchReply> held = fetcher.fetch(h1[0].url("/hold"));
            QTRY_VERIFY(!fetcher.hasRoomFor(sites[0]));
        }
    }
};

QTEST_GUILESS_MAIN(TestFetcher)
#include "tst_fetcher.moc"
