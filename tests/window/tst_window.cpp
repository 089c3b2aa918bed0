// The window driven as a user would: real widgets and events on the offscreen
// platform, scripted dialogs and a scripted fetcher.
#include "support/WindowFixture.h"

#include <QCheckBox>
#include <QDir>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRegularExpression>
#include <QTimer>
#include <QTreeView>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
}

QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
}

// Double-clicks the row of a list, or empty space when row is -1.
void doubleClick(QTreeView *view, int row)
{
    QTRY_VERIFY(view->model()->rowCount() > row);
    const QPoint at = row < 0 ? QPoint(5, view->viewport()->height() - 5)
                              : view->visualRect(view->model()->index(row, 0)).center();
    if (row >= 0)
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, at);
}

} // namespace

class TestWindow : public QObject
{
    Q_OBJECT

    QTemporaryDir m_temp; // the system's temporary folder for the program

private slots:
    void initTestCase() { qputenv("TMPDIR", QFile::encodeName(m_temp.path())); }
    void cleanup() { QCOMPARE(entries(m_temp.path()), QStringList()); } // no page file left

    // Every control lies in the fixed window, clear of its siblings, in Arial
    // bold of its kind's size, with room for its whole caption.
    void layout()
    {
        WindowFixture f;
        f.show();
        QCOMPARE(f.form->windowTitle(), QStringLiteral("Quillora"));
        QCOMPARE(f.form->minimumSize(), f.form->maximumSize());
        QVERIFY(!(f.form->windowFlags() & Qt::WindowMaximizeButtonHint));
        const QRegularExpression named(QStringLiteral("^(Check|Text|Frame|Label|ListView)\\d+$"));
        QList<QWidget *> controls;
        for (QWidget *w : f.form->findChildren<QWidget *>()) {
            if (named.match(w->objectName()).hasMatch())
                controls << w;
        }
        QCOMPARE(controls.size(), 28);
        // Buttons 11.25 points; frames, labels and options 9.75 but for the
        // smaller three; text boxes and lists 9.
        const auto points = [](const QWidget *w) {
            if (qobject_cast<const QPushButton *>(w))
                return 11.25;
            if (QStringList{"Label3", "Check10", "Check12"}.contains(w->objectName()))
                return 9.0;
            return qobject_cast<const QLineEdit *>(w) || qobject_cast<const QTreeView *>(w) ? 9.0
                                                                                            : 9.75;
        };
        for (QWidget *w : controls) {
            const QString name = w->objectName();
            const QRect inWindow(w->mapTo(f.form.get(), QPoint()), w->size());
            QVERIFY2(f.form->rect().contains(inWindow) && w->isVisible(), qPrintable(name));
            QCOMPARE(w->font().pointSizeF(), points(w));
            QVERIFY(w->font().bold());
            QString caption;
            if (auto *button = qobject_cast<QAbstractButton *>(w))
                caption = button->text();
            else if (auto *label = qobject_cast<QLabel *>(w))
                caption = label->text();
            else if (auto *frame = qobject_cast<QGroupBox *>(w))
                caption = frame->title();
            const int room = qobject_cast<QCheckBox *>(w)
                                 ? w->width() - w->sizeHint().width()
                                 : w->width() - w->fontMetrics().horizontalAdvance(caption);
            QVERIFY2(room >= 0, qPrintable(name));
        }
        for (const char *list : {"ListView1", "ListView2"}) {
            QCOMPARE(f.child<QTreeView>(list)->header()->sectionSize(0), f.form->px(5500));
            QCOMPARE(f.child<QTreeView>(list)->model()->rowCount(), 0);
        }
        QCOMPARE(f.child<QTreeView>("ListView1")->model()->headerData(0, Qt::Horizontal),
                 QVariant("URL(s)"));
        QVERIFY(!f.child<QCheckBox>("Check12")->isEnabled());
        QCOMPARE(f.child<QLabel>("Label3")->text(), QString());
        QCOMPARE(f.form->pointerShape(), 0);
        QCOMPARE(f.form->palette().color(QPalette::Window), QColor(Qt::white));
    }

