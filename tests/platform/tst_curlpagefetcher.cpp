#include "platform/CurlPageFetcher.h"
#include "platform/TextDecoding.h"
#include "support/TestHttpServer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <functional>
#include <memory>

using namespace std::chrono_literals;

namespace {

constexpr qint64 bodyCap = 100'000;
constexpr int resultTimeoutMs = 10'000;
const QByteArray plainBody = "<p>Hello</p>";
const QByteArray htmlType = "text/html; charset=utf-8";

FetchSettings quickSettings()
{
    FetchSettings settings;
    settings.connectTimeout = 2s;
    settings.lowSpeedLimit = 100;
    settings.lowSpeedTime = 1s;
    settings.totalTimeout = 4s;
    settings.maxBodyBytes = bodyCap;
    return settings;
}

QByteArray binaryBody()
{
    QByteArray body;
    for (int i = 0; i < 64 * 1024; ++i)
        body += char(i * 7 % 256);
    return body;
}

// Bytes that do not compress, so that cutting the compressed form cuts real data.
QByteArray noise(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 state = 12345;
    for (char &byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = char(state >> 24);
    }
    return bytes;
}

// Starts one request and waits for its result, which must come once, for its
// id, on this thread and never from inside the call that started it.
void runOne(PageFetcher &fetcher, const std::function<quint64()> &start, FetchResult &result)
{
    struct Delivery
    {
        quint64 id;
        FetchResult result;
        QThread *thread;
    };
    QList<Delivery> deliveries;
    QObject context;
    QObject::connect(&fetcher, &PageFetcher::finished, &context,
                     [&](quint64 id, const FetchResult &delivered) {
                         deliveries.append({id, delivered, QThread::currentThread()});
                     });
    const quint64 id = start();
    QVERIFY2(deliveries.isEmpty(), "finished() was emitted from inside the call");
    QTRY_VERIFY_WITH_TIMEOUT(!deliveries.isEmpty(), resultTimeoutMs);
    QCOMPARE(deliveries.size(), 1);
    QCOMPARE(deliveries.first().id, id);
    QCOMPARE(deliveries.first().thread, QThread::currentThread());
    result = deliveries.first().result;
}

QByteArray multibyteText()
{
    return "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
}

// A route that remembers when the client closed its connection.
std::shared_ptr<bool> watchClose(TestHttpServer &server, const QString &path)
{
    auto closed = std::make_shared<bool>(false);
    server.setHandler(path, [closed](QTcpSocket *socket, const QByteArray &) {
        QObject::connect(socket, &QTcpSocket::disconnected, [closed] { *closed = true; });
    });
    return closed;
}

} // namespace

class TestCurlPageFetcher : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void fetchesPages_data();
    void fetchesPages();
    void reportsFailures_data();
    void reportsFailures();
    void sendsIdentityAndAcceptsEncodings();
    void enforcesDeadlines_data();
    void enforcesDeadlines();
    void downloadsToFile_data();
    void downloadsToFile();
    void cancelSuppressesResult_data();
    void cancelSuppressesResult();
    void cancelClosesTheConnection();
    void destroyingStopsPromptly_data();
    void destroyingStopsPromptly();
    void limitsConcurrentTransfers_data();
    void limitsConcurrentTransfers();
    void eachPortIsAHost();
    void waitingTransfersGetTheirOwnDeadline();
    void stillExecutingTracksTransfers();

private:
    QString address(const QString &pathOrUrl) const;
    void fetch(PageFetcher &fetcher, const QString &pathOrUrl, FetchResult &result);

    std::unique_ptr<TestHttpServer> m_server;
};

void TestCurlPageFetcher::initTestCase()
{
    // A proxy configured on the machine must not see loopback traffic.
    qputenv("no_proxy", "127.0.0.1");
    qputenv("NO_PROXY", "127.0.0.1");
}

