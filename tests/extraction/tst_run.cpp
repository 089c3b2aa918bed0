// Runs over a scripted fetcher: the rules' rows, the address options, the
// order of sites, and fetching ahead within its limits.
#include "extraction/ExtractionRun.h"
#include "extraction/SiteSource.h"
#include "results/ResultList.h"
#include "sitelist/SiteList.h"
#include "support/Fakes.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

namespace {

QString site(int n)
{
    return QStringLiteral("http://s/%1").arg(n); // $n in the tables
}

struct Run
{
    explicit Run(Rule rule, int sites = 0) : rule(rule)
    {
        for (int n = 1; n <= sites; ++n)
            this->sites.append(site(n));
    }
    void start()
    {
        source = std::make_unique<SiteListSource>(sites);
        run = std::make_unique<ExtractionRun>(rule, *source, results, fetcher, host);
        finished = std::make_unique<QSignalSpy>(run.get(), &QueuedJob::finished);
        run->start();
    }
    bool wait() { return !finished->isEmpty() || finished->wait(60'000); }
    // Runs over the sites to the end.
    void finish()
    {
        start();
        if (!wait())
            qFatal("the run did not end");
    }
    Rule rule;
    SiteList sites;
    ResultList results;
    FakeFetcher fetcher;
    TestRunHost host;
    std::unique_ptr<SiteListSource> source;
    std::unique_ptr<ExtractionRun> run;
    std::unique_ptr<QSignalSpy> finished;
};

} // namespace

class TestRun : public QObject
{
    Q_OBJECT
private slots:
    // Pages of the sites $1, $2, ... ("!" fails to fetch); the rule text, or
    // the start and end separated by "|"; options "k" keep duplicates, "i"
    // include the address, "e" even if nothing found, "2" run twice.
    void rows_data()
    {
        QTest::addColumn<Rule>("rule");
        QTest::addColumn<QStringList>("pages");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("options");
        QTest::addColumn<QStringList>("rows");
        const Rule with = Rule::WithText, without = Rule::WithoutText, between = Rule::Between;
        const auto add = [](const char *name, Rule rule, const QStringList &pages,
                            const QString &text, const QString &options, const QStringList &rows) {
            QTest::newRow(name) << rule << pages << text << options << rows;
        };
        const QString basic = QStringLiteral("x\nFOO one\nfoo &amp; two\nfootball\n");
        // clang-format off
        add("with: any case, inside words", with, {basic}, "foo", "", {"FOO one", "foo & two", "football"});
        add("with: address in front", with, {basic}, "foo", "i", {"$1,FOO one", "$1,foo & two", "$1,football"});
        add("without", without, {basic}, "foo", "", {"x"});
        add("with: CR LF keeps the CR", with, {"a\r\nb\r\n"}, "b", "", {"b\r"});
        add("without: a blank CR line passes", without, {"a\r\n\r\nfoo\r\nb"}, "foo", "", {"a\r", "\r", "b"});
        add("with: entities", with, {"a &amp; b\nc &AMP; d\ne &amp;amp; f\np&amp;q"}, "&amp;", "", {"c &AMP; d", "e &amp; f"});
        add("with: decoded before the test", with, {"x &amp; y\np&amp;q"}, "x & y", "", {"x & y"});
        add("with: decoding breaks a raw match", with, {"p&amp;q"}, "amp;", "", {});
        add("with: Kelvin sign folds to k", with, {"o\u212Aay\nokay\nobay"}, "KAY", "", {"o\u212Aay", "okay"});
        add("without: long s folds to s", without, {"ca\u017Fe\ncase"}, "case", "", {});
        add("with: dotted capital I is not i", with, {"\u0130x\nix"}, "ix", "", {"ix"});
        add("with: accented letters", with, {"CAF\u00C9 au lait\ncafe"}, "caf\u00E9", "", {"CAF\u00C9 au lait"});
        add("with: trailing blank in the text", with, {"end foo\nfoo bar"}, "foo ", "", {"foo bar"});
        add("with: last line, no line feed", with, {"one\ntwo marigold"}, "MARIGOLD", "", {"two marigold"});
        add("with: nothing found, address row", with, {"x\ny"}, "foo", "ie", {"$1"});
        add("with: first piece hits", with, {"foo\nx"}, "foo", "ie", {"$1,foo"});
        add("with: third piece hits", with, {"x\ny\nfoo"}, "foo", "ie", {"$1", "$1,foo"});
        add("with: empty page", with, {""}, "foo", "ie", {});
        add("with: failed fetch, next site", with, {"!", "foo"}, "foo", "ie", {"$2,foo"});
        add("with: only even-if", with, {"x"}, "foo", "e", {});
        add("with: run twice", with, {"foo", "x"}, "foo", "ie2", {"$1,foo", "$2", "$1,foo"});
        add("between: page order", between, {"a<b>x</b>c<b>y</b>d"}, "<b>|</b>", "", {"x", "y"});
        add("between: worked example", between, {"<b><b>x</b></b>"}, "<b>|</b>", "", {"<b>x"});
        add("between: case of markers", between, {"a<b>Xy</B>"}, "<B>|</b>", "", {"Xy"});
        add("between: empty result", between, {"<b></b>z<b>"}, "<b>|</b>", "", {});
        add("between: end inside start", between, {"xaby"}, "ab|b", "", {});
        add("between: end only before start", between, {"</b> ... <b>x"}, "<b>|</b>", "", {});
        add("between: line break kept", between, {"<b>one\r\ntwo</b>"}, "<b>|</b>", "", {"one\r\ntwo"});
        add("between: entities", between, {"[a&amp;b][&AMP;][&amp;amp;]"}, "[|]", "", {"a&b", "&AMP;", "&amp;"});
        add("between: duplicate once decoded", between, {"[&amp;][&]"}, "[|]", "", {"&"});
        add("between: end beyond 16 bits", between, {"<b>" + QString(40000, u'x') + "</b>."}, "<b>|</b>", "", {QString(40000, u'x')});
        add("between: non-ASCII markers", between, {"..\u00C4RGER..\u00C41\u00F6.."}, "\u00E4|\u00D6", "", {"RGER..\u00C41"});
        add("between: equal results once, any site", between, {"[x][ab]", "[x][b][ab]"}, "[|]", "i", {"$1,x", "$1,ab", "$2,b"});
        add("between: duplicates kept", between, {"[x]", "[x]"}, "[|]", "k", {"x", "x"});
        add("between: address rows", between, {"no", "[h1][h2]", "no"}, "[|]", "ie", {"$1", "$2,h1", "$2,h2", "$3"});
        add("between: failed fetch, address row", between, {"!", "[x]"}, "[|]", "ie", {"$1", "$2,x"});
        add("between: failed fetch, no options", between, {"!", "[x]"}, "[|]", "", {"x"});
        add("between: run twice", between, {"[x]", "no"}, "[|]", "ie2", {"$1,x", "$2"});
        // clang-format on
    }
    void rows()
    {
        QFETCH(Rule, rule);
        QFETCH(QStringList, pages);
        QFETCH(QString, text);
        QFETCH(QString, options);
        QFETCH(QStringList, rows);
        Run r(rule, int(pages.size()));
        for (int n = 1; n <= pages.size(); ++n) {
            if (pages[n - 1] != QLatin1String("!"))
                r.fetcher.pages.insert(site(n), pages[n - 1].toUtf8());
            for (QString &row : rows)
                row.replace(QStringLiteral("$%1").arg(n), site(n));
        }
        r.host.rule = text;
        r.host.start = text.section(u'|', 0, 0);
        r.host.end = text.section(u'|', 1);
        r.host.keep = options.contains(u'k');
        r.host.include = options.contains(u'i');
        r.host.evenIfNothing = options.contains(u'e');
        r.finish();
        if (options.contains(u'2'))
            r.finish();
        QCOMPARE(r.results.texts(), rows);
    }

