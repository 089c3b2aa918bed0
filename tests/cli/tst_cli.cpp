// quillora-cli run for real against loopback servers.
#include "platform/CurlPageFetcher.h"
#include "support/Checks.h"
#include "support/Fakes.h"
#include "support/TestServer.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>

namespace {

struct Outcome
{
    int status = -1;
    QString output;
    QStringList rows; // standard output, line by line
    QStringList said; // standard error
};

// Runs a command line, the event loop going on meanwhile for the servers.
Outcome cli(const QStringList &arguments, const QByteArray &input = {},
            const QString &program = QStringLiteral(QUILLORA_CLI))
{
    QProcess process;
    QSignalSpy finished(&process, &QProcess::finished);
    process.start(program, arguments);
    process.write(input);
    process.closeWriteChannel();
    Outcome out;
    if (!finished.wait(120'000) || process.exitStatus() != QProcess::NormalExit)
        return out;
    out.status = process.exitCode();
    out.output = QString::fromUtf8(process.readAllStandardOutput());
    out.rows = out.output.split("\r\n");
    out.rows.removeLast(); // after the last line end
    out.said = QString::fromUtf8(process.readAllStandardError()).split(u'\n', Qt::SkipEmptyParts);
    return out;
}

// Reads csv, tsv or jsonl (argv[1]) from standard input into JSON: each row's
// site and result; each record's site, result, url and status, or a failed
// site's site, error and kind.
const char *const readBack = R"(
import csv, io, json, re, sys
form, text = sys.argv[1], sys.stdin.buffer.read().decode('utf-8')
assert text.endswith('\n')
if form == 'jsonl':
    objects = [json.loads(line) for line in text.split('\n')[:-1]]
    print(json.dumps([[o['site'], o['result'], o['url'], o['status']] if 'result' in o
                      else [o['site'], o['error'], o['kind']] for o in objects]))
    sys.exit()
if form == 'csv':
    rows = list(csv.reader(io.StringIO(text, newline=''), strict=True))
    again = io.StringIO(newline='')
    csv.writer(again, lineterminator='\r\n').writerows(rows)
    assert again.getvalue() == text, 'not quoted as RFC 4180 has it'
else:
    escapes = {'t': '\t', 'n': '\n', 'r': '\r', '\\': '\\'}
    rows = [[re.sub(r'\\(.)', lambda m: escapes[m[1]], field) for field in line.split('\t')]
            for line in text.split('\n')[:-1]]
assert rows[0] == ['site', 'result'], rows[0]
print(json.dumps(rows[1:]))
)";

} // namespace

class TestCli : public QObject
{
    Q_OBJECT

    TestServer m_server;
    TestServer m_site, m_other; // a site to crawl, and another port of its host
    QTemporaryDir m_dir;
    QStringList m_sites;

