#include "sitelist/FileToList.h"
#include "sitelist/SiteList.h"
#include "window/Globals.h"

#include "support/FakeUiServices.h"
#include "support/ProcessMemory.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

namespace {

constexpr qsizetype longest = AddressFileSplitter::maxPieceLength;

// Runs work in a child process that has given up root for "nobody", and
// returns what it wrote, or nothing when it could not run.
std::optional<QByteArray> asUnprivilegedUser(const std::function<QByteArray()> &work)
{
    const passwd *nobody = getpwnam("nobody");
    const uid_t uid = nobody ? nobody->pw_uid : 65534;
    const gid_t gid = nobody ? nobody->pw_gid : 65534;
    int channel[2];
    if (pipe(channel) != 0)
        return std::nullopt;
    const pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0)
            _exit(3);
        const QByteArray said = work();
        const bool written =
            write(channel[1], said.constData(), size_t(said.size())) == ssize_t(said.size());
        // Skips exit handlers: the parent's state is not the child's to tear down.
        _exit(written ? 0 : 4);
    }
    close(channel[1]);
    QByteArray said;
    char buffer[4096];
    for (ssize_t got; (got = read(channel[0], buffer, sizeof buffer)) > 0;)
        said.append(buffer, got);
    close(channel[0]);
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        return std::nullopt;
    return said;
}

} // namespace