void TestCurlPageFetcher::init()
{
    m_server = std::make_unique<TestHttpServer>();
    QVERIFY(m_server->isListening());
    TestHttpServer &server = *m_server;
    server.setPage("/plain", plainBody);
    server.setPage("/windows-1252", "caf\xE9 \x80", "text/html; charset=windows-1252");
    server.setPage("/binary", binaryBody(), "application/octet-stream");
    server.setPage("/at-cap", QByteArray(bodyCap, 'x'), "text/plain");
    server.setPage("/over-cap", QByteArray(bodyCap + 1, 'x'), "text/plain");
    server.setResponse("/no-content", 204, {}, {});
    server.setRedirect("/redirect", "/plain");
    server.setRedirect("/chain-1", "/chain-2", 301);
    server.setRedirect("/chain-2", server.url("/plain"), 307);
    server.setRedirect("/loop", "/loop");
    server.setRedirect("/to-ftp", "ftp://127.0.0.1/x");
    server.setRedirect("/to-file", "file:///etc/passwd");
    server.setStatus("/not-found", 404, "<h1>Not found</h1>");
    server.setStatus("/server-error", 500, "<h1>Oops</h1>");
    server.setStalled("/stalled");
    server.setDelayed("/delayed", plainBody, 300);
    // 1500 bytes/s, well above the low-speed limit, for about a second.
    server.setTrickle("/trickle-fast", QByteArray(1500, 'a'), 150, 100);
    // 10 bytes/s, below the limit, for ten seconds.
    server.setTrickle("/trickle-slow", QByteArray(100, 'a'), 1, 100);
    // 2000 bytes/s for five seconds.
    server.setTrickle("/trickle-long", QByteArray(10'000, 'a'), 200, 100);
    // Characters of two to four bytes, cut across chunks; valid, then not.
    server.setTrickle("/utf8-in-pieces", multibyteText().repeated(40), 7, 1);
    server.setTrickle("/utf8-broken-in-pieces", multibyteText().repeated(40) + "\xE9", 7, 1);
    server.setShortBody("/short-body", plainBody, plainBody.size() + 10);
    server.setCutChunked("/cut-chunked", plainBody);
    server.setGzip("/gzip", "<p>Compressed</p>");
    server.setGzip("/gzip-without-trailer", binaryBody(), "text/plain", 8);
    server.setGzip("/gzip-cut", noise(20'000), "text/plain", 1000);
    server.setResponse("/gzip-two-members", 200,
                       {"Content-Type: text/plain", "Content-Encoding: gzip"},
                       TestHttpServer::gzip("first, ") + TestHttpServer::gzip("second"));
    // qCompress gives a 4-byte size and a zlib stream: a 2-byte header, raw deflate, Adler-32.
    const QByteArray zlib = qCompress(plainBody).mid(4);
    server.setResponse("/deflate-zlib", 200,
                       {"Content-Type: " + htmlType, "Content-Encoding: deflate"}, zlib);
    server.setResponse("/deflate-raw", 200,
                       {"Content-Type: " + htmlType, "Content-Encoding: deflate"},
                       zlib.mid(2, zlib.size() - 6));
    server.setResponse("/brotli", 200, {"Content-Type: " + htmlType, "Content-Encoding: br"},
                       "not really brotli");
    server.setResponse("/gzip-bad", 200, {"Content-Encoding: gzip"}, "this is not gzip at all");
    server.setGzip("/gzip-over-cap", QByteArray(bodyCap * 10, 'x'), "text/plain");
    server.setRaw("/empty-reply", {});
    server.setRaw("/not-http", "SOMETHING ELSE ENTIRELY\r\n\r\n");
}

void TestCurlPageFetcher::cleanup()
{
    m_server.reset();
}

QString TestCurlPageFetcher::address(const QString &pathOrUrl) const
{
    return pathOrUrl.startsWith(u'/') ? m_server->url(pathOrUrl) : pathOrUrl;
}

void TestCurlPageFetcher::fetch(PageFetcher &fetcher, const QString &pathOrUrl, FetchResult &result)
{
    const QString url = address(pathOrUrl);
    runOne(
        fetcher, [&] { return fetcher.fetchText(url); }, result);
}

void TestCurlPageFetcher::fetchesPages_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("bytes"); // of the decoded body, before charset decoding
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("finalPath");
    QTest::addColumn<QByteArray>("contentType");

    const QString plain = QString::fromUtf8(plainBody);
    const qint64 plainSize = plainBody.size();
    const QByteArray textType = "text/plain";
    QTest::newRow("plain page") << "/plain" << plain << plainSize << 200 << "/plain" << htmlType;
    QTest::newRow("redirect followed")
        << "/redirect" << plain << plainSize << 200 << "/plain" << htmlType;
    QTest::newRow("redirect chain")
        << "/chain-1" << plain << plainSize << 200 << "/plain" << htmlType;
    QTest::newRow("no content") << "/no-content" << QString() << qint64(0) << 204 << "/no-content"
                                << QByteArray();
    QTest::newRow("slow answer") << "/delayed" << plain << plainSize << 200 << "/delayed"
                                 << htmlType;
    QTest::newRow("slow body above the low-speed limit")
        << "/trickle-fast" << QString(1500, u'a') << qint64(1500) << 200 << "/trickle-fast"
        << textType;
    QTest::newRow("gzip decoded") << "/gzip"
                                  << "<p>Compressed</p>" << qint64(17) << 200 << "/gzip"
                                  << htmlType;
    QTest::newRow("gzip of two members")
        << "/gzip-two-members"
        << "first, second" << qint64(13) << 200 << "/gzip-two-members" << textType;
    QTest::newRow("deflate") << "/deflate-zlib" << plain << plainSize << 200 << "/deflate-zlib"
                             << htmlType;
    QTest::newRow("raw deflate") << "/deflate-raw" << plain << plainSize << 200 << "/deflate-raw"
                                 << htmlType;
    QTest::newRow("body at the cap")
        << "/at-cap" << QString(bodyCap, u'x') << bodyCap << 200 << "/at-cap" << textType;
    QTest::newRow("UTF-8 cut across chunks")
        << "/utf8-in-pieces" << QString::fromUtf8(multibyteText().repeated(40)) << qint64(400)
        << 200 << "/utf8-in-pieces" << textType;
    QTest::newRow("invalid UTF-8 at the end of many chunks")
        << "/utf8-broken-in-pieces"
        << decodePageText(multibyteText().repeated(40) + "\xE9", textType) << qint64(401) << 200
        << "/utf8-broken-in-pieces" << textType;
    QTest::newRow("charset of the header")
        << "/windows-1252" << QStringLiteral("caf\u00E9 \u20AC") << qint64(6) << 200
        << "/windows-1252" << QByteArray("text/html; charset=windows-1252");
}

void TestCurlPageFetcher::fetchesPages()
{
    QFETCH(QString, path);
    QFETCH(QString, text);
    QFETCH(qint64, bytes);
    QFETCH(int, status);
    QFETCH(QString, finalPath);
    QFETCH(QByteArray, contentType);

    CurlPageFetcher fetcher(quickSettings());
    FetchResult result;
    fetch(fetcher, path, result);
    if (QTest::currentTestFailed())
        return;

    QVERIFY2(result.ok, qPrintable(result.error));
    QVERIFY(result.error.isEmpty());
    QCOMPARE(result.text, text);
    QCOMPARE(result.bodyBytes, bytes);
    QCOMPARE(result.httpStatus, status);
    QCOMPARE(result.effectiveUrl, m_server->url(finalPath));
    QCOMPARE(result.contentType, contentType);

    FetchResult asUtf8;
    runOne(
        fetcher, [&] { return fetcher.fetchUtf8(address(path)); }, asUtf8);
    QVERIFY2(asUtf8.ok, qPrintable(asUtf8.error));
    QCOMPARE(asUtf8.utf8, text.toUtf8());
    QVERIFY(asUtf8.text.isEmpty());
}

void TestCurlPageFetcher::reportsFailures_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("status");        // -1: whatever came last
    QTest::addColumn<QString>("errorPart"); // empty: any message

    QTest::newRow("404") << "/not-found" << 404 << "404";
    QTest::newRow("500") << "/server-error" << 500 << "500";
    // Refused for the scheme, not for failing to reach it.
    QTest::newRow("redirect to ftp") << "/to-ftp" << 302 << "ftp";
    QTest::newRow("redirect to file") << "/to-file" << 302 << "file";
    QTest::newRow("endless redirects") << "/loop" << -1 << "";
    QTest::newRow("body shorter than Content-Length") << "/short-body" << -1 << "";
    QTest::newRow("cut chunked body") << "/cut-chunked" << -1 << "";
    QTest::newRow("gzip without its trailer") << "/gzip-without-trailer" << 200 << "";
    QTest::newRow("gzip cut") << "/gzip-cut" << 200 << "";
    QTest::newRow("unsupported encoding") << "/brotli" << 200 << "br";
    QTest::newRow("bad gzip") << "/gzip-bad" << -1 << "";
    QTest::newRow("body over the cap") << "/over-cap" << 200 << "larger";
    QTest::newRow("decoded body over the cap") << "/gzip-over-cap" << 200 << "larger";
    QTest::newRow("empty reply") << "/empty-reply" << 0 << "";
    QTest::newRow("not http") << "/not-http" << -1 << "";
    QTest::newRow("scheme only") << "http://" << 0 << "valid";
    QTest::newRow("empty address") << "" << 0 << "valid";
    QTest::newRow("text with blanks") << "not a url with blanks" << 0 << "valid";
    QTest::newRow("blank in the path") << "http://127.0.0.1:1/a b" << 0 << "valid";
    QTest::newRow("ftp") << "ftp://127.0.0.1/x" << 0 << "http and https";
    QTest::newRow("file") << "file:///etc/passwd" << 0 << "http and https";
    QTest::newRow("data") << "data:text/plain,hi" << 0 << "";

    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost));
    const QString nobodyListens = QStringLiteral("http://127.0.0.1:%1/").arg(closed.serverPort());
    closed.close();
    QTest::newRow("nobody listening") << nobodyListens << 0 << "";
}

