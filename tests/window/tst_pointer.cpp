// The pointer as the mouse moves over the window, and dragging rows of the
// site list, by real mouse events on the offscreen platform.
#include "support/WindowFixture.h"

#include <QLineEdit>
#include <QScreen>
#include <QScrollBar>
#include <QTreeView>

namespace {

const QStringList buttons{"Check5", "Check13", "Check7", "Check11", "Check2", "Check8",
                          "Check4", "Check6",  "Check1", "Check9",  "Check3"};
const QStringList surfaces{"Form1", "Frame1", "Frame2", "Frame4", "Frame5", "Frame6", "ListView1", "ListView2"};
const QStringList unhandled{"Text1", "Label1", "Label3", "Frame7", "Check10"};

void shipImages(const QString &folder)
{
    for (const char *name : {"HAND-M.CUR", "drag.ico"})
        QFile::copy(QFINDTESTDATA(QStringLiteral("../../data/") + name), folder + '/' + name);
}

struct Window : WindowFixture
{
    explicit Window(const std::function<void(const QString &)> &prepare = shipImages)
        : WindowFixture(0.5, prepare)
    {
        show();
        list = child<QTreeView>("ListView1");
    }
    // The widget that gets moves over a control.
    QWidget *control(const QString &name) const
    {
        if (name == "Form1")
            return form.get();
        QWidget *w = child(qPrintable(name));
        auto *view = qobject_cast<QTreeView *>(w);
        return view ? view->viewport() : w;
    }
    // Leaves the window, then moves onto a bare spot of the control, so that
    // the platform reports a real move.
    void moveOver(const QString &name)
    {
        QWidget *w = control(name);
        QPoint at(2, w->height() / 2);
        while (w->childAt(at) && at.x() < w->width())
            at.rx() += 2;
        QCursor::setPos(form->frameGeometry().topLeft() - QPoint(5, 5));
        QTest::mouseMove(w, at);
    }
    Qt::CursorShape shown(const QString &name) const { return control(name)->cursor().shape(); }
    void fill(const QStringList &rows)
    {
        form->siteList().append(rows);
        form->siteList().publishPending();
    }
    QPoint rowPoint(int row) const { return list->visualRect(list->model()->index(row, 0)).center(); }
    void press(QPoint at) { QTest::mousePress(list->viewport(), Qt::LeftButton, {}, at); }
    void moveHeld(QPoint at) { QTest::mouseMove(list->viewport(), at); } // the pressed button goes along
    void release(QPoint at) { QTest::mouseRelease(list->viewport(), Qt::LeftButton, {}, at); }
    int selectedRow() const
    {
        const QModelIndexList rows = list->selectionModel()->selectedRows();
        return rows.size() == 1 ? rows.first().row() : -1;
    }

    QTreeView *list;
};

} // namespace

class TestPointer : public QObject
{
    Q_OBJECT
private slots:
    // The shipped hand is read with the tip of its finger as the hotspot.
    void shippedImages()
    {
        Window w;
        w.form->setPointerShape(Form1::CustomPointer);
        const QCursor hand = w.form->cursor();
        QCOMPARE(hand.shape(), Qt::BitmapCursor);
        const QImage image = hand.pixmap().toImage().convertToFormat(QImage::Format_ARGB32);
        const auto clearRow = [&](int y) {
            for (int x = 0; x < image.width(); ++x) {
                if (qAlpha(image.pixel(x, y)))
                    return false;
            }
            return true;
        };
        int top = 0;
        while (top < image.height() && clearRow(top))
            ++top;
        QCOMPARE(hand.hotSpot().y(), top);
        QCOMPARE(qAlpha(image.pixel(hand.hotSpot())), 255);
        QVERIFY(!QImage(QFINDTESTDATA("../../data/drag.ico")).isNull());
    }