    // Later pages answering first change nothing: sites are handled in list
    // order, each shown while it is worked on; every page is asked for at once.
    void sitesInListOrder_data()
    {
        QTest::addColumn<Rule>("rule");
        QTest::newRow("with") << Rule::WithText;
        QTest::newRow("between") << Rule::Between;
    }
    void sitesInListOrder()
    {
        QFETCH(Rule, rule);
        Run r(rule, 4);
        r.fetcher.autoAnswer = false;
        r.host.rule = r.host.start = QStringLiteral("<");
        r.host.end = QStringLiteral(">");
        r.start();
        QCOMPARE(int(r.fetcher.requests.size()), 4);
        for (int i = 3; i >= 0; --i)
            r.fetcher.answer(i, "<" + QByteArray::number(i + 1) + ">");
        QVERIFY(r.wait());
        const QStringList rows{"1", "2", "3", "4"};
        QCOMPARE(r.results.texts(),
                 (rule == Rule::Between ? rows : QStringList{"<1>", "<2>", "<3>", "<4>"}));
        QStringList shown;
        for (int n = 1; n <= 4; ++n) {
            shown << "busy"
                  << "Extracting from " + site(n);
            if (rule != Rule::Between)
                shown << "idle"
                      << "Done.";
        }
        if (rule == Rule::Between)
            shown << "idle"
                  << "Done.";
        QCOMPARE(r.host.shown, shown);
    }

