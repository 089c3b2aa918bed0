#include "platform/WorkSlice.h"
#include "sitelist/ExtractLinks.h"
#include "sitelist/SiteList.h"

#include <QTest>

namespace {

QStringList rows(const SiteList &list)
{
    QStringList texts;
    for (int i = 0; i < list.count(); ++i)
        texts << list.text(i);
    return texts;
}

// Scans page as a harvest of typed would, with a slice that never runs out.
QStringList harvest(const QString &typed, const QByteArray &page)
{
    ExtractLinks links;
    links.SetBaseUrl(typed);
    links.setPage(page);
    SiteList list;
    if (!links.ScanLinks(list, WorkSlice(std::numeric_limits<qint64>::max())))
        qFatal("an endless slice ran out");
    return rows(list);
}

} // namespace

class TestExtractLinks : public QObject
{
    Q_OBJECT
private slots:
    // Beyond the worked examples, which run against served pages in the
    // window's tests.
    void setBaseUrl_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("baseUrl");
        QTest::addColumn<QString>("baseFolder");
        QTest::newRow(".htm page") << "h.org/a.htm"
                                   << "http://h.org/a.htm"
                                   << "http://h.org";
        QTest::newRow("folder with slash") << "h.org/dir/"
                                           << "http://h.org/dir/"
                                           << "http://h.org/dir";
        QTest::newRow("secure scheme kept") << "https://h.org/x"
                                            << "https://h.org/x/"
                                            << "https://h.org/x";
        QTest::newRow("scheme in capitals kept") << "HTTP://h.org"
                                                 << "HTTP://h.org/"
                                                 << "HTTP://h.org";
        QTest::newRow("any http start kept") << "httpd.org"
                                             << "httpd.org/"
                                             << "httpd.org";
        QTest::newRow("empty answer") << ""
                                      << "http://"
                                      << "http:/";
        QTest::newRow("shorter than three") << "ab"
                                            << "http://ab/"
                                            << "http://ab";
        QTest::newRow("no slash at all") << "http.htm"
                                         << "http.htm"
                                         << "";
    }
    void setBaseUrl()
    {
        QFETCH(QString, typed);
        QFETCH(QString, baseUrl);
        QFETCH(QString, baseFolder);
        ExtractLinks links;
        links.SetBaseUrl(typed);
        QCOMPARE(links.BaseUrl, baseUrl);
        QCOMPARE(links.BaseFolder, baseFolder);
    }

    // Pages harvested as "h.org/dir": BaseUrl http://h.org/dir/, BaseFolder
    // http://h.org/dir. The page's own address always comes first. The common
    // cases run against a served page in the window's tests.
    void scanLinks_data()
    {
        QTest::addColumn<QByteArray>("page");
        QTest::addColumn<QStringList>("links");
        const auto one = [](const char *value) {
            return QByteArray("<a href=\"") + value + "\">x</a>";
        };
        QTest::newRow("scheme in capitals")
            << one("HTTP://G.NET/A") << QStringList{"HTTP://G.NET/A/"};
        QTest::newRow("mail and script links")
            << one("mailto:a@h.org") + one("javascript:go()")
            << QStringList{"http://h.org/dir/mailto:a@h.org/", "http://h.org/dir/javascript:go()/"};
        QTest::newRow("text outside tags and comments")
            << QByteArray("<p data-href=\"a\">see href=\"b\"</p><!-- href=\"c\" -->")
            << QStringList{"http://h.org/dir/a/", "http://h.org/dir/b/", "http://h.org/dir/c/"};
        QTest::newRow("same link twice")
            << one("a") + one("a") << QStringList{"http://h.org/dir/a/", "http://h.org/dir/a/"};
        QTest::newRow("marker at the start")
            << QByteArray("href=\"a\"") << QStringList{"http://h.org/dir/a/"};
        QTest::newRow("value never closed") << QByteArray("<a href=\"a\">x</a><a href=\"b>y</a>")
                                            << QStringList{"http://h.org/dir/a/"};
        QTest::newRow("page ends in the marker") << QByteArray("<a href=\"") << QStringList();
        QTest::newRow("page ends before the quote") << QByteArray("<a href=") << QStringList();
        QTest::newRow("a marker inside a value is found too")
            << QByteArray("href=\"href=\"x\"")
            << QStringList{"http://h.org/dir/href=/", "http://h.org/dir/x/"};
        QTest::newRow("UTF-8 value")
            << one("caf\xC3\xA9") << QStringList{QStringLiteral("http://h.org/dir/caf\u00E9/")};
        QTest::newRow("invalid bytes in a value")
            << one("a\xFF"
                   "b")
            << QStringList{QStringLiteral("http://h.org/dir/a\uFFFDb/")};
        // Only ASCII letters fold: bytes above 127 never stand for h, r, e or f.
        QTest::newRow("non-ASCII near the marker") << QByteArray("\xC8ref=\"a\"h\xD2"
                                                                 "ef=\"b\"")
                                                   << QStringList();
        QTest::newRow("NUL bytes")
            << QByteArray("\0href=\"a\0b\"", 12)
            << QStringList{QStringLiteral("http://h.org/dir/a") + QChar(0) + QStringLiteral("b/")};
    }
    void scanLinks()
    {
        QFETCH(QByteArray, page);
        QFETCH(QStringList, links);
        QCOMPARE(harvest(QStringLiteral("h.org/dir"), page),
                 QStringList{"http://h.org/dir/"} + links);
    }

    // However often the slice runs out, the rows are those of one long scan.
    void resumesWhereTheSliceRanOut()
    {
        QByteArray page;
        for (int i = 0; i < 5000; ++i)
            page += "<li><a href=\"p" + QByteArray::number(i) + ".html\">page</a> filler text\n";
        const QStringList whole = harvest(QStringLiteral("h.org"), page);
        QCOMPARE(whole.size(), 5001);

        ExtractLinks links;
        links.SetBaseUrl(QStringLiteral("h.org"));
        links.setPage(page);
        SiteList list;
        int slices = 1;
        while (!links.ScanLinks(list, WorkSlice(0)))
            ++slices;
        QVERIFY(slices > 10);
        QCOMPARE(rows(list), whole);
    }
};

QTEST_GUILESS_MAIN(TestExtractLinks)
#include "tst_extractlinks.moc"
