#include "platform/CurlPageFetcher.h"
#include "results/ResultList.h"
#include "support/FakeUiServices.h"
#include "support/WindowFixture.h"
#include "window/Form1.h"

#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>

#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Fixture : WindowFixture
{
    void addRows(const QStringList &rows)
    {
        for (const QString &row : rows)
            form->resultList().appendResult(QString(), row);
    }
    // Saves with the given button to path, answering the overwrite question.
    void save(const char *button, const QString &path, bool overwrite = true)
    {
        ui.saveAnswers.push_back(path);
        ui.yesNoAnswers.push_back(overwrite);
        press(button);
    }
    void waitSaved() { QTRY_COMPARE_WITH_TIMEOUT(form->pointerShape(), 0, 30000); }
};

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
}

// Gives up root's rights for its lifetime, so that file permissions bite.
// The real ids change too, since permission checks may ask with them; the
// saved ones stay root so that the rights can be taken back.
class Unprivileged
{
public:
    Unprivileged()
    {
        if (geteuid() != 0)
            return;
        if (setresgid(65534, 65534, 0) != 0)
            return;
        if (setresuid(65534, 65534, 0) != 0) {
            (void)setresgid(0, 0, 0);
            return;
        }
        m_dropped = true;
    }
    ~Unprivileged()
    {
        if (m_dropped && setresuid(0, 0, 0) == 0)
            (void)setresgid(0, 0, 0);
    }
    bool active() const { return geteuid() != 0; }

private:
    bool m_dropped = false;
};

} // namespace

