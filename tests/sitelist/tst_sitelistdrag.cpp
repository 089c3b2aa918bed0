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
    void swapsAlongTheHoveredRows_data()
    {
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<int>("picked");
        QTest::addColumn<QList<int>>("hovers");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<int>("dragRowAfter");

        const QStringList abcd{"A", "B", "C", "D"};
        QTest::newRow("down one row at a time")
            << abcd << 1 << QList<int>{2, 3} << QStringList{"A", "C", "D", "B"} << 3;
        QTest::newRow("one jump swaps only the two rows")
            << abcd << 1 << QList<int>{3} << QStringList{"A", "D", "C", "B"} << 3;
        QTest::newRow("up to the first row")
            << abcd << 3 << QList<int>{2, 1, 0} << QStringList{"D", "A", "B", "C"} << 0;
        QTest::newRow("there and back restores the order")
            << abcd << 0 << QList<int>{1, 2, 1, 0} << abcd << 0;
        QTest::newRow("over its own row") << abcd << 2 << QList<int>{2, 2} << abcd << 2;
        QTest::newRow("over no row") << abcd << 2 << QList<int>{-1, 4, 99} << abcd << 2;
        QTest::newRow("an equal text elsewhere does not swap")
            << QStringList{"A", "B", "B", "C"} << 1 << QList<int>{2}
            << QStringList{"A", "B", "B", "C"} << 1;
        QTest::newRow("an equal text is passed over, not carried")
            << QStringList{"A", "B", "C", "A"} << 0 << QList<int>{1, 2, 3}
            << QStringList{"B", "C", "A", "A"} << 2;
        QTest::newRow("texts compared case-sensitively")
            << QStringList{"a", "A"} << 0 << QList<int>{1} << QStringList{"A", "a"} << 1;
    }
    void swapsAlongTheHoveredRows()
    {
        QFETCH(QStringList, rows);
        QFETCH(int, picked);
        QFETCH(QList<int>, hovers);
        QFETCH(QStringList, expected);
        QFETCH(int, dragRowAfter);

        SiteList list;
        fill(list, rows);
        SiteListDrag drag(list);
        drag.press();
        drag.pick(picked);
        const QString dragged = rows.at(picked);
        for (int row : hovers) {
            // The row that takes the dragged text is the one to select.
            const int select = drag.move(row, Edge::None).select;
            if (select >= 0) {
                QCOMPARE(select, row);
                QCOMPARE(list.text(select), dragged);
            }
        }
        QCOMPARE(texts(list), expected);
        QCOMPARE(drag.dragRow(), dragRowAfter);
    }

    // Moves change nothing unless a press armed the drag and a row was picked.
    void nothingMovesUnlessArmedAndPicked_data()
    {
        QTest::addColumn<bool>("press");
        QTest::addColumn<bool>("pick");
        QTest::addColumn<bool>("release");
        QTest::newRow("never pressed") << false << true << false;
        QTest::newRow("released") << true << true << true;
        QTest::newRow("pressed, nothing picked") << true << false << false;
    }
    void nothingMovesUnlessArmedAndPicked()
    {
        QFETCH(bool, press);
        QFETCH(bool, pick);
        QFETCH(bool, release);
        SiteList list;
        fill(list, {"A", "B", "C"});
        SiteListDrag drag(list);
        if (press)
            drag.press();
        if (pick)
            drag.pick(0);
        if (release)
            drag.release();
        const SiteListDrag::Move move = drag.move(2, Edge::NearBottom);
        QCOMPARE(move.select, -1);
        QCOMPARE(move.scrollTo, -1);
        QCOMPARE(texts(list), (QStringList{"A", "B", "C"}));
    }

    // The release disarms but keeps the row picked up last: the next press,
    // even on empty space, drags it on.
    void pickedRowOutlivesTheRelease()
    {
        SiteList list;
        fill(list, {"A", "B", "C"});
        SiteListDrag drag(list);
        drag.press();
        drag.pick(0);
        drag.move(1, Edge::None);
        drag.release();
        QCOMPARE(drag.dragRow(), 1);
        drag.press();
        drag.move(2, Edge::None);
        QCOMPARE(texts(list), (QStringList{"B", "C", "A"}));
    }

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
