// The window driven as a user would, with scripted dialogs and fetcher.
#include "results/ResultList.h"
#include "sitelist/CrawlQueue.h"
#include "sitelist/ExtractLinks.h"
#include "support/Checks.h"
#include "support/Fakes.h"
#include "window/Form1.h"
#include "window/PointerFeedback.h"
#include "window/RunQueue.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDropEvent>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QScreen>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>

#include <csignal>
#include <sys/resource.h>

namespace {

// One window, its program folder a fresh one that prepare may fill first.
struct WindowFixture
{
    explicit WindowFixture(double random = 0.5,
                           const std::function<void(const QString &)> &prepare = {})
    {
        if (prepare)
            prepare(folder.path());
        form = std::make_unique<Form1>(Form1Services{&ui, &fetcher, [random] { return random; },
                                                     folder.path(), QStringLiteral("home-page")});
    }
    template <typename T = QWidget> T *child(const char *name) const
    {
        return form->findChild<T *>(QLatin1String(name));
    }
    void press(const char *b) { QTest::mouseClick(child<QAbstractButton>(b), Qt::LeftButton); }
    void show()
    {
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    }
    // Fills Text1, Text2, ... in order.
    void type(const QStringList &texts)
    {
        for (int i = 0; i < texts.size(); ++i)
            child<QLineEdit>(qPrintable(QStringLiteral("Text%1").arg(i + 1)))->setText(texts[i]);
    }
    // "site<TAB>text" is a row that shows its site.
    void addRows(const QStringList &rows)
    {
        for (const QString &row : rows) {
            const qsizetype tab = row.indexOf(u'\t');
            form->resultList().append(tab < 0 ? ResultRow{{}, row}
                                              : ResultRow{row.left(tab), row.mid(tab + 1),
                                                          ResultRow::Kind::ResultWithAddress});
        }
    }
    QString status() const { return child<QLabel>("Label3")->text(); }
    QStringList rows() const { return form->resultList().texts(); }
    QStringList sites() const { return texts(form->siteList()); }

    QTemporaryDir folder;
    FakeUiServices ui;
    FakeFetcher fetcher;
    std::unique_ptr<Form1> form; // last: it uses everything above
};

QPoint rowPoint(QTreeView *view, int row)
{
    return view->visualRect(view->model()->index(row, 0)).center();
}

// Double-clicks the row of a list, or empty space when row is -1.
void doubleClick(QTreeView *view, int row)
{
    QTRY_VERIFY(view->model()->rowCount() > row);
    const QPoint at = row < 0 ? QPoint(5, view->viewport()->height() - 5) : rowPoint(view, row);
    if (row >= 0)
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, at);
}

// Chooses a command of the window's menu bar.
void trigger(const WindowFixture &f, const QString &command)
{
    for (QAction *action : f.child("MenuBar")->findChildren<QAction *>())
        if (action->text() == command)
            return action->trigger();
    QFAIL(qPrintable(command));
}

void shipImages(const QString &folder)
{
    for (const char *name : {"HAND-M.CUR", "drag.ico"})
        QFile::copy(QFINDTESTDATA(QStringLiteral("../../data/") + name), folder + '/' + name);
}

} // namespace

class TestWindow : public QObject
{
    Q_OBJECT

    QTemporaryDir m_temp; // the system's temporary folder for the program

private slots:
    void initTestCase() { qputenv("TMPDIR", QFile::encodeName(m_temp.path())); }
    void cleanup() { QCOMPARE(entries(m_temp.path()), QStringList()); } // no page file left