void TestCurlPageFetcher::reportsFailures()
{
    QFETCH(QString, address);
    QFETCH(int, status);
    QFETCH(QString, errorPart);

    CurlPageFetcher fetcher(quickSettings());
    FetchResult result;
    fetch(fetcher, address, result);
    if (QTest::currentTestFailed())
        return;

    QVERIFY(!result.ok);
    QVERIFY(!result.error.isEmpty());
    QVERIFY2(result.error.contains(errorPart), qPrintable(result.error));
    QVERIFY(result.text.isEmpty());
    QCOMPARE(result.bodyBytes, 0);
    if (status >= 0)
        QCOMPARE(result.httpStatus, status);
}

void TestCurlPageFetcher::sendsIdentityAndAcceptsEncodings()
{
    CurlPageFetcher fetcher(quickSettings());
    FetchResult result;
    fetch(fetcher, "/plain", result);
    if (QTest::currentTestFailed())
        return;

    const QByteArray head = m_server->lastRequestHead("/plain");
    QVERIFY2(head.contains("\r\nUser-Agent: Quillora/" QUILLORA_VERSION "\r\n"), head.constData());
    QVERIFY2(head.contains("\r\nAccept-Encoding: ") && head.contains("gzip"), head.constData());
}

void TestCurlPageFetcher::enforcesDeadlines_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<long>("lowSpeedLimit");
    QTest::addColumn<int>("totalMs");

    // Each row fails after about one second; the other limit would take far longer.
    QTest::newRow("low speed, trickling body") << "/trickle-slow" << 100L << 30'000;
    QTest::newRow("low speed, stalled server") << "/stalled" << 100L << 30'000;
    QTest::newRow("total deadline, stalled server") << "/stalled" << 0L << 1000;
    QTest::newRow("total deadline, steady body") << "/trickle-long" << 100L << 1000;
}

