#include "extraction/LineFilter.h"
#include "results/ResultList.h"

#include <QTest>

class TestResultList : public QObject
{
    Q_OBJECT
private slots:
    void rowTexts()
    {
        ResultList list;
        list.appendResult(QStringLiteral("http://a"), QStringLiteral("x,y"));
        list.appendResult(QString(), QStringLiteral("plain\r"));
        list.appendAddress(QStringLiteral("http://b"));
        QCOMPARE(list.texts(), (QStringList{"http://a,x,y", "plain\r", "http://b"}));
    }

    // A row shows an address only when it was made with exactly that address;
    // a longer address or a result holding the text does not count.
    void showsAddressIsExact()
    {
        ResultList list;
        list.appendResult(QStringLiteral("http://a.org/long"), QStringLiteral("hit"));
        list.appendResult(QString(), QStringLiteral("see http://a.org here"));
        QVERIFY(!list.showsAddress(QStringLiteral("http://a.org")));
        QVERIFY(list.showsAddress(QStringLiteral("http://a.org/long")));
        list.appendAddress(QStringLiteral("http://a.org"));
        QVERIFY(list.showsAddress(QStringLiteral("http://a.org")));
    }

    void removedRowsNoLongerCount()
    {
        ResultList list;
        list.appendAddress(QStringLiteral("http://a"));
        list.appendResult(QStringLiteral("http://a"), QStringLiteral("r"));
        list.appendResult(QString(), QStringLiteral("r2"));
        QVERIFY(list.holdsResult(QStringLiteral("r")));
        QVERIFY(list.holdsResult(QStringLiteral("r2")));
        QVERIFY(!list.holdsResult(QStringLiteral("http://a")));
        list.removeAt(0);
        QVERIFY(list.showsAddress(QStringLiteral("http://a")));
        list.removeAt(0);
        QVERIFY(!list.showsAddress(QStringLiteral("http://a")));
        QVERIFY(!list.holdsResult(QStringLiteral("r")));
        list.appendResult(QString(), QStringLiteral("r"));
        QVERIFY(list.holdsResult(QStringLiteral("r")));
        list.clear();
        QVERIFY(!list.holdsResult(QStringLiteral("r")));
        QVERIFY(!list.holdsResult(QStringLiteral("r2")));
    }

    void addressRow_data()
    {
        QTest::addColumn<bool>("include");
        QTest::addColumn<bool>("evenIfNothing");
        QTest::addColumn<bool>("alreadyShown");
        QTest::addColumn<int>("rowsAdded");
        QTest::newRow("both on") << true << true << false << 1;
        QTest::newRow("already shown") << true << true << true << 0;
        QTest::newRow("only include") << true << false << false << 0;
        QTest::newRow("only even-if") << false << true << false << 0;
    }
    void addressRow()
    {
        QFETCH(bool, include);
        QFETCH(bool, evenIfNothing);
        QFETCH(bool, alreadyShown);
        QFETCH(int, rowsAdded);
        ResultList list;
        const QString address = QStringLiteral("http://s");
        if (alreadyShown)
            list.appendResult(address, QStringLiteral("hit"));
        const int before = list.count();
        AddAddressRow(list, address, include, evenIfNothing);
        QCOMPARE(list.count() - before, rowsAdded);
    }
};

QTEST_GUILESS_MAIN(TestResultList)
#include "tst_resultlist.moc"