    // Every control lies in the fixed window, visible, in Arial bold, with
    // room for its whole caption. One start in a hundred opens the home page;
    // the hand is read from the program's folder.
    void layoutAndPointer()
    {
        WindowFixture f(0.06, shipImages); // the seventh of a hundred
        f.show();
        QCOMPARE(f.ui.log, QStringList{"url:home-page"});
        f.form->pointer().setShape(PointerFeedback::CustomPointer);
        QCOMPARE(f.form->cursor().shape(), Qt::BitmapCursor);
        QCOMPARE(f.form->cursor().hotSpot(), QPoint(12, 4)); // the finger's tip, from the file
        f.form->pointer().setShape(PointerFeedback::BusyPointer);
        QCOMPARE(f.form->cursor().shape(), Qt::WaitCursor);
        QCOMPARE(f.form->palette().color(QPalette::Window), QColor(Qt::white));
        for (const char *name : {"Label3", "Check10", "Check12", "Text1"}) // the small print
            QCOMPARE(f.child(name)->font().pointSizeF(), 9.0);
        for (const auto &[name, title] :
             {std::pair{"ListView1", "URL(s)"}, {"ListView2", "Result(s)"}}) {
            auto *view = f.child<QTreeView>(name);
            QCOMPARE(view->header()->sectionSize(0), f.form->px(5500));
            QCOMPARE(view->model()->headerData(0, Qt::Horizontal).toString(), QString(title));
        }
        QCOMPARE(f.form->windowTitle(), QStringLiteral("Quillora"));
        const QRegularExpression named(QStringLiteral("^(Check|Text|Frame|Label|ListView)\\d+$"));
        int controls = 0;
        for (QWidget *w : f.form->findChildren<QWidget *>()) {
            const QString name = w->objectName();
            if (!named.match(name).hasMatch())
                continue;
            ++controls;
            const QRect inWindow(w->mapTo(f.form.get(), QPoint()), w->size());
            QVERIFY2(f.form->rect().contains(inWindow) && w->isVisible(), qPrintable(name));
            QVERIFY(w->font().bold() && w->font().family() == QLatin1String("Arial"));
            const QString caption =
                w->property(qobject_cast<QGroupBox *>(w) ? "title" : "text").toString();
            const int room = qobject_cast<QCheckBox *>(w)
                                 ? w->width() - w->sizeHint().width()
                                 : w->width() - w->fontMetrics().horizontalAdvance(caption);
            QVERIFY2(room >= 0, qPrintable(name));
        }
        QCOMPARE(controls, 34);
        // A move over a button shows the hand, over a bare surface the arrow;
        // while busy, moves change nothing and text boxes show the hourglass.
        f.form->pointer().setShape(PointerFeedback::DefaultPointer);
        const auto moveOver = [&f](QWidget *w) {
            QPoint at(2, w->height() / 2);
            while (w->childAt(at) && at.x() < w->width())
                at.rx() += 2;
            QCursor::setPos(f.form->frameGeometry().topLeft() - QPoint(5, 5)); // a real move
            QTest::mouseMove(w, at);
            return f.form->pointer().shape();
        };
        const auto viewport = [&f](const char *name) {
            return f.child<QTreeView>(name)->viewport();
        };
        const QList<std::pair<QWidget *, int>> moves{
            {f.child("Check5"), 99}, {f.child("Frame1"), 0},    {f.child("Check2"), 99},
            {f.form.get(), 0},       {f.child("Check4"), 99},   {viewport("ListView1"), 0},
            {f.child("Check6"), 99}, {viewport("ListView2"), 0}};
        for (const auto &[control, shape] : moves)
            QCOMPARE(moveOver(control), shape);
        f.form->pointer().setShape(PointerFeedback::BusyPointer);
        QCOMPARE(moveOver(f.child("Check5")), int(PointerFeedback::BusyPointer));
        QCOMPARE(f.child("Text1")->cursor().shape(), Qt::WaitCursor);
        f.form->pointer().setShape(PointerFeedback::DefaultPointer);
        QCOMPARE(f.child("Text1")->cursor().shape(), Qt::IBeamCursor);
    }

