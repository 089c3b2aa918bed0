// The crawl's building blocks: addresses, scope, robots.txt, sitemaps, the
// seen set and the frontier.
#include "crawl/Frontier.h"
#include "crawl/RobotsTxt.h"
#include "crawl/SeenSet.h"
#include "crawl/SitemapReader.h"
#include "crawl/WebAddress.h"
#include "sitelist/HtmlLinks.h"
#include "support/TestServer.h"

#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTest>

Q_DECLARE_METATYPE(CrawlScope)

namespace {

const QByteArray rfcBase = "http://a/b/c/d;p?q";

// The locs a reader gives for bytes fed in the given pieces; "!" and the
// reason last when it fails.
QList<QByteArray> readSitemap(const QList<QByteArrayView> &pieces,
                              SitemapReader::Kind *kind = nullptr)
{
    SitemapReader reader;
    QList<QByteArray> locs;
    for (const QByteArrayView piece : pieces) {
        reader.feed(piece);
        while (reader.advance(4096))
            locs += reader.take();
        locs += reader.take();
    }
    reader.finish();
    while (reader.advance(4096))
        locs += reader.take();
    locs += reader.take();
    if (!reader.isDone())
        locs << "!not done";
    if (reader.failed())
        locs << "!" + reader.error().toUtf8();
    if (kind)
        *kind = reader.kind();
    return locs;
}

QByteArray urlset(const QByteArray &entries)
{
    return "<?xml version='1.0' encoding='UTF-8'?>\n"
           "<urlset xmlns='http://www.sitemaps.org/schemas/sitemap/0.9'>" +
           entries + "</urlset>";
}

} // namespace

class TestCrawl : public QObject
{
    Q_OBJECT

private slots:
    // RFC 3986's examples (5.4.1 and 5.4.2): strict resolution gives the
    // RFC's text; the crawl's gives its normal form ("=": the RFC's without
    // the fragment; "": refused) and reads "http:g" as the non-strict parser.
    void rfcExamples_data()
    {
        QTest::addColumn<QByteArray>("reference");
        QTest::addColumn<QByteArray>("strict");
        QTest::addColumn<QByteArray>("normal");
        const QList<std::array<const char *, 3>> rows = {{"g:h", "g:h", ""},
                                                         {"g", "http://a/b/c/g", "="},
                                                         {"./g", "http://a/b/c/g", "="},
                                                         {"g/", "http://a/b/c/g/", "="},
                                                         {"/g", "http://a/g", "="},
                                                         {"//g", "http://g", "http://g/"},
                                                         {"?y", "http://a/b/c/d;p?y", "="},
                                                         {"g?y", "http://a/b/c/g?y", "="},
                                                         {"#s", "http://a/b/c/d;p?q#s", "="},
                                                         {"g#s", "http://a/b/c/g#s", "="},
                                                         {"g?y#s", "http://a/b/c/g?y#s", "="},
                                                         {";x", "http://a/b/c/;x", "="},
                                                         {"g;x", "http://a/b/c/g;x", "="},
                                                         {"g;x?y#s", "http://a/b/c/g;x?y#s", "="},
                                                         {"", "http://a/b/c/d;p?q", "="},
                                                         {".", "http://a/b/c/", "="},
                                                         {"./", "http://a/b/c/", "="},
                                                         {"..", "http://a/b/", "="},
                                                         {"../", "http://a/b/", "="},
                                                         {"../g", "http://a/b/g", "="},
                                                         {"../..", "http://a/", "="},
                                                         {"../../", "http://a/", "="},
                                                         {"../../g", "http://a/g", "="},
                                                         {"../../../g", "http://a/g", "="},
                                                         {"../../../../g", "http://a/g", "="},
                                                         {"/./g", "http://a/g", "="},
                                                         {"/../g", "http://a/g", "="},
                                                         {"g.", "http://a/b/c/g.", "="},
                                                         {".g", "http://a/b/c/.g", "="},
                                                         {"g..", "http://a/b/c/g..", "="},
                                                         {"..g", "http://a/b/c/..g", "="},
                                                         {"./../g", "http://a/b/g", "="},
                                                         {"./g/.", "http://a/b/c/g/", "="},
                                                         {"g/./h", "http://a/b/c/g/h", "="},
                                                         {"g/../h", "http://a/b/c/h", "="},
                                                         {"g;x=1/./y", "http://a/b/c/g;x=1/y", "="},
                                                         {"g;x=1/../y", "http://a/b/c/y", "="},
                                                         {"g?y/./x", "http://a/b/c/g?y/./x", "="},
                                                         {"g?y/../x", "http://a/b/c/g?y/../x", "="},
                                                         {"g#s/./x", "http://a/b/c/g", "="},
                                                         {"g#s/../x", "http://a/b/c/g", "="},
                                                         {"http:g", "http:g", "http://a/b/c/g"}};
        for (const auto &[reference, strict, normal] : rows)
            QTest::newRow(reference)
                << QByteArray(reference) << QByteArray(strict) << QByteArray(normal);
    }
    void rfcExamples()
    {
        QFETCH(QByteArray, reference);
        QFETCH(QByteArray, strict);
        QFETCH(QByteArray, normal);
        if (!reference.startsWith("g#s")) // the table keeps one column for both
            QCOMPARE(resolveReference(rfcBase, reference), strict);
        if (normal == "=")
            normal = strict.split('#').first();
        QCOMPARE(WebAddress::parse(rfcBase).resolved(reference).bytes(), normal);
    }

