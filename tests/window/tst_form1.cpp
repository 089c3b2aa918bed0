#include "extraction/ExtractionRun.h"
#include "platform/CurlPageFetcher.h"
#include "results/ResultList.h"
#include "sitelist/SiteList.h"
#include "support/FakeUiServices.h"
#include "support/TestHttpServer.h"
#include "support/WindowFixture.h"
#include "window/Form1.h"

#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>

#include <memory>

namespace {

struct Fixture : WindowFixture
{
    using WindowFixture::WindowFixture;
    void addSites(const QStringList &urls) { form->siteList().append(urls); }
    void waitIdle() { QTRY_VERIFY_WITH_TIMEOUT(!form->runs().isRunning(), 20000); }
};

QStringList withAddress(QStringList rows, const QString &address)
{
    for (QString &row : rows)
        row.replace(QStringLiteral("$A"), address);
    return rows;
}

} // namespace

class TestForm1 : public QObject
{
    Q_OBJECT
private slots:
    void layout_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QRect>("twips");
        QTest::addColumn<qreal>("points");
        QTest::newRow("Check5") << "Check5"
                                << "Add URL" << QRect(120, 1845, 1335, 400) << 11.25;
        QTest::newRow("Check13") << "Check13"
                                 << "Load List" << QRect(1560, 1845, 1575, 400) << 11.25;
        QTest::newRow("Check7") << "Check7"
                                << "Get Links in URL" << QRect(3240, 1845, 2055, 400) << 11.25;
        QTest::newRow("Check11") << "Check11"
                                 << "Clear" << QRect(5400, 1845, 1215, 400) << 11.25;
        QTest::newRow("Frame1") << "Frame1"
                                << "Extract line with this text" << QRect(120, 2400, 2895, 1035)
                                << 9.75;
        QTest::newRow("Frame6") << "Frame6"
                                << "Extract line without this text" << QRect(120, 3420, 2895, 1035)
                                << 9.75;
        QTest::newRow("Frame4") << "Frame4"
                                << "Extract between x and y (repeatedly)"
                                << QRect(3120, 2400, 3735, 2055) << 9.75;
        QTest::newRow("Check3") << "Check3"
                                << "Keep Duplicates" << QRect(240, 1200, 3375, 255) << 9.75;
        QTest::newRow("Check4") << "Check4"
                                << "Extract" << QRect(120, 1560, 3495, 400) << 11.25;
        QTest::newRow("Check6") << "Check6"
                                << "Save Results As List" << QRect(120, 1320, 2535, 400) << 11.25;
        QTest::newRow("Check1") << "Check1"
                                << "Save Results With Commas" << QRect(2760, 1320, 3015, 400)
                                << 11.25;
        QTest::newRow("Check9") << "Check9"
                                << "Clear" << QRect(5880, 1320, 735, 400) << 11.25;
        QTest::newRow("Frame7") << "Frame7"
                                << "" << QRect(120, 6900, 6735, 900) << 9.75;
        QTest::newRow("Check10") << "Check10"
                                 << "Include Website URL in Results" << QRect(240, 240, 4815, 255)
                                 << 9.0;
        QTest::newRow("Check12") << "Check12"
                                 << "Include Website URL in Results Even If Nothing Found"
                                 << QRect(240, 540, 4815, 255) << 9.0;
        QTest::newRow("Label1") << "Label1"
                                << "Start with:" << QRect(120, 360, 975, 255) << 9.75;
        QTest::newRow("Label3") << "Label3"
                                << "" << QRect(120, 6360, 6735, 495) << 9.0;
        QTest::newRow("Text3") << "Text3"
                               << "" << QRect(1200, 360, 2415, 330) << 9.0;
        QTest::newRow("ListView2") << "ListView2"
                                   << "" << QRect(120, 240, 6495, 975) << 9.0;
    }
    void layout()
    {
        QFETCH(QString, name);
        QFETCH(QString, caption);
        QFETCH(QRect, twips);
        QFETCH(qreal, points);
        Fixture f;
        auto *w = f.form->findChild<QWidget *>(name);
        QVERIFY(w);
        const Form1 &form = *f.form;
        const QRect expected(form.px(twips.x()), form.px(twips.y()), form.px(twips.width()),
                             form.px(twips.height()));
        if (auto *option = qobject_cast<QCheckBox *>(w)) {
            // Options may grow to the right so that their caption shows whole.
            QCOMPARE(w->pos(), expected.topLeft());
            QCOMPARE(w->height(), expected.height());
            QVERIFY(w->width() >= expected.width());
            QVERIFY(w->width() >= option->sizeHint().width());
        } else {
            QCOMPARE(w->geometry(), expected);
        }
        QCOMPARE(w->font().pointSizeF(), points);
        QVERIFY(w->font().bold());
        if (auto *b = qobject_cast<QAbstractButton *>(w))
            QCOMPARE(b->text(), caption);
        else if (auto *g = qobject_cast<QGroupBox *>(w))
            QCOMPARE(g->title(), caption);
        else if (auto *l = qobject_cast<QLabel *>(w))
            QCOMPARE(l->text(), caption);
        // Every control lies inside the fixed window.
        const QRect inWindow(w->mapTo(f.form.get(), QPoint(0, 0)), w->size());
        QVERIFY(f.form->rect().contains(inWindow));
    }

    void startState()
    {
        Fixture f;
        QCOMPARE(f.form->windowTitle(), QStringLiteral("Quillora"));
        QCOMPARE(f.form->size(), QSize(f.form->px(6960), f.form->px(7860)));
        QVERIFY(f.form->minimumSize() == f.form->maximumSize());
        QVERIFY(!(f.form->windowFlags() & Qt::WindowMaximizeButtonHint));
        for (const char *name : {"ListView1", "ListView2"}) {
            auto *view = f.child<QTreeView>(name);
            QVERIFY(!view->isHeaderHidden());
            QCOMPARE(view->model()->columnCount(), 1);
            QCOMPARE(view->model()->rowCount(), 0);
            QCOMPARE(view->header()->sectionSize(0), f.form->px(5500));
            QVERIFY(view->toolTip().startsWith("Double-click item to remove it."));
        }
        QCOMPARE(f.child<QTreeView>("ListView1")->model()->headerData(0, Qt::Horizontal),
                 QVariant("URL(s)"));
        QCOMPARE(f.child<QTreeView>("ListView2")->model()->headerData(0, Qt::Horizontal),
                 QVariant("Result(s)"));
        QVERIFY(!f.child<QCheckBox>("Check12")->isEnabled());
        for (const char *name : {"Check3", "Check10", "Check12"})
            QVERIFY(!f.child<QCheckBox>(name)->isChecked());
        QCOMPARE(f.form->status(), QString());
        QCOMPARE(f.form->pointerShape(), 0);
        QCOMPARE(f.form->palette().color(QPalette::Window), QColor(Qt::white));
    }

    void homePage_data()
    {
        QTest::addColumn<double>("random");
        QTest::addColumn<bool>("opened");
        QTest::newRow("n = 7") << 0.06 << true;
        QTest::newRow("just under 7") << 0.0599 << false;
        QTest::newRow("n = 8") << 0.07 << false;
        QTest::newRow("n = 1") << 0.0 << false;
    }
    void homePage()
    {
        QFETCH(double, random);
        QFETCH(bool, opened);
        Fixture f(random);
        QCOMPARE(f.ui.openedUrls, opened ? QStringList{"home-page"} : QStringList{});
    }

    void pointerFile_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("loaded");
        QTest::newRow("missing") << "missing" << false;
        QTest::newRow("image") << "image" << true;
        QTest::newRow("damaged") << "damaged" << false;
        QTest::newRow("folder") << "folder" << false;
    }
    void pointerFile()
    {
        QFETCH(QString, kind);
        QFETCH(bool, loaded);
        QTemporaryDir dir;
        const QString path = dir.filePath("HAND-M.CUR");
        if (kind == "image") {
            QImage image(32, 32, QImage::Format_ARGB32);
            image.fill(Qt::black);
            QVERIFY(image.save(path, "PNG"));
        } else if (kind == "damaged") {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("\0\0\2\0garbage", 12);
        } else if (kind == "folder") {
            QVERIFY(QDir(dir.path()).mkdir("HAND-M.CUR"));
        }
        Fixture f(0.5, dir.path());
        QCOMPARE(f.form->hasCustomPointer(), loaded);
        f.form->setPointerShape(Form1::CustomPointer);
        QCOMPARE(f.form->pointerShape(), 99);
        QCOMPARE(f.form->cursor().shape() == Qt::BitmapCursor, loaded);
    }

    void tabOrder()
    {
        Fixture f;
        f.form->show();
        f.form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(f.form.get()));
        QCOMPARE(QApplication::focusWidget()->objectName(), QStringLiteral("ListView1"));
        const QStringList expected{"Check5", "Text1",   "Check2",   "Text2",   "Check8",
                                   "Text3",  "Text4",   "Check3",   "Check4",  "ListView2",
                                   "Check6", "Check9",  "Check7",   "Check10", "Check11",
                                   "Check1", "Check13", "ListView1"};
        QStringList seen;
        for (qsizetype i = 0; i < expected.size(); ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            seen << QApplication::focusWidget()->objectName();
        }
        QCOMPARE(seen, expected); // Check12 is skipped while disabled
        // Space toggles the option reached by Tab, which enables Check12.
        while (QApplication::focusWidget()->objectName() != "Check10")
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
        QVERIFY(f.child<QCheckBox>("Check10")->isChecked());
        QVERIFY(f.child<QCheckBox>("Check12")->isEnabled());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget()->objectName(), QStringLiteral("Check12"));
        // Turning Check10 off clears and disables Check12.
        f.child<QCheckBox>("Check12")->setChecked(true);
        f.child<QCheckBox>("Check10")->setChecked(false);
        QVERIFY(!f.child<QCheckBox>("Check12")->isChecked());
        QVERIFY(!f.child<QCheckBox>("Check12")->isEnabled());
    }

    void addUrl_data()
    {
        QTest::addColumn<bool>("bySpace");
        QTest::newRow("mouse") << false;
        QTest::newRow("space bar") << true;
    }
    void addUrl()
    {
        QFETCH(bool, bySpace);
        Fixture f;
        f.ui.inputAnswers = {"example.com", "", "http://b.org"};
        auto *add = f.child<QPushButton>("Check5");
        for (int i = 0; i < 3; ++i) {
            if (bySpace)
                QTest::keyClick(add, Qt::Key_Space);
            else
                QTest::mouseClick(add, Qt::LeftButton);
            QVERIFY(!add->isChecked()); // springs back
        }
        QCOMPARE(f.ui.inputPrompts.size(), 3); // one box per press
        QCOMPARE(f.ui.inputPrompts[0], QStringLiteral("Enter website address to add: "));
        QCOMPARE(f.ui.inputTitles[0], QStringLiteral("Add One Website"));
        QCOMPARE(f.form->siteList().count(), 2);
        QCOMPARE(f.form->siteList().text(0), QStringLiteral("http://example.com"));
        QCOMPARE(f.form->siteList().text(1), QStringLiteral("http://b.org"));
    }

    void removeAndClearSites()
    {
        Fixture f;
        f.addSites({"a", "b", "c"});
        auto *view = f.child<QTreeView>("ListView1");
        f.form->show();
        QVERIFY(QTest::qWaitForWindowExposed(f.form.get()));
        QTRY_COMPARE(view->model()->rowCount(), 3);
        // Double-click with no selection changes nothing.
        QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, QPoint(5, 200));
        QCOMPARE(f.form->siteList().count(), 3);
        const QRect second = view->visualRect(view->model()->index(1, 0));
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, second.center());
        QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, second.center());
        QCOMPARE(f.form->siteList().count(), 2);
        QCOMPARE(f.form->siteList().text(1), QStringLiteral("c"));
        f.press("Check11");
        QCOMPARE(f.form->siteList().count(), 0);
        f.press("Check11"); // on an empty list: nothing, no message
        QVERIFY(f.ui.log.isEmpty());
    }

    void refusals_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("withSites");
        QTest::addColumn<QString>("message");
        QTest::newRow("with: both missing")
            << "Check2"
            << "" << false << "Fill out text to use to extract lines.";
        QTest::newRow("with: no sites") << "Check2"
                                        << " " << false << "No sites added.";
        QTest::newRow("without: both missing")
            << "Check8"
            << "" << false << "Fill out text to use to skip lines.";
        QTest::newRow("without: no text") << "Check8"
                                          << "" << true << "Fill out text to use to skip lines.";
        QTest::newRow("without: no sites") << "Check8"
                                           << "x" << false << "No sites added.";
    }
    void refusals()
    {
        QFETCH(QString, button);
        QFETCH(QString, text);
        QFETCH(bool, withSites);
        QFETCH(QString, message);
        Fixture f;
        f.child<QLineEdit>(button == "Check2" ? "Text1" : "Text2")->setText(text);
        if (withSites)
            f.addSites({f.server.url("/p")});
        f.press(button.toLatin1());
        QCOMPARE(f.ui.log, QStringList{"message:" + message});
        QCOMPARE(f.ui.messages[0].icon, MessageIcon::None);
        QVERIFY(!f.form->runs().isRunning());
        QCOMPARE(f.form->status(), QString());
        QCOMPARE(f.server.requestCount("/p"), 0);
    }

    void lineRules_data()
    {
        QTest::addColumn<QByteArray>("page");
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("check10");
        QTest::addColumn<bool>("check12");
        QTest::addColumn<QStringList>("expected"); // $A stands for the address
        const QByteArray basic = "x\nFOO one\nfoo &amp; two\nfootball\n";
        QTest::newRow("with, plain")
            << basic << "Check2"
            << "foo" << false << false << QStringList{"FOO one", "foo & two", "football"};
        QTest::newRow("with, address")
            << basic << "Check2"
            << "foo" << true << false << QStringList{"$A,FOO one", "$A,foo & two", "$A,football"};
        QTest::newRow("without, plain") << basic << "Check8"
                                        << "foo" << false << false << QStringList{"x"};
        QTest::newRow("without, CRLF keeps CR")
            << QByteArray("a\r\n\r\nfoo\r\nb") << "Check8"
            << "foo" << false << false << QStringList{"a\r", "\r", "b"};
        QTest::newRow("with, CRLF keeps CR") << QByteArray("a\r\nb\r\n") << "Check2"
                                             << "b" << false << false << QStringList{"b\r"};
        QTest::newRow("entity rules")
            << QByteArray("a &amp; b\nc &AMP; d\ne &amp;amp; f") << "Check2"
            << "&amp;" << false << false << QStringList{"c &AMP; d", "e &amp; f"};
        QTest::newRow("trailing blank in rule")
            << QByteArray("end foo\nfoo bar") << "Check2"
            << "foo " << false << false << QStringList{"foo bar"};
        QTest::newRow("nothing found, address row") << QByteArray("x\ny") << "Check2"
                                                    << "foo" << true << true << QStringList{"$A"};
        QTest::newRow("first piece hits") << QByteArray("foo\nx") << "Check2"
                                          << "foo" << true << true << QStringList{"$A,foo"};
        QTest::newRow("third piece hits") << QByteArray("x\ny\nfoo") << "Check2"
                                          << "foo" << true << true << QStringList{"$A", "$A,foo"};
        QTest::newRow("empty page") << QByteArray() << "Check2"
                                    << "foo" << true << true << QStringList{};
    }
    void lineRules()
    {
        QFETCH(QByteArray, page);
        QFETCH(QString, button);
        QFETCH(QString, text);
        QFETCH(bool, check10);
        QFETCH(bool, check12);
        QFETCH(QStringList, expected);
        Fixture f;
        f.server.setPage("/p", page, "text/plain; charset=utf-8");
        const QString address = f.server.url("/p");
        f.addSites({address});
        f.child<QLineEdit>(button == "Check2" ? "Text1" : "Text2")->setText(text);
        f.child<QCheckBox>("Check10")->setChecked(check10);
        f.child<QCheckBox>("Check12")->setChecked(check12);
        f.press(button.toLatin1());
        f.waitIdle();
        QCOMPARE(f.rows(), withAddress(expected, address));
        QVERIFY(f.ui.log.isEmpty());
        QCOMPARE(f.form->status(), QStringLiteral("Done."));
        QCOMPARE(f.form->pointerShape(), 0);
    }

    // An address row is held back only by a row that shows the same address,
    // not by a longer address that begins with it; a second run over the same
    // sites adds no address rows.
    void addressRowsAreExact()
    {
        Fixture f;
        f.server.setPage("/p2", "hit\n");
        f.server.setPage("/p", "nothing\n");
        const QString longer = f.server.url("/p2"), shorter = f.server.url("/p");
        f.addSites({longer, shorter});
        f.child<QLineEdit>("Text1")->setText("hit");
        f.child<QCheckBox>("Check10")->setChecked(true);
        f.child<QCheckBox>("Check12")->setChecked(true);
        f.press("Check2");
        f.waitIdle();
        QCOMPARE(f.rows(), (QStringList{longer + ",hit", shorter}));
        f.press("Check2");
        f.waitIdle();
        QCOMPARE(f.rows(), (QStringList{longer + ",hit", shorter, longer + ",hit"}));
    }

    void failedFetchThenGoodSite()
    {
        Fixture f;
        f.server.setResponse("/missing", 404, {}, "foo on an error page\n");
        f.server.setPage("/good", "foo\n");
        f.addSites({f.server.url("/missing"), "http://", f.server.url("/good")});
        f.child<QLineEdit>("Text1")->setText("foo");
        f.child<QCheckBox>("Check10")->setChecked(true);
        f.child<QCheckBox>("Check12")->setChecked(true);
        f.press("Check2");
        f.waitIdle();
        QCOMPARE(f.rows(), QStringList{f.server.url("/good") + ",foo"});
        QVERIFY(f.ui.log.isEmpty());
    }

    void statusAndPointerDuringRun()
    {
        Fixture f;
        f.server.setDelayed("/slow", "foo\n", 600);
        f.server.setPage("/fast", "foo\n");
        const QString slow = f.server.url("/slow");
        f.addSites({f.server.url("/fast"), slow});
        f.child<QLineEdit>("Text1")->setText("foo");
        f.press("Check2");
        QTRY_COMPARE(f.form->status(), "Extracting from " + slow);
        QCOMPARE(f.form->pointerShape(), 11);
        QCOMPARE(f.form->cursor().shape(), Qt::WaitCursor);
        QCOMPARE(f.rows(), QStringList{"foo"});
        f.waitIdle();
        QCOMPARE(f.form->status(), QStringLiteral("Done."));
        QCOMPARE(f.form->pointerShape(), 0);
        QCOMPARE(f.rows(), (QStringList{"foo", "foo"}));
    }

    // The options are read at every line: switching the address option while
    // a long page is being worked on changes the rows from that point on.
    void optionChangedDuringRun()
    {
        Fixture f;
        QByteArray page;
        for (int i = 0; i < 300000; ++i)
            page += "line foo " + QByteArray::number(i) + '\n';
        f.server.setPage("/big", page, "text/plain");
        const QString address = f.server.url("/big");
        f.addSites({address});
        f.child<QLineEdit>("Text1")->setText("foo");
        auto *check10 = f.child<QCheckBox>("Check10");
        // The first rows reach the view when the run first yields mid-page.
        connect(
            &f.form->resultList(), &QAbstractItemModel::rowsInserted, check10,
            [check10] { check10->setChecked(true); }, Qt::SingleShotConnection);
        f.press("Check2");
        f.waitIdle();
        const QStringList rows = f.rows();
        QCOMPARE(rows.size(), 300000);
        const auto firstWithAddress = std::find_if(rows.begin(), rows.end(), [&](const QString &r) {
            return r.startsWith(address + ',');
        });
        QVERIFY(firstWithAddress != rows.begin());
        QVERIFY(firstWithAddress != rows.end());
        QVERIFY(std::all_of(firstWithAddress, rows.end(),
                            [&](const QString &r) { return r.startsWith(address + ','); }));
        QVERIFY(std::none_of(rows.begin(), firstWithAddress,
                             [&](const QString &r) { return r.contains(address); }));
    }

    // A press during a run starts its run after the current one, never
    // interleaved with it.
    void secondPressWaits()
    {
        Fixture f;
        f.server.setDelayed("/slow", "foo 1\nbar 1\n", 300);
        f.server.setPage("/fast", "foo 2\nbar 2\n");
        f.addSites({f.server.url("/slow"), f.server.url("/fast")});
        f.child<QLineEdit>("Text1")->setText("foo");
        f.child<QLineEdit>("Text2")->setText("foo");
        f.press("Check2");
        f.press("Check8");
        QVERIFY(f.form->runs().isRunning());
        QCOMPARE(f.form->runs().pending(), 1);
        f.waitIdle();
        QCOMPARE(f.rows(), (QStringList{"foo 1", "foo 2", "bar 1", "bar 2"}));
    }

    // A run reads each address at its turn and stops when the list has become
    // shorter than its position; pages fetched ahead for rows that changed
    // meanwhile are not used.
    void sitesRemovedDuringRun()
    {
        Fixture f;
        f.server.setDelayed("/slow", "foo\n", 300);
        f.server.setPage("/other", "foo other\n");
        f.addSites({f.server.url("/slow"), f.server.url("/x"), f.server.url("/y")});
        f.child<QLineEdit>("Text1")->setText("foo");
        f.press("Check2");
        QTRY_COMPARE(f.server.requestCount("/slow"), 1);
        f.form->siteList().removeAt(2);
        f.form->siteList().setText(1, f.server.url("/other"));
        f.waitIdle();
        QCOMPARE(f.rows(), (QStringList{"foo", "foo other"}));
        QCOMPARE(f.server.requestCount("/other"), 1);
    }

    // Closing the window in the middle of a fetch from a server that never
    // answers ends everything at once.
    void closeDuringStalledFetch()
    {
        auto f = std::make_unique<Fixture>();
        f->server.setStalled("/never");
        f->addSites({f->server.url("/never")});
        f->child<QLineEdit>("Text1")->setText("foo");
        f->form->show();
        f->press("Check2");
        QTRY_COMPARE(f->server.requestCount("/never"), 1);
        QElapsedTimer clock;
        clock.start();
        QVERIFY(f->form->close());
        f->form.reset();
        f.reset();
        QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
    }
};

QTEST_MAIN(TestForm1)
#include "tst_form1.moc"