    // A page served as HTML; "$1" is the site, "$2" the other port.
    void html(TestServer &server, const QString &path, QString body)
    {
        body.replace("$1", m_site.url("")).replace("$2", m_other.url(""));
        server.raw(path, TestServer::response(200, {"Content-Type: text/html"}, body.toUtf8()));
    }

private slots:
    void initTestCase()
    {
        qputenv("no_proxy", "*");
        m_server.page("/1", "keep one\n[a][b][a]\nother\n");
        m_server.page("/2", "nothing here\n");
        m_server.page("/3", "KEEP three &amp; more\n[b][c]\n");
        m_server.page("/big", QByteArray("keep a long line of text\n").repeated(40'000));
        m_server.slow("/slow/", 60'000, "<a href=\"/1\">");
        // A row every 20 ms for half a minute.
        m_server.route("/drip", [](QTcpSocket *socket, const QByteArray &) {
            socket->write(TestServer::head(200, {"Transfer-Encoding: chunked"}));
            auto *timer = new QTimer(socket);
            connect(timer, &QTimer::timeout, socket, [socket, timer, n = 0]() mutable {
                const QByteArray line = "keep " + QByteArray::number(n) + "\n";
                socket->write(QByteArray::number(line.size(), 16) + "\r\n" + line + "\r\n");
                if (++n == 1500)
                    timer->stop();
            });
            timer->start(20);
        });
        m_server.page("/odd.html", "<a href=\"x\ny\x1b\">");
        m_server.page("/q", "[a,b][say \"hi\"][x\ry][p\nq][m\r\nn][\xC3\xA9\xE4\xB8\xAD][t\tu\\v]");
        m_server.raw("/moved", TestServer::head(301, {"Location: " + m_server.url("/q").toUtf8()}));
        m_sites = {m_server.url("/1"), m_server.url("/2"), m_server.url("/missing"),
                   m_server.url("/3")};
        // The crawl's site: links spelled many ways, nofollow, a base, a plain
        // text page whose links are none, a folder robots.txt forbids.
        const QString port = QString::number(m_site.port());
        html(m_site, "/s/index.html",
             "<link rel=next href=\"../c.html\"><base href=\"/s/x/\"><a href=\"../a.html\">"
             "<a href=\"../a.html#top\"><a href=\"HTTP://127.0.0.1:" +
                 port +
                 "/s/%62.html\">"
                 "<map><area href=\"/s/y/../b.html\"></map><a rel=nofollow href=\"../nf.html\">"
                 "<a href=\"../list.txt\"><a href=\"../private/p.html\"><a href=\"/out.html\">"
                 "<a href=\"$2/s/other.html\"><a href=\"mailto:me@127.0.0.1\"><a "
                 "href=\"../moved\">");
        // Links resolve against where a redirect led.
        m_site.raw("/s/moved",
                   TestServer::head(301, {"Location: " + m_site.url("/s/m/to.html").toUtf8()}));
        html(m_site, "/s/m/to.html", "<a href=next.html>");
        html(m_site, "/s/a.html", "<a href=d.html><a href=//127.0.0.1:" + port + "/s/index.html>");
        html(m_site, "/s/d.html", "<p><a href=e.html>e</a>");
        html(m_site, "/s/e.html", "<a href=f.html>");
        for (const char *leaf : {"/s/b.html", "/s/c.html", "/s/nf.html", "/out.html", "/s/f.html",
                                 "/s/hidden.html", "/s/private/p.html", "/s/private/q.html",
                                 "/s/deep.html", "/s/gz.html", "/s/m/next.html"})
            html(m_site, leaf, "<p>a page</p>");
        m_site.page("/s/list.txt", "<a href=\"hidden.html\">");
        html(m_other, "/s/other.html", "<a href=\"$1/s/f.html\">");
        // A sitemap index of a sitemap and a gzip-compressed one.
        QByteArray index = "<?xml version=\"1.0\"?><sitemapindex><sitemap><loc>$1/maps/one.xml"
                           "</loc></sitemap><sitemap><loc>$1/maps/two.xml.gz</loc></sitemap>"
                           "</sitemapindex>",
                   one = "<urlset><url><loc>$1/s/deep.html</loc></url><url><loc>$1/s/a.html</loc>"
                         "</url><url><loc>$1/s/private/q.html</loc></url></urlset>",
                   two = "<urlset><url><loc>$1/s/e.html</loc></url>\n<url><loc>$1/s/gz.html"
                         "</loc></url></urlset>";
        for (QByteArray *xml : {&index, &one, &two})
            xml->replace("$1", m_site.url("").toUtf8());
        m_site.raw("/maps/index.xml",
                   TestServer::response(200, {"Content-Type: application/xml"}, index));
        m_site.raw("/maps/one.xml", TestServer::response(200, {"Content-Type: text/xml"}, one));
        m_site.raw("/maps/two.xml.gz", TestServer::response(200, {"Content-Type: application/gzip"},
                                                            TestServer::deflate(two)));
        // A page whose links come before it ends, which it never does.
        m_server.route("/r/", [](QTcpSocket *socket, const QByteArray &) {
            socket->write(TestServer::head(200, {"Content-Type: text/html"}) + "<body>keep 0\n");
            for (int i = 0; i < 2000; ++i)
                socket->write("<a href=\"/r/" + QByteArray::number(i) + "\">\n");
        });
    }

    // Each rule and option gives the rows the window gives for the same sites,
    // given one by one, from a file or from standard input.
    void sameRowsAsTheWindow_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<Rule>("rule");
        QTest::addColumn<QString>("options"); // of the window's run: k, i, e
        // clang-format off
        QTest::newRow("with, address rows") << QStringList{"--with", "KEEP", "--include-url", "--even-if-nothing"} << Rule::WithText << "ie";
        QTest::newRow("without") << QStringList{"--without", "keep"} << Rule::WithoutText << "";
        QTest::newRow("between, duplicates kept") << QStringList{"--between", "[", "]", "--keep-duplicates"} << Rule::Between << "k";
        QTest::newRow("between, address rows") << QStringList{"--between", "[", "]", "--include-url", "--even-if-nothing"} << Rule::Between << "ie";
        QTest::newRow("with, patterns") << QStringList{"--with", "k.ep|^\\[", "--regex"} << Rule::WithText << "r";
        QTest::newRow("match") << QStringList{"--match", "\\[(\\w)\\]|t\\w+"} << Rule::Match << "";
        QTest::newRow("with, a plain text page as its own text") << QStringList{"--with", "keep", "--text"} << Rule::WithText << "t";
        QTest::newRow("elements, two takes") << QStringList{"--select", "body", "--take", "text", "--take", "raw"} << Rule::Select << "";
        // clang-format on
    }
    void sameRowsAsTheWindow()
    {
        QFETCH(QStringList, arguments);
        QFETCH(Rule, rule);
        QFETCH(QString, options);
        TestRunHost host;
        host.setTexts(rule == Rule::Between ? arguments[1] + '|' + arguments[2] : arguments[1]);
        host.setOptions(options);
        for (qsizetype at = arguments.indexOf("--take"); at >= 0;
             at = arguments.indexOf("--take", at + 1))
            host.takeNames << arguments[at + 1];
        CurlPageFetcher fetcher;
        const QStringList expected = runRows(rule, fetcher, m_sites, host);
        QStringList urls;
        for (const QString &site : m_sites)
            urls << "--url" << site;
        // Blank lines and a last line end, as editors write them, add nothing.
        const QByteArray list = m_sites.join("\n\n").toUtf8() + '\n';
        const QString file = writeFile(m_dir.filePath(QStringLiteral("sites.txt")), list);
        // The window's save bytes; what failed, for rerunning; politeness taken.
        QStringList saves = QStringLiteral("--delay 10 --retries 1 --timeout 5").split(u' ');
        for (const QString option : {"--save-list", "--save-commas", "--failed"})
            saves << option << m_dir.filePath(option.mid(2)); // each file named after its option
        const QString failed = m_server.url("/missing") + "\tnot found (404)";
        const QString rows = expected.join("\r\n") + (expected.isEmpty() ? "" : "\r\n"),
                      commas = expected.join(u',') + ",\r\n";
        const QStringList fromInput{"--sites", "-", "--format", "commas"};
        for (const auto &[out, output] :
             {std::pair{cli(arguments + urls), rows},
              {cli(arguments + QStringList{"--sites", file} + saves), rows},
              {cli(arguments + fromInput, list), commas}}) {
            QCOMPARE(out.output, output);
            QCOMPARE(out.said, QStringList{failed});
            QCOMPARE(out.status, 1);
        }
        QCOMPARE(readAll(m_dir.filePath("save-list")), rows.toUtf8());
        QCOMPARE(readAll(m_dir.filePath("save-commas")), commas.toUtf8());
        QCOMPARE(readAll(m_dir.filePath("failed")), (failed + "\n").toUtf8());
        // A rerun on its own list of failures leaves there what still fails.
        const Outcome rerun = cli(arguments + QStringList{"--sites", m_dir.filePath("failed"),
                                                          "--failed", m_dir.filePath("failed")});
        QCOMPARE(rerun.said, QStringList{failed});
        QCOMPARE(readAll(m_dir.filePath("failed")), (failed + "\n").toUtf8());
    }

    // Other programs read the structured formats back to the very sites and
    // results: Python's csv (which must write the same bytes again) and json,
    // and jq. A failed site is a record of its own in JSON Lines only.
    void structuredOutput_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("reader"); // csv, tsv, jsonl or jq
        const QString saved = m_dir.filePath(QStringLiteral("saved.csv"));
        // clang-format off
        QTest::newRow("csv") << QStringList{"--format", "csv"} << "csv";
        QTest::newRow("csv saved") << QStringList{"--save-csv", saved} << "csv";
        QTest::newRow("tsv") << QStringList{"--format", "tsv"} << "tsv";
        QTest::newRow("jsonl") << QStringList{"--format", "jsonl"} << "jsonl";
        QTest::newRow("jsonl, jq") << QStringList{"--format", "jsonl"} << "jq";
        // clang-format on
    }
    void structuredOutput()
    {
        QFETCH(QStringList, options);
        QFETCH(QString, reader);
        const QString jq = QStandardPaths::findExecutable(QStringLiteral("jq"));
        if (reader == "jq" && jq.isEmpty())
            QSKIP("jq is not installed");
        const QString moved = m_server.url("/moved"), none = m_server.url("/2"),
                      missing = m_server.url("/missing");
        const Outcome out = cli(options + QStringList{"--between", "[", "]", "--keep-duplicates",
                                                      "--include-url", "--even-if-nothing", "--url",
                                                      moved, "--url", none, "--url", missing});
        QCOMPARE(out.status, 1);
        QCOMPARE(out.said, QStringList{missing + "\tnot found (404)"});
        const bool records = reader.startsWith('j');
        QJsonArray expected;
        for (const char *hit :
             {"a,b", "say \"hi\"", "x\ry", "p\nq", "m\r\nn", "\u00E9\u4E2D", "t\tu\\v"})
            expected << (records ? QJsonArray{moved, hit, m_server.url("/q"), 200}
                                 : QJsonArray{moved, hit});
        expected << (records ? QJsonArray{none, "", none, 200} : QJsonArray{none, ""});
        expected << (records ? QJsonArray{missing, "not found (404)", "status"}
                             : QJsonArray{missing, ""});
        const QByteArray bytes =
            options[0] == "--save-csv" ? readAll(options[1]) : out.output.toUtf8();
        const Outcome read =
            reader == "jq"
                ? cli({"-cs", "map(if has(\"result\") then [.site, .result, .url, .status] "
                              "else [.site, .error, .kind] end)"},
                      bytes, jq)
                : cli({"-c", readBack, reader}, bytes, "python3");
        QVERIFY2(read.status == 0, qPrintable(read.said.join(u'\n')));
        QCOMPARE(QJsonDocument::fromJson(read.output.toUtf8()).array(), expected);
    }

    // As a shell runs it, "$0" being quillora-cli and "$1" the server.
    void inPipelines_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("said"); // the start of standard error
        // clang-format off
        QTest::newRow("closed input") << R"("$0" --with x --sites - <&-)" << 2 << "No addresses read: standard input is closed.";
        QTest::newRow("input still open") << R"((echo "$1/1"; sleep 3) | (timeout -s KILL 2 "$0" --with "keep one" --sites - | head -1 >&2))" << 0 << "keep one";
        QTest::newRow("head -1") << R"("$0" --with keep --url "$1/big" --url "$1/big" | head -1; exit ${PIPESTATUS[0]})" << 141 << "";
        QTest::newRow("full disk") << R"("$0" --with keep --url "$1/big" --url "$1/1" >/dev/full)" << 2 << "Standard output could not be written: No space left on device.";
        QTest::newRow("odd link") << R"("$0" --with x --links-of "$1/odd.html" 2>&1 >/dev/null | sed "s|$1||" >&2)" << 0 << "/x%0Ay%1B/\tnot a web address";
        QTest::newRow("harvest's reason") << R"("$0" --with x --links-of "$1/gone/" 2>&1 | sed "s|$1||" >&2)" << 0 << "/gone/\tnot found (404)";
        // clang-format on
    }
    void inPipelines()
    {
        QFETCH(QString, line);
        QFETCH(int, status);
        QFETCH(QString, said);
        const Outcome out = cli({"-c", line, QUILLORA_CLI, m_server.url("")}, {}, "/bin/bash");
        QCOMPARE(out.status, status);
        QCOMPARE(out.said.join(u'\n').left(said.size()), said);
        QCOMPARE(said.isEmpty(), out.said.isEmpty());
    }

