#include "sitelist/SiteList.h"
#include "sitelist/SiteListDrag.h"

#include <QTest>

using Edge = SiteListDrag::Edge;

namespace {
QStringList texts(const SiteList &list)
{
    QStringList all;
    for (int row = 0; row < list.count(); ++row)
        all << list.text(row);
    return all;
}

void fill(SiteList &list, const QStringList &rows)
{
    list.append(rows);
    list.publishPending();
}
} // namespace

class TestSiteListDrag : public QObject
{
    Q_OBJECT
private slots:
    void pickedRowFollowsRemovalsAndForgetsItsOwn_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<int>("dragRowAfter");
        QTest::newRow("a row before it removed") << "remove 0" << 1;
        QTest::newRow("a row after it removed") << "remove 3" << 2;
        QTest::newRow("its own row removed") << "remove 2" << -1;
        QTest::newRow("list cleared") << "clear" << -1;
        QTest::newRow("rows appended") << "append" << 2;
    }
    void pickedRowFollowsRemovalsAndForgetsItsOwn()
    {
        QFETCH(QString, change);
        QFETCH(int, dragRowAfter);
        SiteList list;
        fill(list, {"A", "B", "C", "D"});
        SiteListDrag drag(list);
        drag.press();
        drag.pick(2);
        if (change.startsWith(QLatin1String("remove")))
            list.removeAt(change.back().digitValue());
        else if (change == QLatin1String("clear"))
            list.clear();
        else
            fill(list, {"E", "F"});
        QCOMPARE(drag.dragRow(), dragRowAfter);

        // Moving on after the change drags the same text, or nothing at all.
        const QStringList before = texts(list);
        drag.move(0, Edge::None);
        if (dragRowAfter < 0) {
            QCOMPARE(texts(list), before);
        } else {
            QCOMPARE(list.text(0), QStringLiteral("C"));
            QCOMPARE(drag.dragRow(), 0);
        }
    }

    // A row the views have not been told of yet cannot be picked.
    void unpublishedRowIsNotPicked()
    {
        SiteList list;
        fill(list, {"A"});
        list.append(QStringLiteral("B"));
        SiteListDrag drag(list);
        drag.pick(1);
        QCOMPARE(drag.dragRow(), -1);
    }

    void scrollsOneRowBeyondTheEdgeNearThePointer_data()
    {
        QTest::addColumn<int>("picked");
        QTest::addColumn<int>("hover");
        QTest::addColumn<Edge>("edge");
        QTest::addColumn<int>("scrollTo");
        QTest::newRow("near top: the row above") << 5 << 3 << Edge::NearTop << 2;
        QTest::newRow("near bottom: the row below") << 2 << 4 << Edge::NearBottom << 5;
        QTest::newRow("away from both edges") << 2 << 4 << Edge::None << -1;
        QTest::newRow("near top over the first row") << 5 << 0 << Edge::NearTop << -1;
        QTest::newRow("near bottom over the last row") << 2 << 9 << Edge::NearBottom << -1;
        QTest::newRow("no swap, no scroll") << 4 << 4 << Edge::NearBottom << -1;
    }
    void scrollsOneRowBeyondTheEdgeNearThePointer()
    {
        QFETCH(int, picked);
        QFETCH(int, hover);
        QFETCH(Edge, edge);
        QFETCH(int, scrollTo);
        SiteList list;
        QStringList rows;
        for (int i = 0; i < 10; ++i)
            rows << QString::number(i);
        fill(list, rows);
        SiteListDrag drag(list);
        drag.press();
        drag.pick(picked);
        QCOMPARE(drag.move(hover, edge).scrollTo, scrollTo);
    }
};

QTEST_GUILESS_MAIN(TestSiteListDrag)
#include "tst_sitelistdrag.moc"
