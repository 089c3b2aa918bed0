#include "sitelist/SiteList.h"
#include "sitelist/UrlMon.h"

#include <QSignalSpy>
#include <QTest>

class TestSiteList : public QObject
{
    Q_OBJECT
private slots:
    void addHttp_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("row");
        QTest::newRow("no scheme, blanks kept") << " example.com "
                                                << "http:// example.com ";
        QTest::newRow("already http") << "http://a.org/x"
                                      << "http://a.org/x";
        QTest::newRow("capital scheme") << "HTTP://a.org"
                                        << "http://HTTP://a.org";
        QTest::newRow("https") << "https://a.org"
                               << "http://https://a.org";
        QTest::newRow("http:// further on") << "a.org/?u=http://b"
                                            << "a.org/?u=http://b";
        QTest::newRow("single blank") << " "
                                      << "http:// ";
        QTest::newRow("empty") << ""
                               << "http://";
    }
    void addHttp()
    {
        QFETCH(QString, typed);
        QFETCH(QString, row);
        QCOMPARE(AddHttp(typed), row);
    }

    // Appends reach the views together on the next event-loop turn, while
    // the logical content is there at once.
    void appendsArePublishedInOneBatch()
    {
        SiteList list;
        QSignalSpy inserted(&list, &QAbstractItemModel::rowsInserted);
        for (int i = 0; i < 1000; ++i)
            list.append(QString::number(i));
        QCOMPARE(list.count(), 1000);
        QCOMPARE(list.rowCount(), 0);
        QTRY_COMPARE(list.rowCount(), 1000);
        QCOMPARE(inserted.count(), 1);
        QCOMPARE(inserted[0][1].toInt(), 0);
        QCOMPARE(inserted[0][2].toInt(), 999);
        QCOMPARE(list.data(list.index(999)).toString(), QStringLiteral("999"));
    }

    void removeAndClearKeepViewsConsistent()
    {
        SiteList list;
        list.append(QStringList{"a", "b", "c"});
        list.publishPending();
        list.append(QStringLiteral("d")); // not yet published
        QSignalSpy removed(&list, &QAbstractItemModel::rowsRemoved);
        list.removeAt(1);
        QCOMPARE(removed.count(), 1);
        list.removeAt(2); // the pending "d": views never saw it
        QCOMPARE(removed.count(), 1);
        QCOMPARE(list.count(), 2);
        QCOMPARE(list.rowCount(), 2);
        QCOMPARE(list.text(1), QStringLiteral("c"));
        list.removeAt(7); // out of range: ignored
        list.removeAt(-1);
        QCOMPARE(list.count(), 2);
        list.clear();
        QCOMPARE(list.count(), 0);
        QCOMPARE(list.rowCount(), 0);
        QCOMPARE(list.headerData(0, Qt::Horizontal).toString(), QStringLiteral("URL(s)"));
    }
};

QTEST_GUILESS_MAIN(TestSiteList)
#include "tst_sitelist.moc"