    // For one's own servers: more connections than the polite defaults; a delay
    // between two requests to a host spaces them out whatever the room.
    void connectionLimits_data()
    {
        QTest::addColumn<QStringList>("limits");
        QTest::addColumn<int>("peak"); // 0: as timing has it
        QTest::addColumn<int>("leastMs");
        QTest::newRow("defaults") << QStringList() << 6 << 0;
        QTest::newRow("per host") << QStringList{"--per-host", "2"} << 2 << 0;
        QTest::newRow("in all") << QStringList{"--per-host", "32", "--connections", "20"} << 20
                                << 0;
        QTest::newRow("delay") << QStringList{"--per-host", "32", "--delay", "50"} << 0 << 39 * 50;
    }
    void connectionLimits()
    {
        QFETCH(QStringList, limits);
        QFETCH(int, peak);
        QFETCH(int, leastMs);
        TestServer server;
        server.slow("/p", 500, "keep");
        QStringList arguments{"--with", "keep", "--quiet"};
        for (int i = 0; i < 40; ++i)
            arguments << "--url" << server.url(QStringLiteral("/p?%1").arg(i));
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(cli(arguments + limits).rows.size(), 40);
        QVERIFY(clock.elapsed() >= leastMs);
        if (peak)
            QCOMPARE(server.peakLoad(), peak);
    }