    // Browser-like leniency and the normal form. Each reference is resolved
    // against the result of the one before (a <base href>, then a link); an
    // empty base parses the first alone. Expected "": refused.
    void lenient_data()
    {
        QTest::addColumn<QString>("base");
        QTest::addColumn<QStringList>("references");
        QTest::addColumn<QString>("expected");
        const QString b = rfcBase;
        // clang-format off
        QTest::newRow("white space around, tabs and line ends inside") << b << QStringList{" \t\x0C g\th\ni\rj \n"} << "http://a/b/c/ghij";
        QTest::newRow("backslashes before the query") << b << QStringList{"\\g\\h?x\\y#z\\"} << "http://a/g/h?x%5Cy";
        QTest::newRow("backslashes open an authority") << b << QStringList{"\\\\host\\p"} << "http://host/p";
        QTest::newRow("non-ASCII and spaces as UTF-8") << b << QStringList{"caf\u00e9 au lait?q=\u00e9 \u20ac"} << "http://a/b/c/caf%C3%A9%20au%20lait?q=%C3%A9%20%E2%82%AC";
        QTest::newRow("escapes normalised") << b << QStringList{"%7e%41%2f%2a%e2%zz%5"} << "http://a/b/c/~A%2F%2A%E2%25zz%255";
        QTest::newRow("escaped dots are dots") << b << QStringList{"%2e%2E/g/%2E"} << "http://a/b/g/";
        QTest::newRow("characters no address holds") << b << QStringList{"/a\"<>`{}|^\x7F"} << "http://a/a%22%3C%3E%60%7B%7D%7C%5E%7F";
        QTest::newRow("case, default port") << "" << QStringList{"HTTP://Example.COM:80/A/%7E"} << "http://example.com/A/~";
        QTest::newRow("https default port") << "" << QStringList{"https://h:443"} << "https://h/";
        QTest::newRow("https on port 80") << "" << QStringList{"https://h:80/"} << "https://h:80/";
        QTest::newRow("empty port, leading zeros") << "" << QStringList{"http://h:/x", "http://h:0080/y"} << "http://h/y";
        QTest::newRow("port too large") << "" << QStringList{"http://h:65536/"} << "";
        QTest::newRow("port not a number") << "" << QStringList{"http://h:8a/"} << "";
        QTest::newRow("user info kept, escapes normalised") << "" << QStringList{"http://u:p%41@H/"} << "http://u:pA@h/";
        QTest::newRow("IDN host") << "" << QStringList{"http://B\u00fccher.example/"} << "http://xn--bcher-kva.example/";
        QTest::newRow("escaped IDN host") << "" << QStringList{"http://%62%C3%BC.x"} << "http://xn--b-eha.x/";
        QTest::newRow("IPv6 literal") << "" << QStringList{"http://[::1]:8080/a"} << "http://[::1]:8080/a";
        QTest::newRow("broken IPv6 literal") << "" << QStringList{"http://[::1/"} << "";
        QTest::newRow("space in the host") << "" << QStringList{"http://a b/"} << "";
        QTest::newRow("no host") << b << QStringList{"http://"} << "";
        QTest::newRow("slashes before the host") << b << QStringList{"http:///x//y"} << "http://x//y";
        QTest::newRow("other scheme without slashes") << b << QStringList{"https:h2/p"} << "https://h2/p";
        QTest::newRow("no scheme, no base") << "" << QStringList{"example.com/"} << "";
        QTest::newRow("mailto") << b << QStringList{"mailto:x@y"} << "";
        QTest::newRow("javascript, a tab inside") << b << QStringList{" java\tscript:alert(1)"} << "";
        QTest::newRow("data") << b << QStringList{"DATA:text/html,x"} << "";
        QTest::newRow("ftp") << b << QStringList{"ftp://h/"} << "";
        QTest::newRow("scheme-relative, fragment") << "https://s/x" << QStringList{"//other/p#f"} << "https://other/p";
        QTest::newRow("fragment only") << b << QStringList{"#only"} << "http://a/b/c/d;p?q";
        QTest::newRow("empty query kept") << b << QStringList{"?"} << "http://a/b/c/d;p?";
        QTest::newRow("query after an empty path") << "" << QStringList{"http://h?x"} << "http://h/?x";
        QTest::newRow("base chain") << "http://h/dir/page.html" << QStringList{"../other/", "x.html"} << "http://h/other/x.html";
        QTest::newRow("base on another host") << "http://h/dir/p" << QStringList{"https://cdn.h/s/", "../i.png"} << "https://cdn.h/i.png";
        QTest::newRow("refused base") << "http://h/" << QStringList{"mailto:x", "x.html"} << "";
        // clang-format on
    }
    void lenient()
    {
        QFETCH(QString, base);
        QFETCH(QStringList, references);
        QFETCH(QString, expected);
        for (const bool utf8 : {false, true}) {
            QStringList left = references;
            WebAddress address = WebAddress::parse(base.isEmpty() ? left.takeFirst() : base);
            for (const QString &reference : left)
                address = utf8 ? address.resolved(reference.toUtf8()) : address.resolved(reference);
            QCOMPARE(address.toString(), expected);
            QCOMPARE(WebAddress::parse(address.bytes()).bytes(), address.bytes()); // idempotent
        }
    }

