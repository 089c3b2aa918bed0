// Whole runs over a site that misbehaves on purpose followed by a good one: the
// run must go on, the good site's rows must be exact, the bad one must add
// nothing it did not really deliver, and memory must stay bounded.
#include "extraction/ExtractionRun.h"
#include "platform/CurlPageFetcher.h"
#include "results/ResultList.h"
#include "sitelist/ExtractLinks.h"
#include "sitelist/SiteList.h"
#include "support/FakeUiServices.h"
#include "support/ProcessMemory.h"
#include "support/TestHttpServer.h"
#include "support/TestRunHost.h"
#include "support/TestTlsRelay.h"

#include <QDir>
#include <QElapsedTimer>
#include <QMap>
#include <QPointer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

using namespace std::chrono_literals;

namespace {

constexpr qint64 MiB = 1024 * 1024;
constexpr int runTimeoutMs = 60'000;
// Far above any slice of work; only a blocked event loop gets near it.
constexpr qint64 worstStallMs = 5'000;

constexpr qsizetype longLineFill = 50'000'000;
const QByteArray goodPage = "keep 1\nskip me\nkeep 2\n";
// Every body a hostile site sends holds lines the rule keeps, so any part of it
// that slipped through as a page would show up as rows.
const QByteArray hostileLine = "keep hostile\n";

QByteArray hostileBody(int lines = 40)
{
    return hostileLine.repeated(lines);
}

FetchSettings quickSettings()
{
    FetchSettings settings;
    settings.connectTimeout = 2s;
    settings.lowSpeedLimit = 100;
    // Short enough for a quick suite, long enough that a loaded machine does
    // not fail the good site.
    settings.lowSpeedTime = 2s;
    settings.totalTimeout = 4s;
    settings.maxBodyBytes = 16 * MiB;
    return settings;
}

// The longest time the event loop went without running a 20 ms timer.
class StallProbe
{
public:
    StallProbe()
    {
        m_clock.start();
        QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this] {
            const qint64 now = m_clock.elapsed();
            m_worst = std::max(m_worst, now - m_last);
            m_last = now;
        });
        m_timer.start(20);
    }
    qint64 worst() const { return std::max(m_worst, m_clock.elapsed() - m_last); }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    qint64 m_worst = 0;
};

QByteArray head(int status, const QList<QByteArray> &lines)
{
    QByteArray text = "HTTP/1.1 " + QByteArray::number(status) + " Whatever\r\n";
    for (const QByteArray &line : lines)
        text += line + "\r\n";
    return text + "Connection: close\r\n\r\n";
}

QByteArray chunk(const QByteArray &data)
{
    return QByteArray::number(data.size(), 16) + "\r\n" + data + "\r\n";
}

// A body made as it is sent: a prefix, then filler, handed to the socket as it
// drains (or one piece per tick when paced), so that the server never holds
// more than a small buffer however much it sends.
struct BodyStream
{
    QByteArray head;
    QByteArray prefix;
    QByteArray filler = "a"; // repeated
    qint64 length = 0;       // prefix included
    bool chunked = false;
    int paceMs = 0; // 0: as fast as the client reads
};

void serveStream(QTcpSocket *socket, const BodyStream &stream)
{
    socket->write(stream.head);
    auto sent = std::make_shared<qint64>(0);
    const QByteArray piece = stream.filler.repeated(64 * 1024 / stream.filler.size());
    QPointer<QTcpSocket> guarded(socket);
    const auto pump = [guarded, sent, stream, piece] {
        if (!guarded || guarded->state() != QAbstractSocket::ConnectedState)
            return;
        while (guarded->bytesToWrite() < 512 * 1024 && *sent < stream.length) {
            QByteArray data = *sent < stream.prefix.size()
                                  ? stream.prefix.mid(*sent)
                                  : piece.left(qMin<qint64>(piece.size(), stream.length - *sent));
            *sent += data.size();
            guarded->write(stream.chunked ? chunk(data) : data);
            if (stream.paceMs > 0)
                break;
        }
        if (*sent >= stream.length) {
            if (stream.chunked)
                guarded->write("0\r\n\r\n");
            guarded->disconnectFromHost();
        }
    };
    if (stream.paceMs > 0) {
        auto *timer = new QTimer(socket);
        QObject::connect(timer, &QTimer::timeout, socket, pump);
        timer->start(stream.paceMs);
    } else {
        QObject::connect(socket, &QTcpSocket::bytesWritten, socket, pump);
    }
    pump();
}

