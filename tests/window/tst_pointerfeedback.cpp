#include "platform/CurlPageFetcher.h"
#include "sitelist/SiteList.h"
#include "support/FakeUiServices.h"
#include "support/TestHttpServer.h"
#include "window/Form1.h"

#include <QFile>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>

#include <memory>

namespace {

const QStringList buttons{"Check5", "Check13", "Check7", "Check11", "Check2", "Check8",
                          "Check4", "Check6",  "Check1", "Check9",  "Check3"};
const QStringList surfaces{"Form1",  "Frame1", "Frame2",    "Frame4",
                           "Frame5", "Frame6", "ListView1", "ListView2"};
const QStringList unhandled{"Text1", "Text3", "Label1", "Label3", "Frame7", "Check10", "Check12"};

QImage argb(const QPixmap &pixmap)
{
    return pixmap.toImage().convertToFormat(QImage::Format_ARGB32);
}

} // namespace

// The window's pointer as the mouse moves over its controls, driven by real
// pointer moves on the offscreen platform.
class TestPointerFeedback : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_folder;
    TestHttpServer m_server;
    FakeUiServices m_ui;
    CurlPageFetcher m_fetcher;
    std::unique_ptr<Form1> m_form;

    void openWindow()
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
    }
    void shipPointer(const char *name)
    {
        QVERIFY(QFile::copy(QFINDTESTDATA(QStringLiteral("../../data/") + name),
                            m_folder->filePath(QLatin1String(name))));
    }

    // The widget that receives moves over the named control.
    QWidget *control(const QString &name) const
    {
        if (name == QLatin1String("Form1"))
            return m_form.get();
        auto *w = m_form->findChild<QWidget *>(name);
        if (auto *list = qobject_cast<QTreeView *>(w))
            return list->viewport();
        return w;
    }
    // A point of the control's own surface, clear of its children.
    static QPoint bareSpot(QWidget *w)
    {
        for (int y = w->height() / 2; y < w->height(); y += 2)
            for (int x = 2; x < w->width(); x += 2)
                if (!w->childAt(x, y))
                    return {x, y};
        return {-1, -1};
    }
    // Leaves the window, then moves onto the control, so the platform
    // reports a real move (it drops a move to where the pointer already is).
    void moveOver(const QString &name)
    {
        QWidget *w = control(name);
        QVERIFY2(w, qPrintable(name));
        const QPoint at = bareSpot(w);
        QVERIFY2(at.x() >= 0, qPrintable(name));
        QCursor::setPos(m_form->frameGeometry().topLeft() - QPoint(5, 5));
        QTest::mouseMove(w, at);
    }
    // The pointer that shows over the control.
    QCursor shown(const QString &name) const { return control(name)->cursor(); }

    void clickRow(int row)
    {
        auto *list = m_form->findChild<QTreeView *>(QStringLiteral("ListView1"));
        const QPoint at = list->visualRect(list->model()->index(row, 0)).center();
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
    }

