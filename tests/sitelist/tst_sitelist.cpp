// Address files loaded into the site list.
#include "sitelist/FileToList.h"
#include "sitelist/SiteListDrag.h"
#include "support/Checks.h"
#include "support/Fakes.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

class TestSiteList : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QString file(const QByteArray &bytes) { return writeFile(m_dir.filePath("list.txt"), bytes); }
    // The rows of a list holding "kept" after loading the files, then the messages.
    QStringList load(const QStringList &paths)
    {
        SiteList list;
        list.append(QStringLiteral("kept"));
        AddressFileLoader loader(list);
        QStringList said;
        connect(&loader, &SerialQueue::reported, this,
                [&](const UserMessage &m) { said << m.text; });
        QSignalSpy idle(&loader, &AddressFileLoader::idle);
        for (const QString &path : paths)
            loader.enqueue(path);
        return idle.wait(30'000) ? texts(list) + said : QStringList{"<the loads did not end>"};
    }

private slots:
    // Lines end at CR, CR LF or the end; an LF inside a line splits it; every
    // piece, empty or not, becomes a row, "http://" put before it unless it
    // starts so. A file that cannot be read, or holds a line longer than an
    // address may be, is refused whole: "!" and what the message must hold.
    void loads_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("rows");
        const QByteArray longest(AddressFileSplitter::maxPieceLength, 'x');
        const QStringList abc{"http://a", "http://b", "http://c"};
        const QString refused = QStringLiteral("!longer than");
        // clang-format off
        QTest::newRow("CR LF, CR, no final end") << QByteArray("a\r\nb\rc") << abc;
        QTest::newRow("LF, final LF") << QByteArray("a\nb\nc\n") << abc + QStringList{"http://"};
        QTest::newRow("LF then CR, empty lines") << QByteArray("a\n\rb\r\r\n") << QStringList{"http://a", "http://", "http://b", "http://"};
        QTest::newRow("empty file") << QByteArray() << QStringList();
        QTest::newRow("blanks and schemes kept") << QByteArray(" a \t\rhttps://b\rHTTP://c\rc/?u=http://d\rhttp://e") << QStringList{"http:// a \t", "http://https://b", "http://HTTP://c", "c/?u=http://d", "http://e"};
        QTest::newRow("UTF-8, invalid bytes, NUL") << QByteArray("caf\xC3\xA9\r\na\xFF" "b\r\nn\0l\r\nb\xC3", 19) << QStringList{"http://caf\u00E9", "http://a\uFFFDb", QStringLiteral("http://n") + QChar(0) + 'l', "http://b\uFFFD"};
        QTest::newRow("the longest line") << "a\r\n" + longest + "\nb" << QStringList{"http://a", "http://" + longest, "http://b"};
        QTest::newRow("the longest in two-byte characters") << "a\r\n" + QByteArray("\xC3\xA9").repeated(longest.size()) << QStringList{"http://a", "http://" + QString(longest.size(), u'\u00E9')};
        QTest::newRow("a line one too long") << "a\r\n" + longest + "x\r\nb" << QStringList{refused};
        QTest::newRow("one too long in two-byte characters") << "a\r\n" + longest + "\xC3\xA9" << QStringList{refused};
        QTest::newRow("read fails after open") << QByteArray("/proc/self/mem") << QStringList{"!could not be read"};
        // clang-format on
    }
    void loads()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, rows);
        const QString path = bytes.startsWith('/') ? QString::fromLatin1(bytes) : file(bytes);
        const QStringList said = load({path});
        if (!rows.value(0).startsWith(u'!')) {
            QCOMPARE(said, QStringList{"kept"} + rows);
            return;
        }
        QCOMPARE(said.size(), 2);
        QVERIFY2(said[1].startsWith("The file \"" + path + "\" could not be read: ") &&
                     said[1].contains(rows[0].mid(1)),
                 qPrintable(said[1]));
    }

    // Cut in two anywhere, inside a line end or a character of any length,
    // valid or not, the bytes give the pieces they give whole.
    void piecesCutAnywhere()
    {
        const QByteArray bytes = "a\xC3\xA9\r\n\xE2\x82\xAC\xF0\x9F\x98\x80\rb\xF0\x9F\r\n\xC3"
                                 "\xE2\x82\xFF\xED\xA0\x80\xF4\x90\x80\x80x\n";
        AddressFileSplitter whole;
        whole.feed(bytes);
        const QStringList pieces = texts(whole.finish());
        QCOMPARE(pieces.size(), 5); // the last LF leaves an empty one
        for (qsizetype cut = 1; cut < bytes.size(); ++cut) {
            AddressFileSplitter split;
            split.feed(bytes.first(cut));
            split.feed(bytes.sliced(cut));
            QVERIFY2(texts(split.finish()) == pieces, qPrintable(QString::number(cut)));
        }
    }

    // A picked-up row trades texts with each row of another text it is carried over; at an
    // edge the row beyond, if any, comes into view. Nothing picked, nothing moves.
    void dragSwapsTexts()
    {
        using Edge = SiteListDrag::Edge;
        SiteList sites;
        QAbstractItemModelTester tester(&sites,
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        QSignalSpy inserted(&sites, &QAbstractItemModel::rowsInserted);
        QSignalSpy removed(&sites, &QAbstractItemModel::rowsAboutToBeRemoved);
        sites.append(QStringList{"A", "B", "C", "D", "D", "E", "unseen"});
        sites.removeAt(6);
        QTRY_COMPARE(sites.rowCount(), 6);
        sites.append(QStringLiteral("unseen too")); // after the views saw six
        sites.removeAt(6);
        // One batch, rows 0 to 5, for the views; nothing said of rows they never saw.
        QCOMPARE(inserted.value(0).mid(1) << int(removed.count()), (QVariantList{0, 5, 0}));
        SiteListDrag drag(sites);
        drag.press();
        drag.pick(-1); // empty space
        QCOMPARE(drag.move(1, Edge::None).select, -1);
        drag.pick(3);
        const SiteListDrag::Move up = drag.move(2, Edge::NearTop);
        const SiteListDrag::Move down = drag.move(1, Edge::NearBottom);
        const SiteListDrag::Move top = drag.move(0, Edge::NearTop);
        const SiteListDrag::Move same = drag.move(4, Edge::NearTop);
        const SiteListDrag::Move bottom = drag.move(5, Edge::NearBottom);
        const SiteListDrag::Move past = drag.move(6, Edge::NearBottom); // below the last row
        QCOMPARE(texts(sites), (QStringList{"E", "A", "B", "C", "D", "D"}));
        QCOMPARE((QList<int>{up.select, up.scrollTo, down.select, down.scrollTo, top.scrollTo,
                             same.select, same.scrollTo, bottom.scrollTo, past.select}),
                 (QList<int>{2, 1, 1, 2, -1, -1, -1, -1, -1}));
        drag.release();
        QCOMPARE(drag.move(1, Edge::None).select, -1);
    }

    // Many chunks' worth; a second file waits for the first. A billion bytes
    // without a line end are refused without being held.
    void largeFiles()
    {
        QByteArray bytes;
        QStringList rows{"kept"};
        for (int i = 0; i < 250'000; ++i) {
            bytes += "h" + QByteArray::number(i) + (i % 3 ? "\r\n" : "\xC3\xA9\r");
            rows << QStringLiteral("http://h%1%2").arg(i).arg(i % 3 ? "" : "\u00E9");
        }
        const QString path = file(bytes);
        QVERIFY(load({path, path}) == rows + rows.mid(1));
        QVERIFY(QFile::resize(path, 1'000'000'000)); // sparse
        const qint64 before = peakMiB();
        const QStringList said = load({path});
        QFile::remove(path);
        QVERIFY(said.size() == 2 && said[1].contains(QStringLiteral("longer than")));
        QVERIFY2(peakMiB() - before < 128, qPrintable(QString::number(peakMiB() - before)));
    }
};

QTEST_GUILESS_MAIN(TestSiteList)
#include "tst_sitelist.moc"