void TestCurlPageFetcher::enforcesDeadlines()
{
    QFETCH(QString, path);
    QFETCH(long, lowSpeedLimit);
    QFETCH(int, totalMs);

    FetchSettings settings = quickSettings();
    settings.lowSpeedLimit = lowSpeedLimit;
    settings.lowSpeedTime = 1s;
    settings.totalTimeout = std::chrono::milliseconds(totalMs);
    CurlPageFetcher fetcher(settings);
    QElapsedTimer elapsed;
    elapsed.start();
    FetchResult result;
    fetch(fetcher, path, result);
    if (QTest::currentTestFailed())
        return;

    QVERIFY(!result.ok);
    QVERIFY(result.text.isEmpty());
    QVERIFY2(elapsed.elapsed() >= 900 && elapsed.elapsed() < 4000,
             qPrintable(QString::number(elapsed.elapsed())));
}

void TestCurlPageFetcher::downloadsToFile_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("fileName"); // in a temporary folder; "." is the folder itself
    QTest::addColumn<QByteArray>("existing");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("binary body") << "/binary"
                                 << "page.bin" << QByteArray() << true << binaryBody();
    QTest::newRow("gzip stored decoded")
        << "/gzip"
        << "page.html" << QByteArray() << true << QByteArray("<p>Compressed</p>");
    QTest::newRow("empty body") << "/no-content"
                                << "empty" << QByteArray() << true << QByteArray();
    QTest::newRow("longer file replaced")
        << "/plain"
        << "page.html" << QByteArray(5000, '#') << true << plainBody;
    QTest::newRow("missing folder")
        << "/plain"
        << "no/such/folder/page.html" << QByteArray() << false << QByteArray();
    QTest::newRow("folder as file") << "/plain"
                                    << "." << QByteArray() << false << QByteArray();
    QTest::newRow("404") << "/not-found"
                         << "page.html" << QByteArray() << false << QByteArray();
}