// Writes one line every intervalMs, forever.
void drip(QTcpSocket *socket, const QByteArray &first, const QByteArray &line, int intervalMs)
{
    socket->write(first);
    auto *timer = new QTimer(socket);
    QObject::connect(timer, &QTimer::timeout, socket, [socket, line] { socket->write(line); });
    timer->start(intervalMs);
}

// The gzip members of blockBytes zeros, repeated: about a thousandth of
// `inflated` on the wire.
QByteArray gzipBomb(qint64 inflated, qint64 blockBytes)
{
    const QByteArray member = TestHttpServer::gzip(QByteArray(blockBytes, '\0'));
    return member.repeated(inflated / blockBytes);
}

// Bytes without a line feed and without the letter k in either case.
QByteArray binaryNoise(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 state = 2463534242u;
    for (char &byte : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = char(state);
        if (byte == '\n' || byte == 'k' || byte == 'K')
            byte = '\0';
    }
    return bytes;
}

struct Outcome
{
    QStringList rows;
    QList<FetchResult> fetches; // in the order the sites were asked for
    QStringList statuses;
    bool busyAtEnd = true;
    qint64 worstStallMs = 0;
    qint64 peakGrowthKiB = 0;
};

} // namespace

class TestHostileServers : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void connectionFaults_data();
    void connectionFaults();
    void slowServers_data();
    void slowServers();
    void malformedAnswers_data();
    void malformedAnswers();
    void tls_data();
    void tls();
    void redirects_data();
    void redirects();
    void oversizedAnswers_data();
    void oversizedAnswers();
    void oddContent_data();
    void oddContent();
    void statusAnswers_data();
    void statusAnswers();
    void harvests_data();
    void harvests();
    void harvestOfAMillionLinks();

private:
    void addColumns();
    QString resolve(const QString &address);
    void runAgainst(const QString &hostile, const FetchSettings &settings, Outcome &outcome);
    void checkRun(const FetchSettings &settings, qint64 memoryBoundMiB = 0);

    std::unique_ptr<TestHttpServer> m_server;
    std::unique_ptr<QTcpServer> m_silent; // accepts and never says a word
    std::unique_ptr<TestTlsRelay> m_tls;
    QTemporaryDir m_certificates;
    QTemporaryDir m_tempFolder; // where harvests put their page files
    QString m_certificateFile;
    QString m_keyFile;
    QString m_tlsProblem;
};

void TestHostileServers::initTestCase()
{
    // A proxy configured on the machine must not see loopback traffic.
    qputenv("no_proxy", "127.0.0.1,localhost");
    qputenv("NO_PROXY", "127.0.0.1,localhost");
    ProcessMemory::fixMmapThreshold();
    QVERIFY(m_tempFolder.isValid());
    qputenv("TMPDIR", QFile::encodeName(m_tempFolder.path()));
    m_tlsProblem = TestTlsRelay::unavailableReason();
    if (m_tlsProblem.isEmpty())
        m_tlsProblem =
            TestTlsRelay::makeCertificate(m_certificates.path(), m_certificateFile, m_keyFile);
}

void TestHostileServers::init()
{
    m_server = std::make_unique<TestHttpServer>();
    QVERIFY(m_server->isListening());
    m_server->setPage("/good", goodPage, "text/plain; charset=utf-8");
    m_server->setPage("/hostile-page", hostileBody(1), "text/plain; charset=utf-8");
    m_silent = std::make_unique<QTcpServer>();
    QVERIFY(m_silent->listen(QHostAddress::LocalHost));
    if (m_tlsProblem.isEmpty()) {
        m_tls = std::make_unique<TestTlsRelay>(m_certificateFile, m_keyFile, m_server->port());
        QVERIFY(m_tls->isListening());
    }
}

void TestHostileServers::cleanup()
{
    m_tls.reset();
    m_silent.reset();
    m_server.reset();
}

// "/path" is on the plain server, "tls:/path" the same route through TLS
// ("tls-by-name:/path" by the name localhost, which the certificate lacks),
// "refused:" a port nobody listens on, "silent-tls:" an https address whose
// server accepts and then says nothing; anything else is used as it is.
QString TestHostileServers::resolve(const QString &address)
{
    if (address.startsWith(u'/'))
        return m_server->url(address);
    if (address.startsWith(QLatin1String("tls:")))
        return m_tls->url(address.mid(4));
    if (address.startsWith(QLatin1String("tls-by-name:")))
        return QStringLiteral("https://localhost:%1%2").arg(m_tls->port()).arg(address.mid(12));
    if (address == QLatin1String("silent-tls:"))
        return QStringLiteral("https://127.0.0.1:%1/").arg(m_silent->serverPort());
    if (address == QLatin1String("refused:")) {
        QTcpServer closed;
        if (!closed.listen(QHostAddress::LocalHost))
            return {};
        return QStringLiteral("http://127.0.0.1:%1/").arg(closed.serverPort());
    }
    return address;
}