    // At most 16 pages in flight and 6 per host (a port is a host of its own),
    // passing over a full host to the next; none ahead while 64 MiB of pages wait.
    void fetchesAheadWithinLimits()
    {
        Run r(Rule::WithText);
        r.fetcher.autoAnswer = false;
        r.host.rule = QStringLiteral("hit");
        const QStringList hosts{"http://a", "http://a:81", "https://A:443"};
        for (int i = 0; i < 36; ++i)
            r.sites.append(QStringLiteral("%1/%2").arg(hosts[i / 12]).arg(i));
        for (int i = 36; i < 60; ++i)
            r.sites.append(QStringLiteral("http://h%1/").arg(i));
        r.start();
        QCOMPARE(r.fetcher.inFlight(), 16);
        QCOMPARE(r.fetcher.inFlight(hosts[0] + '/'), 6);
        QCOMPARE(r.fetcher.inFlight(hosts[1] + '/'), 6);
        QCOMPARE(r.fetcher.inFlight(hosts[2] + '/'), 4);
        // Pages of 8 MiB (shared, so cheap here) pile up behind the first.
        const QByteArray big = "hit\n" + QByteArray(8 << 20, '\n');
        for (int i = 1; i < 16; ++i)
            r.fetcher.answer(i, big);
        const int asked = int(r.fetcher.requests.size());
        QCOMPARE(asked, 16 + 7); // each answer made room for one more, up to 64 MiB waiting
        r.fetcher.answer(0, "hit");
        for (int i = 16; i < 60; ++i) {
            QTRY_VERIFY(int(r.fetcher.requests.size()) > i);
            r.fetcher.answer(i, "hit");
        }
        QVERIFY(r.wait());
        QCOMPARE(r.results.texts(), QStringList(60, QStringLiteral("hit")));
        QCOMPARE(int(r.fetcher.requests.size()), 60);
    }

    // Each site reads its address at its turn: a page fetched ahead is used
    // only for the address it was fetched for, wherever that row is now.
    void rowsChangedAfterFetchingAhead_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<int>("requests");
        QTest::newRow("replaced") << "replace" << QStringList{"hit 1", "hit 4", "hit 3"} << 4;
        QTest::newRow("removed") << "remove" << QStringList{"hit 1", "hit 3"} << 3;
        QTest::newRow("swapped") << "swap" << QStringList{"hit 1", "hit 3", "hit 2"} << 3;
        QTest::newRow("list cut short") << "clear" << QStringList{"hit 1"} << 3;
    }
    void rowsChangedAfterFetchingAhead()
    {
        QFETCH(QString, change);
        QFETCH(QStringList, rows);
        QFETCH(int, requests);
        Run r(Rule::WithText, 3);
        r.host.rule = QStringLiteral("hit");
        for (int n = 1; n <= 4; ++n)
            r.fetcher.pages.insert(site(n), "hit " + QByteArray::number(n));
        r.fetcher.autoAnswer = false;
        r.start();
        r.fetcher.answer(1, "hit 2");
        r.fetcher.answer(2, "hit 3");
        if (change == "replace")
            r.sites.setText(1, site(4));
        else if (change == "remove")
            r.sites.removeAt(1);
        else if (change == "swap") {
            r.sites.setText(1, site(3));
            r.sites.setText(2, site(2));
        } else {
            r.sites.removeAt(2);
            r.sites.removeAt(1);
        }
        r.fetcher.autoAnswer = true;
        r.fetcher.answer(0, "hit 1");
        QVERIFY(r.wait());
        QCOMPARE(r.results.texts(), rows);
        QCOMPARE(int(r.fetcher.requests.size()), requests);
    }

