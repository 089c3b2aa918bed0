// Runs over a scripted fetcher: rows, the order of sites, fetching ahead.
#include "extraction/ExtractionRun.h"
#include "extraction/Pattern.h"
#include "extraction/RuleTable.h"
#include "extraction/SiteRows.h"
#include "extraction/SiteSource.h"
#include "model/WorkSlice.h"
#include "results/ResultList.h"
#include "support/Fakes.h"

#include <QAbstractItemModelTester>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

#include <numeric>

namespace {

using Edits = QList<std::pair<int, QString>>; // a row's new text, or "-" to remove it

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
        source = std::make_unique<SiteListSource>(sites); // counts the sites of the moment
        run = std::make_unique<ExtractionRun>(rule, *source, results, fetcher, host);
        finished = std::make_unique<QSignalSpy>(run.get(), &QueuedJob::finished);
        // A site the rule could not read, as "!" and its address.
        QObject::connect(run.get(), &ExtractionRun::siteDone,
                         [this](const QString &address, const FetchResult &fetch) {
                             if (fetch.kind == FetchError::PatternLimit ||
                                 fetch.kind == FetchError::RuleTooLarge)
                                 failures << "!" + address;
                         });
        run->start();
    }
    // Generous: the sanitizer build on a busy machine is many times slower.
    bool wait() { return !finished->isEmpty() || finished->wait(180'000); }
    Rule rule;
    SiteList sites;
    ResultList results;
    QAbstractItemModelTester tester{&results,
                                    QAbstractItemModelTester::FailureReportingMode::QtTest};
    FakeFetcher fetcher;
    TestRunHost host;
    std::unique_ptr<SiteListSource> source;
    QStringList failures;
    std::unique_ptr<ExtractionRun> run;
    std::unique_ptr<QSignalSpy> finished;
};

} // namespace