void TestCurlPageFetcher::downloadsToFile()
{
    QFETCH(QString, path);
    QFETCH(QString, fileName);
    QFETCH(QByteArray, existing);
    QFETCH(bool, ok);
    QFETCH(QByteArray, expected);

    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    const QString file = QDir(folder.path()).filePath(fileName);
    if (!existing.isEmpty()) {
        QFile previous(file);
        QVERIFY(previous.open(QIODevice::WriteOnly));
        previous.write(existing);
    }

    CurlPageFetcher fetcher(quickSettings());
    FetchResult result;
    const QString url = m_server->url(path);
    runOne(
        fetcher, [&] { return fetcher.downloadToFile(url, file); }, result);
    if (QTest::currentTestFailed())
        return;

    QCOMPARE(result.ok, ok);
    QVERIFY(result.text.isEmpty());
    if (!ok) {
        QVERIFY(!result.error.isEmpty());
        return;
    }
    QCOMPARE(result.bodyBytes, expected.size());
    QFile written(file);
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(written.readAll(), expected);
}

void TestCurlPageFetcher::cancelSuppressesResult_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("blockMs"); // before cancelling; the result may be posted meanwhile

    QTest::newRow("stalled transfer") << "/stalled" << 0;
    QTest::newRow("failure already posted") << "http://" << 300;
    // The server's handler answers, blocks this thread and cancels (see below).
    QTest::newRow("result already posted") << "/answered" << -1;
}

void TestCurlPageFetcher::cancelSuppressesResult()
{
    QFETCH(QString, address);
    QFETCH(int, blockMs);

    CurlPageFetcher fetcher(quickSettings());
    QSignalSpy spy(&fetcher, &PageFetcher::finished);
    quint64 cancelled = 0;
    bool cancelledByServer = false;
    // The server runs on this thread: the result can only be posted, not delivered,
    // while its handler blocks.
    m_server->setHandler("/answered", [&](QTcpSocket *socket, const QByteArray &) {
        socket->write(TestHttpServer::response(200, {}, plainBody));
        socket->flush();
        socket->disconnectFromHost();
        QTest::qSleep(300);
        fetcher.cancel(cancelled);
        cancelledByServer = true;
    });
    cancelled = fetcher.fetchText(this->address(address));
    if (blockMs < 0) {
        QTRY_VERIFY_WITH_TIMEOUT(cancelledByServer, resultTimeoutMs);
    } else {
        QTest::qSleep(blockMs);
        fetcher.cancel(cancelled);
    }
    QVERIFY(!fetcher.stillExecuting());

    // Results come in completion order: once this one is in, the other would be too.
    QTest::qWait(100);
    const quint64 later = fetcher.fetchText(m_server->url("/plain"));
    QVERIFY(spy.wait(resultTimeoutMs));
    QTest::qWait(100);
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.first().first().toULongLong(), later);
}