    void destroyingTheRunAbandonsItsFetches()
    {
        Run r(Rule::Between, 10);
        r.fetcher.autoAnswer = false;
        r.start();
        QCOMPARE(r.fetcher.inFlight(), 6);
        r.run.reset();
        QCOMPARE(r.fetcher.inFlight(), 0);
    }

    // The options and markers are read as the run goes: a change made while a
    // long page is worked on applies from that moment.
    void inputsChangedDuringTheRun_data()
    {
        QTest::addColumn<Rule>("rule");
        QTest::newRow("address option") << Rule::WithText;
        QTest::newRow("markers") << Rule::Between;
    }
    void inputsChangedDuringTheRun()
    {
        QFETCH(Rule, rule);
        Run r(rule, 1);
        QByteArray page;
        for (int i = 0; i < 200'000; ++i)
            page += "[a" + QByteArray::number(i) + "]{b" + QByteArray::number(i) + "}\n";
        r.fetcher.pages.insert(site(1), page);
        r.host.rule = QStringLiteral("[a");
        r.host.start = QStringLiteral("[");
        r.host.end = QStringLiteral("]");
        // Rows reach the views once the run first yields in the middle of the page.
        connect(
            &r.results, &QAbstractItemModel::rowsInserted, this,
            [&] {
                r.host.include = rule != Rule::Between;
                r.host.start = QStringLiteral("{");
                r.host.end = QStringLiteral("}");
            },
            Qt::SingleShotConnection);
        r.finish();
        const QStringList rows = r.results.texts();
        const auto switched = std::find_if(rows.begin(), rows.end(), [](const QString &row) {
            return row.startsWith(u'h') || row.startsWith(u'b');
        });
        QVERIFY(switched != rows.begin() && switched != rows.end());
        const qsizetype at = switched - rows.begin();
        if (rule == Rule::Between) {
            QCOMPARE(rows.size(), at + 200'000);
            QCOMPARE(*switched, QStringLiteral("b0"));
        } else {
            QCOMPARE(rows.size(), 200'000);
            QCOMPARE(*switched, QStringLiteral("%1,[a%2]{b%2}").arg(site(1)).arg(at));
        }
    }

    // Millions of pieces or passes go in slices, each far shorter than a second.
    void largePagesInSlices_data()
    {
        QTest::addColumn<Rule>("rule");
        QTest::addColumn<QByteArray>("page");
        QTest::addColumn<QStringList>("rows");
        QTest::newRow("five million empty lines")
            << Rule::WithText << QByteArray(5'000'000, '\n') << QStringList{site(1)};
        QByteArray pairs;
        for (int i = 0; i < 40'000; ++i)
            pairs += QByteArray(80, '.') + "<TD>" + QByteArray::number(i % 3) + "</td>";
        QTest::newRow("forty thousand pairs")
            << Rule::Between << pairs
            << QStringList{site(1) + ",0", site(1) + ",1", site(1) + ",2"};
    }
    void largePagesInSlices()
    {
        QFETCH(Rule, rule);
        QFETCH(QByteArray, page);
        QFETCH(QStringList, rows);
        Run r(rule, 1);
        r.fetcher.pages.insert(site(1), page);
        r.host.rule = QStringLiteral("x");
        r.host.start = QStringLiteral("<td>");
        r.host.end = QStringLiteral("</TD>");
        r.host.include = r.host.evenIfNothing = true;
        QElapsedTimer clock;
        qint64 worst = 0;
        QTimer probe;
        connect(&probe, &QTimer::timeout, this, [&] { worst = std::max(worst, clock.restart()); });
        clock.start();
        probe.start(10);
        r.finish();
        QCOMPARE(r.results.texts(), rows);
        QVERIFY2(worst < 500, qPrintable(QString::number(worst)));
    }

    // A press while a run works starts its run afterwards, never interleaved;
    // stopping ends the run under way, keeping its rows, and drops the others.
    void runsQueueInPressOrder()
    {
        Run r(Rule::WithText, 3);
        r.fetcher.pages.insert(site(1), "foo 1\nbar 1");
        r.fetcher.pages.insert(site(2), "foo 2\nbar 2");
        r.host.rule = QStringLiteral("foo");
        RunQueue runs(r.sites, r.results, r.fetcher, r.host);
        QSignalSpy idle(&runs, &RunQueue::idle);
        runs.enqueue(Rule::WithText);
        runs.enqueue(Rule::WithoutText);
        QVERIFY(runs.isRunning());
        QVERIFY(idle.wait());
        // The third site fails: nothing of it, and the run goes on.
        QCOMPARE(r.results.texts(), (QStringList{"foo 1", "foo 2", "bar 1", "bar 2"}));
        r.fetcher.autoAnswer = false;
        runs.enqueue(Rule::WithText);
        runs.enqueue(Rule::WithText);
        r.fetcher.answer(int(r.fetcher.requests.size()) - 3, "foo 3");
        QTRY_COMPARE(r.results.count(), 5);
        runs.stop();
        QVERIFY(idle.wait());
        QCOMPARE(r.host.shown.mid(r.host.shown.size() - 2), (QStringList{"idle", "Stopped."}));
        QCOMPARE(r.fetcher.inFlight(), 0);
        QCOMPARE(r.results.count(), 5);
        r.fetcher.autoAnswer = true;
        runs.enqueue(Rule::WithText);
        QVERIFY(idle.wait());
        QCOMPARE(r.results.count(), 7);
    }

    // A host that could not be reached three times in a row is given up: its
    // other sites fail at once, for the same reason, unasked; other hosts go on.
    void unreachableHostGivenUp()
    {
        Run r(Rule::Between);
        for (int i = 0; i < 10; ++i)
            r.sites.append(QStringLiteral("http://dead/%1").arg(i));
        r.sites.append(QStringLiteral("http://good/"));
        r.fetcher.autoAnswer = false;
        r.host.start = QStringLiteral("[");
        r.host.end = QStringLiteral("]");
        r.host.include = r.host.evenIfNothing = true;
        QStringList failed;
        r.start();
        connect(r.run.get(), &ExtractionRun::siteDone, this,
                [&](const QString &address, const FetchResult &fetch) {
                    if (!fetch.ok)
                        failed << address + ' ' + QString::number(int(fetch.kind));
                });
        QCOMPARE(r.fetcher.inFlight("http://dead/"), 6);
        r.fetcher.answer(2, {}, FetchError::NoAnswer);
        r.fetcher.answer(0, {}, FetchError::ConnectionRefused);
        r.fetcher.answer(1, {}, FetchError::NameNotResolved);
        QCOMPARE(r.fetcher.inFlight("http://dead/"), 0);
        const int asked = int(r.fetcher.requests.size());
        QVERIFY(asked <= 9);
        r.fetcher.answer(r.fetcher.indexOf("http://good/"), "[x]");
        QVERIFY(r.wait());
        QCOMPARE(int(r.fetcher.requests.size()), asked);
        // The sites given up fail as the third failure did.
        const QList<FetchError> kinds{FetchError::ConnectionRefused, FetchError::NameNotResolved,
                                      FetchError::NoAnswer};
        QStringList rows;
        for (int i = 0; i < 10; ++i) {
            rows << QStringLiteral("http://dead/%1").arg(i);
            QCOMPARE(failed.value(i),
                     rows.last() + ' ' + QString::number(int(kinds.value(i, kinds[1]))));
        }
        QCOMPARE(r.results.texts(), rows + QStringList{"http://good/,x"});
    }
};

QTEST_GUILESS_MAIN(TestRun)
#include "tst_run.moc"