void TestHostileServers::addColumns()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("fetchOk");
    QTest::addColumn<QString>("errorPart");       // in the failed fetch's reason; empty: any
    QTest::addColumn<QStringList>("hostileRows"); // "$H" stands for the hostile address
}

// Runs the with-text rule over [hostile, good] and waits for the queue to idle.
void TestHostileServers::runAgainst(const QString &hostile, const FetchSettings &settings,
                                    Outcome &outcome)
{
    SiteList sites;
    ResultList results;
    CurlPageFetcher fetcher(settings);
    // With both address options on, a site that delivered any page at all
    // leaves at least its address behind.
    TestRunHost host;
    host.rule = QStringLiteral("keep");
    host.include = true;
    host.evenIfNothing = true;
    RunQueue runs(sites, results, fetcher, host);
    // Pages are fetched ahead and may finish in any order; ids follow the list.
    QMap<quint64, FetchResult> byRequest;
    QObject::connect(&fetcher, &PageFetcher::finished,
                     [&](quint64 id, const FetchResult &result) { byRequest.insert(id, result); });
    QSignalSpy idle(&runs, &RunQueue::idle);
    sites.append(QStringList{hostile, m_server->url("/good")});

    ProcessMemory::startNewPeak();
    const qint64 before = ProcessMemory::residentKiB();
    StallProbe probe;
    runs.enqueue(Rule::WithText);
    // A real event loop: QTRY's polling would sleep between the turns a site takes.
    QVERIFY(idle.wait(runTimeoutMs));

    outcome.peakGrowthKiB = ProcessMemory::peakKiB() - before;
    outcome.worstStallMs = probe.worst();
    outcome.fetches = byRequest.values();
    outcome.rows = results.texts();
    outcome.statuses = host.statuses;
    outcome.busyAtEnd = host.busy;
}

void TestHostileServers::checkRun(const FetchSettings &settings, qint64 memoryBoundMiB)
{
    QFETCH(QString, address);
    QFETCH(bool, fetchOk);
    QFETCH(QString, errorPart);
    QFETCH(QStringList, hostileRows);

    const QString hostile = resolve(address);
    QVERIFY(!hostile.isEmpty());
    Outcome outcome;
    runAgainst(hostile, settings, outcome);
    if (QTest::currentTestFailed())
        return;

    const QString good = m_server->url("/good");
    QCOMPARE(outcome.fetches.size(), 2);
    const FetchResult &first = outcome.fetches.first();
    QVERIFY2(first.ok == fetchOk,
             qPrintable(QStringLiteral("ok=%1, error: %2").arg(first.ok).arg(first.error)));
    if (!fetchOk) {
        QVERIFY(!first.error.isEmpty());
        QVERIFY2(first.error.contains(errorPart, Qt::CaseInsensitive), qPrintable(first.error));
    }
    QVERIFY2(outcome.fetches.last().ok, qPrintable(outcome.fetches.last().error));

    QStringList expected;
    for (const QString &row : std::as_const(hostileRows)) {
        expected << QString(row).replace(QStringLiteral("$H"), hostile);
        // Made here, not in the data table, so that only this row pays for it.
        expected.last().replace(QStringLiteral("$LONG"), QString(longLineFill, u'a'));
    }
    expected << good + QStringLiteral(",keep 1") << good + QStringLiteral(",keep 2");
    QCOMPARE(outcome.rows, expected);

    QVERIFY(outcome.statuses.contains(QStringLiteral("Extracting from ") + hostile));
    QVERIFY(outcome.statuses.contains(QStringLiteral("Extracting from ") + good));
    QCOMPARE(outcome.statuses.last(), QStringLiteral("Done."));
    QVERIFY(!outcome.busyAtEnd);
    QVERIFY2(outcome.worstStallMs < worstStallMs,
             qPrintable(QString::number(outcome.worstStallMs)));
    if (memoryBoundMiB > 0 && ProcessMemory::measurable)
        QVERIFY2(outcome.peakGrowthKiB < memoryBoundMiB * 1024,
                 qPrintable(QStringLiteral("peak grew by %1 MiB, bound %2 MiB")
                                .arg(outcome.peakGrowthKiB / 1024)
                                .arg(memoryBoundMiB)));
}