class TestResultCommands : public QObject
{
    Q_OBJECT
private slots:
    void clearAndRemove()
    {
        Fixture f;
        f.addRows({"a", "b", "c"});
        auto *view = f.child<QTreeView>("ListView2");
        f.form->show();
        QVERIFY(QTest::qWaitForWindowExposed(f.form.get()));
        QTRY_COMPARE(view->model()->rowCount(), 3);
        // No row selected: nothing happens.
        QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, QPoint(5, 200));
        QCOMPARE(f.rows(), (QStringList{"a", "b", "c"}));
        const QRect second = view->visualRect(view->model()->index(1, 0));
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, second.center());
        QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, second.center());
        QCOMPARE(f.rows(), (QStringList{"a", "c"}));
        QCOMPARE(view->model()->rowCount(), 2);
        f.press("Check9");
        QVERIFY(!f.child<QPushButton>("Check9")->isChecked());
        QCOMPARE(f.rows(), QStringList{});
        QCOMPARE(view->model()->rowCount(), 0);
        f.press("Check9");
        QCOMPARE(f.rows(), QStringList{});
        QVERIFY(f.ui.log.isEmpty());
    }

    void cancelWritesNothing_data()
    {
        QTest::addColumn<QString>("button");
        QTest::newRow("as list") << "Check6";
        QTest::newRow("with commas") << "Check1";
    }
    void cancelWritesNothing()
    {
        QFETCH(QString, button);
        Fixture f;
        f.addRows({"a"});
        f.press(button.toLatin1());
        QVERIFY(!f.child<QPushButton>(button.toLatin1())->isChecked());
        QCOMPARE(f.ui.log, QStringList{"save"});
        const FileDialogSettings &dialog = f.ui.saveDialogs.at(0);
        QCOMPARE(dialog.fileName, QString());
        QCOMPARE(dialog.flags, 2621953);
        QCOMPARE(dialog.title, QStringLiteral("Save List"));
        QCOMPARE(dialog.filter, QStringLiteral("Text Files (*.txt)|*.txt|All Files (*.*)|*.*|"));
        QCOMPARE(f.form->pointerShape(), 0);
        QCOMPARE(entries(f.folder.path()), QStringList{});
    }

    void bytes_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<QByteArray>("bytes");
        const QStringList rows{"http://s,x", "two\r\nlines", "é"};
        QTest::newRow("list") << "Check6" << rows
                              << QByteArray("http://s,x\r\ntwo\r\nlines\r\n\xc3\xa9\r\n");
        QTest::newRow("commas") << "Check1" << rows
                                << QByteArray("http://s,x,two\r\nlines,\xc3\xa9,\r\n");
        QTest::newRow("empty list") << "Check6" << QStringList{} << QByteArray();
        QTest::newRow("empty list with commas") << "Check1" << QStringList{} << QByteArray("\r\n");
    }
    void bytes()
    {
        QFETCH(QString, button);
        QFETCH(QStringList, rows);
        QFETCH(QByteArray, bytes);
        Fixture f;
        f.addRows(rows);
        // Saved as named: no extension is added.
        const QString path = f.folder.filePath(QStringLiteral("results"));
        f.save(button.toLatin1(), path);
        f.waitSaved();
        QCOMPARE(f.ui.log, QStringList{"save"}); // a new name asks nothing
        QCOMPARE(readAll(path), bytes);
        QCOMPARE(entries(f.folder.path()), QStringList{"results"});
    }

    void overwrite_data()
    {
        QTest::addColumn<bool>("yes");
        QTest::newRow("yes replaces everything") << true;
        QTest::newRow("no keeps the file") << false;
    }
    void overwrite()
    {
        QFETCH(bool, yes);
        Fixture f;
        const QString path = f.folder.filePath(QStringLiteral("old.txt"));
        writeFile(path, "a much longer old file\r\n");
        f.addRows({"new"});
        f.save("Check6", path, yes);
        f.waitSaved();
        QCOMPARE(f.ui.log,
                 (QStringList{"save", "ask:Are you sure you wish to overwrite " + path + " ?"}));
        QVERIFY(f.ui.messages.isEmpty());
        QCOMPARE(readAll(path),
                 yes ? QByteArray("new\r\n") : QByteArray("a much longer old file\r\n"));
    }

    // The save goes on in slices: the window holds the busy pointer and takes
    // input meanwhile, and the file gets the rows of the moment it began.
    void savesRowsAsTheyStoodWhenItBegan()
    {
        Fixture f;
        QStringList rows;
        QByteArray expected;
        for (int i = 0; i < 300000; ++i) {
            rows << QStringLiteral("row %1").arg(i);
            expected += rows.last().toUtf8() + "\r\n";
        }
        f.addRows(rows);
        const QString path = f.folder.filePath(QStringLiteral("big.txt"));
        f.save("Check6", path);
        QCOMPARE(f.form->pointerShape(), 11);
        f.form->resultList().removeAt(0);
        f.press("Check9");
        QCOMPARE(f.rows(), QStringList{});
        f.waitSaved();
        QVERIFY(f.ui.messages.isEmpty());
        QCOMPARE(readAll(path), expected);
    }

    // A failed save says which file and why, and leaves the old file whole.
    void failures_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<bool>("unprivileged");
        QTest::newRow("missing folder") << "missing/out.txt" << false;
        QTest::newRow("folder is a file") << "old.txt/out.txt" << false;
        QTest::newRow("read-only file") << "old.txt" << true;
        QTest::newRow("full device") << "/dev/full" << false;
        QTest::newRow("a folder") << "" << false; // the test's folder itself
    }
    void failures()
    {
        QFETCH(QString, target);
        QFETCH(bool, unprivileged);
        Fixture f;
        const QString old = f.folder.filePath(QStringLiteral("old.txt"));
        writeFile(old, "old bytes");
        QCOMPARE(chmod(QFile::encodeName(old), 0444), 0);
        QCOMPARE(chmod(QFile::encodeName(f.folder.path()), 0777), 0);
        const QString path = target.isEmpty()          ? f.folder.path()
                             : target.startsWith(u'/') ? target
                                                       : f.folder.filePath(target);
        if (path == "/dev/full" && !QFile::exists(path))
            QSKIP("no /dev/full here");
        f.addRows({"a", "b"});
        {
            std::optional<Unprivileged> guard;
            if (unprivileged) {
                guard.emplace();
                QVERIFY2(guard->active(), "could not give up root's rights");
            }
            f.save("Check6", path);
            f.waitSaved();
        }
        QCOMPARE(f.ui.messages.size(), 1);
        const QString message = f.ui.messages[0].prompt;
        QVERIFY2(message.contains(path), qPrintable(message));
        QVERIFY2(!message.contains(QStringLiteral("Unknown error")), qPrintable(message));
        QCOMPARE(f.ui.messages[0].icon, MessageIcon::None);
        QCOMPARE(readAll(old), QByteArray("old bytes"));
        QCOMPARE(entries(f.folder.path()), QStringList{"old.txt"});
    }

    // Closing the window mid-save ends it at once and leaves the old file.
    void closeDuringSave()
    {
        auto f = std::make_unique<Fixture>();
        const QString path = f->folder.filePath(QStringLiteral("keep.txt"));
        writeFile(path, "old bytes");
        f->addRows(QStringList(500000, QStringLiteral("a row that takes some room")));
        f->form->show();
        f->save("Check1", path);
        QCOMPARE(f->form->pointerShape(), 11);
        QVERIFY(f->form->close());
        f->form.reset();
        QCOMPARE(readAll(path), QByteArray("old bytes"));
        QCOMPARE(entries(f->folder.path()), QStringList{"keep.txt"});
    }
};

QTEST_MAIN(TestResultCommands)
#include "tst_resultcommands.moc"