void TestCurlPageFetcher::cancelClosesTheConnection()
{
    const auto closed = watchClose(*m_server, "/watched");
    CurlPageFetcher fetcher; // the real, long deadlines: only cancel() can end it
    const quint64 id = fetcher.fetchText(m_server->url("/watched"));
    QTRY_COMPARE(m_server->requestCount("/watched"), 1);

    fetcher.cancel(id);
    QTRY_VERIFY_WITH_TIMEOUT(*closed, 2000);
}

void TestCurlPageFetcher::destroyingStopsPromptly_data()
{
    QTest::addColumn<bool>("stalledTransfer");

    QTest::newRow("idle") << false;
    QTest::newRow("stalled transfer") << true;
}

void TestCurlPageFetcher::destroyingStopsPromptly()
{
    QFETCH(bool, stalledTransfer);

    const auto closed = watchClose(*m_server, "/watched");
    auto fetcher = std::make_unique<CurlPageFetcher>(); // the real, long deadlines
    QSignalSpy spy(fetcher.get(), &PageFetcher::finished);
    if (stalledTransfer) {
        fetcher->fetchText(m_server->url("/watched"));
        fetcher->fetchText(m_server->url("/stalled"));
        QTRY_COMPARE(m_server->requestCount("/watched"), 1);
        QTRY_COMPARE(m_server->requestCount("/stalled"), 1);
    } else {
        QTest::qWait(100); // lets the worker settle into its wait
    }

    QElapsedTimer elapsed;
    elapsed.start();
    fetcher.reset();
    QVERIFY2(elapsed.elapsed() < 2000, qPrintable(QString::number(elapsed.elapsed())));
    if (stalledTransfer)
        QTRY_VERIFY_WITH_TIMEOUT(*closed, 2000);
    QCOMPARE(spy.count(), 0);
}

void TestCurlPageFetcher::limitsConcurrentTransfers_data()
{
    QTest::addColumn<int>("maxTransfers");
    QTest::addColumn<int>("maxPerHost");

    QTest::newRow("total limit") << 3 << 6;
    QTest::newRow("per-host limit") << 16 << 2;
}

void TestCurlPageFetcher::limitsConcurrentTransfers()
{
    QFETCH(int, maxTransfers);
    QFETCH(int, maxPerHost);

    struct Load
    {
        int now = 0;
        int peak = 0;
    };
    const auto load = std::make_shared<Load>();
    const int pages = 12;
    for (int i = 0; i < pages; ++i) {
        const QByteArray body = "page " + QByteArray::number(i);
        m_server->setHandler("/page/" + QString::number(i),
                             [load, body](QTcpSocket *socket, const QByteArray &) {
                                 load->peak = std::max(load->peak, ++load->now);
                                 QTimer::singleShot(150, socket, [load, socket, body] {
                                     --load->now;
                                     socket->write(TestHttpServer::response(200, {}, body));
                                     socket->disconnectFromHost();
                                 });
                             });
    }

    FetchSettings settings = quickSettings();
    settings.maxTransfers = maxTransfers;
    settings.maxTransfersPerHost = maxPerHost;
    CurlPageFetcher fetcher(settings);
    QSignalSpy spy(&fetcher, &PageFetcher::finished);
    QHash<quint64, QString> expected;
    for (int i = 0; i < pages; ++i)
        expected.insert(fetcher.fetchText(m_server->url("/page/" + QString::number(i))),
                        "page " + QString::number(i));

    QTRY_COMPARE_WITH_TIMEOUT(spy.count(), pages, resultTimeoutMs);
    QHash<quint64, QString> delivered;
    for (const QList<QVariant> &arguments : spy) {
        const auto result = arguments.at(1).value<FetchResult>();
        QVERIFY2(result.ok, qPrintable(result.error));
        delivered.insert(arguments.at(0).toULongLong(), result.text);
    }
    QCOMPARE(delivered, expected);
    QCOMPARE(load->peak, std::min(maxTransfers, maxPerHost));
    QVERIFY(!fetcher.stillExecuting());
}