class TestRun : public QObject
{
    Q_OBJECT
private slots:
    // What the engines' harnesses cannot see: rows of whole runs, and the
    // entity and case rules they share with the engine. Pages of the
    // sites $1, $2, ... ("!" fails to fetch); the rule text, or start and end
    // as "start|end"; options "i" include the address, "e" even if nothing
    // found, "2" run twice, "r" the texts are regular expressions. Without
    // "r" the same rows come again with the texts escaped as patterns.
    void rows_data()
    {
        QTest::addColumn<Rule>("rule");
        QTest::addColumn<QStringList>("pages");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("options");
        QTest::addColumn<QStringList>("rows");
        const Rule with = Rule::WithText, between = Rule::Between, match = Rule::Match;
        const auto add = [](const char *name, Rule rule, const QStringList &pages,
                            const QString &text, const QString &options, const QStringList &rows) {
            QTest::newRow(name) << rule << pages << text << options << rows;
        };
        // clang-format off
        add("with: failed fetch, next site, a match made by &amp;", with, {"!", "Q&amp;B"}, "q&b", "ie", {"$2,Q&B"});
        // The costly line first: the rows of a page that arrived whole show as
        // found, and a failure after them leaves them.
        const QString costly = QString(30, u'a') + "!\n" + QString("aaa\n").repeated(20);
        add("with: a line the pattern cannot decide fails the site", with, {costly, "aaa"}, "^(a+)+$", "ri", {"$2,aaa", "!$1"});
        add("without: the same", Rule::WithoutText, {"x\n" + costly}, "^(a+)+$", "r", {"!$1"});
        add("match: the same", match, {costly}, "^(a+)+$", "r", {"!$1"});
        add("between: the same", between, {costly + "</b>"}, "^(a+)+$|</b>", "r", {"!$1"});
        add("with: a class that holds the line feed", with, {"zzz\nax\n\u00E9\n"}, "a[\\t-~]*+(?:b|$)", "r", {"ax"});
        const QString doc = "<title>amp</title><p>a &amp;amp; <b>b</b>\n c</p><script>amp</script><p>x&amp;y";
        add("with: visible text, entities decoded once", with, {doc}, "amp;", "t", {"a &amp; b c"});
        add("between: visible text", between, {doc}, "b|y", "tk", {" c\nx&"});
        add("select: each match's text, in page order", Rule::Select, {"<ul><li>one<li>two &amp; <i>three</i></ul>"}, "li", "i", {"$1,one", "$1,two & three"});
        add("select: nothing in a failed page", Rule::Select, {"!", "<p>x"}, "p, body", "ie", {"$1", "$2,x", "$2,x"});
        add("with: run twice", with, {"foo", "x"}, "foo", "ie2", {"$1,foo", "$2", "$1,foo"});
        add("with: address row after a first line without a hit", with, {"x\nfoo\nfoo"}, "foo", "ie", {"$1", "$1,foo", "$1,foo"});
        add("with: letters folding into ASCII", with, {"kee\n\u212Aee\u017F"}, "KEES", "", {"\u212Aee\u017F"});
        add("between: entities", between, {"[a&amp;b][&AMP;][&amp;amp;]"}, "[|]", "", {"a&b", "&AMP;", "&amp;"});
        add("between: case of markers", between, {"a<b>Xy</B>"}, "<B>|</b>", "", {"Xy"});
        add("between: non-ASCII markers", between, {"..\u00C4RGER..\u00C41\u00F6.."}, "\u00E4|\u00D6", "", {"RGER..\u00C41"});
        add("between: end beyond 16 bits", between, {"<b>" + QString(40000, u'x') + "</b>."}, "<b>|</b>", "", {QString(40000, u'x')});
        add("between: equal results once, any site", between, {"[x][ab]", "[x][b][ab]"}, "[|]", "i", {"$1,x", "$1,ab", "$2,b"});
        add("between: address rows", between, {"no", "[h1][h2]", "no"}, "[|]", "ie", {"$1", "$2,h1", "$2,h2", "$3"});
        add("between: run twice", between, {"[x]", "no"}, "[|]", "ie2", {"$1,x", "$2"});
        add("with: alternation, anchors", with, {"foo bar\nbar foo\r\nbaz\r\nbaz"}, "^bar|baz$", "r", {"bar foo\r", "baz"});
        add("with: lookahead, each line alone", with, {"x\nfoo\nfoo bar\n"}, "foo(?!\\s)", "r", {"foo"});
        add("with: line ends as the pattern says", with, {"xa\nxb\nxc\n"}, "(*CR)^x", "r", {"xa", "xb", "xc"});
        add("with: optional letter", with, {"color\nColoUr\ncolouur"}, "colou?r", "r", {"color", "ColoUr"});
        add("with: group with an empty branch, class", with, {"abcfgh\nabcDEfgh\nabc[fgh"}, "abc(de|)[f]gh", "r", {"abcfgh", "abcDEfgh"});
        add("with: repeated letter", with, {"xyabbc\nxyabc\nxyab{2,}c"}, "xyab{2,}c", "r", {"xyabbc"});
        add("with: braces not a repeat", with, {"y}\nABCD{x\nabcd"}, "abcd{x|y}", "r", {"y}", "ABCD{x"});
        add("with: POSIX class", with, {"xabc\nmno\nMN o"}, "[[:alpha:]]abc", "r", {"xabc"});
        add("with: options", with, {"xabc\nmno\nMN o"}, "(?x)m n o", "r", {"mno"});
        add("with: escaped letter", with, {"x41bc\nAbc"}, "\\x41bc", "r", {"Abc"});
        add("without: pattern", Rule::WithoutText, {"a\n  \n\nb\u00E9\n\uFEFF\uFEFFc"}, "^\\s*$", "r", {"a", "b\u00E9", QStringLiteral("\uFEFF\uFEFFc")});
        add("match: first group, repeatedly, once", match, {"a1 b22 a1\nc333 &amp;4 B22"}, "[a-z&](\\d+)", "r", {"1", "22", "333", "4"});
        add("match: group after a text", match, {"ID=7 id=8\nid=\nx"}, "id=(\\d+)", "r", {"7", "8"});
        add("match: whole match, empty ones skipped", match, {"axxb\nx", "xX"}, "x*", "ri", {"$1,xx", "$1,x", "$2,xX"});
        add("between: patterns, across lines", between, {"<B>x</b><i>y\nz</I><b></b>"}, "<[bi]>|</[bi]>", "r", {"x", "y\nz"});
        add("between: line anchors", between, {"ab\ncd"}, "^|$", "r", {"ab", "cd"});
        add("between: empty matches move on", between, {"axyb"}, "x*|y*", "r", {});
        // clang-format on
    }
    void rows()
    {
        QFETCH(Rule, rule);
        QFETCH(QStringList, pages);
        QFETCH(QString, text);
        QFETCH(QString, options);
        QFETCH(QStringList, rows);
        for (int n = 1; n <= pages.size(); ++n)
            rows.replaceInStrings(QStringLiteral("$%1").arg(n), site(n));
        const bool patterns = options.contains(u'r');
        QStringList escaped = text.split(u'|');
        for (QString &part : escaped)
            part = QRegularExpression::escape(part);
        // A selector is no text to escape.
        const bool escapable = !patterns && rule != Rule::Select;
        for (const QString &texts : {text, escapable ? escaped.join(u'|') : QString()}) {
            if (texts.isNull())
                continue;
            Run r(rule, int(pages.size()));
            for (int n = 1; n <= pages.size(); ++n) {
                if (pages[n - 1] != QLatin1String("!"))
                    r.fetcher.pages.insert(site(n), pages[n - 1].toUtf8());
            }
            r.host.setTexts(texts);
            r.host.setOptions(options);
            r.host.pattern = patterns || texts != text;
            for (int runs = options.contains(u'2') ? 2 : 1; runs > 0; --runs) {
                r.start();
                QVERIFY(r.wait());
            }
            QCOMPARE(r.results.texts() + r.failures, rows);
            // A page of one site gives the same rows cut anywhere (a long one, at
            // every 997th byte).
            const QByteArray page = pages[0].toUtf8();
            const qsizetype step = page.size() > 4096 ? 997 : 1;
            // (Pages read as text are cut by the run, after their visible text.)
            for (qsizetype cut = 0; pages.size() == 1 && !r.host.text && cut <= page.size();
                 cut += step)
                QCOMPARE(ruleRows(rule, site(1), {page.first(cut), page.sliced(cut)}, r.host),
                         rows);
        }
    }