    // Generated relative references, resolved strictly, against Python's
    // urljoin (which follows RFC 3986 where no empty segment, query or
    // fragment, nor an authority, is involved); the crawl's resolution must be the strict one
    // normalised (but for escaped dots, which it reads as dots first).
    void resolutionAgainstPython()
    {
        const QList<QByteArray> bases = {rfcBase, "http://a", "http://a/b/",
                                         "https://x.y/a/b/c/d/e?f"};
        const QList<QByteArray> segments = {".", "..", "g", "h;x=1", "%41b", "..g"};
        QRandomGenerator random(20240501);
        QByteArray lines;
        QList<QPair<QByteArray, QByteArray>> cases;
        for (int i = 0; i < 3000; ++i) {
            QByteArrayList parts;
            for (int n = random.bounded(5); n >= 0; --n)
                parts << segments[random.bounded(segments.size())];
            QByteArray reference = parts.join('/');
            const int start = random.bounded(6);
            if (start == 0)
                reference.prepend('/');
            else if (start == 1)
                reference.prepend("//h2/");
            if (random.bounded(3) == 0)
                reference += "?q=" + parts.first() + "/..";
            if (random.bounded(4) == 0)
                reference += "#f";
            if (reference.isEmpty() || reference.startsWith('?'))
                continue;
            cases.append({bases[i % bases.size()], reference});
            lines += cases.last().first + '\t' + reference + '\n';
        }
        QProcess python;
        python.start("python3", {"-c", "import sys, urllib.parse as u\n"
                                       "for line in sys.stdin:\n"
                                       "    b, r = line.rstrip('\\n').split('\\t')\n"
                                       "    print(u.urljoin(b, r))\n"});
        python.write(lines);
        python.closeWriteChannel();
        QVERIFY(python.waitForFinished(60'000));
        const QList<QByteArray> joined = python.readAllStandardOutput().split('\n');
        QCOMPARE(joined.size(), cases.size() + 1);
        for (qsizetype i = 0; i < cases.size(); ++i) {
            const auto &[base, reference] = cases[i];
            const QByteArray strict = resolveReference(base, reference);
            // urljoin leaves the dots of a reference with an authority.
            QVERIFY2(strict == joined[i] || reference.startsWith("//"),
                     base + " + " + reference + ": " + strict + " vs " + joined[i]);
            QCOMPARE(WebAddress::parse(base).resolved(reference).bytes(),
                     WebAddress::parse(strict).bytes());
        }
    }

    // A page's links, the same whole, cut anywhere in two and a byte at a time;
    // the page is http://h/d/p.html.
    void htmlLinks_data()
    {
        QTest::addColumn<QByteArray>("page");
        QTest::addColumn<bool>("skipNofollow");
        QTest::addColumn<QStringList>("links");
        // clang-format off
        QTest::newRow("base after links") << QByteArray("<a href=x><base href=\"http://g/e/\"><a href=y>") << false << QStringList{"http://g/e/x", "http://g/e/y"};
        QTest::newRow("first base counts") << QByteArray("<base href=/b1/><base href=/b2/><a href=x>") << false << QStringList{"http://h/b1/x"};
        QTest::newRow("nofollow among tokens") << QByteArray("<a rel=\"NoFollow next\" href=n><a rel=nofollowed href=m>") << true << QStringList{"http://h/d/m"};
        QTest::newRow("nofollow followed") << QByteArray("<a rel=\"NoFollow next\" href=n><a rel=nofollowed href=m>") << false << QStringList{"http://h/d/n", "http://h/d/m"};
        QTest::newRow("link rel=next, area") << QByteArray("<link rel=stylesheet href=s.css><LINK REL=\"prev next\" HREF=nx><map><area href=../ar></map><img src=i.png>") << false << QStringList{"http://h/d/nx", "http://h/ar"};
        QTest::newRow("script, comment, textarea") << QByteArray("<script>w('<a href=s>')</script><!-- <a href=c> --><textarea><a href=t></textarea><title><a href=u></title><a href=real>") << false << QStringList{"http://h/d/real"};
        QTest::newRow("references and spaces") << QByteArray("<a href=\" \tq?a=1&amp;b=2&lt#frag \n\">") << false << QStringList{"http://h/d/q?a=1&b=2%3C"};
        QTest::newRow("no href, empty attributes") << QByteArray("<a name=x><a href><area>") << false << QStringList{"http://h/d/p.html"};
        // clang-format on
    }
    void htmlLinks()
    {
        QFETCH(QByteArray, page);
        QFETCH(bool, skipNofollow);
        QFETCH(QStringList, links);
        const auto read = [&](const QList<QByteArrayView> &pieces) {
            QStringList found;
            HtmlLinks reader(WebAddress::parse(QByteArrayView("http://h/d/p.html")), skipNofollow,
                             [&](const WebAddress &link) { found << link.toString(); });
            for (const QByteArrayView piece : pieces)
                reader.feed(piece);
            reader.finish();
            return found;
        };
        QCOMPARE(read({page}), links);
        for (qsizetype cut = 1; cut < page.size(); ++cut)
            QCOMPARE(read({QByteArrayView(page).first(cut), QByteArrayView(page).sliced(cut)}),
                     links);
        QList<QByteArrayView> bytes;
        for (qsizetype at = 0; at < page.size(); ++at)
            bytes << QByteArrayView(page).sliced(at, 1);
        QCOMPARE(read(bytes), links);
    }

    void scope_data()
    {
        QTest::addColumn<QString>("start");
        QTest::addColumn<CrawlScope>("scope");
        QTest::addColumn<QStringList>("inside");
        QTest::addColumn<QStringList>("outside");
        const QString page = "http://h/a/b.html";
        // clang-format off
        QTest::newRow("host") << page << CrawlScope::Host << QStringList{"http://h/x", "HTTP://H:80/a/"} << QStringList{"https://h/x", "http://h:81/", "http://sub.h/", "http://g/"};
        QTest::newRow("domain") << "http://Example.com:81/" << CrawlScope::Domain << QStringList{"https://example.com/", "http://www.example.com:8080/", "http://a.b.example.com/"} << QStringList{"http://badexample.com/", "http://com/", "http://example.com.evil/"};
        QTest::newRow("domain of an IP address") << "http://1.2.3.4/" << CrawlScope::Domain << QStringList{"https://1.2.3.4:8/"} << QStringList{"http://5.1.2.3.4/"};
        QTest::newRow("prefix of a page") << page << CrawlScope::Prefix << QStringList{"http://h/a/", "http://h/a/c/d?e", "http://h/a/x/../b.html"} << QStringList{"http://h/ab", "http://h/a", "https://h/a/x", "http://h:8/a/x", "http://h/a/../c"};
        QTest::newRow("prefix of a folder") << "http://h/a/" << CrawlScope::Prefix << QStringList{"http://h/a/x"} << QStringList{"http://h/"};
        // clang-format on
    }
    void scope()
    {
        QFETCH(QString, start);
        QFETCH(CrawlScope, scope);
        QFETCH(QStringList, inside);
        QFETCH(QStringList, outside);
        const ScopeCheck check(WebAddress::parse(start), scope);
        for (const QString &address : inside)
            QVERIFY2(check.contains(WebAddress::parse(address)), qPrintable(address));
        for (const QString &address : outside + QStringList{"mailto:x"})
            QVERIFY2(!check.contains(WebAddress::parse(address)), qPrintable(address));
    }

    // Each check is "+path" (allowed), "-path" or "!path" (too complex).
    void robots_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QStringList>("checks");
        QTest::addColumn<double>("delay"); // -1: none
        QTest::addColumn<QByteArrayList>("sitemaps");
        const QByteArray twoGroups =
            "User-agent: *\nDisallow: /\n\nUser-agent: Quillora\nDisallow: /private\n";
        const QByteArray big =
            "User-agent: *\n" + QByteArray(RobotsTxt::maxBytes, '#') + "\nDisallow: /";
        QByteArray wild = "User-agent: *\n";
        for (int i = 0; i < 20'000; ++i)
            wild += "Disallow: /*q" + QByteArray::number(i) + "\n";
        const QString longPath = "/" + QString(1000, 'a');
        // clang-format off
        QTest::newRow("our group over *") << 200 << twoGroups << QStringList{"+/", "-/private/x", "+/robots.txt"} << -1.0 << QByteArrayList{};
        QTest::newRow("product token, case, version") << 200 << QByteArray("User-agent: QUILLORA/2.1 (x)\nDisallow: /q\nUser-agent: *\nDisallow: /s") << QStringList{"-/q", "+/s"} << -1.0 << QByteArrayList{};
        QTest::newRow("a longer token is another crawler") << 200 << QByteArray("User-agent: quillorabot\nDisallow: /q\nUser-agent: *\nDisallow: /s") << QStringList{"+/q", "-/s"} << -1.0 << QByteArrayList{};
        QTest::newRow("groups merged, shared agent lines") << 200 << QByteArray("user-agent: other\nuser-agent: quillora\ndisallow: /a\nuser-agent: *\ndisallow: /\nuser-agent: quillora\ndisallow: /b\nCrawl-delay: 2.5") << QStringList{"-/a", "-/b", "+/c"} << 2.5 << QByteArrayList{};
        QTest::newRow("an empty group of ours allows all") << 200 << QByteArray("User-agent: *\nDisallow: /\nCrawl-delay: 9\nUser-agent: quillora") << QStringList{"+/x"} << -1.0 << QByteArrayList{};
        QTest::newRow("no group applies") << 200 << QByteArray("Disallow: /\nUser-agent: other\nDisallow: /") << QStringList{"+/", "+/x"} << -1.0 << QByteArrayList{};
        QTest::newRow("longest match, allow wins a tie") << 200 << QByteArray("User-agent: *\nDisallow: /a\nAllow: /a/b\nDisallow: /a/b/c\nAllow: /t\nDisallow: /t\nDisallow: /u*\nAllow: /u/") << QStringList{"-/a/x", "+/a/b", "-/a/b/c/d", "+/t", "+/u/", "-/u"} << -1.0 << QByteArrayList{};
        QTest::newRow("wildcards and end anchor") << 200 << QByteArray("User-agent: *\nDisallow: /*.gif$\nDisallow: /*/x*/y\nDisallow: /e$\nDisallow: /**z*$") << QStringList{"-/a/b.gif", "+/b.gif?c", "-/p/x1/x2/y", "+/p/y/x1", "-/e", "+/e/", "+/", "-/zz"} << -1.0 << QByteArrayList{};
        QTest::newRow("escapes compared in normal form") << 200 << QByteArray("User-agent: *\nDisallow: /%7ejoe\nDisallow: /caf\xC3\xA9\nDisallow: /a%2fb\nDisallow: /q?x=%c3%a9") << QStringList{"-/~joe", "-/%7Ejoe/x", "-/caf%c3%a9", "-/caf\u00e9", "+/a/b", "-/a%2Fb", "-/q?x=\u00e9"} << -1.0 << QByteArrayList{};
        QTest::newRow("empty disallow, comments, BOM, CR, no colon, no slash") << 200 << QByteArray("\xEF\xBB\xBFUser-agent: * # all\rDisallow:\r\n# Disallow: /c\rdisallow /nocolon\rDisallow: x") << QStringList{"+/", "+/c", "-/nocolon", "-/x"} << -1.0 << QByteArrayList{};
        QTest::newRow("sitemaps anywhere, delays") << 200 << QByteArray("Sitemap: http://h/1.xml\nUser-agent: *\nCrawl-delay: nonsense\nCrawl-delay: -1\nSitemap:http://h/2.xml.gz\nCrawl-delay: .5\nDisallow: /d\n") << QStringList{"-/d"} << 0.5 << QByteArrayList{"http://h/1.xml", "http://h/2.xml.gz"};
        QTest::newRow("read up to 500 KiB") << 200 << big << QStringList{"+/x"} << -1.0 << QByteArrayList{};
        QTest::newRow("too many wildcards for a long path") << 200 << wild << QStringList{"+/" + longPath.mid(900), "-/q17", "!" + longPath} << -1.0 << QByteArrayList{};
        QTest::newRow("4xx: all allowed") << 404 << QByteArray("User-agent: *\nDisallow: /") << QStringList{"+/", "+/x"} << -1.0 << QByteArrayList{};
        QTest::newRow("5xx: nothing allowed") << 503 << QByteArray() << QStringList{"-/", "-/x", "+/robots.txt"} << -1.0 << QByteArrayList{};
        QTest::newRow("unreachable: nothing allowed") << 0 << QByteArray() << QStringList{"-/x"} << -1.0 << QByteArrayList{};
        // clang-format on
    }
    void robots()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QStringList, checks);
        QFETCH(double, delay);
        QFETCH(QByteArrayList, sitemaps);
        const RobotsTxt robots = RobotsTxt::fromAnswer(status, body);
        for (const QString &check : checks)
            QVERIFY2(robots.verdict(check.mid(1).toUtf8()) == QString("+-!").indexOf(check[0]),
                     qPrintable(check.left(20)));
        QCOMPARE(robots.crawlDelay().value_or(-1), delay);
        QCOMPARE(robots.sitemaps(), sitemaps);
        // An address asks as its path and query do.
        const WebAddress address = WebAddress::parse("http://h" + checks[0].mid(1));
        QCOMPARE(robots.allows(address), checks[0].startsWith('+'));
    }