void TestCurlPageFetcher::eachPortIsAHost()
{
    struct Load
    {
        int now = 0;
        int peak = 0;
    };
    const auto load = std::make_shared<Load>();
    TestHttpServer other;
    QStringList urls;
    for (TestHttpServer *server : {m_server.get(), &other}) {
        for (int i = 0; i < 4; ++i) {
            const QString path = "/page/" + QString::number(i);
            server->setHandler(path, [load](QTcpSocket *socket, const QByteArray &) {
                load->peak = std::max(load->peak, ++load->now);
                QTimer::singleShot(150, socket, [load, socket] {
                    --load->now;
                    socket->write(TestHttpServer::response(200, {}, "page"));
                    socket->disconnectFromHost();
                });
            });
            urls << server->url(path);
        }
    }

    FetchSettings settings = quickSettings();
    settings.maxTransfersPerHost = 2;
    CurlPageFetcher fetcher(settings);
    QSignalSpy spy(&fetcher, &PageFetcher::finished);
    for (const QString &url : urls)
        fetcher.fetchText(url);
    QTRY_COMPARE_WITH_TIMEOUT(spy.count(), int(urls.size()), resultTimeoutMs);
    // Two ports of one address, two at a time each.
    QCOMPARE(load->peak, 4);
}

void TestCurlPageFetcher::waitingTransfersGetTheirOwnDeadline()
{
    // Eight answers of 300 ms through two slots take 1.2 s, more than one page may.
    FetchSettings settings = quickSettings();
    settings.totalTimeout = 1000ms;
    settings.maxTransfersPerHost = 2;
    CurlPageFetcher fetcher(settings);
    QSignalSpy spy(&fetcher, &PageFetcher::finished);
    const int pages = 8;
    for (int i = 0; i < pages; ++i) {
        const QString path = "/slow/" + QString::number(i);
        m_server->setDelayed(path, plainBody, 300);
        fetcher.fetchText(m_server->url(path));
    }

    QTRY_COMPARE_WITH_TIMEOUT(spy.count(), pages, resultTimeoutMs);
    for (const QList<QVariant> &arguments : spy) {
        const auto result = arguments.at(1).value<FetchResult>();
        QVERIFY2(result.ok, qPrintable(result.error));
    }
}

void TestCurlPageFetcher::stillExecutingTracksTransfers()
{
    FetchSettings settings = quickSettings();
    settings.lowSpeedTime = 30s; // the stalled transfer lasts until cancelled
    settings.totalTimeout = 30s;
    CurlPageFetcher fetcher(settings);
    QVERIFY(!fetcher.stillExecuting());

    QList<bool> executingAtDelivery;
    connect(&fetcher, &PageFetcher::finished, this,
            [&] { executingAtDelivery << fetcher.stillExecuting(); });
    const quint64 stalled = fetcher.fetchText(m_server->url("/stalled"));
    fetcher.fetchText(m_server->url("/delayed"));
    QVERIFY(fetcher.stillExecuting());

    QTRY_COMPARE_WITH_TIMEOUT(executingAtDelivery.size(), 1, resultTimeoutMs);
    QCOMPARE(executingAtDelivery.first(), true); // the stalled one is still going
    QVERIFY(fetcher.stillExecuting());
    fetcher.cancel(stalled);
    QVERIFY(!fetcher.stillExecuting());

    fetcher.fetchText(m_server->url("/plain"));
    QVERIFY(fetcher.stillExecuting());
    QTRY_COMPARE_WITH_TIMEOUT(executingAtDelivery.size(), 2, resultTimeoutMs);
    QCOMPARE(executingAtDelivery.last(), false);
}

QTEST_GUILESS_MAIN(TestCurlPageFetcher)
#include "tst_curlpagefetcher.moc"