void TestHostileServers::connectionFaults_data()
{
    addColumns();
    QTest::newRow("connection refused") << "refused:" << false << "connect" << QStringList();
    QTest::newRow("closed before any answer") << "/closed" << false << "" << QStringList();
    QTest::newRow("reset before the headers")
        << "/reset-at-once" << false << "reset" << QStringList();
    QTest::newRow("reset in the middle of the body")
        << "/reset-mid-body" << false << "reset" << QStringList();
    QTest::newRow("accepts and never answers")
        << "/stalled" << false << "too slow" << QStringList();
    QTest::newRow("TLS handshake that never answers")
        << "silent-tls:" << false << "" << QStringList();
}

void TestHostileServers::connectionFaults()
{
    m_server->setRaw("/closed", {});
    m_server->setReset("/reset-at-once");
    // Inside a chunk, late enough for the client to have read what came before.
    m_server->setReset("/reset-mid-body",
                       head(200, {"Transfer-Encoding: chunked"}) + chunk(hostileBody()) +
                           "400\r\n" + hostileBody(2),
                       200);
    m_server->setStalled("/stalled");
    checkRun(quickSettings());
}

void TestHostileServers::slowServers_data()
{
    addColumns();
    QTest::newRow("a byte every half second") << "/drip" << false << "too slow" << QStringList();
    QTest::newRow("header lines that trickle")
        << "/header-drip" << false << "too slow" << QStringList();
    QTest::newRow("header lines that never end")
        << "/header-stream" << false << "too slow" << QStringList();
    QTest::newRow("informational answers that never end")
        << "/continue-forever" << false << "too slow" << QStringList();
    QTest::newRow("a steady body past the total deadline")
        << "/steady" << false << "timed out after" << QStringList();
}

void TestHostileServers::slowServers()
{
    m_server->setTrickle("/drip", hostileBody(), 1, 500);
    m_server->setHandler("/header-drip", [](QTcpSocket *socket, const QByteArray &) {
        drip(socket, "HTTP/1.1 200 OK\r\n", "X-Drip: 1\r\n", 300);
    });
    // About 2 KB/s of header lines: header bytes are no progress to the low-speed limit.
    m_server->setHandler("/header-stream", [](QTcpSocket *socket, const QByteArray &) {
        drip(socket, "HTTP/1.1 200 OK\r\n", "X-More: " + QByteArray(90, 'h') + "\r\n", 50);
    });
    m_server->setHandler("/continue-forever", [](QTcpSocket *socket, const QByteArray &) {
        drip(socket, {}, "HTTP/1.1 100 Continue\r\n\r\n", 40);
    });
    // 3 MB/s, forever: still below the body cap when the deadline comes.
    m_server->setHandler("/steady", [](QTcpSocket *socket, const QByteArray &) {
        serveStream(socket, {head(200, {"Transfer-Encoding: chunked"}), hostileBody(), "a",
                             qint64(1) << 40, true, 20});
    });
    checkRun(quickSettings());
}

void TestHostileServers::malformedAnswers_data()
{
    addColumns();
    QTest::newRow("body shorter than Content-Length, closed")
        << "/short-closed" << false << "" << QStringList();
    QTest::newRow("body shorter than Content-Length, reset")
        << "/short-reset" << false << "reset" << QStringList();
    QTest::newRow("two different Content-Lengths, longer last")
        << "/two-lengths-longer-last" << false << "Content-Length" << QStringList();
    QTest::newRow("two different Content-Lengths, shorter last")
        << "/two-lengths-shorter-last" << false << "Content-Length" << QStringList();
    QTest::newRow("two different Content-Lengths in one header")
        << "/length-list" << false << "Content-Length" << QStringList();
    QTest::newRow("negative Content-Length")
        << "/negative-length" << false << "Content-Length" << QStringList();
    QTest::newRow("Content-Length past 64 bits")
        << "/huge-length" << false << "Content-Length" << QStringList();
    QTest::newRow("invalid chunk size") << "/bad-chunk" << false << "" << QStringList();
    QTest::newRow("overflowing chunk size") << "/overflow-chunk" << false << "" << QStringList();
    QTest::newRow("chunked body cut by a close") << "/cut-chunked" << false << "" << QStringList();
    QTest::newRow("NUL byte in a header") << "/nul-header" << false << "" << QStringList();
    QTest::newRow("a 300 KB header") << "/huge-header" << false << "" << QStringList();
    QTest::newRow("garbage status line") << "/garbage" << false << "" << QStringList();
    QTest::newRow("status code that is not a number")
        << "/bad-code" << false << "" << QStringList();
    QTest::newRow("truncated gzip stream") << "/gzip-cut" << false << "" << QStringList();
    QTest::newRow("body labelled gzip that is not") << "/gzip-fake" << false << "" << QStringList();
    // Control: the same framing done right is read.
    QTest::newRow("two equal Content-Lengths")
        << "/two-equal-lengths" << true << "" << QStringList{"$H,keep hostile", "$H,keep hostile"};
}