    // A signal stops the run at once: no row after it, the rows so far kept (in
    // the saves too), the sites left listed for a rerun, the one under way with
    // the rows it showed, and no page file left. A second signal ends it
    // without waiting; nothing recorded is lost. "$1" is the server; stopped
    // once standard output holds a line of the row named.
    void interrupted_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("stopWhen");
        QTest::addColumn<int>("stops");
        QTest::addColumn<QStringList>("left"); // the --failed file, "$1" the server
        // clang-format off
        QTest::newRow("harvest under way") << QStringList{"--url", "$1/1", "--links-of", "$1/slow/", "--url", "$1/3"} << "keep one" << 1 << QStringList{"$1/slow/\tnot done", "$1/3\tnot done"};
        QTest::newRow("page still arriving, jsonl") << QStringList{"--url", "$1/missing", "--url", "$1/drip", "--url", "$1/3", "--format", "jsonl"} << "drip" << 1 << QStringList{"$1/missing\tnot found (404)", "$1/drip\tstopped after # rows shown", "$1/3\tnot done"};
        QTest::newRow("twice, while the rest is listed") << QStringList{"--url", "$1/missing", "--url", "$1/drip", "--sites", "$2"} << "keep 3" << 2 << QStringList{"$1/missing\tnot found (404)", "$1/drip\tstopped after # rows shown"};
        // clang-format on
        // A crawl lists the pages it found and did not fetch, the run's lookahead and past it.
        QStringList found{"$1/r/\tstopped after # rows shown"};
        for (int i = 0; i < 2000; ++i)
            found << QStringLiteral("$1/r/%1\tnot done").arg(i);
        QTest::newRow("crawl") << QStringList{"--crawl", "$1/r/"} << "keep 0" << 1 << found;
    }
    void interrupted()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, stopWhen);
        QFETCH(int, stops);
        QFETCH(QStringList, left);
        const QString tmp = m_dir.filePath(QStringLiteral("tmp")), failed = m_dir.filePath("rest");
        QVERIFY(QDir().mkpath(tmp));
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("TMPDIR", tmp);
        process.setProcessEnvironment(environment);
        arguments.replaceInStrings("$1", m_server.url(""));
        // A long list: listing what is left of it takes a while.
        arguments.replaceInStrings(
            "$2", writeFile(m_dir.filePath("long"),
                            QByteArray("http://127.0.0.1:1/left\n").repeated(1'000'000)));
        process.start(QUILLORA_CLI, QStringList{"--with", "keep", "--failed", failed, "--save-list",
                                                m_dir.filePath("kept")} +
                                        arguments);
        QByteArray output;
        QTRY_VERIFY_WITH_TIMEOUT(
            (output += process.readAllStandardOutput()).contains(stopWhen.toUtf8()), 20'000);
        for (int i = 0; i < stops && process.processId() > 0; ++i) {
            ::kill(pid_t(process.processId()), SIGINT);
            QTest::qWait(30); // taken up by the run, not merged with the next
        }
        QVERIFY(process.state() == QProcess::NotRunning || process.waitForFinished(10'000));
        QCOMPARE(process.exitCode(), 130);
        output += process.readAllStandardOutput();
        const QList<QByteArray> rows = output.trimmed().split('\n');
        qsizetype dripped = 0;
        for (const QByteArray &row : rows) {
            if (!row.contains("keep "))
                continue;
            ++dripped;
            // A row of a page still arriving says what answered, not what came before.
            if (arguments.contains("jsonl"))
                QVERIFY2(row.contains("\"url\":\"" + m_server.url("/drip").toUtf8() +
                                      "\",\"status\":200"),
                         row);
        }
        if (!arguments.contains("jsonl"))
            QCOMPARE(readAll(m_dir.filePath("kept")), output);
        left.replaceInStrings("$1", m_server.url(""));
        left.replaceInStrings("#", QString::number(dripped));
        // What the list holds after those, if anything, is sites not done.
        const QString listed = QString::fromUtf8(readAll(failed));
        QVERIFY2(listed.startsWith(left.join(u'\n') + u'\n'), qPrintable(listed.left(300)));
        QVERIFY(listed.count(u'\n') ==
                left.size() + listed.count(QStringLiteral("left\tnot done")));
        QCOMPARE(entries(tmp), QStringList());
    }

    // The pages a crawl fetches, each once however its links spell it, as far
    // and wide as asked; what robots.txt forbids listed as failed, unfetched.
    // "$1" is the site, "$2" another port of its host.
    void crawl_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("robots"); // the site's robots.txt; 500 or reset
        QTest::addColumn<QStringList>("fetched");
        QTest::addColumn<QStringList>("failed");
        QTest::addColumn<int>("atLeastMs");
        const QStringList crawl{"--crawl", "$1/s/index.html"},
            sitemap{"--sitemap", "$1/maps/index.xml"};
        const QByteArray robots =
            "User-agent: *\nDisallow: /s/private/\nSitemap: /maps/index.xml\n";
        const QStringList depth1{"/s/index.html", "/s/a.html",   "/s/b.html", "/s/c.html",
                                 "/s/nf.html",    "/s/list.txt", "/out.html", "/s/moved"},
            depth3 = depth1 + QStringList{"/s/d.html", "/s/e.html", "/s/m/next.html"},
            forbidden{"/s/private/p.html\trobots.txt"};
        const auto without = [](QStringList list, const QString &page) {
            list.removeOne(page);
            return list;
        };
        // clang-format off
        QTest::newRow("host, depth 3") << crawl << robots << depth3 << forbidden << 0;
        QTest::newRow("depth 1") << crawl + QStringList{"--depth", "1"} << robots << depth1 << forbidden << 0;
        QTest::newRow("depth 0") << crawl + QStringList{"--depth", "0"} << robots << QStringList{"/s/index.html"} << QStringList() << 0;
        QTest::newRow("prefix") << crawl + QStringList{"--scope", "prefix"} << robots << without(depth3, "/out.html") << forbidden << 0;
        QTest::newRow("domain: any port") << crawl + QStringList{"--scope", "domain"} << robots << depth3 + QStringList{"$2/s/other.html", "/s/f.html"} << forbidden << 0;
        QTest::newRow("nofollow obeyed") << crawl + QStringList{"--obey-nofollow"} << robots << without(depth3, "/s/nf.html") << forbidden << 0;
        QTest::newRow("robots ignored") << crawl + QStringList{"--ignore-robots"} << QByteArray("500") << depth3 + QStringList{"/s/private/p.html"} << QStringList() << 0;
        QTest::newRow("robots.txt missing: all allowed") << crawl << QByteArray() << depth3 + QStringList{"/s/private/p.html"} << QStringList() << 0;
        QTest::newRow("robots.txt failing: nothing") << crawl << QByteArray("500") << QStringList() << QStringList{"/s/index.html\trobots.txt unavailable"} << 0;
        QTest::newRow("robots.txt unreachable: nothing") << crawl << QByteArray("reset") << QStringList() << QStringList{"/s/index.html\trobots.txt unavailable"} << 0;
        QTest::newRow("robots.txt for another agent") << crawl << QByteArray("User-agent: other\nDisallow: /\n") << depth3 + QStringList{"/s/private/p.html"} << QStringList() << 0;
        QTest::newRow("sitemap index, gzip inside") << sitemap << robots << QStringList{"/s/deep.html", "/s/a.html", "/s/e.html", "/s/gz.html"} << QStringList{"/s/private/q.html\trobots.txt"} << 0;
        QTest::newRow("crawl with sitemaps") << crawl + QStringList{"--depth", "1", "--with-sitemaps"} << robots << depth1 + QStringList{"/s/deep.html", "/s/e.html", "/s/gz.html"} << forbidden + QStringList{"/s/private/q.html\trobots.txt"} << 0;
        QTest::newRow("past the page limit") << crawl + QStringList{"--max-pages", "2"} << robots << QStringList{"/s/index.html", "/s/c.html"} << QStringList{"/s/a.html\tpast the page limit", "/s/b.html\tpast the page limit", "/s/nf.html\tpast the page limit", "/s/list.txt\tpast the page limit", "/s/private/p.html\tpast the page limit", "/out.html\tpast the page limit", "/s/moved\tpast the page limit"} << 0;
        QTest::newRow("Crawl-delay") << crawl + QStringList{"--max-pages", "3"} << QByteArray("User-agent: *\nCrawl-delay: 0.25\n") << QStringList{"/s/index.html", "/s/c.html", "/s/a.html"} << QStringList{"/s/b.html\tpast the page limit", "/s/nf.html\tpast the page limit", "/s/list.txt\tpast the page limit", "/s/private/p.html\tpast the page limit", "/out.html\tpast the page limit", "/s/moved\tpast the page limit", "/s/d.html\tpast the page limit"} << 500;
        // A robots.txt whose wildcards would take too long to match against the page.
        const QString longPage = "/s/" + QString(900, u'l') + ".html";
        QByteArray costly = "User-agent: *\n";
        for (int i = 0; i < 30'000; ++i)
            costly += "Allow: /*q" + QByteArray::number(i) + '\n';
        QTest::newRow("robots.txt too costly") << QStringList{"--crawl", "$1" + longPage} << costly << QStringList() << QStringList{longPage + "\trobots.txt too complex to apply"} << 0;
        // clang-format on
    }
    void crawl()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, robots);
        QFETCH(QStringList, fetched);
        QFETCH(QStringList, failed);
        QFETCH(int, atLeastMs);
        if (robots == "500")
            m_site.raw("/robots.txt", TestServer::response(500, {}, "down"));
        else if (robots == "reset")
            m_site.reset("/robots.txt");
        else if (robots.isEmpty())
            m_site.raw("/robots.txt", TestServer::response(404, {}, "none"));
        else
            m_site.page("/robots.txt", robots);
        // Paths are the site's.
        const auto addresses = [this](QStringList list) {
            for (QString &address : list) {
                if (address.startsWith('/'))
                    address.prepend("$1");
                address.replace("$1", m_site.url("")).replace("$2", m_other.url(""));
            }
            return list;
        };
        const auto sorted = [&](const QStringList &list) {
            QStringList all = addresses(list);
            all.sort();
            return all;
        };
        // A row a page, duplicates kept: a page fetched twice shows twice.
        QElapsedTimer clock;
        clock.start();
        Outcome out = cli(addresses(arguments) + QStringList{"--match", "^<", "--keep-duplicates",
                                                             "--include-url", "--retries", "0"});
        QCOMPARE(out.status, failed.isEmpty() ? 0 : 1);
        out.rows.replaceInStrings(QRegularExpression(",<$"), "");
        out.rows.sort();
        out.said.sort();
        QCOMPARE(out.rows, sorted(fetched));
        QCOMPARE(out.said, sorted(failed));
        QVERIFY(clock.elapsed() >= atLeastMs);
    }

    void refusals_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("said"); // the start of standard error, or of the output
        const QString url = QStringLiteral("http://127.0.0.1:1/");
        // clang-format off
        QTest::newRow("no rule") << QStringList{"--url", url} << 2 << "Give a rule";
        QTest::newRow("empty text") << QStringList{"--with", "", "--url", url} << 2 << "Fill out text to use to extract lines.";
        QTest::newRow("no sites") << QStringList{"--without", "x"} << 2 << "No sites added.";
        QTest::newRow("unknown format") << QStringList{"--with", "x", "--url", url, "--format", "xml"} << 2 << "--format needs list, commas";
        QTest::newRow("missing file") << QStringList{"--with", "x", "--sites", "/no/such/file"} << 2 << "File not found";
        QTest::newRow("even-if alone") << QStringList{"--with", "x", "--url", url, "--even-if-nothing"} << 2 << "--even-if-nothing needs";
        QTest::newRow("invalid pattern") << QStringList{"--without", "(", "--regex", "--url", url} << 2 << "The regular expression \"(\" is not valid: missing closing parenthesis (at its end).";
        QTest::newRow("invalid match") << QStringList{"--match", "a\\", "--url", url} << 2 << "The regular expression \"a\\\" is not valid: \\ at end of pattern (at its end).";
        QTest::newRow("help") << QStringList{"--help"} << 0 << "Usage: quillora-cli";
        QTest::newRow("version") << QStringList{"--version"} << 0 << "quillora-cli " QUILLORA_VERSION;
        // clang-format on
        // Every option that takes values, last: without its last value, and with it
        // (its least or greatest where it has bounds).
        const QStringList taking[] = {
            {"--url", "a"},         {"--sites", "f"},     {"--links-of", "a"},
            {"--with", "x"},        {"--without", "x"},   {"--between", "[", "]"},
            {"--match", "x"},       {"--select", "p"},    {"--take", "text"},
            {"--format", "tsv"},    {"--save-list", "f"}, {"--save-commas", "f"},
            {"--save-csv", "f"},    {"--failed", "f"},    {"--delay", "0"},
            {"--retries", "0"},     {"--timeout", "0"},   {"--per-host", "32"},
            {"--connections", "1"}, {"--crawl", "a"},     {"--sitemap", "a"},
            {"--depth", "0"},       {"--max-pages", "1"}, {"--scope", "prefix"}};
        const QStringList rules{"--with", "--without", "--match", "--select"};
        for (const QStringList &option : taking) {
            const char *missing = option.size() == 3          ? " needs two texts."
                                  : rules.contains(option[0]) ? " needs a text."
                                                              : " needs a value.";
            QTest::addRow("%s last, cut", qPrintable(option[0]))
                << QStringList{"--version"} + option.sliced(0, option.size() - 1) << 2
                << option[0] + missing;
            QTest::addRow("%s last", qPrintable(option[0]))
                << QStringList{"--version"} + option << 0 << "quillora-cli " QUILLORA_VERSION;
        }
    }
    void refusals()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QString, said);
        const Outcome out = cli(arguments);
        QCOMPARE(out.status, status);
        const QString first = status == 0 ? out.output : out.said.value(0);
        QVERIFY2(first.startsWith(said), qPrintable(first));
    }

    // Addresses are read as the run goes: a hundred times more take no more memory.
    void longListsInFlatMemory()
    {
#ifdef __SANITIZE_ADDRESS__
        QSKIP("the address sanitizer's quarantine swamps the figure");
#endif
        const auto peakKiB = [](qsizetype addresses) {
            // Each fails at once, each failure written as it comes.
            const Outcome out = cli({"--with", "x", "--sites", "-", "--quiet"},
                                    QByteArray("http://\n").repeated(addresses));
            rusage usage{};
            getrusage(RUSAGE_CHILDREN, &usage);
            return out.status == 1 ? usage.ru_maxrss : -1;
        };
        const long small = peakKiB(2'000), large = peakKiB(200'000);
        QVERIFY(small > 0);
        QVERIFY2(large < small + 8 * 1024, qPrintable(QString::number(large - small)));
    }

    // A list spread over four workers by GNU parallel, a host's addresses on one:
    // the rows and failures of one process, and never more connections to a host.
    void spreadOverWorkers()
    {
        const QString parallel = QStandardPaths::findExecutable(QStringLiteral("parallel"));
        if (parallel.isEmpty())
            QSKIP("GNU parallel is not installed");
        std::vector<std::unique_ptr<TestServer>> hosts;
        QStringList urls; // every tenth page missing
        for (int h = 0; h < 5; ++h) {
            hosts.push_back(std::make_unique<TestServer>());
            hosts.back()->slow("/p", 5, "keep");
            for (int i = 0; i < 600; ++i)
                urls << hosts.back()->url(QString(i % 10 == 7 ? "/nop?%1" : "/p?%1").arg(i));
        }
        const QByteArray list = urls.join("\r\n").toUtf8();
        const QStringList arguments{"--with", "keep", "--sites", "-", "--quiet"};
        Outcome one = cli(arguments, list);
        Outcome four = cli({"--pipe", "--colsep", "/", "--shard", "3", "-j4",
                            QUILLORA_CLI " " + arguments.join(' ')},
                           list, parallel);
        QCOMPARE(one.rows.size(), 3000 - 5 * 60);
        QCOMPARE(one.said.size(), 5 * 60);
        for (QStringList *lines : {&one.rows, &four.rows, &one.said, &four.said})
            lines->sort();
        QCOMPARE(four.rows, one.rows);
        QCOMPARE(four.said, one.said);
        for (const auto &host : hosts)
            QVERIFY2(host->peakLoad() <= 6, qPrintable(QString::number(host->peakLoad())));
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