    // Each button runs its rule with its own controls, or refuses ("!"); $2
    // fails to fetch ("none": no sites).
    void rulesFromTheWindow_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QStringList>("texts"); // Text1 to Text5
        QTest::addColumn<QString>(
            "options"); // checked among Check3, Check10, Check12, Check14, Text1Pattern...
        QTest::addColumn<QStringList>("rows");
        const QString markers = QStringLiteral(
            "!Fill out starting text (or character) and fill out ending text (or character).");
        // clang-format off
        QTest::newRow("with") << "Check2" << QStringList{"FOO", "bar", "", ""} << "Check10 Check12" << QStringList{"$1,foo 1"};
        QTest::newRow("without") << "Check8" << QStringList{"bar", "foo", "", ""} << "" << QStringList{"bar 2", "[x][x]"};
        QTest::newRow("between, duplicates kept") << "Check4" << QStringList{"", "", "[", "]"} << "Check3 Check10 Check12" << QStringList{"$1,x", "$1,x", "$2"};
        QTest::newRow("between") << "Check4" << QStringList{"", "", "[", "]"} << "Check12" << QStringList{"x"};
        QTest::newRow("with: no text") << "Check2" << QStringList{"", "x", "x", "x"} << "none" << QStringList{"!Fill out text to use to extract lines."};
        QTest::newRow("with: no sites") << "Check2" << QStringList{" ", "", "", ""} << "none" << QStringList{"!No sites added."};
        QTest::newRow("without: no text") << "Check8" << QStringList{"x", "", "x", "x"} << "" << QStringList{"!Fill out text to use to skip lines."};
        QTest::newRow("without: no sites") << "Check8" << QStringList{"", "x", "", ""} << "none" << QStringList{"!No sites added."};
        QTest::newRow("between: no start") << "Check4" << QStringList{"x", "x", "", "b"} << "" << QStringList{markers};
        QTest::newRow("between: no end") << "Check4" << QStringList{"x", "x", "a", ""} << "none" << QStringList{markers};
        QTest::newRow("between: no sites") << "Check4" << QStringList{"", "", " ", " "} << "none" << QStringList{"!No files in list."};
        QTest::newRow("with: pattern") << "Check2" << QStringList{"^F.O|\\[x", "", "", ""} << "Text1Pattern" << QStringList{"foo 1", "[x][x]"};
        QTest::newRow("without: pattern") << "Check8" << QStringList{"^F.O|\\[x", "\\d$", "", ""} << "Text2Pattern" << QStringList{"[x][x]"};
        QTest::newRow("between: end a pattern") << "Check4" << QStringList{"", "", "o", "\\s|]"} << "Text4Pattern" << QStringList{"o"};
        QTest::newRow("between: invalid pattern") << "Check4" << QStringList{"", "", "[", "x{2,1}"} << "Text4Pattern" << QStringList{"!The regular expression \"x{2,1}\" is not valid: numbers out of order in {} quantifier (at character 6)."};
        QTest::newRow("with: pages as text") << "Check2" << QStringList{"bar"} << "Check14" << QStringList{"foo 1 bar 2 [x][x]"};
        QTest::newRow("elements") << "Check15" << QStringList{"", "", "", "", "body"} << "Check10 Check12" << QStringList{"$1,foo 1 bar 2 [x][x]", "$2"};
        QTest::newRow("elements: unsupported selector") << "Check15" << QStringList{"", "", "", "", "b:hover"} << "" << QStringList{"!The selector \"b:hover\" is not supported: \":hover\" (at character 2)."};
        // clang-format on
    }
    void rulesFromTheWindow()
    {
        QFETCH(QString, button);
        QFETCH(QStringList, texts);
        QFETCH(QString, options);
        QFETCH(QStringList, rows);
        WindowFixture f;
        f.fetcher.pages.insert(QStringLiteral("http://s/1"), "foo 1\nbar 2\n[x][x]\n");
        if (options != "none")
            f.form->siteList().append(QStringList{"http://s/1", "http://s/2"});
        f.type(texts);
        for (const char *option : {"Check10", "Check3", "Check12", "Check14"})
            f.child<QCheckBox>(option)->setChecked(options.contains(QLatin1String(option)));
        for (QAction *pattern : f.form->findChildren<QAction *>(QRegularExpression("Pattern$"))) {
            if (options.contains(pattern->objectName()))
                pattern->trigger(); // off at start
        }
        f.press(qPrintable(button));
        if (rows.value(0).startsWith(u'!')) {
            QCOMPARE(f.ui.log, QStringList{"message:" + rows[0].mid(1)});
            QVERIFY(!f.form->runs().isRunning() && f.fetcher.requests.empty());
            QCOMPARE(f.form->pointer().shape(), 0);
            return;
        }
        QTRY_VERIFY(!f.form->runs().isRunning());
        rows.replaceInStrings(QStringLiteral("$1"), QStringLiteral("http://s/1"));
        QCOMPARE(f.rows(),
                 rows.replaceInStrings(QStringLiteral("$2"), QStringLiteral("http://s/2")));
        QCOMPARE(f.status(), QStringLiteral("Done."));
        QCOMPARE(f.form->pointer().shape(), 0);
        QVERIFY(f.ui.log.isEmpty());
    }

    // The Take choice and its name box: what the selector rule takes, or "!"
    // and the message.
    void takeChoice_data()
    {
        QTest::addColumn<int>("choice");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("row");
        QTest::newRow("text") << 0 << "href"
                              << "A";
        QTest::newRow("html") << 1 << "href"
                              << "<a id=\"k\" href=\"/x\">A</a>";
        QTest::newRow("attribute") << 2 << " HREF "
                                   << "/x";
        QTest::newRow("no name") << 2 << " "
                                 << "!Fill out the name of the attribute to take.";
    }
    void takeChoice()
    {
        QFETCH(int, choice);
        QFETCH(QString, name);
        QFETCH(QString, row);
        WindowFixture f;
        f.fetcher.pages.insert(QStringLiteral("http://s/1"), "<a id=k href=/x>A</a>");
        f.form->siteList().append(QStringList{"http://s/1"});
        f.type({"", "", "", "", "a", name});
        f.child<QComboBox>("Combo1")->setCurrentIndex(choice);
        f.press("Check15");
        QTRY_VERIFY(!f.form->runs().isRunning());
        if (row.startsWith(u'!'))
            QCOMPARE(f.ui.log, QStringList{"message:" + row.mid(1)});
        else
            QCOMPARE(f.rows(), QStringList{row});
    }

    // An element's text of several lines is one row, drawn on one line: the
    // rows are as high as the first.
    void rowsOfSeveralLines()
    {
        WindowFixture f;
        f.fetcher.pages.insert(QStringLiteral("http://s/1"), "<div>a<p>b</p>c</div><p>d</p>");
        f.form->siteList().append(QStringList{"http://s/1"});
        f.type({"", "", "", "", "div, p"});
        f.press("Check15");
        QTRY_VERIFY(!f.form->runs().isRunning());
        QCOMPARE(f.rows(), (QStringList{"a\nb\nc", "b", "d"}));
        const auto *view = f.child<QTreeView>("ListView2");
        QCOMPARE(view->sizeHintForRow(0), view->sizeHintForRow(1));
    }

    // The page of a typed address and the rows a harvest adds; %1 is the host.
    void harvest_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QByteArray>("page");
        QTest::addColumn<QStringList>("added");
        // clang-format off
        QTest::newRow("host") << "h" << QByteArray("<a href=\"about.htm\">") << QStringList{"http://h/", "http://h/about.htm/"};
        QTest::newRow("page") << "h/dir/page.html" << QByteArray("<a href=\"next.html\">") << QStringList{"http://h/dir/page.html", "http://h/dir/next.html/"};
        QTest::newRow("page in capitals") << "https://h/P.HTM" << QByteArray("<a href=\"a\">") << QStringList{"https://h/P.HTM/", "https://h/P.HTM/a/"};
        QTest::newRow("no such page") << "h/missing" << QByteArray() << QStringList{};
        // clang-format on
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
        // The page went to a private file in the system's temporary folder.
        QVERIFY(f.fetcher.requests.at(0).path.startsWith(m_temp.path() + "/quillora-page"));
        QCOMPARE(f.sites(), QStringList{"first"} + added);
        QTRY_COMPARE(f.ui.log.mid(1),
                     added.isEmpty() ? QStringList{"warning:Url not found"} : QStringList());
    }

    // The save commands write the rows as they stand when pressed, asking
    // before they replace a file; a name is used as given. CSV gives each
    // row's site and result apart, whether the row shows its site or not.
    void saves_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<QByteArray>("old"); // empty: no file yet
        QTest::addColumn<QStringList>("answers");
        QTest::addColumn<QByteArray>("bytes"); // empty: no file
        const QStringList rows{"http://s\tx,y", "two\r\nlines", "\u00E9"};
        const QByteArray old("a longer old file");
        // clang-format off
        QTest::newRow("list") << "Check6" << rows << QByteArray() << QStringList{"$path"} << QByteArray("http://s,x,y\r\ntwo\r\nlines\r\n\xC3\xA9\r\n");
        QTest::newRow("commas") << "Check1" << rows << QByteArray() << QStringList{"$path"} << QByteArray("http://s,x,y,two\r\nlines,\xC3\xA9,\r\n");
        QTest::newRow("csv") << "Save Results As CSV…" << rows << QByteArray() << QStringList{"$path"} << QByteArray("site,result\r\nhttp://s,\"x,y\"\r\n,\"two\r\nlines\"\r\n,\xC3\xA9\r\n");
        QTest::newRow("disk full, csv") << "Save Results As CSV…" << QStringList(20, "a row of text") << old << QStringList{"$path", "yes"} << old;
        QTest::newRow("empty, commas") << "Check1" << QStringList() << QByteArray() << QStringList{"$path"} << QByteArray("\r\n");
        QTest::newRow("replace: yes") << "Check6" << QStringList{"new"} << old << QStringList{"$path", "yes"} << QByteArray("new\r\n");
        QTest::newRow("replace: no") << "Check1" << QStringList{"new"} << old << QStringList{"$path", "no"} << old;
        QTest::newRow("cancel") << "Check6" << QStringList{"new"} << QByteArray() << QStringList() << QByteArray();
        QTest::newRow("disk full") << "Check6" << QStringList(20, "a row of text") << old << QStringList{"$path", "yes"} << old;
        QTest::newRow("disk full, new file") << "Check1" << QStringList(20, "a row of text") << QByteArray() << QStringList{"$path"} << QByteArray();
        // clang-format on
    }
    void saves()
    {
        QFETCH(QString, button);
        QFETCH(QStringList, rows);
        QFETCH(QByteArray, old);
        QFETCH(QStringList, answers);
        QFETCH(QByteArray, bytes);
        WindowFixture f;
        f.addRows(rows);
        const QString path = f.folder.filePath(QStringLiteral("results"));
        if (!old.isEmpty())
            writeFile(path, old);
        f.ui.answers = answers.replaceInStrings(QStringLiteral("$path"), path);
        // A disk that fills up: no file may grow past 100 bytes meanwhile.
        const bool full = QByteArray(QTest::currentDataTag()).startsWith("disk full");
        rlimit unlimited{};
        getrlimit(RLIMIT_FSIZE, &unlimited);
        const rlimit small{full ? 100 : unlimited.rlim_cur,
                           unlimited.rlim_max}; // soft: lifted again
        signal(SIGXFSZ, SIG_IGN);               // a write past the limit fails instead of killing
        const auto restore = qScopeGuard([&] { setrlimit(RLIMIT_FSIZE, &unlimited); });
        setrlimit(RLIMIT_FSIZE, &small);
        button.startsWith("Check") ? f.press(qPrintable(button)) : trigger(f, button);
        QTRY_COMPARE(f.form->pointer().shape(), 0);
        QStringList log{"save"};
        if (!old.isEmpty())
            log << "ask:Are you sure you wish to overwrite " + path + " ?";
        if (full) { // the file, and why, once the job is gone
            QTRY_COMPARE(f.ui.log.size(), log.size() + 1);
            const QString said = f.ui.log.takeLast();
            QVERIFY2(said.contains("saved to " + path + ".\n") && !said.contains("Unknown"),
                     qPrintable(said));
        }
        QCOMPARE(f.ui.log, log);
        QCOMPARE(entries(f.folder.path()),
                 bytes.isEmpty() ? QStringList() : QStringList{"results"});
        QCOMPARE(readAll(path), bytes.isEmpty() ? QByteArray("<unreadable>") : bytes);
    }

    // Closing the window ends any work at once, also while the message a job
    // left is up, and leaves no file changed or behind.
    void closeWhileWorking_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("answer"); // $old: a file of old bytes
        // clang-format off
        QTest::newRow("harvest: downloading") << "Check7" << "h";
        QTest::newRow("harvest: scanning") << "Check7" << "h";
        QTest::newRow("harvest: message") << "Check7" << "gone";
        QTest::newRow("load: message") << "Check13" << "$folder"; // a folder cannot be read
        QTest::newRow("save: writing") << "Check1" << "$old";
        QTest::newRow("save: message") << "Check1" << "$old/x";
        QTest::newRow("run: fetching") << "Check2" << "";
        // clang-format on
    }
    void closeWhileWorking()
    {
        QFETCH(QString, button);
        QFETCH(QString, answer);
        const QString work = QString::fromLatin1(QTest::currentDataTag());
        auto f = std::make_unique<WindowFixture>();
        const QString old = writeFile(f->folder.filePath(QStringLiteral("keep.txt")), "old bytes");
        const auto close = [&] {
            f->form.reset();
        };
        f->ui.duringModal = [&] {
            if (f->ui.log.last().startsWith("warning") || f->ui.log.last().startsWith("message"))
                close();
        };
        f->fetcher.autoAnswer = !work.endsWith(QLatin1String("ing"));
        const QByteArray links = QByteArray("<a href=\"p\">\n").repeated(250'000);
        f->fetcher.pages.insert("http://h/", work.endsWith("scanning") ? links : "");
        if (button == "Check1")
            f->addRows(QStringList(500'000, QStringLiteral("a row that takes some room")));
        if (button == "Check2")
            f->form->siteList().append(QStringLiteral("http://s/1"));
        f->type({"x"});
        connect(&f->form->siteList(), &QAbstractItemModel::rowsInserted, f->form.get(),
                [&] { QTimer::singleShot(0, f->form.get(), close); }); // the harvest's rows
        f->ui.answers = {answer.replace("$old", old).replace("$folder", f->folder.path()), "yes"};
        f->press(qPrintable(button));
        if (work.endsWith(QLatin1String("ing")))
            close();
        QTRY_VERIFY_WITH_TIMEOUT(!f->form, 10'000);
        QTest::qWait(20); // nothing left runs against the closed window
        QCOMPARE(f->fetcher.inFlight(), 0);
        QCOMPARE(readAll(old), QByteArray("old bytes"));
        QCOMPARE(entries(f->folder.path()), QStringList{"keep.txt"});
    }

    // Escape stops the run, drops those waiting and the pages fetched ahead,
    // keeps the rows; a harvest stops too. The status line shows progress and
    // what failed.
    void escapeProgressAndFailures()
    {
        WindowFixture f;
        f.show();
        f.fetcher.autoAnswer = false;
        f.form->siteList().append(
            QStringList{"http://s/1", "http://s/2", "http://s/3", "http://s/4"});
        f.type({"foo", "bar"}); // the without rule waits its turn
        QTest::keyClick(f.child<QLineEdit>("Text1"), Qt::Key_Return);
        QCOMPARE(f.form->pointer().shape(), 11);
        f.press("Check8");
        f.fetcher.answer(0, "foo 1");
        f.fetcher.answer(1, {}, FetchError::HttpStatus);
        f.fetcher.answer(2, {}, FetchError::NoAnswer);
        auto *status = f.child<QLabel>("Label3");
        QTRY_COMPARE(f.status(), QStringLiteral("Extracting from http://s/4"));
        QCOMPARE(status->toolTip(),
                 "Site 4 of 4 \u00B7 2 failed \u00B7 1 rows\nPress Escape to stop.");
        const QGradientStops fill = status->palette().brush(QPalette::Window).gradient()->stops();
        QVERIFY(qAbs(fill[1].first - 3.0 / 4) < 0.01 && fill[1].second != fill.last().second);
        QTest::keyClick(f.form.get(), Qt::Key_Escape);
        QTRY_COMPARE(f.status(), QStringLiteral("Stopped."));
        QCOMPARE(f.form->pointer().shape(), 0);
        QCOMPARE(f.fetcher.inFlight(), 0);
        QCOMPARE(f.rows(), QStringList{"foo 1"});
        QTRY_VERIFY(!f.form->runs().isRunning()); // the second run was dropped
        QTRY_COMPARE(status->toolTip(), "2 sites failed:\nhttp://s/2 \u2014 not found "
                                        "(404)\nhttp://s/3 \u2014 no answer");
        f.fetcher.autoAnswer = true;
        f.fetcher.pages = {
            {"http://s/1", "foo"}, {"http://s/2", ""}, {"http://s/3", ""}, {"http://s/4", ""}};
        f.press("Check2");
        QTRY_COMPARE(f.status(), QStringLiteral("Done."));
        QTRY_COMPARE(status->toolTip(), QStringLiteral("Every site was fetched."));
        QCOMPARE(status->palette().brush(QPalette::Window).gradient()->stops()[1].second,
                 fill.last().second);
        // A harvest keeps the rows it added.
        f.fetcher.pages.insert("http://h/", QByteArray("<a href=\"p\">\n").repeated(250'000));
        f.ui.answers = {"h"};
        f.press("Check7");
        QTRY_VERIFY(f.form->siteList().count() > 4);
        QTest::keyClick(f.form.get(), Qt::Key_Escape);
        QTRY_VERIFY(!f.form->harvests().isRunning());
        QVERIFY(f.form->siteList().count() < 250'005);
    }

    // The list commands by mouse, then Delete, the clipboard and Select All by
    // real keys and a list's menu; F1 opens the help page.
    void listsByMouseAndKeys()
    {
        WindowFixture f;
        f.show();
        f.ui.answers = {"example.com", "", "http://b.org", "c"};
        for (int i = 0; i < 4; ++i)
            f.press("Check5");
        QCOMPARE(f.ui.log, QStringList(4, "input:Enter website address to add: "));
        QCOMPARE(f.sites(), (QStringList{"http://example.com", "http://b.org", "http://c"}));
        f.addRows({"a", "b", "c"});
        for (const char *list : {"ListView1", "ListView2"}) {
            doubleClick(f.child<QTreeView>(list), -1);
            doubleClick(f.child<QTreeView>(list), 1);
        }
        QCOMPARE(f.sites(), (QStringList{"http://example.com", "http://c"}));
        QCOMPARE(f.rows(), (QStringList{"a", "c"}));
        for (const char *clear : {"Check11", "Check11", "Check9"})
            f.press(clear);
        QVERIFY(f.sites().isEmpty() && f.rows().isEmpty() && f.ui.log.size() == 4);
        auto *check10 = f.child<QCheckBox>("Check10"), *check12 = f.child<QCheckBox>("Check12");
        QVERIFY(!check12->isEnabled());
        check10->click();
        check12->click(); // enabled by Check10
        QVERIFY(check12->isChecked());
        check10->click();
        QVERIFY(!check12->isEnabled() && !check12->isChecked());
        f.ui.answers = {"", "/no/such/file"}; // cancelled, then a missing file
        f.press("Check13");
        f.press("Check13");
        const QString open = "open:Add File(s) - Use Ctrl & Shift to select multiple files";
        QCOMPARE(f.ui.log.mid(4), (QStringList{open, open, "message:File not found"}));
        auto *sites = f.child<QTreeView>("ListView1"), *results = f.child<QTreeView>("ListView2");
        f.form->siteList().append(QStringList{"http://a", "http://b"});
        f.addRows({"x", "y", "z"});
        QTRY_COMPARE(results->model()->rowCount(), 3);
        QTest::mouseClick(sites->viewport(), Qt::LeftButton, {}, rowPoint(sites, 0));
        QTest::keyClick(sites, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(f.ui.clipboard, QStringLiteral("http://a"));
        QTest::keyClick(sites, Qt::Key_Delete);
        f.ui.clipboard = QStringLiteral("c.org\r\nhttps://d\n e");
        QTest::keyClick(sites, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(f.sites(),
                 (QStringList{"http://b", "http://c.org", "http://https://d", "http:// e"}));
        results->setFocus();
        QTest::keyClick(results, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(results, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(f.ui.clipboard, QStringLiteral("x\ny\nz"));
        QTest::mouseClick(results->viewport(), Qt::LeftButton, {}, rowPoint(results, 0));
        QTest::mouseClick(results->viewport(), Qt::LeftButton, Qt::ShiftModifier,
                          rowPoint(results, 1));
        QTest::keyClick(results, Qt::Key_Delete);
        QCOMPARE(f.rows(), QStringList{"z"});
        emit results->customContextMenuRequested(QPoint(5, 5));
        auto *menu = f.form->findChild<QMenu *>(QStringLiteral("ListView2Menu"));
        QTRY_VERIFY(menu && menu->isVisible());
        results->selectAll();
        menu->actions().value(0)->trigger(); // Delete
        menu->close();
        QCOMPARE(f.rows(), QStringList());
        QTest::keyClick(f.form.get(), Qt::Key_F1);
        QCOMPARE(f.ui.log.last(), QStringLiteral("url:home-page"));
    }

    // A row picked up is carried over the others, one pointer move at a time,
    // under the drag image; within one row of the list's own edges the list
    // scrolls by a row, also with the window at the screen's far corner.
    void autoScrollAtBothEdges()
    {
        WindowFixture f(0.5, shipImages);
        f.show();
        QStringList start;
        for (int i = 0; i < 60; ++i)
            start << QStringLiteral("row %1").arg(i, 2, 10, QLatin1Char('0'));
        f.form->siteList().append(start);
        auto *list = f.child<QTreeView>("ListView1");
        QWidget *view = list->viewport();
        QTRY_COMPARE(list->model()->rowCount(), 60);
        const QRect screen = f.form->screen()->geometry(), frame = f.form->frameGeometry();
        const QPoint place = screen.bottomRight() - QPoint(frame.width(), frame.height());
        f.form->move(place);
        QTRY_COMPARE(f.form->frameGeometry().topLeft(), place);
        const int rowHeight = list->visualRect(list->model()->index(0, 0)).height();
        const int height = view->height(), x = rowPoint(list, 0).x();
        int lastInside = 0; // the last row away from the bottom edge
        while (rowPoint(list, lastInside + 1).y() + rowHeight / 2 < height - rowHeight)
            ++lastInside;
        QTest::mousePress(view, Qt::LeftButton, {}, rowPoint(list, 0));
        QCOMPARE(view->cursor().shape(), Qt::BitmapCursor); // the drag image
        for (int row = 1; row <= lastInside; ++row)
            QTest::mouseMove(view, rowPoint(list, row));
        QCOMPARE(list->verticalScrollBar()->value(), 0);
        for (int i = 0; i < 20; ++i)
            QTest::mouseMove(view, QPoint(x, height - rowHeight / 2 - i % 2));
        const int carried = int(f.sites().indexOf(start.at(0)));
        QVERIFY2(list->verticalScrollBar()->value() > 0 && carried > lastInside + 10,
                 qPrintable(QString::number(carried)));
        QVERIFY(view->rect().contains(rowPoint(list, carried)));
        for (int row = carried - 1; row >= list->indexAt(QPoint(x, 0)).row(); --row)
            QTest::mouseMove(view, rowPoint(list, row));
        for (int i = 0; i < 2 * carried; ++i)
            QTest::mouseMove(view, QPoint(x, rowHeight / 2 - i % 2));
        QTest::mouseRelease(view, Qt::LeftButton, {}, QPoint(x, rowHeight / 2));
        QCOMPARE(list->verticalScrollBar()->value(), 0);
        QCOMPARE(f.sites(), start);
        QCOMPARE(list->selectionModel()->selectedRows().value(0).row(), 0);
        QCOMPARE(view->cursor().shape(), Qt::ArrowCursor);
    }

    // The default size is the smallest: the client area below the menu bar as
    // laid out in twips. Larger, the lists take the extra height, the result
    // list the larger share; buttons keep their size and order; nothing leaves
    // its container or overlaps (frames placed a pixel into each other aside).
    void growsWithTheWindow_data()
    {
        QTest::addColumn<QSize>("extra");
        QTest::newRow("default") << QSize(0, 0);
        QTest::newRow("larger") << QSize(301, 400);
        QTest::newRow("4K") << QSize(3840 - 464, 2160 - 600);
    }
    void growsWithTheWindow()
    {
        QFETCH(QSize, extra);
        WindowFixture f, d;
        const int bar = f.child("MenuBar")->height();
        QCOMPARE(f.form->minimumSize(), QSize(f.form->px(6960), f.form->px(9255) + bar));
        QVERIFY(bar > 0 && f.form->windowFlags() & Qt::WindowMaximizeButtonHint);
        f.form->resize(f.form->minimumSize() + extra);
        f.show();
        QCOMPARE(f.child("Frame5")->pos(), QPoint(f.form->px(120), bar));
        QCOMPARE(f.child("ListView1")->size() - d.child("ListView1")->size(),
                 QSize(extra.width(), extra.height() / 3));
        QCOMPARE(f.child("ListView2")->height() - d.child("ListView2")->height(),
                 extra.height() - extra.height() / 3);
        const QList<QWidget *> all = f.form->findChildren<QWidget *>(
            QRegularExpression(QStringLiteral("^(Check|Text|Frame|Label|ListView)\\d+$")));
        for (QWidget *w : all) {
            const QByteArray name = w->objectName().toLatin1();
            QVERIFY2(w->parentWidget()->rect().contains(w->geometry()), name);
            QVERIFY2(!w->accessibleName().isEmpty(), name);
            QVERIFY2(!qobject_cast<QPushButton *>(w) || w->size() == d.child(name)->size(), name);
            for (QWidget *o : all)
                QVERIFY2(o == w || o->parentWidget() != w->parentWidget() ||
                             !w->geometry().adjusted(1, 1, -1, -1).intersects(o->geometry()),
                         name + " and " + o->objectName().toLatin1());
        }
        // Each text box holds its regular expression switch, off at start.
        for (const char *box : {"Text1", "Text2", "Text3", "Text4"}) {
            const auto *button = f.child(box)->findChild<QToolButton *>();
            QVERIFY2(button && button->isVisible() && !button->isChecked(), box);
            QVERIFY2(f.child(box)->rect().contains(button->geometry()), box);
            QCOMPARE(button->accessibleName(), QStringLiteral("Regular expression"));
            QCOMPARE(button->toolTip(), QStringLiteral("Regular expression"));
        }
    }

    // File > Crawl Site… adds the pages a crawl finds to the site list as they
    // come, past what robots.txt forbids; Load Sitemap… those a sitemap lists.
    // Escape stops a crawl, keeping what it added.
    void crawlSite_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("answer"); // "ADDRESS DEPTH SCOPE" for a crawl
        QTest::addColumn<QStringList>("added");
        QTest::addColumn<QString>("said"); // the status line, or the message
        const QString leftOut = ", 1 left out (robots.txt or the page limit). Done.";
        // clang-format off
        QTest::newRow("depth 2") << "Crawl Site…" << "h 2 host" << QStringList{"http://h/", "http://h/a", "http://h/b"} << "Crawling h: 3 added" + leftOut;
        QTest::newRow("depth 0") << "Crawl Site…" << "h/a 0 prefix" << QStringList{"http://h/a"} << "Crawling h/a: 1 added. Done.";
        QTest::newRow("cancelled") << "Crawl Site…" << "" << QStringList() << "";
        QTest::newRow("not an address") << "Crawl Site…" << "http:// 1 host" << QStringList() << "warning:Not a web address: \"http://\"";
        QTest::newRow("sitemap") << "Load Sitemap…" << "h/map.xml" << QStringList{"http://h/b", "http://h/c"} << "Reading sitemap h/map.xml: 2 added" + leftOut;
        QTest::newRow("stopped") << "Crawl Site…" << "h/many 1 host" << QStringList() << "Stopped.";
        // clang-format on
    }
    void crawlSite()
    {
        QFETCH(QString, command);
        QFETCH(QString, answer);
        QFETCH(QStringList, added);
        QFETCH(QString, said);
        WindowFixture f;
        f.fetcher.pages = {{"http://h/robots.txt", "User-agent: *\nDisallow: /no\n"},
                           {"http://h/", "<a href=a><a href=/no><a href=http://i/x>"},
                           {"http://h/a", "<a href=/b#x><a href=./><a href=HTTP://H:80/a>"},
                           {"http://h/b", "<a href=c>"},
                           {"http://h/map.xml", "<urlset><url><loc>http://h/b</loc></url><url>"
                                                "<loc>http://h/no/d</loc></url><url><loc>"
                                                "http://h/c</loc></url></urlset>"}};
        for (int i = 0; i < 100'000; ++i)
            f.fetcher.pages["http://h/many"] += "<a href=/" + QByteArray::number(i) + ">\n";
        f.show();
        f.form->siteList().append(QStringLiteral("first"));
        f.ui.answers = {answer};
        trigger(f, command);
        if (said == "Stopped.") {
            QTRY_VERIFY(f.form->siteList().count() > 1);
            QTest::keyClick(f.form.get(), Qt::Key_Escape);
        }
        QTRY_VERIFY(!f.form->crawls().isRunning());
        if (said.startsWith("warning:"))
            QCOMPARE(f.ui.log.value(1), said);
        else if (!said.isEmpty())
            QTRY_COMPARE(f.status().right(said.size()), said);
        QCOMPARE(f.sites().mid(0, added.size() + 1), QStringList{"first"} + added);
        if (said == "Stopped.")
            QVERIFY(f.sites().size() < 100'000);
        else
            QCOMPARE(f.sites().size(), added.size() + 1);
    }

    // The menu commands do what the buttons and keys do; the site list saved
    // one address a line loads back as the same rows.
    void menuCommands()
    {
        WindowFixture f;
        f.show();
        const QStringList sites{"http://a", "http://https://b", "http://"};
        f.form->siteList().append(sites);
        f.addRows({"x", "y"});
        const QString path = f.folder.filePath(QStringLiteral("sites.txt"));
        f.ui.answers = {path, path};
        trigger(f, "Save Addresses…");
        QTRY_COMPARE(readAll(path), QByteArray("http://a\r\nhttp://https://b\r\nhttp://\r\n"));
        trigger(f, "Load Addresses…");
        QTRY_COMPARE(f.sites(), sites + sites);
        for (const char *command : {"Select All", "Copy", "Remove", "Save Results As List…",
                                    "Save Results With Commas…", "About Quillora", "Quit"})
            trigger(f, command);
        QCOMPARE(f.ui.clipboard, QStringLiteral("x\ny"));
        QCOMPARE(f.rows(), QStringList());
        QCOMPARE(f.ui.log.mid(2, 2), QStringList(2, "save"));
        QVERIFY(f.ui.log.last().startsWith("message:Quillora " QUILLORA_VERSION));
        QVERIFY(!f.form->isVisible());
    }

    // A paste adds a row for each line that holds anything; dropped files load
    // one after another by the rules of an address file, dropped links and
    // text as a paste.
    void pasteAndDrop_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QStringList>("given"); // pasted or dropped text, links, files' bytes
        QTest::addColumn<QStringList>("added");
        const QStringList ab{"http://a", "http://b"};
        // clang-format off
        QTest::newRow("paste") << "paste" << QStringList{"a\nb\n"} << ab;
        QTest::newRow("paste, CR LF and an empty line") << "paste" << QStringList{"a\r\n\r\nb"} << ab;
        QTest::newRow("drop text") << "text" << QStringList{" a\r\rb\r"} << QStringList{"http:// a", "http://b"};
        QTest::newRow("drop links") << "links" << QStringList{"https://h/p?q=%20", "http://h/"} << QStringList{"http://https://h/p?q=%20", "http://h/"};
        QTest::newRow("drop files") << "files" << QStringList{"x\r\ny\n", "z"} << QStringList{"http://x", "http://y", "http://", "http://z"};
        // clang-format on
    }
    void pasteAndDrop()
    {
        QFETCH(QString, how);
        QFETCH(QStringList, given);
        QFETCH(QStringList, added);
        WindowFixture f;
        f.ui.clipboard = given.value(0);
        QMimeData mime;
        QList<QUrl> urls;
        for (const QString &item : given) // a link, or a file's bytes
            urls << (how == "links" ? QUrl(item)
                                    : QUrl::fromLocalFile(writeFile(f.folder.filePath(item.left(1)),
                                                                    item.toUtf8())));
        how == "text" ? mime.setText(given[0]) : mime.setUrls(urls);
        QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, {});
        if (how == "paste")
            trigger(f, "Paste Addresses");
        else // as the window hands on a drop from the desktop
            static_cast<QObject *>(f.form.get())->event(&drop);
        QTRY_COMPARE(f.sites(), added);
    }
};

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
