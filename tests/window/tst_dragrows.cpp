#include "platform/CurlPageFetcher.h"
#include "sitelist/SiteList.h"
#include "support/FakeUiServices.h"
#include "window/Form1.h"

#include <QApplication>
#include <QFile>
#include <QItemSelectionModel>
#include <QScreen>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>

#include <memory>

namespace {

QStringList numbered(int count)
{
    QStringList rows;
    for (int i = 0; i < count; ++i)
        rows << QStringLiteral("row %1").arg(i, 2, 10, QLatin1Char('0'));
    return rows;
}

} // namespace

// Drags on the site list, driven by mouse events on its offscreen view.
class TestDragRows : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_folder;
    FakeUiServices m_ui;
    CurlPageFetcher m_fetcher;
    std::unique_ptr<Form1> m_form;
    QTreeView *m_list = nullptr;

    void openWindow(const QStringList &rows)
    {
        Form1Services services;
        services.ui = &m_ui;
        services.fetcher = &m_fetcher;
        services.random = [] {
            return 0.5;
        };
        services.programFolder = m_folder->path();
        m_form = std::make_unique<Form1>(services);
        m_form->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
        m_list = m_form->findChild<QTreeView *>(QStringLiteral("ListView1"));
        QVERIFY(m_list);
        m_form->siteList().append(rows);
        m_form->siteList().publishPending();
    }

    QWidget *viewport() const { return m_list->viewport(); }
    QRect rowRect(int row) const { return m_list->visualRect(m_list->model()->index(row, 0)); }
    QPoint rowPoint(int row) const { return rowRect(row).center(); }
    QPoint belowRows() const
    {
        return rowRect(m_form->siteList().count() - 1).center() +
               QPoint(0, rowRect(0).height() * 3 / 2);
    }

    void press(QPoint at) { QTest::mousePress(viewport(), Qt::LeftButton, {}, at); }
    // QTest remembers the pressed button and sends it with the move.
    void moveHeld(QPoint at) { QTest::mouseMove(viewport(), at); }
    void release(QPoint at) { QTest::mouseRelease(viewport(), Qt::LeftButton, {}, at); }

    QStringList rows() const
    {
        QStringList all;
        for (int row = 0; row < m_form->siteList().count(); ++row)
            all << m_form->siteList().text(row);
        return all;
    }
    int selectedRow() const
    {
        const QModelIndexList selected = m_list->selectionModel()->selectedRows();
        return selected.size() == 1 ? selected.first().row() : -1;
    }
    QCursor listPointer() const { return viewport()->cursor(); }