    // A sitemap and a gzip sitemap index give the same locs whole and cut
    // anywhere; entities, CDATA, namespaces, other elements' locs.
    void sitemapCutAnywhere_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QByteArrayList>("locs");
        const QByteArray pages =
            urlset("<!-- <url><loc>http://h/commented</loc></url> -->"
                   "<url><loc> http://h/a?x=1&amp;y=&#233;&#x20AC; "
                   "</loc><lastmod>2024-01-01</lastmod></url>\r\n"
                   "<url><loc><![CDATA[http://h/b?<&>]]></loc><image:image xmlns:image='i'>"
                   "<image:loc>http://h/i.png</image:loc></image:image></url><url><loc></loc></url>"
                   "<other><loc>http://h/not-an-entry</loc></other><url><loc>http://h/"
                   "\xE2\x82\xAC</loc></url>");
        const QByteArray index =
            "<s:sitemapindex xmlns:s='http://www.sitemaps.org/schemas/sitemap/0.9'>"
            "<s:sitemap><s:loc>http://h/s1.xml.gz</s:loc></s:sitemap>"
            "<s:sitemap><s:loc>http://h/s2.xml</s:loc></s:sitemap></s:sitemapindex>";
        const QByteArrayList pageLocs = {"http://h/a?x=1&y=\xC3\xA9\xE2\x82\xAC", "http://h/b?<&>",
                                         "http://h/\xE2\x82\xAC"};
        const QByteArrayList indexLocs = {"http://h/s1.xml.gz", "http://h/s2.xml"};
        QTest::newRow("urlset") << pages << int(SitemapReader::Kind::Pages) << pageLocs;
        QTest::newRow("urlset, gzip")
            << TestServer::deflate(pages) << int(SitemapReader::Kind::Pages) << pageLocs;
        QTest::newRow("index, gzip")
            << TestServer::deflate(index) << int(SitemapReader::Kind::Sitemaps) << indexLocs;
        QTest::newRow("index, two gzip members")
            << TestServer::deflate(index.left(90)) + TestServer::deflate(index.mid(90))
            << int(SitemapReader::Kind::Sitemaps) << indexLocs;
    }
    void sitemapCutAnywhere()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, kind);
        QFETCH(QByteArrayList, locs);
        SitemapReader::Kind read;
        QCOMPARE(readSitemap({bytes}, &read), locs);
        QCOMPARE(int(read), kind);
        for (qsizetype cut = 0; cut <= bytes.size(); ++cut)
            QCOMPARE(readSitemap({bytes.first(cut), bytes.sliced(cut)}), locs);
        QList<QByteArrayView> bytewise;
        for (qsizetype i = 0; i < bytes.size(); ++i)
            bytewise << QByteArrayView(bytes).sliced(i, 1);
        QCOMPARE(readSitemap(bytewise), locs);
    }

    // Past the limits, and on garbage, a reason; the locs read before kept.
    void sitemapFailures_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("locs");
        QTest::addColumn<QByteArray>("first");
        QTest::addColumn<QString>("reason"); // empty: none
        QByteArray entries;
        for (int i = 0; i < SitemapReader::maxAddresses; ++i)
            entries += "<url><loc>http://h/" + QByteArray::number(i) + "</loc></url>";
        const QByteArray full = urlset(entries);
        const QByteArray one = urlset("<url><loc>http://h/1</loc></url>");
        QByteArray padding = "<url><loc>http://h/0</loc></url>";
        while (padding.size() <= SitemapReader::maxBytes)
            padding += "<p>" + QByteArray(1000, ' ') + "</p>";
        QByteArray damaged = TestServer::deflate(one);
        damaged[damaged.size() / 2] = ~damaged[damaged.size() / 2];
        // clang-format off
        QTest::newRow("50,000 addresses") << full << SitemapReader::maxAddresses << QByteArray("http://h/0") << QString();
        QTest::newRow("50,001 addresses") << urlset(entries + "<url><loc>http://h/x</loc></url>") << SitemapReader::maxAddresses << QByteArray("http://h/0") << "more than 50,000";
        QTest::newRow("over 50 MB") << TestServer::deflate(urlset(padding)) << 1 << QByteArray("http://h/0") << "larger than 50 MB";
        QTest::newRow("a text over 2 MiB") << urlset("<url><loc>http://h/0</loc></url><!--" + QByteArray(SitemapReader::maxTokenBytes + 100'000, 'c') + "-->") << 1 << QByteArray("http://h/0") << "longer than 2 MiB";
        QTest::newRow("garbage") << QByteArray("\x89PNG\r\n\x1a\n\0\0", 10) << 0 << QByteArray() << "not well-formed";
        QTest::newRow("HTML") << QByteArray("<html><body><a href=x>x</a></body></html>") << 0 << QByteArray() << "root is <html>";
        QTest::newRow("broken after a loc") << one.left(one.size() - 3) + "</url>" << 1 << QByteArray("http://h/1") << "not well-formed";
        QTest::newRow("ends early") << one.left(one.size() - 5) << 1 << QByteArray("http://h/1") << "ends before";
        QTest::newRow("prolog only") << QByteArray("<?xml version='1.0'?>\n") << 0 << QByteArray() << "ends before";
        QTest::newRow("empty") << QByteArray() << 0 << QByteArray() << "empty";
        QTest::newRow("damaged gzip") << damaged << 0 << QByteArray() << "damaged";
        QTest::newRow("gzip cut short") << TestServer::deflate(one).chopped(8) << 1 << QByteArray("http://h/1") << "ends early";
        // clang-format on
    }
    void sitemapFailures()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, locs);
        QFETCH(QByteArray, first);
        QFETCH(QString, reason);
        QList<QByteArrayView> pieces;
        for (qsizetype at = 0; at < bytes.size(); at += 65536)
            pieces << QByteArrayView(bytes).sliced(at,
                                                   std::min<qsizetype>(65536, bytes.size() - at));
        QList<QByteArray> read = readSitemap(pieces);
        const QByteArray said = read.value(read.size() - 1).startsWith('!') ? read.takeLast() : "";
        QCOMPARE(read.size(), locs);
        QCOMPARE(read.value(0), first);
        QVERIFY2(reason.isEmpty() ? said.isEmpty() : said.contains(reason.toUtf8()), said);
    }

    // Spilled past a small limit, read back in order, memory within the
    // limit, the file gone with the frontier.
    void frontier_data()
    {
        QTest::addColumn<qint64>("limit");
        QTest::addColumn<int>("popEvery"); // a pop after every n pushes, 0: none
        QTest::newRow("in memory") << Frontier::defaultMemoryLimit << 20;
        QTest::newRow("spilled, pushes only") << qint64(1000) << 0;
        QTest::newRow("spilled, pops between") << qint64(1000) << 3;
        QTest::newRow("records over the limit") << qint64(16) << 2;
        QTest::newRow("balanced") << qint64(4096) << 1;
    }
    void frontier()
    {
        QFETCH(qint64, limit);
        QFETCH(int, popEvery);
        QString file;
        {
            Frontier frontier(limit);
            const auto address = [](int i) {
                return "http://h/" + QByteArray(i % 97, 'x') + QByteArray::number(i);
            };
            int next = 0, pushed = 0;
            qint64 largest = 0;
            const auto popOne = [&] {
                const std::optional<FrontierEntry> entry = frontier.pop();
                QVERIFY(entry);
                QCOMPARE(entry->address, address(next));
                QCOMPARE(entry->depth, next % 7 - 3);
                ++next;
            };
            for (; pushed < 20'000; ++pushed) {
                QVERIFY(frontier.push(address(pushed), pushed % 7 - 3));
                QCOMPARE(frontier.size(), pushed + 1 - next);
                if (popEvery && pushed % popEvery == 0)
                    popOne();
                largest = std::max(largest, frontier.memoryBytes());
                if (!frontier.spillFileName().isEmpty())
                    file = frontier.spillFileName();
            }
            QVERIFY2(largest <= limit + limit / 4 + 2 * (8 + 128),
                     qPrintable(QString::number(largest)));
            if (popEvery != 1)
                QVERIFY(limit < 100'000 ? !file.isEmpty() && QFile::exists(file) : file.isEmpty());
            while (!frontier.empty())
                popOne();
            QCOMPARE(next, pushed);
            QVERIFY(!frontier.pop());
            QVERIFY(frontier.error().isEmpty());
        }
        QVERIFY(file.isEmpty() || !QFile::exists(file));
    }

    // A million distinct addresses: none taken for seen, each seen after,
    // within 32 MB.
    void seenSet()
    {
        SeenSet seen;
        const auto address = [](int i) {
            return "http://host" + QByteArray::number(i % 1000) + ".example/p/" +
                   QByteArray::number(i / 1000) + (i % 3 ? "?q" : "");
        };
        for (int i = 0; i < 1'000'000; ++i)
            if (!seen.insert(address(i)))
                QFAIL(qPrintable("taken for seen: " + address(i)));
        QCOMPARE(seen.size(), 1'000'000);
        QVERIFY(seen.memoryBytes() <= 32 << 20);
        for (int i = 0; i < 1'000'000; i += 7)
            if (!seen.contains(address(i)) || seen.insert(address(i)))
                QFAIL(qPrintable("not seen: " + address(i)));
        QVERIFY(!seen.contains("http://host0.example/"));
        QCOMPARE(seen.size(), 1'000'000);
    }
};

QTEST_GUILESS_MAIN(TestCrawl)
#include "tst_crawl.moc"