void TestHostileServers::malformedAnswers()
{
    const QByteArray one = hostileLine;             // 13 bytes
    const QByteArray two = hostileLine.repeated(2); // 26 bytes
    m_server->setShortBody("/short-closed", hostileBody(), hostileBody().size() + 100);
    m_server->setReset("/short-reset", head(200, {"Content-Length: 1000"}) + hostileBody(10), 200);
    m_server->setRaw("/two-lengths-longer-last",
                     head(200, {"Content-Length: 13", "Content-Length: 26"}) + two);
    m_server->setRaw("/two-lengths-shorter-last",
                     head(200, {"Content-Length: 26", "Content-Length: 13"}) + two);
    m_server->setRaw("/length-list", head(200, {"Content-Length: 13, 26"}) + two);
    m_server->setRaw("/negative-length", head(200, {"Content-Length: -1"}) + two);
    m_server->setRaw("/huge-length",
                     head(200, {"Content-Length: 123456789012345678901234567890"}) + two);
    m_server->setRaw("/two-equal-lengths",
                     head(200, {"Content-Length: 26", "Content-Length: 26"}) + two);
    m_server->setRaw("/bad-chunk",
                     head(200, {"Transfer-Encoding: chunked"}) + "zz\r\n" + one + "\r\n0\r\n\r\n");
    m_server->setRaw("/overflow-chunk", head(200, {"Transfer-Encoding: chunked"}) +
                                            "fffffffffffffffffffffff\r\n" + one + "\r\n0\r\n\r\n");
    m_server->setCutChunked("/cut-chunked", hostileBody());
    m_server->setRaw("/nul-header",
                     head(200, {QByteArray("X-Bad: a\0b", 10), "Content-Length: 13"}) + one);
    m_server->setRaw("/huge-header",
                     head(200, {"X-Huge: " + QByteArray(300 * 1024, 'h'), "Content-Length: 13"}) +
                         one);
    m_server->setRaw("/garbage", "SOMETHING ELSE ENTIRELY\r\n\r\n" + two);
    m_server->setRaw("/bad-code", "HTTP/1.1 2OO OK\r\nContent-Length: 26\r\n\r\n" + two);
    m_server->setGzip("/gzip-cut", hostileBody(), "text/plain", 8);
    m_server->setResponse("/gzip-fake", 200, {"Content-Type: text/plain", "Content-Encoding: gzip"},
                          two);
    checkRun(quickSettings());
}

void TestHostileServers::tls_data()
{
    addColumns();
    QTest::addColumn<bool>("trusted"); // the test certificate is given to the fetcher

    QTest::newRow("self-signed certificate")
        << "tls:/hostile-page" << false << "certificate" << QStringList() << false;
    // Control: the same server, its certificate trusted, is read.
    QTest::newRow("trusted certificate")
        << "tls:/hostile-page" << true << "" << QStringList{"$H,keep hostile"} << true;
    // Trusting the certificate does not make it good for another name.
    QTest::newRow("trusted certificate for another name")
        << "tls-by-name:/hostile-page" << false << "name" << QStringList() << true;
    // A page asked for over https is never read in clear.
    QTest::newRow("redirect from https to http")
        << "tls:/to-plain" << false << "redirect to http:" << QStringList() << true;
    QTest::newRow("redirect from https to http, after an https hop")
        << "tls:/hop-to-plain" << false << "redirect to http:" << QStringList() << true;
    QTest::newRow("relative redirect over https")
        << "tls:/relative" << true << "" << QStringList{"$H,keep hostile"} << true;
}

void TestHostileServers::tls()
{
    if (!m_tlsProblem.isEmpty())
        QSKIP(qPrintable(QStringLiteral("No TLS test server: ") + m_tlsProblem));
    QFETCH(bool, trusted);
    m_server->setRedirect("/to-plain", m_server->url("/hostile-page"));
    m_server->setResponse("/hop-to-plain", 302, {"Location: /to-plain"}, {});
    m_server->setResponse("/relative", 302, {"Location: /hostile-page"}, {});
    FetchSettings settings = quickSettings();
    if (trusted)
        settings.caFile = m_certificateFile;
    checkRun(settings);
}

