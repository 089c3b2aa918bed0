// quillora-cli run for real against loopback servers: its rows against the
// window's run over the same sites, its refusals, its reports, its memory over
// long lists, and the many-machines recipe with GNU parallel.
#include "extraction/ExtractionRun.h"
#include "extraction/SiteSource.h"
#include "platform/CurlPageFetcher.h"
#include "results/ResultList.h"
#include "sitelist/SiteList.h"
#include "support/Fakes.h"
#include "support/TestServer.h"

#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <sys/resource.h>

namespace {

struct Outcome
{
    int status = -1;
    QString output;
    QStringList rows; // standard output, line by line
    QStringList said; // standard error
};

// Runs a command line, the event loop going on meanwhile for the servers.
Outcome run(const QString &program, const QStringList &arguments, const QByteArray &input = {},
            bool keepOutput = true)
{
    QProcess process;
    if (!keepOutput)
        process.setStandardErrorFile(QProcess::nullDevice());
    QSignalSpy finished(&process, &QProcess::finished);
    process.start(program, arguments);
    process.write(input);
    process.closeWriteChannel();
    Outcome out;
    if (!finished.wait(120'000))
        return out;
    out.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    out.output = QString::fromUtf8(process.readAllStandardOutput());
    out.rows = out.output.split("\r\n");
    out.rows.removeLast(); // after the last line end
    out.said = QString::fromUtf8(process.readAllStandardError()).split(u'\n', Qt::SkipEmptyParts);
    return out;
}

Outcome cli(const QStringList &arguments, const QByteArray &input = {})
{
    return run(QStringLiteral(QUILLORA_CLI), arguments, input);
}

} // namespace

class TestCli : public QObject
{
    Q_OBJECT

    TestServer m_server;
    QTemporaryDir m_dir;
    QStringList m_sites;

    QString file(const QString &name, const QByteArray &bytes = {})
    {
        QFile out(m_dir.filePath(name));
        if (!bytes.isNull() &&
            !(out.open(QIODevice::WriteOnly) && out.write(bytes) == bytes.size()))
            qFatal("cannot write %s", qPrintable(name));
        return out.fileName();
    }
    // The window's run over the same sites.
    QStringList windowRows(Rule rule, const TestRunHost &host)
    {
        SiteList list;
        list.append(m_sites);
        SiteListSource source(list);
        ResultList results;
        CurlPageFetcher fetcher;
        TestRunHost reading = host;
        ExtractionRun run(rule, source, results, fetcher, reading);
        QSignalSpy finished(&run, &QueuedJob::finished);
        run.start();
        return finished.wait(60'000) ? results.texts() : QStringList{"<not ended>"};
    }

private slots:
    void initTestCase()
    {
        qputenv("no_proxy", "*");
        m_server.page("/1", "keep one\n[a][b][a]\nother\n");
        m_server.page("/2", "nothing here\n");
        m_server.page("/3", "KEEP three &amp; more\n[b][c]\n");
        m_sites = {m_server.url("/1"), m_server.url("/2"), m_server.url("/missing"),
                   m_server.url("/3")};
    }

    // Each rule and option gives the rows the window gives for the same sites,
    // given one by one, from a file or from standard input.
    void sameRowsAsTheWindow_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<Rule>("rule");
        QTest::addColumn<QString>("options"); // of the window's run: k, i, e
        QTest::newRow("with") << QStringList{"--with", "keep"} << Rule::WithText << "";
        QTest::newRow("with, address rows")
            << QStringList{"--with", "KEEP", "--include-url", "--even-if-nothing"} << Rule::WithText
            << "ie";
        QTest::newRow("without") << QStringList{"--without", "keep"} << Rule::WithoutText << "";
        QTest::newRow("between") << QStringList{"--between", "[", "]", "--include-url"}
                                 << Rule::Between << "i";
        QTest::newRow("between, duplicates kept")
            << QStringList{"--between", "[", "]", "--keep-duplicates"} << Rule::Between << "k";
        QTest::newRow("between, address rows")
            << QStringList{"--between", "[", "]", "--include-url", "--even-if-nothing"}
            << Rule::Between << "ie";
    }
    void sameRowsAsTheWindow()
    {
        QFETCH(QStringList, arguments);
        QFETCH(Rule, rule);
        QFETCH(QString, options);
        TestRunHost host;
        host.rule = host.start = arguments[1];
        host.end = arguments.value(2);
        host.keep = options.contains(u'k');
        host.include = options.contains(u'i');
        host.evenIfNothing = options.contains(u'e');
        const QStringList expected = windowRows(rule, host);
        QStringList urls;
        for (const QString &site : m_sites)
            urls << "--url" << site;
        const QByteArray list = m_sites.join("\r\n").toUtf8();
        for (const Outcome &out : {cli(arguments + urls),
                                   cli(arguments + QStringList{"--sites", file("sites.txt", list)}),
                                   cli(arguments + QStringList{"--sites", "-"}, list)}) {
            QCOMPARE(out.rows, expected);
            QCOMPARE(out.said, QStringList{m_server.url("/missing") + "\tnot found (404)"});
            QCOMPARE(out.status, 1);
        }
    }

    void refusals_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("said"); // the start of standard error, or of the output
        const QString url = QStringLiteral("http://127.0.0.1:1/");
        QTest::newRow("no rule") << QStringList{"--url", url} << 2 << "Give a rule";
        QTest::newRow("unknown option")
            << QStringList{"--with", "x", "--bogus"} << 2 << "Unknown option: --bogus";
        QTest::newRow("empty text") << QStringList{"--with", "", "--url", url} << 2
                                    << "Fill out text to use to extract lines.";
        QTest::newRow("empty marker")
            << QStringList{"--between", "a", "", "--url", url} << 2 << "Fill out starting text";
        QTest::newRow("no sites") << QStringList{"--without", "x"} << 2 << "No sites added.";
        QTest::newRow("no sites, between")
            << QStringList{"--between", "a", "b"} << 2 << "No files in list.";
        QTest::newRow("missing file")
            << QStringList{"--with", "x", "--sites", "/no/such/file"} << 2 << "File not found";
        QTest::newRow("even-if alone")
            << QStringList{"--with", "x", "--url", url, "--even-if-nothing"} << 2
            << "--even-if-nothing needs";
        QTest::newRow("two rules")
            << QStringList{"--with", "x", "--without", "y"} << 2 << "Give one rule";
        QTest::newRow("help") << QStringList{"--help"} << 0 << "Usage: quillora-cli";
        QTest::newRow("version") << QStringList{"--version"} << 0
                                 << "quillora-cli " QUILLORA_VERSION;
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

    // The save options write the bytes of the window's saves; --failed lists
    // what failed, for rerunning; politeness options are taken.
    void savesAndFailures()
    {
        const QString list = file("rows.txt"), commas = file("commas.txt"),
                      failed = file("failed.txt");
        const Outcome out = cli({"--between", "[", "]", "--url", m_sites[0], "--url", m_sites[2],
                                 "--save-list", list, "--save-commas", commas, "--failed", failed,
                                 "--delay", "10", "--retries", "1", "--timeout", "5"});
        QCOMPARE(out.rows, (QStringList{"a", "b"}));
        QCOMPARE(out.status, 1);
        const auto read = [](const QString &path) {
            QFile in(path);
            return in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray("<unreadable>");
        };
        QCOMPARE(read(list), QByteArray("a\r\nb\r\n"));
        QCOMPARE(read(commas), QByteArray("a,b,\r\n"));
        QCOMPARE(read(failed), (m_sites[2] + "\tnot found (404)\n").toUtf8());
    }

    // Addresses are read as the run goes: a list a hundred times longer takes
    // no more memory.
    void longListsInFlatMemory()
    {
        const auto peakKiB = [](qsizetype addresses) {
            const QByteArray list =
                QByteArray("\n").repeated(addresses); // "http://" each: fails at once
            const Outcome out = run(QStringLiteral(QUILLORA_CLI),
                                    {"--with", "x", "--sites", "-", "--quiet"}, list, false);
            rusage usage{};
            getrusage(RUSAGE_CHILDREN, &usage);
            return out.status == 1 ? usage.ru_maxrss : -1;
        };
        const long small = peakKiB(2'000);
        const long large = peakKiB(200'000);
        qInfo("peak memory: %ld KiB for 2,000 addresses, %ld KiB for 200,000", small, large);
        QVERIFY(small > 0);
        QVERIFY2(large < small + 8 * 1024, qPrintable(QString::number(large)));
    }

    // One long list spread over four workers by GNU parallel, each host's
    // addresses on one of them: the same rows and failures as one process,
    // and never more connections to a host than one process makes.
    void spreadOverWorkers()
    {
        const QString parallel = QStandardPaths::findExecutable(QStringLiteral("parallel"));
        if (parallel.isEmpty())
            QSKIP("GNU parallel is not installed");
        auto load = std::make_shared<QHash<quint16, std::pair<int, int>>>(); // now, peak by port
        std::vector<std::unique_ptr<TestServer>> hosts;
        QByteArray list;
        for (int h = 0; h < 5; ++h) {
            hosts.push_back(std::make_unique<TestServer>());
            const quint16 port = hosts.back()->port();
            hosts.back()->route("/p", [load, port](QTcpSocket *socket, const QByteArray &head) {
                auto &[now, peak] = (*load)[port];
                peak = std::max(peak, ++now);
                const bool bad = head.split(' ')[1].mid(3).toInt() % 10 == 7;
                QTimer::singleShot(5, socket, [load, port, socket, bad, head] {
                    --(*load)[port].first;
                    socket->write(
                        TestServer::response(bad ? 404 : 200, {}, "keep " + head.split(' ')[1]));
                    socket->disconnectFromHost();
                });
            });
            for (int i = 0; i < 600; ++i)
                list += hosts.back()->url(QStringLiteral("/p?%1").arg(i)).toUtf8() + "\r\n";
        }
        const QString sites = file("many.txt", list);
        const Outcome one = cli({"--with", "keep", "--sites", sites, "--quiet"});
        const QString command =
            QStringLiteral("%1 --with keep --sites - --quiet").arg(QUILLORA_CLI);
        const Outcome four =
            run(parallel, {"--pipe", "--colsep", "/", "--shard", "3", "-j4", command}, list);
        QCOMPARE(one.rows.size(), 3000 - 5 * 60);
        QStringList oneRows = one.rows, fourRows = four.rows, oneSaid = one.said,
                    fourSaid = four.said;
        for (QStringList *lines : {&oneRows, &fourRows, &oneSaid, &fourSaid})
            lines->sort();
        QCOMPARE(fourRows, oneRows);
        QCOMPARE(fourSaid, oneSaid);
        for (const auto &[now, peak] : std::as_const(*load))
            QVERIFY2(peak <= 6, qPrintable(QString::number(peak)));
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