private slots:
    void init()
    {
        m_folder = std::make_unique<QTemporaryDir>();
        QVERIFY(m_folder->isValid());
    }
    void cleanup() { m_form.reset(); }

    // The shipped images are ones Qt reads, and the hand's hotspot is the
    // tip of its finger: the first opaque pixel from the top.
    void shippedPointerImages()
    {
        shipPointer("HAND-M.CUR");
        openWindow();
        QVERIFY(m_form->hasCustomPointer());
        m_form->setPointerShape(Form1::CustomPointer);
        const QCursor hand = m_form->cursor();
        QCOMPARE(hand.shape(), Qt::BitmapCursor);
        const QImage image = argb(hand.pixmap());
        QCOMPARE(image.size(), QSize(32, 32));
        int top = 0;
        while (top < 32 && [&] {
            for (int x = 0; x < 32; ++x)
                if (qAlpha(image.pixel(x, top)))
                    return false;
            return true;
        }())
            ++top;
        QCOMPARE(hand.hotSpot().y(), top);
        QVERIFY(qAlpha(image.pixel(hand.hotSpot())) == 255);

        const QImage drag(QFINDTESTDATA("../../data/drag.ico"));
        QCOMPARE(drag.size(), QSize(32, 32));
        QVERIFY(drag.hasAlphaChannel());
    }

    void movesOverControls_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("before");
        QTest::addColumn<int>("after");
        for (const QString &name : buttons)
            QTest::addRow("%s", qPrintable(name)) << name << 0 << 99;
        for (const QString &name : surfaces)
            QTest::addRow("%s", qPrintable(name)) << name << 99 << 0;
        for (const QString &name : unhandled) {
            QTest::addRow("%s keeps 0", qPrintable(name)) << name << 0 << 0;
            QTest::addRow("%s keeps 99", qPrintable(name)) << name << 99 << 99;
        }
        for (const QString &name : buttons + surfaces)
            QTest::addRow("%s while busy", qPrintable(name)) << name << 11 << 11;
    }
    void movesOverControls()
    {
        QFETCH(QString, name);
        QFETCH(int, before);
        QFETCH(int, after);
        openWindow();
        m_form->setPointerShape(before);
        moveOver(name);
        QCOMPARE(m_form->pointerShape(), after);
    }

    // Without a readable "HAND-M.CUR" the buttons still set the custom shape,
    // and the default arrow shows for it. Text boxes keep their own pointer.
    void shownPointer_data()
    {
        QTest::addColumn<QByteArray>("handFile"); // empty: none
        QTest::addColumn<bool>("hand");
        QFile shipped(QFINDTESTDATA("../../data/HAND-M.CUR"));
        QVERIFY(shipped.open(QIODevice::ReadOnly));
        QTest::newRow("with HAND-M.CUR") << shipped.readAll() << true;
        QTest::newRow("without HAND-M.CUR") << QByteArray() << false;
        QTest::newRow("damaged HAND-M.CUR") << QByteArray("\0\0\2\0\1\0\40\40", 8) << false;
    }
    void shownPointer()
    {
        QFETCH(QByteArray, handFile);
        QFETCH(bool, hand);
        if (!handFile.isEmpty()) {
            QFile file(m_folder->filePath(QStringLiteral("HAND-M.CUR")));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(handFile);
        }
        openWindow();

        for (const QString &name : buttons) {
            moveOver(name);
            QCOMPARE(m_form->pointerShape(), 99);
            const QCursor pointer = shown(name);
            if (hand) {
                QCOMPARE(pointer.shape(), Qt::BitmapCursor);
                QCOMPARE(argb(pointer.pixmap()),
                         QImage(m_folder->filePath(QStringLiteral("HAND-M.CUR")))
                             .convertToFormat(QImage::Format_ARGB32));
            } else {
                QCOMPARE(pointer.shape(), Qt::ArrowCursor);
            }
            QCOMPARE(shown(QStringLiteral("Text1")).shape(), Qt::IBeamCursor);
        }
        for (const QString &name : surfaces) {
            moveOver(name);
            QCOMPARE(shown(name).shape(), Qt::ArrowCursor);
        }
    }

    // After a click on a row the site list shows the arrow of its own, also
    // while the window's shape is the custom one.
    void siteListKeepsItsArrow()
    {
        shipPointer("HAND-M.CUR");
        openWindow();
        m_form->siteList().append(QStringList{"A", "B"});
        m_form->siteList().publishPending();
        m_form->setPointerShape(Form1::CustomPointer);
        QCOMPARE(shown("ListView1").shape(), Qt::BitmapCursor); // none of its own yet
        clickRow(1);
        m_form->setPointerShape(Form1::CustomPointer);
        QCOMPARE(shown("ListView1").shape(), Qt::ArrowCursor);
        QCOMPARE(shown("Check5").shape(), Qt::BitmapCursor);
    }

    // A run held open by a page that does not answer yet keeps the busy
    // pointer over every control, those with a pointer of their own included;
    // once it ends, each control shows its usual pointer again.
    void pointerDuringAndAfterRun()
    {
        shipPointer("HAND-M.CUR");
        shipPointer("drag.ico");
        QPointer<QTcpSocket> held;
        m_server.setHandler(QStringLiteral("/slow"),
                            [&held](QTcpSocket *socket, const QByteArray &) { held = socket; });
        openWindow();
        m_form->siteList().append(m_server.url(QStringLiteral("/slow")));
        m_form->siteList().publishPending();
        clickRow(0);
        m_form->findChild<QLineEdit *>(QStringLiteral("Text1"))->setText(QStringLiteral("foo"));
        QTest::mouseClick(m_form->findChild<QPushButton *>(QStringLiteral("Check2")),
                          Qt::LeftButton);
        QTRY_VERIFY(held);
        QCOMPARE(m_form->pointerShape(), 11);

        for (const QString &name : buttons + surfaces + unhandled) {
            moveOver(name);
            QCOMPARE(m_form->pointerShape(), 11);
            QCOMPARE(shown(name).shape(), Qt::WaitCursor);
        }

        held->write(TestHttpServer::response(200, {"Content-Type: text/plain"}, "foo\n"));
        held->disconnectFromHost();
        QTRY_COMPARE(m_form->status(), QStringLiteral("Done."));
        QCOMPARE(m_form->pointerShape(), 0);
        QCOMPARE(shown("Text1").shape(), Qt::IBeamCursor);
        QCOMPARE(shown("ListView1").shape(), Qt::ArrowCursor);
        QCOMPARE(shown("Frame2").shape(), Qt::ArrowCursor);
        moveOver("Check2");
        QCOMPARE(m_form->pointerShape(), 99);
        QCOMPARE(shown("Check2").shape(), Qt::BitmapCursor);
    }
};

QTEST_MAIN(TestPointerFeedback)
#include "tst_pointerfeedback.moc"