void TestHostileServers::redirects_data()
{
    addColumns();
    QTest::newRow("redirect loop") << "/loop" << false << "" << QStringList();
    QTest::newRow("loop of two pages") << "/ping" << false << "" << QStringList();
    QTest::newRow("eleven redirects") << "/hop/0" << false << "" << QStringList();
    QTest::newRow("ten redirects") << "/hop/1" << true << "" << QStringList{"$H,keep hostile"};
    QTest::newRow("redirect to file:")
        << "/to-file" << false << "redirect to file:" << QStringList();
    QTest::newRow("redirect to ftp:") << "/to-ftp" << false << "redirect to ftp:" << QStringList();
    QTest::newRow("redirect to data:")
        << "/to-data" << false << "redirect to data:" << QStringList();
    QTest::newRow("redirect without a Location") << "/nowhere" << false << "302" << QStringList();
    QTest::newRow("relative redirect")
        << "/dir/relative" << true << "" << QStringList{"$H,keep hostile"};
    QTest::newRow("protocol-relative redirect")
        << "/protocol-relative" << true << "" << QStringList{"$H,keep hostile"};
}

void TestHostileServers::redirects()
{
    m_server->setRedirect("/loop", "/loop");
    m_server->setRedirect("/ping", "/pong", 301);
    m_server->setRedirect("/pong", "/ping", 307);
    for (int hop = 0; hop < 11; ++hop)
        m_server->setRedirect(QStringLiteral("/hop/%1").arg(hop),
                              QStringLiteral("/hop/%1").arg(hop + 1));
    m_server->setPage("/hop/11", hostileBody(1));
    m_server->setRedirect("/to-file", "file:///etc/passwd");
    m_server->setRedirect("/to-ftp", "ftp://127.0.0.1/keep");
    m_server->setRedirect("/to-data", "data:text/plain,keep%20hostile");
    m_server->setResponse("/nowhere", 302, {}, hostileBody(1));
    m_server->setResponse("/dir/relative", 302, {"Location: ../hostile-page"}, {});
    m_server->setResponse(
        "/protocol-relative", 302,
        {"Location: //127.0.0.1:" + QByteArray::number(m_server->port()) + "/hostile-page"}, {});
    checkRun(quickSettings());
}

void TestHostileServers::oversizedAnswers_data()
{
    addColumns();
    QTest::addColumn<int>("capMiB");
    QTest::addColumn<int>("memoryBoundMiB"); // on the peak resident size during the run

    // Without the cap each of these would take a gigabyte or more.
    QTest::newRow("body over the cap, announced")
        << "/over-cap-announced" << false << "larger" << QStringList() << 16 << 48;
    QTest::newRow("body over the cap, until close")
        << "/over-cap-until-close" << false << "larger" << QStringList() << 16 << 48;
    QTest::newRow("gzip bomb") << "/gzip-bomb" << false << "larger" << QStringList() << 16 << 48;
    QTest::newRow("header lines flooding in")
        << "/header-flood" << false << "" << QStringList() << 16 << 48;
    // Millions of pieces, worked through in slices: only the address row, added
    // at the first piece, comes of them.
    QTest::newRow("five million empty lines")
        << "/line-feeds" << true << "" << QStringList{"$H"} << 16 << 48;
    // A real page, kept whole: bounded by a small multiple of its size.
    QTest::newRow("a body of one 50 MB line")
        << "/one-long-line" << true << "" << QStringList{"$H,keep $LONG"} << 64 << 450;
}

void TestHostileServers::oversizedAnswers()
{
    QFETCH(int, capMiB);
    QFETCH(int, memoryBoundMiB);
    const qint64 huge = qint64(1) << 30;
    m_server->setHandler("/over-cap-announced", [huge](QTcpSocket *socket, const QByteArray &) {
        serveStream(socket, {head(200, {"Content-Length: " + QByteArray::number(huge)}),
                             hostileBody(), "a", huge});
    });
    m_server->setHandler("/over-cap-until-close", [huge](QTcpSocket *socket, const QByteArray &) {
        serveStream(socket, {head(200, {}), hostileBody(), "a", huge});
    });
    // About 2 MB inflating to 2 GiB.
    m_server->setResponse("/gzip-bomb", 200, {"Content-Encoding: gzip"},
                          gzipBomb(2 * huge, 8 * MiB));
    m_server->setHandler("/header-flood", [huge](QTcpSocket *socket, const QByteArray &) {
        serveStream(socket,
                    {"HTTP/1.1 200 OK\r\n", {}, "X-Flood: " + QByteArray(50, 'h') + "\r\n", huge});
    });
    m_server->setHandler("/line-feeds", [](QTcpSocket *socket, const QByteArray &) {
        serveStream(socket, {head(200, {"Content-Length: 5000000"}), {}, "\n", 5'000'000});
    });
    m_server->setHandler("/one-long-line", [](QTcpSocket *socket, const QByteArray &) {
        serveStream(socket, {head(200, {"Content-Length: " + QByteArray::number(longLineFill + 5)}),
                             "keep ", "a", longLineFill + 5});
    });
    FetchSettings settings = quickSettings();
    settings.maxBodyBytes = capMiB * MiB;
    settings.totalTimeout = 10s;

    checkRun(settings, memoryBoundMiB);
}