private slots:
    void init()
    {
        m_folder = std::make_unique<QTemporaryDir>();
        QVERIFY(m_folder->isValid());
        const QString shipped = QFINDTESTDATA("../../data/drag.ico");
        QVERIFY(!shipped.isEmpty());
        QVERIFY(QFile::copy(shipped, m_folder->filePath(QStringLiteral("drag.ico"))));
    }
    void cleanup()
    {
        m_form.reset();
        m_list = nullptr;
    }

    void dragSwapsTexts_data()
    {
        QTest::addColumn<QStringList>("start");
        QTest::addColumn<int>("pressed");
        QTest::addColumn<QList<int>>("moves");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<int>("selected");

        const QStringList abcd{"A", "B", "C", "D"};
        QTest::newRow("B down one row at a time")
            << abcd << 1 << QList<int>{2, 3} << QStringList{"A", "C", "D", "B"} << 3;
        QTest::newRow("B straight to D")
            << abcd << 1 << QList<int>{3} << QStringList{"A", "D", "C", "B"} << 3;
        QTest::newRow("D up to the top")
            << abcd << 3 << QList<int>{2, 1, 0} << QStringList{"D", "A", "B", "C"} << 0;
        QTest::newRow("equal texts do not swap")
            << QStringList{"A", "B", "B", "C"} << 1 << QList<int>{2}
            << QStringList{"A", "B", "B", "C"} << 1;
        QTest::newRow("texts compared case-sensitively")
            << QStringList{"a", "A"} << 0 << QList<int>{1} << QStringList{"A", "a"} << 1;
        QTest::newRow("a click without moving") << abcd << 2 << QList<int>{} << abcd << 2;
    }
    void dragSwapsTexts()
    {
        QFETCH(QStringList, start);
        QFETCH(int, pressed);
        QFETCH(QList<int>, moves);
        QFETCH(QStringList, expected);
        QFETCH(int, selected);
        openWindow(start);

        press(rowPoint(pressed));
        QPoint at = rowPoint(pressed);
        for (int row : moves) {
            at = rowPoint(row);
            moveHeld(at);
        }
        release(at);

        QCOMPARE(rows(), expected);
        QCOMPARE(selectedRow(), selected);
        QCOMPARE(listPointer().shape(), Qt::ArrowCursor);
    }

    // The drag image shows from the press on a row to the release; without a
    // readable image the arrow shows instead and the row is dragged all the same.
    void dragPointer_data()
    {
        QTest::addColumn<QByteArray>("image"); // empty: no file
        QTest::addColumn<bool>("shown");
        QFile shipped(QFINDTESTDATA("../../data/drag.ico"));
        QVERIFY(shipped.open(QIODevice::ReadOnly));
        QTest::newRow("shipped image") << shipped.readAll() << true;
        QTest::newRow("no image") << QByteArray() << false;
        QTest::newRow("damaged image") << QByteArray("\0\0\1\0\1\0garbage", 14) << false;
    }
    void dragPointer()
    {
        QFETCH(QByteArray, image);
        QFETCH(bool, shown);
        const QString path = m_folder->filePath(QStringLiteral("drag.ico"));
        QFile::remove(path);
        if (!image.isEmpty()) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(image);
        }
        openWindow({"A", "B", "C"});

        press(rowPoint(0));
        if (shown) {
            QCOMPARE(listPointer().shape(), Qt::BitmapCursor);
            QCOMPARE(listPointer().pixmap().toImage().convertToFormat(QImage::Format_ARGB32),
                     QImage(path).convertToFormat(QImage::Format_ARGB32));
        } else {
            QCOMPARE(listPointer().shape(), Qt::ArrowCursor);
        }
        moveHeld(rowPoint(2));
        release(rowPoint(2));
        QCOMPARE(rows(), (QStringList{"C", "B", "A"}));
        QCOMPARE(listPointer().shape(), Qt::ArrowCursor);
    }

    // The release keeps the row picked up last: a press on empty space then
    // drags it on. With no row ever clicked such a press drags nothing.
    void pressOnEmptySpace_data()
    {
        QTest::addColumn<bool>("clickFirst");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("after a click on A") << true << QStringList{"B", "C", "A"};
        QTest::newRow("no row ever clicked") << false << QStringList{"A", "B", "C"};
    }
    void pressOnEmptySpace()
    {
        QFETCH(bool, clickFirst);
        QFETCH(QStringList, expected);
        openWindow({"A", "B", "C"});
        if (clickFirst) {
            press(rowPoint(0));
            release(rowPoint(0));
        }
        const QPoint empty = belowRows();
        QVERIFY(!m_list->indexAt(empty).isValid());
        press(empty);
        moveHeld(rowPoint(1));
        moveHeld(rowPoint(2));
        release(rowPoint(2));
        QCOMPARE(rows(), expected);
    }

    // Without a held button a move only applies the pointer rule.
    void moveWithButtonUpChangesNothing()
    {
        openWindow({"A", "B", "C", "D"});
        press(rowPoint(1));
        release(rowPoint(1));
        m_form->setPointerShape(Form1::CustomPointer);
        for (int row : {2, 3, 0}) {
            QTest::mouseMove(viewport(), rowPoint(row));
            QCOMPARE(m_form->pointerShape(), int(Form1::DefaultPointer));
            m_form->setPointerShape(Form1::CustomPointer);
        }
        QCOMPARE(rows(), (QStringList{"A", "B", "C", "D"}));
        QCOMPARE(selectedRow(), 1);
    }

    void draggedRowGone_data()
    {
        QTest::addColumn<bool>("clear");
        QTest::newRow("its row removed") << false;
        QTest::newRow("list cleared and refilled") << true;
    }
    void draggedRowGone()
    {
        QFETCH(bool, clear);
        openWindow({"A", "B", "C", "D"});
        press(rowPoint(1));
        moveHeld(rowPoint(2)); // B now in row 2
        release(rowPoint(2));
        if (clear) {
            m_form->siteList().clear();
            m_form->siteList().append(QStringList{"A", "C", "D"});
            m_form->siteList().publishPending();
        } else {
            m_form->siteList().removeAt(2);
        }
        const QStringList before = rows();
        press(belowRows());
        for (int row : {0, 1, 2, 1})
            moveHeld(rowPoint(row));
        release(rowPoint(1));
        QCOMPARE(rows(), before);
    }

    // The list scrolls one row when the pointer comes within one row of its
    // own top or bottom edge, wherever the window sits on the screen.
    void autoScrollAtBothEdges_data()
    {
        QTest::addColumn<QString>("corner");
        QTest::newRow("window at the top left") << "top left";
        QTest::newRow("window at the bottom right") << "bottom right";
    }
    void autoScrollAtBothEdges()
    {
        QFETCH(QString, corner);
        const QStringList start = numbered(60);
        openWindow(start);
        const QRect screen = m_form->screen()->geometry();
        const QRect frame = m_form->frameGeometry();
        const QPoint place = corner == QLatin1String("top left")
                                 ? screen.topLeft()
                                 : screen.bottomRight() - QPoint(frame.width(), frame.height());
        m_form->move(place);
        QTRY_COMPARE(m_form->frameGeometry().topLeft(), place);
        QScrollBar *scroll = m_list->verticalScrollBar();
        QCOMPARE(scroll->value(), 0);

        const int rowHeight = rowRect(0).height();
        const int height = viewport()->height();
        const int x = rowRect(0).center().x();
        int lastInside = 0; // the last row away from the bottom edge
        while (rowRect(lastInside + 1).bottom() < height - rowHeight)
            ++lastInside;
        QVERIFY2(lastInside >= 1, "the list shows too few rows for this test");

        // Away from the edges the rows swap but nothing scrolls.
        press(rowPoint(0));
        for (int row = 1; row <= lastInside; ++row)
            moveHeld(rowPoint(row));
        QCOMPARE(scroll->value(), 0);
        QCOMPARE(m_form->siteList().text(lastInside), start.at(0));

        // Near the bottom edge every swap brings the next row into view.
        for (int i = 0; i < 20; ++i)
            moveHeld(QPoint(x, height - rowHeight / 2 - i % 2));
        QVERIFY(scroll->value() > 0);
        const int carried = rows().indexOf(start.at(0));
        QVERIFY2(carried > lastInside + 10, qPrintable(QString::number(carried)));
        QVERIFY(viewport()->rect().intersects(rowRect(carried)));
        QCOMPARE(rows().mid(0, carried), start.mid(1, carried));

        // Walked back up through the rows in view, then held near the top
        // edge, it scrolls back up and every row returns to its place.
        const int firstInView = m_list->indexAt(QPoint(x, 0)).row();
        for (int row = carried - 1; row >= firstInView; --row)
            moveHeld(rowPoint(row));
        QVERIFY(scroll->value() > 0);
        for (int i = 0; i < 2 * carried; ++i)
            moveHeld(QPoint(x, rowHeight / 2 - i % 2));
        release(QPoint(x, rowHeight / 2));
        QCOMPARE(scroll->value(), 0);
        QCOMPARE(rows(), start);
    }
};

QTEST_MAIN(TestDragRows)
#include "tst_dragrows.moc"
