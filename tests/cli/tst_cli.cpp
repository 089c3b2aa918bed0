// quillora-cli run for real against a loopback server: its rows against the
// window's run over the same sites, its refusals and its reports.
#include "platform/CurlPageFetcher.h"
#include "support/Fakes.h"
#include "support/Files.h"
#include "support/TestServer.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

struct Outcome
{
    int status = -1;
    QString output;
    QStringList rows; // standard output, line by line
    QStringList said; // standard error
};

// Runs the command line, the event loop going on meanwhile for the server.
Outcome cli(const QStringList &arguments, const QByteArray &input = {})
{
    QProcess process;
    QSignalSpy finished(&process, &QProcess::finished);
    process.start(QStringLiteral(QUILLORA_CLI), arguments);
    process.write(input);
    process.closeWriteChannel();
    Outcome out;
    if (!finished.wait(60'000) || process.exitStatus() != QProcess::NormalExit)
        return out;
    out.status = process.exitCode();
    out.output = QString::fromUtf8(process.readAllStandardOutput());
    out.rows = out.output.split("\r\n");
    out.rows.removeLast(); // after the last line end
    out.said = QString::fromUtf8(process.readAllStandardError()).split(u'\n', Qt::SkipEmptyParts);
    return out;
}

} // namespace

class TestCli : public QObject
{
    Q_OBJECT

    TestServer m_server;
    QTemporaryDir m_dir;
    QStringList m_sites;

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
        // clang-format off
        QTest::newRow("with, address rows") << QStringList{"--with", "KEEP", "--include-url", "--even-if-nothing"} << Rule::WithText << "ie";
        QTest::newRow("without") << QStringList{"--without", "keep"} << Rule::WithoutText << "";
        QTest::newRow("between, duplicates kept") << QStringList{"--between", "[", "]", "--keep-duplicates"} << Rule::Between << "k";
        QTest::newRow("between, address rows") << QStringList{"--between", "[", "]", "--include-url", "--even-if-nothing"} << Rule::Between << "ie";
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
        CurlPageFetcher fetcher;
        const QStringList expected = runRows(rule, fetcher, m_sites, host);
        QStringList urls;
        for (const QString &site : m_sites)
            urls << "--url" << site;
        const QByteArray list = m_sites.join("\r\n").toUtf8();
        const QString file = writeFile(m_dir.filePath(QStringLiteral("sites.txt")), list);
        for (const Outcome &out :
             {cli(arguments + urls), cli(arguments + QStringList{"--sites", file}),
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
        // clang-format off
        QTest::newRow("no rule") << QStringList{"--url", url} << 2 << "Give a rule";
        QTest::newRow("empty text") << QStringList{"--with", "", "--url", url} << 2 << "Fill out text to use to extract lines.";
        QTest::newRow("no sites") << QStringList{"--without", "x"} << 2 << "No sites added.";
        QTest::newRow("missing file") << QStringList{"--with", "x", "--sites", "/no/such/file"} << 2 << "File not found";
        QTest::newRow("even-if alone") << QStringList{"--with", "x", "--url", url, "--even-if-nothing"} << 2 << "--even-if-nothing needs";
        QTest::newRow("help") << QStringList{"--help"} << 0 << "Usage: quillora-cli";
        QTest::newRow("version") << QStringList{"--version"} << 0 << "quillora-cli " QUILLORA_VERSION;
        // clang-format on
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
        const QString list = m_dir.filePath("rows.txt"), commas = m_dir.filePath("commas.txt"),
                      failed = m_dir.filePath("failed.txt");
        const Outcome out = cli({"--between", "[", "]", "--url", m_sites[0], "--url", m_sites[2],
                                 "--save-list", list, "--save-commas", commas, "--failed", failed,
                                 "--delay", "10", "--retries", "1", "--timeout", "5"});
        QCOMPARE(out.rows, (QStringList{"a", "b"}));
        QCOMPARE(out.status, 1);
        QCOMPARE(readAll(list), QByteArray("a\r\nb\r\n"));
        QCOMPARE(readAll(commas), QByteArray("a,b,\r\n"));
        QCOMPARE(readAll(failed), (m_sites[2] + "\tnot found (404)\n").toUtf8());
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