    // One start in a hundred opens the home page.
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
        WindowFixture f(random);
        QCOMPARE(f.ui.log, opened ? QStringList{"url:home-page"} : QStringList());
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
        WindowFixture f(0.5, [&](const QString &folder) {
            const QString path = folder + QStringLiteral("/HAND-M.CUR");
            if (kind == "image")
                QFile::copy(QFINDTESTDATA("../../data/HAND-M.CUR"), path);
            else if (kind == "damaged")
                writeFile(path, QByteArray("\0\0\2\0garbage", 12));
            else if (kind == "folder")
                QDir(folder).mkdir(QStringLiteral("HAND-M.CUR"));
        });
        f.form->setPointerShape(Form1::CustomPointer);
        QCOMPARE(f.form->cursor().shape(), loaded ? Qt::BitmapCursor : Qt::ArrowCursor);
    }

    // "Add URL" by mouse or space bar, once per press; double-click removes
    // the selected row; "Clear" empties. Check10 governs Check12.
    void siteCommands_data()
    {
        QTest::addColumn<bool>("bySpace");
        QTest::newRow("mouse") << false;
        QTest::newRow("space bar") << true;
    }
    void siteCommands()
    {
        QFETCH(bool, bySpace);
        WindowFixture f;
        f.show();
        f.ui.answers = {"example.com", "", "http://b.org", "c"};
        auto *add = f.child<QPushButton>("Check5");
        for (int i = 0; i < 4; ++i) {
            if (bySpace)
                QTest::keyClick(add, Qt::Key_Space);
            else
                QTest::mouseClick(add, Qt::LeftButton);
            QVERIFY(!add->isChecked());
        }
        QCOMPARE(f.ui.log, QStringList(4, "input:Enter website address to add: "));
        QCOMPARE(f.sites(), (QStringList{"http://example.com", "http://b.org", "http://c"}));
        auto *list = f.child<QTreeView>("ListView1");
        doubleClick(list, -1);
        doubleClick(list, 1);
        QCOMPARE(f.sites(), (QStringList{"http://example.com", "http://c"}));
        f.press("Check11");
        f.press("Check11");
        QCOMPARE(f.sites(), QStringList());
        QCOMPARE(f.ui.log.size(), 4);
        auto *check10 = f.child<QCheckBox>("Check10"), *check12 = f.child<QCheckBox>("Check12");
        check10->click();
        QVERIFY(check12->isEnabled());
        check12->click();
        check10->click();
        QVERIFY(!check12->isEnabled() && !check12->isChecked());
    }

    // Results: double-click removes the selected row, "Clear" empties.
    void resultCommands()
    {
        WindowFixture f;
        f.show();
        for (const char *row : {"a", "b", "c"})
            f.form->resultList().appendResult({}, row);
        auto *list = f.child<QTreeView>("ListView2");
        doubleClick(list, -1);
        doubleClick(list, 1);
        QCOMPARE(f.rows(), (QStringList{"a", "c"}));
        f.press("Check9");
        f.press("Check9");
        QCOMPARE(f.rows(), QStringList());
        QVERIFY(f.ui.log.isEmpty());
    }

    // Texts Text1 to Text4 ("-" for none), whether there are sites, the message.
    void refusals_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QStringList>("texts");
        QTest::addColumn<bool>("sites");
        QTest::addColumn<QString>("message");
        const QString markers = QStringLiteral(
            "Fill out starting text (or character) and fill out ending text (or character).");
        QTest::newRow("with: no text") << "Check2" << QStringList{"", "x", "x", "x"} << false
                                       << "Fill out text to use to extract lines.";
        QTest::newRow("with: no sites")
            << "Check2" << QStringList{" ", "", "", ""} << false << "No sites added.";
        QTest::newRow("without: no text") << "Check8" << QStringList{"x", "", "x", "x"} << true
                                          << "Fill out text to use to skip lines.";
        QTest::newRow("without: no sites")
            << "Check8" << QStringList{"", "x", "", ""} << false << "No sites added.";
        QTest::newRow("between: no start")
            << "Check4" << QStringList{"x", "x", "", "b"} << true << markers;
        QTest::newRow("between: no end")
            << "Check4" << QStringList{"x", "x", "a", ""} << false << markers;
        QTest::newRow("between: no sites")
            << "Check4" << QStringList{"", "", " ", " "} << false << "No files in list.";
    }
    void refusals()
    {
        QFETCH(QString, button);
        QFETCH(QStringList, texts);
        QFETCH(bool, sites);
        QFETCH(QString, message);
        WindowFixture f;
        for (int i = 0; i < 4; ++i)
            f.child<QLineEdit>(qPrintable(QStringLiteral("Text%1").arg(i + 1)))->setText(texts[i]);
        if (sites)
            f.form->siteList().append(QStringLiteral("http://s/1"));
        f.press(qPrintable(button));
        QCOMPARE(f.ui.log, QStringList{"message:" + message});
        QVERIFY(!f.form->runs().isRunning());
        QVERIFY(f.fetcher.requests.empty());
        QCOMPARE(f.form->pointerShape(), 0);
    }

    // Each button runs its rule with its own controls; $1 and $2 stand for the
    // addresses, the second of which fails to fetch.
    void rulesFromTheWindow_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QStringList>("texts"); // Text1 to Text4
        QTest::addColumn<QString>("options");   // checked among Check3, Check10, Check12
        QTest::addColumn<QStringList>("rows");
        QTest::newRow("with") << "Check2" << QStringList{"FOO", "bar", "", ""} << "Check10 Check12"
                              << QStringList{"$1,foo 1"};
        QTest::newRow("without") << "Check8" << QStringList{"bar", "foo", "", ""} << ""
                                 << QStringList{"bar 2", "[x][x]"};
        QTest::newRow("between, duplicates kept")
            << "Check4" << QStringList{"", "", "[", "]"} << "Check3 Check10 Check12"
            << QStringList{"$1,x", "$1,x", "$2"};
        QTest::newRow("between") << "Check4" << QStringList{"", "", "[", "]"} << "Check12"
                                 << QStringList{"x"};
    }
    void rulesFromTheWindow()
    {
        QFETCH(QString, button);
        QFETCH(QStringList, texts);
        QFETCH(QString, options);
        QFETCH(QStringList, rows);
        WindowFixture f;
        f.fetcher.pages.insert(QStringLiteral("http://s/1"), "foo 1\nbar 2\n[x][x]\n");
        f.form->siteList().append(QStringList{"http://s/1", "http://s/2"});
        for (int i = 0; i < 4; ++i)
            f.child<QLineEdit>(qPrintable(QStringLiteral("Text%1").arg(i + 1)))->setText(texts[i]);
        for (const char *option : {"Check10", "Check3", "Check12"})
            f.child<QCheckBox>(option)->setChecked(options.contains(QLatin1String(option)));
        f.press(qPrintable(button));
        QTRY_VERIFY(!f.form->runs().isRunning());
        rows.replaceInStrings(QStringLiteral("$1"), QStringLiteral("http://s/1"));
        rows.replaceInStrings(QStringLiteral("$2"), QStringLiteral("http://s/2"));
        QCOMPARE(f.rows(), rows);
        QCOMPARE(f.child<QLabel>("Label3")->text(), QStringLiteral("Done."));
        QCOMPARE(f.form->pointerShape(), 0);
        QVERIFY(f.ui.log.isEmpty());
    }

    // While a site is worked on the status names it and the pointer is busy;
    // closing the window then ends the run and its fetches at once.
    void runInProgress()
    {
        auto f = std::make_unique<WindowFixture>();
        f->show();
        f->fetcher.autoAnswer = false;
        f->form->siteList().append(QStringList{"http://s/1", "http://s/2"});
        f->child<QLineEdit>("Text1")->setText(QStringLiteral("foo"));
        f->press("Check2");
        QCOMPARE(f->child<QLabel>("Label3")->text(), QStringLiteral("Extracting from http://s/1"));
        QCOMPARE(f->form->pointerShape(), 11);
        QCOMPARE(f->form->cursor().shape(), Qt::WaitCursor);
        f->fetcher.answer(0, "foo");
        QTRY_COMPARE(f->child<QLabel>("Label3")->text(),
                     QStringLiteral("Extracting from http://s/2"));
        QCOMPARE(f->rows(), QStringList{"foo"});
        QVERIFY(f->form->close());
        f->form.reset();
        QCOMPARE(f->fetcher.inFlight(), 0);
    }

    void loadList_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QStringList>("log");
        QTest::addColumn<QStringList>("sites");
        QTest::newRow("a file") << "sites.txt" << QStringList{"open"}
                                << QStringList{"http://first", "http://a", "http://"};
        QTest::newRow("cancel") << "" << QStringList{"open"} << QStringList{"http://first"};
        QTest::newRow("missing file")
            << "/no/such/file" << QStringList{"open", "message:File not found"}
            << QStringList{"http://first"};
        QTest::newRow("several files")
            << QStringLiteral("/tmp%1a.txt%1b.txt").arg(QChar(0))
            << QStringList{"open", "message:Please select just one file."}
            << QStringList{"http://first"};
    }
    void loadList()
    {
        QFETCH(QString, answer);
        QFETCH(QStringList, log);
        QFETCH(QStringList, sites);
        WindowFixture f;
        writeFile(f.folder.filePath(QStringLiteral("sites.txt")), "a\n");
        f.form->siteList().append(QStringLiteral("http://first"));
        f.ui.answers = {answer.startsWith(u's') ? f.folder.filePath(answer) : answer};
        f.press("Check13");
        QTRY_VERIFY(!f.form->addressLoads().isRunning());
        QCOMPARE(f.ui.log, log);
        QCOMPARE(f.sites(), sites);
    }

    // Files load one after another in the order pressed, each in one batch
    // once read whole; rows added meanwhile stay before them.
    void loadsQueueInPressOrder()
    {
        WindowFixture f;
        QByteArray big;
        QStringList expected{"http://typed"};
        for (int i = 0; i < 200'000; ++i) {
            big += "big" + QByteArray::number(i) + '\n';
            expected << "http://big" + QString::number(i);
        }
        writeFile(f.folder.filePath(QStringLiteral("big.txt")), big);
        writeFile(f.folder.filePath(QStringLiteral("small.txt")), "small");
        f.ui.answers = {f.folder.filePath("big.txt"), f.folder.path(),
                        f.folder.filePath("small.txt")};
        for (int i = 0; i < 3; ++i)
            f.press("Check13");
        f.form->siteList().append(QStringLiteral("http://typed"));
        QTRY_VERIFY_WITH_TIMEOUT(!f.form->addressLoads().isRunning(), 20'000);
        QVERIFY(f.sites() == expected + QStringList({"http://", "http://small"}));
        QTRY_COMPARE(f.ui.log.size(), 4);
        QVERIFY(f.ui.log[3].startsWith(QStringLiteral("message:The file \"")));
    }

    // The page of a typed address and the rows a harvest adds; %1 is the host.
    void harvest_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QByteArray>("page");
        QTest::addColumn<QStringList>("added");
        QTest::newRow("host") << "h" << QByteArray("<a href=\"about.htm\">")
                              << QStringList{"http://h/", "http://h/about.htm/"};
        QTest::newRow("every kind of value")
            << "h/dir"
            << QByteArray("<a href=\"about.htm\"><a href=\"/contact.htm\"><a "
                          "href=\"https://g/x\"><a href=\"http://g/\">"
                          "<a href=\"#top\"><a href=\"\"><script href=\"//g/lib.js\"><a "
                          "HREF=\"HTTP://G\">")
            << QStringList{"http://h/dir/",
                           "http://h/dir/about.htm/",
                           "http://h/dir/contact.htm/",
                           "https://g/x/",
                           "http://g/",
                           "http://h/dir/#top/",
                           "http://h/dir/",
                           "http://h/dir//g/lib.js/",
                           "HTTP://G/"};
        QTest::newRow("page") << "h/dir/page.html" << QByteArray("<a href=\"next.html\">")
                              << QStringList{"http://h/dir/page.html", "http://h/dir/next.html/"};
        QTest::newRow("page in capitals") << "http://h/P.HTM" << QByteArray("<a href=\"a\">")
                                          << QStringList{"http://h/P.HTM/", "http://h/P.HTM/a/"};
        QTest::newRow("only href=\" counts")
            << "h" << QByteArray("<a href = \"a\"><a href='c'><a href=d><p data-href=\"x\">")
            << QStringList{"http://h/", "http://h/x/"};
        QTest::newRow("unclosed value") << "h" << QByteArray("<a href=\"a\"><a href=\"b>")
                                        << QStringList{"http://h/", "http://h/a/"};
        QTest::newRow("empty page") << "h" << QByteArray() << QStringList{"http://h/"};
        QTest::newRow("no such page") << "h/missing" << QByteArray() << QStringList{};
        QTest::newRow("empty answer") << "" << QByteArray() << QStringList{};
    }
    void harvest()
    {
        QFETCH(QString, typed);
        QFETCH(QByteArray, page);
        QFETCH(QStringList, added);
        WindowFixture f;
        if (!added.isEmpty())
            f.fetcher.pages.insert(added.first(), page);
        f.form->siteList().append(QStringLiteral("first"));
        f.ui.answers = {typed};
        f.press("Check7");
        QTRY_VERIFY(!f.form->harvests().isRunning());
        QCOMPARE(f.sites(), QStringList{"first"} + added);
        const QString prompt = f.ui.log.value(0);
        QVERIFY2(prompt.startsWith("input:Enter url to extract from (i.e. ") &&
                     prompt.endsWith("):"),
                 qPrintable(prompt));
        QTRY_COMPARE(f.ui.log.mid(1),
                     added.isEmpty() ? QStringList{"warning:Url not found"} : QStringList());
    }

    // A second press waits for the first harvest; the page lives in a
    // private temporary file only while the harvest needs it.
    void harvestsQueue()
    {
        WindowFixture f;
        f.fetcher.autoAnswer = false;
        f.ui.answers = {"h/1", "h/2"};
        f.press("Check7");
        f.press("Check7");
        QCOMPARE(int(f.fetcher.requests.size()), 1);
        QCOMPARE(entries(m_temp.path()).filter("quillora-page").size(), 1);
        QVERIFY(f.fetcher.requests[0].path.startsWith(m_temp.path()));
        f.fetcher.answer(0, "<a href=\"a\">");
        QTRY_COMPARE(int(f.fetcher.requests.size()), 2);
        f.fetcher.answer(1, "<a href=\"b\">");
        QTRY_VERIFY(!f.form->harvests().isRunning());
        QCOMPARE(f.sites(),
                 (QStringList{"http://h/1/", "http://h/1/a/", "http://h/2/", "http://h/2/b/"}));
    }

    // The save commands write the rows as they stand when pressed, asking
    // before they replace a file; a name is used as given.
    void saves_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<QByteArray>("old"); // empty: no file yet
        QTest::addColumn<QString>("answer"); // to the question
        QTest::addColumn<QByteArray>("bytes");
        const QStringList rows{"http://s,x", "two\r\nlines", "\u00E9"};
        QTest::newRow("list") << "Check6" << rows << QByteArray() << ""
                              << QByteArray("http://s,x\r\ntwo\r\nlines\r\n\xC3\xA9\r\n");
        QTest::newRow("commas") << "Check1" << rows << QByteArray() << ""
                                << QByteArray("http://s,x,two\r\nlines,\xC3\xA9,\r\n");
        QTest::newRow("empty list")
            << "Check6" << QStringList() << QByteArray() << "" << QByteArray();
        QTest::newRow("empty, commas")
            << "Check1" << QStringList() << QByteArray() << "" << QByteArray("\r\n");
        QTest::newRow("replace: yes")
            << "Check6" << QStringList{"new"} << QByteArray("a longer old file") << "yes"
            << QByteArray("new\r\n");
        QTest::newRow("replace: no")
            << "Check1" << QStringList{"new"} << QByteArray("a longer old file") << "no"
            << QByteArray("a longer old file");
    }
    void saves()
    {
        QFETCH(QString, button);
        QFETCH(QStringList, rows);
        QFETCH(QByteArray, old);
        QFETCH(QString, answer);
        QFETCH(QByteArray, bytes);
        WindowFixture f;
        for (const QString &row : rows)
            f.form->resultList().appendResult({}, row);
        const QString path = f.folder.filePath(QStringLiteral("results"));
        if (!old.isEmpty())
            writeFile(path, old);
        f.ui.answers = {path, answer};
        f.press(qPrintable(button));
        QTRY_COMPARE(f.form->pointerShape(), 0);
        const QString question = "ask:Are you sure you wish to overwrite " + path + " ?";
        QCOMPARE(f.ui.log, old.isEmpty() ? QStringList("save") : QStringList({"save", question}));
        QCOMPARE(readAll(path), bytes);
        QCOMPARE(entries(f.folder.path()), QStringList{"results"});
    }

    // Cancel writes nothing; a long save goes on in slices with the busy
    // pointer and writes the rows of the moment it began.
    void saveCancelledOrInSlices()
    {
        WindowFixture f;
        QStringList rows;
        for (int i = 0; i < 300'000; ++i)
            f.form->resultList().appendResult({},
                                              rows.emplace_back(QStringLiteral("row %1").arg(i)));
        f.press("Check6");
        QCOMPARE(f.form->pointerShape(), 0);
        QCOMPARE(entries(f.folder.path()), QStringList());
        const QString path = f.folder.filePath(QStringLiteral("big.txt"));
        f.ui.answers = {path};
        f.press("Check6");
        QCOMPARE(f.form->pointerShape(), 11);
        f.press("Check9");
        QTRY_COMPARE_WITH_TIMEOUT(f.form->pointerShape(), 0, 30'000);
        QCOMPARE(readAll(path), (rows.join("\r\n") + "\r\n").toUtf8());
    }

    // A failed save says which file and why, and leaves the old file whole.
    void saveFailures_data()
    {
        QTest::addColumn<QString>("target");
        QTest::newRow("missing folder") << "missing/out.txt";
        QTest::newRow("folder is a file") << "old.txt/out.txt";
        QTest::newRow("a folder") << ".";
    }
    void saveFailures()
    {
        QFETCH(QString, target);
        WindowFixture f;
        const QString old = f.folder.filePath(QStringLiteral("old.txt"));
        writeFile(old, "old bytes");
        const QString path = QDir::cleanPath(f.folder.filePath(target));
        f.form->resultList().appendResult({}, QStringLiteral("a"));
        f.ui.answers = {path, "yes"};
        f.press("Check6");
        QTRY_VERIFY(f.ui.log.last().startsWith(QLatin1String("message:")));
        QCOMPARE(f.form->pointerShape(), 0);
        const QString message = f.ui.log.last();
        QVERIFY2(message.startsWith("message:") && message.contains(path) &&
                     !message.contains("Unknown error"),
                 qPrintable(message));
        QCOMPARE(readAll(old), QByteArray("old bytes"));
        QCOMPARE(entries(f.folder.path()), QStringList{"old.txt"});
    }

    // A pipe is written into as it is, not replaced by a file.
    void saveIntoAPipe()
    {
        WindowFixture f;
        const QByteArray pipe = QFile::encodeName(f.folder.filePath(QStringLiteral("pipe")));
        QCOMPARE(mkfifo(pipe.constData(), 0600), 0);
        const int reader = open(pipe.constData(), O_RDONLY | O_NONBLOCK);
        f.form->resultList().appendResult({}, QStringLiteral("a"));
        f.ui.answers = {QString::fromUtf8(pipe), "yes"};
        f.press("Check6");
        QTRY_COMPARE(f.form->pointerShape(), 0);
        char bytes[16] = {};
        QCOMPARE(read(reader, bytes, sizeof bytes), 3);
        close(reader);
        QCOMPARE(QByteArray(bytes), QByteArray("a\r\n"));
        struct stat info
        {
        };
        QVERIFY(stat(pipe.constData(), &info) == 0 && S_ISFIFO(info.st_mode));
    }

    // Closing the window ends any work at once, also while the message a job
    // left is up, and leaves no file changed or behind.
    void closeWhileWorking_data()
    {
        QTest::addColumn<QString>("work");
        for (const char *work :
             {"harvest: downloading", "harvest: scanning", "harvest: message", "load: message",
              "save: writing", "save: message", "run: fetching"})
            QTest::newRow(work) << work;
    }
    void closeWhileWorking()
    {
        QFETCH(QString, work);
        auto f = std::make_unique<WindowFixture>();
        const QString old = f->folder.filePath(QStringLiteral("keep.txt"));
        writeFile(old, "old bytes");
        const auto close = [&] {
            f->form.reset();
        };
        f->ui.duringModal = [&] {
            if (f->ui.log.last().contains(QLatin1String("ing:")) ||
                f->ui.log.last().startsWith("message"))
                close(); // a warning or a message
        };
        connect(&f->form->siteList(), &QAbstractItemModel::rowsInserted, f->form.get(),
                [&] { QTimer::singleShot(0, f->form.get(), close); });
        f->fetcher.autoAnswer = !work.endsWith(QLatin1String("ing"));
        if (work.startsWith(QLatin1String("harvest"))) {
            f->fetcher.pages.insert(
                "http://h/",
                work.endsWith("scanning") ? QByteArray("<a href=\"p\">\n").repeated(250'000) : "");
            f->ui.answers = {work.endsWith("message") ? "gone" : "h"};
            f->press("Check7");
        } else if (work.startsWith(QLatin1String("load"))) {
            f->ui.answers = {f->folder.path()};
            f->press("Check13");
        } else if (work.startsWith(QLatin1String("save"))) {
            for (int i = 0; i < 500'000; ++i)
                f->form->resultList().appendResult({},
                                                   QStringLiteral("a row that takes some room"));
            f->ui.answers = {work.endsWith("writing") ? old : old + "/x", "yes"};
            f->press("Check1");
        } else {
            f->form->siteList().append(QStringLiteral("http://s/1"));
            f->child<QLineEdit>("Text1")->setText(QStringLiteral("x"));
            f->press("Check2");
        }
        if (work.endsWith(QLatin1String("ing")))
            close();
        QTRY_VERIFY_WITH_TIMEOUT(!f->form, 10'000);
        QTest::qWait(20); // nothing left runs against the closed window
        QCOMPARE(f->fetcher.inFlight(), 0);
        QCOMPARE(readAll(old), QByteArray("old bytes"));
        QCOMPARE(entries(f->folder.path()), QStringList{"keep.txt"});
    }

    // Escape stops the run under way after the piece it is on, drops the runs
    // waiting and the pages fetched ahead, and keeps the rows; harvests and
    // loads stop too. The status line shows progress and, after a run, what
    // failed.
    void escapeProgressAndFailures()
    {
        WindowFixture f;
        f.show();
        f.fetcher.autoAnswer = false;
        f.form->siteList().append(QStringList{"http://s/1", "http://s/2", "http://s/3"});
        f.child<QLineEdit>("Text1")->setText(QStringLiteral("foo"));
        QTest::keyClick(f.form.get(), Qt::Key_Escape); // nothing under way: nothing happens
        QCOMPARE(f.child<QLabel>("Label3")->text(), QString());
        QTest::keyClick(f.child<QLineEdit>("Text1"), Qt::Key_Return);
        f.press("Check8");
        f.fetcher.answer(0, "foo 1");
        f.fetcher.answer(1, {}, FetchError::HttpStatus);
        auto *status = f.child<QLabel>("Label3");
        QTRY_COMPARE(status->text(), QStringLiteral("Extracting from http://s/3"));
        QCOMPARE(
            status->toolTip(),
            QStringLiteral("Site 3 of 3 \u00B7 1 failed \u00B7 1 rows\nPress Escape to stop."));
        const QGradientStops fill = status->palette().brush(QPalette::Window).gradient()->stops();
        QVERIFY(qAbs(fill[1].first - 2.0 / 3) < 0.01 && fill[1].second != fill.last().second);
        QTest::keyClick(f.form.get(), Qt::Key_Escape);
        QTRY_COMPARE(status->text(), QStringLiteral("Stopped."));
        QCOMPARE(f.form->pointerShape(), 0);
        QCOMPARE(f.fetcher.inFlight(), 0);
        QCOMPARE(f.rows(), QStringList{"foo 1"});
        QTRY_VERIFY(!f.form->runs().isRunning()); // the second run was dropped
        QTRY_COMPARE(
            status->toolTip(),
            QStringLiteral("1 site could not be fetched:\nhttp://s/2 \u2014 not found (404)"));
        f.fetcher.autoAnswer = true;
        f.fetcher.pages = {{"http://s/1", "foo"}, {"http://s/2", ""}, {"http://s/3", ""}};
        f.press("Check2");
        QTRY_COMPARE(status->text(), QStringLiteral("Done."));
        QTRY_COMPARE(status->toolTip(), QStringLiteral("Every site was fetched."));
        QCOMPARE(status->palette().brush(QPalette::Window).gradient()->stops()[1].second,
                 fill.last().second);
        // A harvest keeps the rows it added; a load adds none.
        f.fetcher.pages.insert("http://h/", QByteArray("<a href=\"p\">\n").repeated(250'000));
        f.ui.answers = {"h"};
        f.press("Check7");
        QTRY_VERIFY(f.form->siteList().count() > 3);
        QTest::keyClick(f.form.get(), Qt::Key_Escape);
        QTRY_VERIFY(!f.form->harvests().isRunning());
        const int kept = f.form->siteList().count();
        QVERIFY(kept < 250'004);
        writeFile(f.folder.filePath("big.txt"), QByteArray("a\n").repeated(1'000'000));
        f.ui.answers = {f.folder.filePath("big.txt")};
        f.press("Check13");
        QTest::keyClick(f.form.get(), Qt::Key_Escape);
        QTRY_VERIFY(!f.form->addressLoads().isRunning());
        QCOMPARE(f.form->siteList().count(), kept);
    }

    // Delete, the clipboard, Select All and Enter through real keys; F1 opens
    // the help page; a right-click menu offers the same commands.
    void keysClipboardAndMenus()
    {
        WindowFixture f;
        f.show();
        auto *sites = f.child<QTreeView>("ListView1"), *results = f.child<QTreeView>("ListView2");
        f.form->siteList().append(QStringList{"http://a", "http://b"});
        for (const char *row : {"x", "y", "z"})
            f.form->resultList().appendResult({}, row);
        QTRY_COMPARE(results->model()->rowCount(), 3);
        QTest::mouseClick(sites->viewport(), Qt::LeftButton, {},
                          sites->visualRect(sites->model()->index(0, 0)).center());
        QTest::keyClick(sites, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(f.ui.clipboard, QStringLiteral("http://a"));
        QTest::keyClick(sites, Qt::Key_Delete);
        QCOMPARE(f.sites(), QStringList{"http://b"});
        f.ui.clipboard = QStringLiteral("c.org\r\nhttps://d\n e");
        QTest::keyClick(sites, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(f.sites(),
                 (QStringList{"http://b", "http://c.org", "http://https://d", "http:// e"}));
        results->setFocus();
        QTest::keyClick(results, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(results, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(f.ui.clipboard, QStringLiteral("x\ny\nz"));
        QTest::mouseClick(results->viewport(), Qt::LeftButton, {},
                          results->visualRect(results->model()->index(0, 0)).center());
        QTest::mouseClick(results->viewport(), Qt::LeftButton, Qt::ShiftModifier,
                          results->visualRect(results->model()->index(1, 0)).center());
        QTest::keyClick(results, Qt::Key_Delete);
        QCOMPARE(f.rows(), QStringList{"z"});
        emit results->customContextMenuRequested(QPoint(5, 5));
        auto *menu = f.form->findChild<QMenu *>(QStringLiteral("ListView2Menu"));
        QTRY_VERIFY(menu && menu->isVisible());
        QCOMPARE(menu->actions().size(), 3);
        results->selectAll();
        menu->actions()[0]->trigger();
        menu->close();
        QCOMPARE(f.rows(), QStringList());
        f.form->siteList().clear();
        for (const char *text : {"Text1", "Text2", "Text3"}) {
            f.child<QLineEdit>(text)->setText(QStringLiteral("t"));
            QTest::keyClick(f.child<QLineEdit>(text), Qt::Key_Return);
        }
        QCOMPARE(f.ui.log, (QStringList{"message:No sites added.", "message:No sites added.",
                                        "message:Fill out starting text (or character) and fill "
                                        "out ending text (or character)."}));
        QTest::keyClick(f.form.get(), Qt::Key_F1);
        QCOMPARE(f.ui.log.last(), QStringLiteral("url:home-page"));
    }
};

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
