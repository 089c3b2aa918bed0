#include "platform/WorkSlice.h"
#include "sitelist/ExtractLinks.h"
#include "sitelist/FileToList.h"
#include "sitelist/SiteList.h"
#include "sitelist/SiteListDrag.h"
#include "sitelist/UrlMon.h"
#include "support/Fakes.h"
#include "support/Process.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

QStringList texts(const SiteList &list)
{
    QStringList all;
    for (int row = 0; row < list.count(); ++row)
        all << list.text(row);
    return all;
}

} // namespace

class TestSiteList : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    int m_files = 0;

    QString writeFile(const QByteArray &bytes)
    {
        const QString path = m_dir.filePath(QStringLiteral("list%1.txt").arg(++m_files));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }
    // Loads the files one after another into a list that holds "kept";
    // returns the rows and the messages.
    QStringList load(const QStringList &paths)
    {
        SiteList list;
        list.append(QStringLiteral("kept"));
        AddressFileLoader loader(list);
        QStringList said;
        connect(&loader, &SerialQueue::reported, this,
                [&](const UserMessage &m) { said << "message:" + m.text; });
        QSignalSpy idle(&loader, &AddressFileLoader::idle);
        for (const QString &path : paths)
            loader.enqueue(path);
        if (!idle.wait(30'000))
            return {QStringLiteral("<the loads did not end>")};
        return texts(list) + said;
    }

private slots:
    void addHttp_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("row");
        QTest::newRow("no scheme, blanks kept") << " a.org "
                                                << "http:// a.org ";
        QTest::newRow("http") << "http://a.org/x"
                              << "http://a.org/x";
        QTest::newRow("capital scheme") << "HTTP://a.org"
                                        << "http://HTTP://a.org";
        QTest::newRow("https") << "https://a.org"
                               << "http://https://a.org";
        QTest::newRow("http:// further on") << "a.org/?u=http://b"
                                            << "a.org/?u=http://b";
    }
    void addHttp()
    {
        QFETCH(QString, typed);
        QFETCH(QString, row);
        QCOMPARE(AddHttp(typed), row);
    }

    // Appends reach the views together on the next turn of the event loop.
    void viewsLearnOfRowsInBatches()
    {
        SiteList list;
        QSignalSpy inserted(&list, &QAbstractItemModel::rowsInserted);
        QSignalSpy removed(&list, &QAbstractItemModel::rowsRemoved);
        for (int i = 0; i < 1000; ++i)
            list.append(QString::number(i));
        QCOMPARE(list.count(), 1000);
        QCOMPARE(list.rowCount(), 0);
        QTRY_COMPARE(list.rowCount(), 1000);
        QCOMPARE(inserted.count(), 1);
        QCOMPARE(list.data(list.index(999)).toString(), QStringLiteral("999"));
        list.append(QStringLiteral("unseen"));
        list.removeAt(1000); // the views never saw it
        list.removeAt(0);
        list.removeAt(-1);
        QCOMPARE(removed.count(), 1);
        QCOMPARE(list.rowCount(), 999);
        QCOMPARE(list.text(0), QStringLiteral("1"));
        list.clear();
        QCOMPARE(list.rowCount(), 0);
    }

    // Lines end at CR, CR LF or the end; an LF inside a line splits it, and
    // every piece, empty or not, becomes a row after AddHttp.
    void loadsEveryLineAsAnAddress_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("rows");
        const QStringList abc{"http://a", "http://b", "http://c"};
        QTest::newRow("CR LF") << QByteArray("a\r\nb\r\nc\r\n") << abc;
        QTest::newRow("CR, no final end") << QByteArray("a\rb\rc") << abc;
        QTest::newRow("LF, final LF") << QByteArray("a\nb\nc\n") << abc + QStringList{"http://"};
        QTest::newRow("LF then CR")
            << QByteArray("a\n\rb") << QStringList{"http://a", "http://", "http://b"};
        QTest::newRow("empty lines")
            << QByteArray("a\r\n\r\n\r\n") << QStringList{"http://a", "http://", "http://"};
        QTest::newRow("empty file") << QByteArray() << QStringList();
        QTest::newRow("blanks kept, schemes")
            << QByteArray(" a \t\rhttps://b\rc/?u=http://d")
            << QStringList{"http:// a \t", "http://https://b", "c/?u=http://d"};
        QTest::newRow("byte-order mark kept") << QByteArray("\xEF\xBB\xBF"
                                                            "a")
                                              << QStringList{"http://\uFEFFa"};
        QTest::newRow("UTF-8, invalid bytes, NUL")
            << QByteArray("caf\xC3\xA9\r\na\xFF"
                          "b\r\nn\0l\r\nb\xC3",
                          19)
            << QStringList{"http://caf\u00E9", "http://a\uFFFDb",
                           QStringLiteral("http://n") + QChar(0) + 'l', "http://b\uFFFD"};
    }
    void loadsEveryLineAsAnAddress()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, rows);
        QCOMPARE(load({writeFile(bytes)}), QStringList{"kept"} + rows);
    }

    // Many read chunks' worth, so that chunk ends fall inside line ends and
    // characters; a second file waits for the first.
    void largeFilesInOrder()
    {
        QByteArray bytes;
        QStringList rows{"kept"};
        for (int i = 0; i < 250'000; ++i) {
            bytes += "h" + QByteArray::number(i) + (i % 3 ? "\r\n" : "\xC3\xA9\r");
            rows << QStringLiteral("http://h%1%2").arg(i).arg(i % 3 ? "" : "\u00E9");
        }
        const QString path = writeFile(bytes);
        QVERIFY(load({path, path}) == rows + rows.mid(1));
    }

    // A file that cannot be read, or is no address list, is refused whole.
    void refusedFiles_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("reason");
        const qsizetype longest = AddressFileSplitter::maxPieceLength;
        QTest::newRow("a folder") << m_dir.path() << "";
        QTest::newRow("read fails after open") << "/proc/self/mem"
                                               << "";
        QTest::newRow("a line one too long")
            << writeFile("a\r\n" + QByteArray(longest + 1, 'x') + "\r\nb") << "longer than";
        QTest::newRow("one too long in two-byte characters")
            << writeFile("a\r\n" + QByteArray(longest, 'x') + "\xC3\xA9") << "longer than";
    }
    void refusedFiles()
    {
        QFETCH(QString, path);
        QFETCH(QString, reason);
        const QStringList said = load({path});
        QCOMPARE(said.size(), 2);
        QCOMPARE(said[0], QStringLiteral("kept"));
        QVERIFY2(said[1].startsWith("message:The file \"" + path + "\" could not be read: "),
                 qPrintable(said[1]));
        QVERIFY2(said[1].contains(reason), qPrintable(said[1]));
    }

    void longestLineLoads()
    {
        const qsizetype longest = AddressFileSplitter::maxPieceLength;
        const QStringList said = load({writeFile("a\r\n" + QByteArray(longest, 'x') + "\nb")});
        QCOMPARE(said.size(), 4);
        QCOMPARE(said[2].size(), 7 + longest);
    }

    // A billion bytes without a line end are refused without being held.
    void billionByteLine()
    {
        const QString path = writeFile("http://good\r\nx");
        QVERIFY(QFile::resize(path, 1'000'000'000)); // sparse
        ProcessMemory::startNewPeak();
        const qint64 before = ProcessMemory::peakKiB();
        const QStringList said = load({path});
        const qint64 grownKiB = ProcessMemory::peakKiB() - before;
        QFile::remove(path);
        QCOMPARE(said.size(), 2);
        QVERIFY(said[1].contains(QStringLiteral("longer than")));
        QVERIFY2(!ProcessMemory::measurable || grownKiB < 128 * 1024,
                 qPrintable(QString::number(grownKiB)));
    }

    void setBaseUrl_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("baseUrl");
        QTest::addColumn<QString>("baseFolder");
        QTest::newRow("host") << "H"
                              << "http://H/"
                              << "http://H";
        QTest::newRow("folder") << "H/dir"
                                << "http://H/dir/"
                                << "http://H/dir";
        QTest::newRow("page") << "H/dir/page.html"
                              << "http://H/dir/page.html"
                              << "http://H/dir";
        QTest::newRow("page in capitals") << "http://H/dir/PAGE.HTM"
                                          << "http://H/dir/PAGE.HTM/"
                                          << "http://H/dir/PAGE.HTM";
        QTest::newRow("secure scheme kept") << "https://h/x"
                                            << "https://h/x/"
                                            << "https://h/x";
        QTest::newRow("any http start kept") << "httpd.org"
                                             << "httpd.org/"
                                             << "httpd.org";
        QTest::newRow("empty answer") << ""
                                      << "http://"
                                      << "http:/";
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

    // However often the slice runs out, the rows are those of one scan.
    void scanResumesWhereTheSliceRanOut()
    {
        QByteArray page;
        for (int i = 0; i < 5000; ++i)
            page += "<a href=\"p" + QByteArray::number(i) + ".html\">page</a>\n";
        ExtractLinks whole, sliced;
        SiteList wholeList, slicedList;
        for (ExtractLinks *links : {&whole, &sliced}) {
            links->SetBaseUrl(QStringLiteral("h"));
            links->setPage(page);
        }
        QVERIFY(whole.ScanLinks(wholeList, WorkSlice(std::numeric_limits<qint64>::max())));
        int slices = 1;
        while (!sliced.ScanLinks(slicedList, WorkSlice(0)))
            ++slices;
        QVERIFY(slices > 10);
        QCOMPARE(wholeList.count(), 5001);
        QCOMPARE(wholeList.text(5000), QStringLiteral("http://h/p4999.html/"));
        QCOMPARE(texts(slicedList), texts(wholeList));
    }

    // The picked-up row follows the list as rows go, and is forgotten with its own.
    void dragFollowsTheList_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<int>("dragRow");
        QTest::newRow("a row before it removed") << "remove 0" << 1;
        QTest::newRow("a row after it removed") << "remove 3" << 2;
        QTest::newRow("its own row removed") << "remove 2" << -1;
        QTest::newRow("list cleared") << "clear" << -1;
    }
    void dragFollowsTheList()
    {
        QFETCH(QString, change);
        QFETCH(int, dragRow);
        SiteList list;
        list.append(QStringList{"A", "B", "C", "D"});
        list.publishPending();
        list.append(QStringLiteral("unseen"));
        SiteListDrag drag(list);
        drag.pick(4); // not shown yet: picks nothing
        QCOMPARE(drag.dragRow(), -1);
        drag.press();
        drag.pick(2);
        if (change == "clear")
            list.clear();
        else
            list.removeAt(change.back().digitValue());
        QCOMPARE(drag.dragRow(), dragRow);
        const QStringList before = texts(list);
        drag.move(0, SiteListDrag::Edge::None);
        QCOMPARE(list.text(0), dragRow < 0 ? before.value(0) : QStringLiteral("C"));
    }

    void dragScrollsOneRowPastTheEdge_data()
    {
        QTest::addColumn<int>("picked");
        QTest::addColumn<int>("hover");
        QTest::addColumn<SiteListDrag::Edge>("edge");
        QTest::addColumn<int>("scrollTo");
        using Edge = SiteListDrag::Edge;
        QTest::newRow("near the top") << 5 << 3 << Edge::NearTop << 2;
        QTest::newRow("near the bottom") << 2 << 4 << Edge::NearBottom << 5;
        QTest::newRow("away from both") << 2 << 4 << Edge::None << -1;
        QTest::newRow("over the first row") << 5 << 0 << Edge::NearTop << -1;
        QTest::newRow("over the last row") << 2 << 9 << Edge::NearBottom << -1;
        QTest::newRow("no swap") << 4 << 4 << Edge::NearBottom << -1;
    }
    void dragScrollsOneRowPastTheEdge()
    {
        QFETCH(int, picked);
        QFETCH(int, hover);
        QFETCH(SiteListDrag::Edge, edge);
        QFETCH(int, scrollTo);
        SiteList list;
        for (int i = 0; i < 10; ++i)
            list.append(QString::number(i));
        list.publishPending();
        SiteListDrag drag(list);
        drag.press();
        drag.pick(picked);
        QCOMPARE(drag.move(hover, edge).scrollTo, scrollTo);
    }
};

QTEST_GUILESS_MAIN(TestSiteList)
#include "tst_sitelist.moc"