    // The shape a move over a control leaves, from the shape before it.
    void movesOverControls_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("before");
        QTest::addColumn<int>("after");
        for (const QString &name : buttons)
            QTest::addRow("%s", qPrintable(name)) << name << 0 << 99;
        for (const QString &name : surfaces)
            QTest::addRow("%s", qPrintable(name)) << name << 99 << 0;
        for (const QString &name : unhandled)
            QTest::addRow("%s keeps 99", qPrintable(name)) << name << 99 << 99;
        for (const QString &name : buttons + surfaces)
            QTest::addRow("%s while busy", qPrintable(name)) << name << 11 << 11;
    }
    void movesOverControls()
    {
        QFETCH(QString, name);
        QFETCH(int, before);
        QFETCH(int, after);
        Window w;
        w.form->setPointerShape(before);
        w.moveOver(name);
        QCOMPARE(w.form->pointerShape(), after);
    }

    // Without a readable hand the buttons still set the custom shape, which
    // shows the arrow; text boxes keep their own pointer.
    void shownPointer_data()
    {
        QTest::addColumn<bool>("hand");
        QTest::newRow("with the hand") << true;
        QTest::newRow("without") << false;
    }
    void shownPointer()
    {
        QFETCH(bool, hand);
        Window w(hand ? shipImages : std::function<void(const QString &)>([](const QString &) {}));
        for (const QString &name : buttons) {
            w.moveOver(name);
            QCOMPARE(w.shown(name), hand ? Qt::BitmapCursor : Qt::ArrowCursor);
        }
        QCOMPARE(w.shown("Text1"), Qt::IBeamCursor);
        for (const QString &name : surfaces) {
            w.moveOver(name);
            QCOMPARE(w.shown(name), Qt::ArrowCursor);
        }
    }

    // A run keeps the busy pointer over everything, controls with pointers of
    // their own included; afterwards each shows its own again.
    void pointerDuringAndAfterRun()
    {
        Window w;
        w.fetcher.autoAnswer = false;
        w.fill({"http://s/1"});
        QTest::mouseClick(w.list->viewport(), Qt::LeftButton, {}, w.rowPoint(0));
        QCOMPARE(w.shown("ListView1"), Qt::ArrowCursor); // its own, after a click on a row
        w.form->setPointerShape(Form1::CustomPointer);
        QCOMPARE(w.shown("ListView1"), Qt::ArrowCursor);
        w.child<QLineEdit>("Text1")->setText(QStringLiteral("foo"));
        w.WindowFixture::press("Check2");
        for (const QString &name : buttons + surfaces + unhandled) {
            w.moveOver(name);
            QCOMPARE(w.form->pointerShape(), 11);
            QCOMPARE(w.shown(name), Qt::WaitCursor);
        }
        w.fetcher.answer(0, "foo");
        QTRY_COMPARE(w.form->pointerShape(), 0);
        QCOMPARE(w.shown("Text1"), Qt::IBeamCursor);
        QCOMPARE(w.shown("ListView1"), Qt::ArrowCursor);
        w.moveOver("Check2");
        QCOMPARE(w.shown("Check2"), Qt::BitmapCursor);
    }

    // Rows picked up and carried over others, one pointer move at a time.
    void dragSwapsTexts_data()
    {
        QTest::addColumn<QStringList>("start");
        QTest::addColumn<int>("pressed");
        QTest::addColumn<QList<int>>("moves");
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<int>("selected");
        const QStringList abcd{"A", "B", "C", "D"};
        QTest::newRow("B down row by row") << abcd << 1 << QList<int>{2, 3} << QStringList{"A", "C", "D", "B"} << 3;
        QTest::newRow("B straight to D") << abcd << 1 << QList<int>{3} << QStringList{"A", "D", "C", "B"} << 3;
        QTest::newRow("D up to the top") << abcd << 3 << QList<int>{2, 1, 0} << QStringList{"D", "A", "B", "C"} << 0;
        QTest::newRow("equal texts stay") << QStringList{"A", "B", "B"} << 1 << QList<int>{2} << QStringList{"A", "B", "B"} << 1;
        QTest::newRow("case counts") << QStringList{"a", "A"} << 0 << QList<int>{1} << QStringList{"A", "a"} << 1;
        QTest::newRow("a click") << abcd << 2 << QList<int>{} << abcd << 2;
        QTest::newRow("from empty space, nothing picked") << abcd << -1 << QList<int>{0, 1} << abcd << -1;
    }
    void dragSwapsTexts()
    {
        QFETCH(QStringList, start);
        QFETCH(int, pressed);
        QFETCH(QList<int>, moves);
        QFETCH(QStringList, rows);
        QFETCH(int, selected);
        Window w;
        w.fill(start);
        QPoint at = pressed < 0 ? w.rowPoint(3) + QPoint(0, 40) : w.rowPoint(pressed);
        w.press(at);
        QCOMPARE(w.shown("ListView1"), pressed < 0 ? Qt::ArrowCursor : Qt::BitmapCursor); // the drag image
        for (int row : moves)
            w.moveHeld(at = w.rowPoint(row));
        w.release(at);
        QCOMPARE(w.sites(), rows);
        QCOMPARE(w.selectedRow(), selected);
        QCOMPARE(w.shown("ListView1"), Qt::ArrowCursor);
    }

    // The release keeps the row picked up last: a press on empty space drags
    // it on, until its row is gone. A move with the button up only applies the
    // pointer rule.
    void pickedRowOutlivesTheRelease()
    {
        Window w([](const QString &) {}); // no drag image: rows are dragged all the same
        w.fill({"A", "B", "C", "D"});
        const QPoint empty = w.rowPoint(3) + QPoint(0, 40);
        w.press(w.rowPoint(0));
        w.release(w.rowPoint(0));
        w.form->setPointerShape(Form1::CustomPointer);
        QTest::mouseMove(w.list->viewport(), w.rowPoint(2));
        QCOMPARE(w.form->pointerShape(), 0);
        QCOMPARE(w.sites(), (QStringList{"A", "B", "C", "D"}));
        w.press(empty);
        w.moveHeld(w.rowPoint(1));
        w.release(w.rowPoint(1));
        QCOMPARE(w.sites(), (QStringList{"B", "A", "C", "D"}));
        w.form->siteList().removeAt(1);
        w.press(empty);
        w.moveHeld(w.rowPoint(0));
        w.moveHeld(w.rowPoint(2));
        w.release(w.rowPoint(2));
        QCOMPARE(w.sites(), (QStringList{"B", "C", "D"}));
    }

    // Within one row of the list's own edges the list scrolls by a row,
    // wherever the window is on the screen.
    void autoScrollAtBothEdges_data()
    {
        QTest::addColumn<bool>("topLeft");
        QTest::newRow("window at the top left") << true;
        QTest::newRow("window at the bottom right") << false;
    }
    void autoScrollAtBothEdges()
    {
        QFETCH(bool, topLeft);
        Window w;
        QStringList start;
        for (int i = 0; i < 60; ++i)
            start << QStringLiteral("row %1").arg(i, 2, 10, QLatin1Char('0'));
        w.fill(start);
        const QRect screen = w.form->screen()->geometry(), frame = w.form->frameGeometry();
        const QPoint place = topLeft ? screen.topLeft() : screen.bottomRight() - QPoint(frame.width(), frame.height());
        w.form->move(place);
        QTRY_COMPARE(w.form->frameGeometry().topLeft(), place);
        QScrollBar *scroll = w.list->verticalScrollBar();
        const int rowHeight = w.list->visualRect(w.list->model()->index(0, 0)).height();
        const int height = w.list->viewport()->height(), x = w.rowPoint(0).x();
        int lastInside = 0; // the last row away from the bottom edge
        while (w.list->visualRect(w.list->model()->index(lastInside + 1, 0)).bottom() < height - rowHeight)
            ++lastInside;
        w.press(w.rowPoint(0));
        for (int row = 1; row <= lastInside; ++row)
            w.moveHeld(w.rowPoint(row));
        QCOMPARE(scroll->value(), 0);
        for (int i = 0; i < 20; ++i)
            w.moveHeld(QPoint(x, height - rowHeight / 2 - i % 2));
        const int carried = int(w.sites().indexOf(start.at(0)));
        QVERIFY2(scroll->value() > 0 && carried > lastInside + 10, qPrintable(QString::number(carried)));
        QVERIFY(w.list->viewport()->rect().intersects(w.list->visualRect(w.list->model()->index(carried, 0))));
        for (int row = carried - 1; row >= w.list->indexAt(QPoint(x, 0)).row(); --row)
            w.moveHeld(w.rowPoint(row));
        for (int i = 0; i < 2 * carried; ++i)
            w.moveHeld(QPoint(x, rowHeight / 2 - i % 2));
        w.release(QPoint(x, rowHeight / 2));
        QCOMPARE(scroll->value(), 0);
        QCOMPARE(w.sites(), start);
    }
};

QTEST_MAIN(TestPointer)
#include "tst_pointer.moc"