    // A pattern's lines are picked by its ASCII text, compared as Qt folds
    // case: no other character may match an ASCII one unless Qt folds it so.
    void patternCaseAsQtFolds()
    {
        QString all;
        for (char32_t c = 0x80; c <= 0x10FFFF; ++c) {
            if (c < 0xD800 || c >= 0xE000)
                all += QString::fromUcs4(&c, 1);
        }
        for (char16_t ascii = 0x20; ascii < 0x7F; ++ascii) {
            const QString text(QChar{ascii});
            auto found = compiledPattern(QRegularExpression::escape(text)).globalMatch(all);
            while (found.hasNext())
                QCOMPARE(found.next().captured().toCaseFolded(), text.toCaseFolded());
        }
    }

    // Long pages through every rule, as they arrive in pieces: one line of
    // 50 MB; many short sections, so that the text read moves down under
    // passes that wait for the rest of their section.
    void longPagesInPieces()
    {
        const auto inPieces = [](QByteArrayView page) {
            QList<QByteArrayView> pieces;
            for (qsizetype at = 0; at < page.size(); at += 65'521)
                pieces << page.sliced(at).first(qMin(65'521, page.size() - at));
            return pieces;
        };
        const QByteArray line = "[<" + QByteArray(50'000'000, 'x') + "needle>]";
        TestRunHost host;
        host.setTexts(QStringLiteral("[<|dle>"));
        host.rule = QStringLiteral("NEEDLE");
        const QString whole = QString::fromLatin1(line);
        QCOMPARE(ruleRows(Rule::WithText, site(1), inPieces(line), host), QStringList{whole});
        QCOMPARE(ruleRows(Rule::Between, site(1), inPieces(line), host),
                 QStringList{whole.mid(2, 50'000'003)});
        QByteArray sections;
        QStringList rows;
        for (int i = 0; i < 100'000; ++i) {
            sections += "<" + QByteArray::number(i) + ">";
            rows << QString::number(i);
        }
        host.setTexts(QStringLiteral("<|>"));
        QCOMPARE(ruleRows(Rule::Between, site(1), inPieces(sections), host), rows);
        // As patterns, whose rule keeps only the text it has not passed.
        host.pattern = true;
        host.setTexts(QStringLiteral("<|>"));
        QCOMPARE(ruleRows(Rule::Between, site(1), inPieces(sections), host), rows);
        // What a lookbehind may read is kept, here across the second piece's end.
        const QByteArray far = QByteArray(130'942, 'x') + 'y' + QByteArray(200, 'z') + "<a>";
        host.setTexts(QStringLiteral("(?<=y.{200})<|>"));
        QCOMPARE(ruleRows(Rule::Between, site(1), inPieces(far), host), QStringList{"a"});
        host.setTexts(QStringLiteral("\\[<|dle>"));
        QCOMPARE(ruleRows(Rule::Between, site(1), inPieces(line), host),
                 QStringList{whole.mid(2, 50'000'003)});
        // A line that alone outgrows the page budget is not held: the site fails.
        const QByteArray crOnly = QByteArray("x\r").repeated(34 << 20) + "\nlast";
        host.pattern = false;
        host.rule = QStringLiteral("zzz");
        QCOMPARE(ruleRows(Rule::WithoutText, site(1), inPieces(crOnly), host),
                 QStringList{"!" + site(1)});
        QCOMPARE(ruleRows(Rule::Match, site(1), inPieces(crOnly), host),
                 QStringList{"!" + site(1)});
        // One piece that closes hundreds of elements, each holding most of the
        // page, gives their rows slice by slice, a large one at a time.
        const QByteArray deep = QByteArray("<div>").repeated(600) + QByteArray(100'000, 'x') +
                                QByteArray("</div>").repeated(600);
        host.rule = QStringLiteral("div");
        host.takeNames = {QStringLiteral("html")};
        ResultList results;
        SiteRows held(results);
        held.begin(site(1), ruleEntry(Rule::Select), host);
        const auto select = ruleEntry(Rule::Select).make(Rule::Select, host, held);
        select->take(deep);
        int slices = 0;
        for (bool ended = false;; ++slices) {
            held.newSlice();
            if (select->advance(WorkSlice(0))) {
                if (std::exchange(ended, true))
                    break;
                select->endOfPage();
            }
        }
        held.pageDone();
        held.release();
        held.flush(WorkSlice(std::numeric_limits<qint64>::max()));
        QCOMPARE(results.texts(), ruleRows(Rule::Select, site(1), inPieces(deep), host));
        QVERIFY2(slices > 500 && results.count() > 500, qPrintable(QString::number(slices)));
        // Matches held at once past the page budget, each waiting for the
        // body to end, fail the page; the body alone is a row.
        const QByteArray behindBody = "<body>" + QByteArray("<p>x</p>").repeated(1'000'000);
        host.takeNames.clear();
        host.rule = QStringLiteral("body, p");
        QCOMPARE(ruleRows(Rule::Select, site(1), inPieces(behindBody), host),
                 QStringList{"!" + site(1)});
        host.rule = QStringLiteral("body");
        QCOMPARE(ruleRows(Rule::Select, site(1), inPieces(behindBody), host).size(), 1);
        // So do those waiting for their parent's end; decided early, they go.
        const QByteArray items = "<ul>" + QByteArray("<li>x").repeated(1'000'000) + "</ul>";
        host.rule = QStringLiteral("li:nth-last-child(2n)");
        QCOMPARE(ruleRows(Rule::Select, site(1), inPieces(items), host),
                 QStringList{"!" + site(1)});
        host.rule = QStringLiteral("li:nth-last-child(2)");
        QCOMPARE(ruleRows(Rule::Select, site(1), inPieces(items), host), QStringList{"x"});
    }

    // What a run asks of the list: a result is held, and an address shown,
    // while any row of it is left, also rows listed before it first asked,
    // or held while their page arrives; those go on in order, many at a time.
    void heldWhileRowsLeft()
    {
        ResultList list;
        list.append({site(1), QStringLiteral("x"), ResultRow::Kind::ResultWithAddress});
        list.append({site(1), QStringLiteral("y"), ResultRow::Kind::ResultWithAddress});
        QVERIFY(list.holdsResult(QStringLiteral("x")) && list.showsAddress(site(1)));
        list.removeAt(0);
        QVERIFY(!list.holdsResult(QStringLiteral("x")) && list.showsAddress(site(1)));
        list.removeAt(0);
        QVERIFY(!list.holdsResult(QStringLiteral("y")) && !list.showsAddress(site(1)));
        TestRunHost host;
        SiteRows held(list);
        QStringList rows;
        for (int s = 1; s <= 2; ++s) {
            held.begin(site(s), ruleEntry(Rule::Between), host);
            host.keep = true;
            for (int i = 0; i < 70'000; ++i) {
                host.include = i % 3 == 0;
                held.newSlice();
                held.hit(QString::number(i));
                rows << RowFormat::text(site(s), QString::number(i),
                                        host.include ? ResultRow::Kind::ResultWithAddress
                                                     : ResultRow::Kind::Result);
            }
            // Held rows count: the repeated result is dropped, the address shows.
            host.include = host.evenIfNothing = true;
            host.keep = false;
            held.newSlice();
            held.hit(QStringLiteral("69999"));
            held.pageDone();
            held.release();
            while (!held.flush(WorkSlice(0))) {
            }
        }
        QCOMPARE(list.texts(), rows);
        QVERIFY(list.showsAddress(site(1)) && list.showsAddress(site(2)));
    }

    // As many pages in flight as the fetcher has room for, passing over a full
    // host (a port is a host of its own); none ahead while 64 MiB of pages wait.
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
        QCOMPARE(r.fetcher.inFlight(), 16); // 6 + 6 + 4: full hosts are passed over
        // Pages of 8 MiB (shared, so cheap here) pile up behind the first.
        const QByteArray big = "hit\n" + QByteArray(8 << 20, '\n');
        for (int i = 1; i < 16; ++i)
            r.fetcher.answer(i, big);
        QCOMPARE(int(r.fetcher.requests.size()), 16 + 7); // room for one more each, to 64 MiB
        // Read only while the budget lasts: the rest waits with its reply.
        const qint64 read =
            std::accumulate(r.fetcher.requests.begin(), r.fetcher.requests.end(), qint64(0),
                            [](qint64 sum, auto &q) { return sum + q.read; });
        QVERIFY(read <= ExtractionRun::pageBudget + big.size());
        r.fetcher.answer(0, "hit");
        for (int i = 16; i < 60; ++i) {
            QTRY_VERIFY(int(r.fetcher.requests.size()) > i);
            r.fetcher.answer(i, "hit");
        }
        QVERIFY(r.wait());
        QCOMPARE(r.results.texts(), QStringList(60, QStringLiteral("hit")));
        QCOMPARE(int(r.fetcher.requests.size()), 60);
    }

    // The between rule keeps its page's text: once that outgrows what the
    // pages fetched ahead left, the furthest go, to be asked for again.
    void keptTextLetsPagesAheadGo()
    {
        for (const bool pattern : {false, true}) {
            Run r(Rule::Between);
            r.fetcher.autoAnswer = false;
            r.host.setTexts("<b>|</b>");
            r.host.pattern = pattern;
            QList<QByteArray> pages;
            for (int i = 0; i < 4; ++i) {
                r.sites.append(QStringLiteral("http://h%1/").arg(i));
                pages << "<b>v" + QByteArray::number(i) + "</b><b>" +
                             QByteArray(i ? 20 << 20 : 8 << 20, 'x');
                r.fetcher.pages.insert(r.sites.text(i), pages.last());
            }
            r.start();
            QCOMPARE(r.fetcher.inFlight(), 4);
            for (int i : {1, 2, 3, 0})
                r.fetcher.answer(i, pages[i]);
            r.fetcher.autoAnswer = true; // pages asked for again
            QVERIFY(r.wait());
            QVERIFY(r.fetcher.requests.size() > 4);
            QCOMPARE(r.results.texts(), (QStringList{"v0", "v1", "v2", "v3"}));
        }
    }

    // Sites are handled in list order whatever order their pages come in.
    // Each reads its address at its turn: a page fetched ahead is used only
    // for the address it was fetched for, wherever that row is now, and once.
    // The edits are made once the pages of rows 1 and 2 are in.
    void rowsChangedAfterFetchingAhead_data()
    {
        QTest::addColumn<Edits>("edits");
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<int>("requests");
        // clang-format off
        QTest::newRow("replaced") << Edits{{1, site(4)}} << QStringList{"hit 1", "hit 4", "hit 3"} << 4;
        QTest::newRow("removed") << Edits{{1, "-"}} << QStringList{"hit 1", "hit 3"} << 3;
        QTest::newRow("swapped") << Edits{{1, site(3)}, {2, site(2)}} << QStringList{"hit 1", "hit 3", "hit 2"} << 3;
        QTest::newRow("list cut short") << Edits{{2, "-"}, {1, "-"}} << QStringList{"hit 1"} << 3;
        // clang-format on
    }
    void rowsChangedAfterFetchingAhead()
    {
        QFETCH(Edits, edits);
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
        for (const auto &[row, text] : edits)
            text == "-" ? r.sites.removeAt(row) : r.sites.setText(row, text);
        r.fetcher.autoAnswer = true;
        r.fetcher.answer(0, "hit 1");
        QVERIFY(r.wait());
        QCOMPARE(r.results.texts(), rows);
        QCOMPARE(int(r.fetcher.requests.size()), requests);
    }

    // A row whose page is still on its way when its turn comes takes it over;
    // a later row of the same address, not yet asked for as every slot is
    // taken, asks again.
    void pageOnItsWayTakenOnce()
    {
        Run r(Rule::WithText, 2);
        r.host.rule = QStringLiteral("hit");
        r.fetcher.autoAnswer = false;
        for (int h = 0; h <= 15; ++h)
            r.sites.append(QStringLiteral("http://h%1/").arg(h));
        r.sites.append(site(2));
        r.start();
        r.fetcher.answer(0, "hit 1");
        QTRY_COMPARE(r.host.shown.last(), "Extracting from " + site(2));
        r.fetcher.autoAnswer = true;
        r.fetcher.pages.insert(site(2), "hit 2");
        for (int i = 1, asked = int(r.fetcher.requests.size()); i < asked; ++i)
            r.fetcher.answer(i, i == 1 ? "hit 2" : "");
        QVERIFY(r.wait());
        QCOMPARE(r.results.texts(), (QStringList{"hit 1", "hit 2", "hit 2"}));
        QCOMPARE(int(r.fetcher.requests.size()), 19);
    }

    // Options and markers are read as the run goes, also within a page long
    // enough to take the rule several slices.
    void inputsChangedDuringTheRun()
    {
        // The sanitizers make the rule many times slower: a fifth of the page
        // still takes it many slices.
#ifdef QUILLORA_SANITIZED
        constexpr int lines = 200'000;
#else
        constexpr int lines = 1'000'000;
#endif
        QByteArray page;
        for (int i = 0; i < lines; ++i)
            page += "[a" + QByteArray::number(i) + "]{b" + QByteArray::number(i) + "}\n";
        for (const Rule rule : {Rule::WithText, Rule::Between}) {
            Run r(rule, 1);
            r.fetcher.pages.insert(site(1), page);
            r.host.setTexts(QStringLiteral("[|]"));
            r.host.rule = QStringLiteral("[a");
            // Rows reach the views once the run first yields in the middle of the page.
            connect(
                &r.results, &QAbstractItemModel::rowsInserted, this,
                [&] {
                    r.host.include = rule != Rule::Between;
                    r.host.start = QStringLiteral("{");
                    r.host.end = QStringLiteral("}");
                },
                Qt::SingleShotConnection);
            r.start();
            QVERIFY(r.wait());
            const QStringList rows = r.results.texts();
            const qsizetype at = rows.indexOf(QRegularExpression("[hb].*")); // after the change
            QVERIFY(at > 0 && at < rows.size());
            const bool between = rule == Rule::Between;
            QCOMPARE(rows.size(), between ? at + lines : lines);
            QCOMPARE(rows[at], between ? QStringLiteral("b0")
                                       : QStringLiteral("%1,[a%2]{b%2}").arg(site(1)).arg(at));
        }
    }

    // Rows held of a page still arriving show once they hold much, before the
    // page has been arriving long; should it then break off, it keeps them.
    void manyHeldRowsShow()
    {
        Run r(Rule::WithText, 1);
        r.fetcher.autoAnswer = false;
        r.host.rule = QStringLiteral("keep");
        const QByteArray line = "keep " + QByteArray(8000, 'x') + '\n';
        const int lines = int(ExtractionRun::showRowsAbove / line.size()) + 100;
        const QByteArray page = line.repeated(lines);
        QElapsedTimer clock;
        clock.start();
        r.start();
        QTRY_COMPARE(int(r.fetcher.requests.size()), 1);
        r.fetcher.send(0, page);
        QTRY_VERIFY(r.results.rowCount() > 0);
        QVERIFY2(clock.elapsed() < ExtractionRun::showRowsAfter,
                 qPrintable(QString::number(clock.elapsed())));
        r.fetcher.answer(0, {}, FetchError::ConnectionReset);
        QVERIFY(r.wait());
        QCOMPARE(r.results.rowCount(), lines);
    }

    // A host unreachable three times in a row is given up: its other sites fail
    // at once, unasked, for the third reason; other hosts go on.
    void unreachableHostGivenUp()
    {
        Run r(Rule::Between);
        for (int i = 0; i < 10; ++i)
            r.sites.append(QStringLiteral("http://dead/%1").arg(i));
        r.sites.append(QStringLiteral("http://good/"));
        r.fetcher.autoAnswer = false;
        r.host.setTexts(QStringLiteral("[|]"));
        r.start();
        QList<FetchError> failed;
        connect(r.run.get(), &ExtractionRun::siteDone, this,
                [&](const QString &, const FetchResult &fetch) { failed << fetch.kind; });
        QCOMPARE(r.fetcher.inFlight("http://dead/"), 6);
        r.fetcher.answer(2, {}, FetchError::NoAnswer);
        r.fetcher.answer(0, {}, FetchError::ConnectionRefused);
        r.fetcher.answer(1, {}, FetchError::NameNotResolved);
        QCOMPARE(r.fetcher.inFlight("http://dead/"), 0);
        const int asked = int(r.fetcher.requests.size());
        QCOMPARE(r.fetcher.requests.at(6).url, "http://good/"); // past the full host
        r.fetcher.answer(6, "[x]");
        QVERIFY(r.wait());
        QCOMPARE(int(r.fetcher.requests.size()), asked);
        using E = FetchError;
        const QList<E> first{E::ConnectionRefused, E::NameNotResolved, E::NoAnswer};
        QCOMPARE(failed, first + QList<E>(7, E::NameNotResolved) + QList<E>{E::None});
        QCOMPARE(r.results.texts(), QStringList{"x"});
    }
};

QTEST_GUILESS_MAIN(TestRun)
#include "tst_run.moc"