class TestFileToList : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir m_dir;
    int m_fileCount = 0;

    QString writeFile(const QByteArray &bytes)
    {
        const QString path = m_dir.filePath(QStringLiteral("list%1.txt").arg(++m_fileCount));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }

    static QStringList rows(const SiteList &list)
    {
        QStringList texts;
        for (int i = 0; i < list.count(); ++i)
            texts << list.text(i);
        return texts;
    }

    static QStringList pieces(const QByteArray &bytes, qsizetype step)
    {
        AddressFileSplitter splitter;
        for (qsizetype at = 0; at < bytes.size(); at += step)
            splitter.feed(QByteArrayView(bytes).sliced(at, std::min(step, bytes.size() - at)));
        return splitter.finish();
    }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void loadsEveryLineAsAnAddress_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("added");
        const QStringList abc{"http://a", "http://b", "http://c"};
        QTest::newRow("CR LF, final line end") << QByteArray("a\r\nb\r\nc\r\n") << abc;
        QTest::newRow("CR LF, no final line end") << QByteArray("a\r\nb\r\nc") << abc;
        QTest::newRow("CR, final line end") << QByteArray("a\rb\rc\r") << abc;
        QTest::newRow("CR, no final line end") << QByteArray("a\rb\rc") << abc;
        QTest::newRow("LF, no final line end") << QByteArray("a\nb\nc") << abc;
        QTest::newRow("LF, final LF keeps an empty piece")
            << QByteArray("a\nb\nc\n") << abc + QStringList{"http://"};
        QTest::newRow("LF then CR")
            << QByteArray("a\n\rb") << QStringList{"http://a", "http://", "http://b"};
        QTest::newRow("mixed line ends")
            << QByteArray("a\r\nb\rc\nd") << abc + QStringList{"http://d"};
        QTest::newRow("empty file") << QByteArray() << QStringList();
        QTest::newRow("empty line in the middle")
            << QByteArray("a\r\n\r\nb\r\n") << QStringList{"http://a", "http://", "http://b"};
        QTest::newRow("two line ends at the end")
            << QByteArray("a\r\n\r\n") << QStringList{"http://a", "http://"};
        QTest::newRow("a lone line end") << QByteArray("\r\n") << QStringList{"http://"};
        QTest::newRow("a lone LF") << QByteArray("\n") << QStringList{"http://", "http://"};
        QTest::newRow("blanks and tabs kept")
            << QByteArray(" a.org \t\r\n\tb ") << QStringList{"http:// a.org \t", "http://\tb "};
        QTest::newRow("schemes")
            << QByteArray("http://a.org\r\nhttps://b.org\r\nc.org/?u=http://d\r\nHTTP://e")
            << QStringList{"http://a.org", "http://https://b.org", "c.org/?u=http://d",
                           "http://HTTP://e"};
        QTest::newRow("byte-order mark stays in the first address")
            << QByteArray("\xEF\xBB\xBF"
                          "a\r\nb")
            << QStringList{QStringLiteral("http://\uFEFFa"), "http://b"};
        QTest::newRow("UTF-8 text") << QByteArray("caf\xC3\xA9.fr\r\n\xE6\x97\xA5\xE6\x9C\xAC.jp")
                                    << QStringList{QStringLiteral("http://caf\u00E9.fr"),
                                                   QStringLiteral("http://\u65E5\u672C.jp")};
        QTest::newRow("invalid bytes become replacement characters")
            << QByteArray("a\xFF"
                          "b\r\n\xC3(c\r\nd")
            << QStringList{QStringLiteral("http://a\uFFFDb"), QStringLiteral("http://\uFFFD(c"),
                           "http://d"};
        QTest::newRow("NUL bytes stay in the address")
            << QByteArray("a\0b\r\n\0", 6)
            << QStringList{QStringLiteral("http://a") + QChar(0) + u'b',
                           QStringLiteral("http://") + QChar(0)};
        QTest::newRow("sequence cut by the end of the file")
            << QByteArray("a\r\nb\xC3")
            << QStringList{"http://a", QStringLiteral("http://b\uFFFD")};
    }
    void loadsEveryLineAsAnAddress()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, added);
        SiteList list;
        list.append(QStringLiteral("http://already.there"));
        FakeUiServices ui;
        LoadListFile(list, writeFile(bytes), ui, FileExists);
        QCOMPARE(rows(list), QStringList{"http://already.there"} + added);
        QVERIFY(ui.log.isEmpty());
    }

    // The file is read in chunks; no chunk boundary may change what is read,
    // whether it falls inside a CR LF or inside a UTF-8 sequence, valid or not.
    void chunkBoundariesChangeNothing_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("line ends") << QByteArray("ab\r\ncd\ref\ngh\n\r\r\n\n");
        QTest::newRow("multi-byte characters")
            << QByteArray("\xC3\xA9\xE6\x97\xA5\r\n\xF0\x9F\x98\x80x\xE2\x82\xAC");
        QTest::newRow("cut sequences") << QByteArray("a\xE2\x82Xyz\r\n\xF0\x9F\x98\n\xC3");
        QTest::newRow("stray bytes") << QByteArray("\x80\xBF\xFF\xC0\x80\xF5\r\n\xED\xA0\x80");
        QTest::newRow("byte-order mark") << QByteArray("\xEF\xBB\xBF\xEF\xBB\xBFq\r");
    }
    void chunkBoundariesChangeNothing()
    {
        QFETCH(QByteArray, bytes);
        const QStringList whole = pieces(bytes, bytes.size());
        for (qsizetype step = 1; step < bytes.size(); ++step)
            QCOMPARE(pieces(bytes, step), whole);
        // The same bytes in two pieces, cut at every place.
        for (qsizetype cut = 1; cut < bytes.size(); ++cut) {
            AddressFileSplitter splitter;
            splitter.feed(QByteArrayView(bytes).first(cut));
            splitter.feed(QByteArrayView(bytes).sliced(cut));
            QCOMPARE(splitter.finish(), whole);
        }
    }

    // Several read chunks' worth, the lines of varied length and with
    // two-byte characters, so that chunk boundaries fall everywhere.
    void largeFileKeepsEveryLine()
    {
        QByteArray bytes;
        QStringList expected;
        for (int i = 0; i < 250'000; ++i) {
            bytes += "h" + QByteArray::number(i) + (i % 3 ? "\r\n" : "\xC3\xA9\r");
            expected << QStringLiteral("http://h%1%2").arg(i).arg(i % 3 ? "" : "\u00E9");
        }
        SiteList list;
        FakeUiServices ui;
        LoadListFile(list, writeFile(bytes), ui, FileExists);
        QVERIFY(rows(list) == expected);
    }

    void loadingTwiceAppendsTwice()
    {
        const QString path = writeFile("a\r\nb");
        SiteList list;
        FakeUiServices ui;
        LoadListFile(list, path, ui, FileExists);
        LoadListFile(list, path, ui, FileExists);
        QCOMPARE(rows(list), (QStringList{"http://a", "http://b", "http://a", "http://b"}));
    }

    void missingFile()
    {
        SiteList list;
        list.append(QStringLiteral("kept"));
        FakeUiServices ui;
        LoadListFile(list, m_dir.filePath(QStringLiteral("absent.txt")), ui, FileExists);
        QCOMPARE(rows(list), QStringList{"kept"});
        QCOMPARE(ui.messages.size(), 1);
        QCOMPARE(ui.messages[0].prompt, QStringLiteral("File not found"));
        QCOMPARE(ui.messages[0].icon, MessageIcon::None);
    }

    // Files that exist but fail to be read: a folder fails when opened, and
    // /proc/self/mem opens but fails at the first read (address 0 is never
    // mapped). Root reads files whatever their permissions, so as root the
    // permission case runs in a child that gave root up.
    void unreadableFile_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("reason"); // in the message; empty: any
        QTest::newRow("a folder") << m_dir.path() << QString();
        QTest::newRow("read fails after open") << QStringLiteral("/proc/self/mem") << QString();
        const QString locked = writeFile("a\r\nb");
        QFile::setPermissions(locked, {});
        QTest::newRow("no permission") << locked << QStringLiteral("Permission denied");
    }
    void unreadableFile()
    {
        QFETCH(QString, path);
        QFETCH(QString, reason);
        QVERIFY(FileExists(path));
        const auto load = [&path] {
            SiteList list;
            list.append(QStringLiteral("kept"));
            FakeUiServices ui;
            LoadListFile(list, path, ui, FileExists);
            QStringList said = rows(list);
            for (const FakeUiServices::Message &message : std::as_const(ui.messages))
                said << message.prompt;
            return said.join(u'\n').toUtf8();
        };
        QByteArray said;
        if (geteuid() == 0 && !reason.isEmpty()) {
            // The child must be able to reach the file, only not read it.
            QVERIFY(QFile::setPermissions(m_dir.path(), QFile::ReadOwner | QFile::WriteOwner |
                                                            QFile::ExeOwner | QFile::ExeGroup |
                                                            QFile::ExeOther));
            const std::optional<QByteArray> childSaid = asUnprivilegedUser(load);
            QVERIFY2(childSaid, "the unprivileged child did not finish");
            said = *childSaid;
        } else {
            said = load();
        }
        const QStringList lines = QString::fromUtf8(said).split(u'\n');
        QCOMPARE(lines.size(), 2);
        QCOMPARE(lines[0], QStringLiteral("kept"));
        QVERIFY2(lines[1].contains(path), qPrintable(lines[1]));
        QVERIFY2(lines[1].contains(reason), qPrintable(lines[1]));
        QVERIFY(lines[1] != QStringLiteral("File not found"));
    }

    // A line too long to be an address means the file is not an address list;
    // it is refused whole, with a message, without being read into memory.
    void overlongLineIsRefused_data()
    {
        QTest::addColumn<QByteArray>("head"); // then filler up to lineLength, then tail
        QTest::addColumn<qsizetype>("lineLength");
        QTest::addColumn<QByteArray>("tail");
        QTest::addColumn<bool>("refused");
        QTest::newRow("longest line, CR LF")
            << QByteArray("a\r\n") << longest << QByteArray("\r\nb") << false;
        QTest::newRow("longest piece before an LF")
            << QByteArray("a\r\n") << longest << QByteArray("\nb") << false;
        QTest::newRow("one more, last line")
            << QByteArray("a\r\n") << longest + 1 << QByteArray() << true;
        QTest::newRow("one more, then CR")
            << QByteArray() << longest + 1 << QByteArray("\rb") << true;
        QTest::newRow("one more, in two-byte characters")
            << QByteArray("a\r\n") << longest + 1 << QByteArray("\xC3\xA9") << true;
    }
    void overlongLineIsRefused()
    {
        QFETCH(QByteArray, head);
        QFETCH(qsizetype, lineLength);
        QFETCH(QByteArray, tail);
        QFETCH(bool, refused);
        // The tail's first character, if not a line end, belongs to the line.
        const bool tailInLine = !tail.isEmpty() && tail[0] != '\r' && tail[0] != '\n';
        const qsizetype filler = lineLength - (tailInLine ? 1 : 0);
        const QByteArray bytes = head + QByteArray(filler, 'x') + tail;
        SiteList list;
        list.append(QStringLiteral("kept"));
        FakeUiServices ui;
        LoadListFile(list, writeFile(bytes), ui, FileExists);
        if (!refused) {
            QCOMPARE(list.count(), 4);
            QCOMPARE(list.text(2).size(), QStringLiteral("http://").size() + lineLength);
            QVERIFY(ui.log.isEmpty());
            return;
        }
        QCOMPARE(rows(list), QStringList{"kept"});
        QCOMPARE(ui.messages.size(), 1);
        QVERIFY2(ui.messages[0].prompt.contains(QStringLiteral("longer than")),
                 qPrintable(ui.messages[0].prompt));
    }

    // A billion bytes without a line end, made sparse so that the test leaves
    // no gigabyte on disk.
    void billionByteLine()
    {
        const QString path = writeFile("http://good\r\nx");
        {
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadWrite));
            QVERIFY(file.resize(1'000'000'000));
        }
        const qint64 peakBefore = ProcessMemory::peakKiB();
        SiteList list;
        list.append(QStringLiteral("kept"));
        FakeUiServices ui;
        LoadListFile(list, path, ui, FileExists);
        const qint64 peakAfter = ProcessMemory::peakKiB();
        QFile::remove(path);

        QCOMPARE(rows(list), QStringList{"kept"});
        QCOMPARE(ui.messages.size(), 1);
        QVERIFY2(ui.messages[0].prompt.contains(QStringLiteral("longer than")),
                 qPrintable(ui.messages[0].prompt));
        // Reading it whole would take gigabytes; a few of the longest lines' worth is plenty.
        QVERIFY2(peakAfter - peakBefore < 128 * 1024,
                 qPrintable(QStringLiteral("peak rose by %1 KiB").arg(peakAfter - peakBefore)));
    }
};

QTEST_GUILESS_MAIN(TestFileToList)
#include "tst_filetolist.moc"