void TestHostileServers::oddContent_data()
{
    addColumns();
    QTest::newRow("UTF-8 labelled windows-1252")
        << "/utf8-as-latin1" << true << "" << QStringList{"$H,keep caf\u00C3\u00A9"};
    QTest::newRow("windows-1252 labelled UTF-8")
        << "/latin1-as-utf8" << true << "" << QStringList{"$H,keep caf\uFFFD"};
    QTest::newRow("unknown charset label")
        << "/unknown-charset" << true << "" << QStringList{"$H,keep caf\u00E9"};
    QTest::newRow("NUL bytes") << "/nul-bytes" << true << ""
                               << QStringList{QStringLiteral("$H,keep") + QChar(0) + "one",
                                              QStringLiteral("$H,keep two") + QChar(0)};
    QTest::newRow("binary body") << "/binary" << true << "" << QStringList{"$H,keep binary"};
    QTest::newRow("invalid UTF-8, no label")
        << "/invalid-utf8" << true << "" << QStringList{"$H,keep \u00FF\u00FE bad", "$H,keep good"};
    QTest::newRow("UTF-16 without a label")
        << "/utf16" << true << "" << QStringList{"$H,keep wide"};
}

void TestHostileServers::oddContent()
{
    m_server->setPage("/utf8-as-latin1", "keep caf\xC3\xA9\n", "text/plain; charset=iso-8859-1");
    m_server->setPage("/latin1-as-utf8", "keep caf\xE9\n", "text/plain; charset=utf-8");
    m_server->setPage("/unknown-charset", "keep caf\xC3\xA9\n",
                      "text/plain; charset=x-no-such-charset");
    m_server->setPage("/nul-bytes", QByteArray("keep\0one\nkeep two\0\n", 19), "text/plain");
    m_server->setPage("/binary", "keep binary\n" + binaryNoise(64 * 1024),
                      "application/octet-stream");
    m_server->setPage("/invalid-utf8", "keep \xFF\xFE bad\nkeep good\n", "text/plain");
    const QString wide = QStringLiteral("keep wide\n");
    m_server->setPage("/utf16",
                      "\xFF\xFE" +
                          QByteArray(reinterpret_cast<const char *>(wide.utf16()), wide.size() * 2),
                      "text/plain");
    checkRun(quickSettings());
}

void TestHostileServers::statusAnswers_data()
{
    addColumns();
    QTest::newRow("404") << "/404" << false << "404" << QStringList();
    QTest::newRow("500") << "/500" << false << "500" << QStringList();
    QTest::newRow("429") << "/429" << false << "429" << QStringList();
    QTest::newRow("204") << "/204" << true << "" << QStringList();
    QTest::newRow("empty 200") << "/empty" << true << "" << QStringList();
    QTest::newRow("empty 200 until close") << "/empty-until-close" << true << "" << QStringList();
}

void TestHostileServers::statusAnswers()
{
    // Error pages carry lines the rule would keep: they must not become rows.
    m_server->setStatus("/404", 404, hostileBody());
    m_server->setStatus("/500", 500, hostileBody());
    m_server->setResponse("/429", 429, {"Retry-After: 1"}, hostileBody());
    m_server->setResponse("/204", 204, {}, {});
    m_server->setPage("/empty", {});
    m_server->setRaw("/empty-until-close", head(200, {"Content-Type: text/plain"}));
    checkRun(quickSettings());
}

// Link harvests download to a file: a hostile page must end in "Url not
// found", leave no page file behind and not stop the next harvest.
void TestHostileServers::harvests_data()
{
    QTest::addColumn<QString>("address");
    QTest::newRow("reset in the middle of the body") << "/reset-mid-body/";
    QTest::newRow("body shorter than Content-Length") << "/short/";
    QTest::newRow("chunked body cut by a close") << "/cut-chunked/";
    QTest::newRow("two different Content-Lengths") << "/two-lengths/";
    QTest::newRow("a byte every half second") << "/drip/";
    QTest::newRow("body over the cap") << "/over-cap/";
    QTest::newRow("gzip bomb") << "/gzip-bomb/";
    QTest::newRow("garbage status line") << "/garbage/";
    QTest::newRow("404 with links") << "/404/";
    QTest::newRow("self-signed certificate") << "tls:/good-links/";
}

void TestHostileServers::harvests()
{
    QFETCH(QString, address);
    if (address.startsWith(QLatin1String("tls:")) && !m_tlsProblem.isEmpty())
        QSKIP(qPrintable(QStringLiteral("No TLS test server: ") + m_tlsProblem));
    const QByteArray links = "<a href=\"keep.htm\">";
    m_server->setPage("/good-links/", links);
    m_server->setReset("/reset-mid-body/",
                       head(200, {"Content-Length: 100000"}) + links.repeated(50), 200);
    m_server->setShortBody("/short/", links, links.size() + 10);
    m_server->setCutChunked("/cut-chunked/", links);
    m_server->setRaw(
        "/two-lengths/",
        head(200, {"Content-Length: 5", "Content-Length: " + QByteArray::number(links.size())}) +
            links);
    m_server->setTrickle("/drip/", links.repeated(10), 1, 500);
    const qint64 huge = qint64(1) << 30;
    m_server->setHandler("/over-cap/", [huge, links](QTcpSocket *socket, const QByteArray &) {
        serveStream(socket, {head(200, {}), links, "a", huge});
    });
    m_server->setResponse("/gzip-bomb/", 200, {"Content-Encoding: gzip"},
                          gzipBomb(2 * huge, 8 * MiB));
    m_server->setRaw("/garbage/", "SOMETHING ELSE\r\n\r\n" + links);
    m_server->setStatus("/404/", 404, links);

    SiteList list;
    FakeUiServices ui;
    CurlPageFetcher fetcher(quickSettings());
    HarvestQueue harvests(list, fetcher, ui);
    QSignalSpy idle(&harvests, &HarvestQueue::idle);
    const QString hostile = resolve(address);
    const QString good = m_server->url("/good-links/");
    harvests.enqueue(hostile);
    harvests.enqueue(good);
    QVERIFY(idle.wait(runTimeoutMs));

    QCOMPARE(ui.messages.size(), 1);
    QCOMPARE(ui.messages[0].prompt, QStringLiteral("Url not found"));
    QCOMPARE(ui.messages[0].icon, MessageIcon::Exclamation);
    QStringList rows;
    for (int row = 0; row < list.count(); ++row)
        rows << list.text(row);
    QCOMPARE(rows, (QStringList{good, good + QStringLiteral("keep.htm/")}));
    QCOMPARE(QDir(m_tempFolder.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList());
}

// A page that is nothing but links: every one is added, the scan goes in
// slices, and the memory it takes grows with the rows, not beyond.
void TestHostileServers::harvestOfAMillionLinks()
{
    constexpr int links = 1'000'000;
    m_server->setPage("/links/", QByteArray("href=\"\"").repeated(links), "text/html");
    SiteList list;
    FakeUiServices ui;
    CurlPageFetcher fetcher(quickSettings());
    HarvestQueue harvests(list, fetcher, ui);
    QSignalSpy idle(&harvests, &HarvestQueue::idle);
    ProcessMemory::startNewPeak();
    const qint64 before = ProcessMemory::residentKiB();
    StallProbe probe;
    harvests.enqueue(m_server->url("/links/"));
    QVERIFY(idle.wait(runTimeoutMs));
    const qint64 grown = ProcessMemory::peakKiB() - before;
    qInfo("harvest of %d links: peak grew by %lld MiB, worst stall %lld ms", links, grown / 1024,
          probe.worst());

    QVERIFY(ui.messages.isEmpty());
    QCOMPARE(list.count(), links + 1);
    const QString folder = m_server->url("/links");
    QCOMPARE(list.text(0), folder + u'/');
    QCOMPARE(list.text(links), folder + u'/');
    QVERIFY2(probe.worst() < worstStallMs, qPrintable(QString::number(probe.worst())));
    if (ProcessMemory::measurable)
        QVERIFY2(grown < 400 * 1024, qPrintable(QString::number(grown / 1024)));
}

QTEST_GUILESS_MAIN(TestHostileServers)
#include "tst_hostileservers.moc"
