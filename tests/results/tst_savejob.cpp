#include "platform/WorkSlice.h"
#include "results/SaveJob.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArrayLiteral("<unreadable>");
    return file.readAll();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

// Runs a job to its end without an event loop; the error, or an empty text.
QString runToEnd(SaveJob &job)
{
    while (!job.advance(WorkSlice()))
        ;
    return job.failed() ? job.error() : QString();
}

enum class Limit
{
    None,
    FileSize,
    Unprivileged
};

// Runs the save in a child process, so that a file-size limit or a dropped
// privilege cannot touch the test itself; the child reports its error text.
QString saveInChild(const QStringList &rows, const QString &path, Limit limit)
{
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0)
        return QStringLiteral("<no pipe>");
    const pid_t child = fork();
    if (child == 0) {
        close(pipeEnds[0]);
        bool ready = true;
        if (limit == Limit::FileSize) {
            // Writes past 100 bytes fail with EFBIG instead of killing the child.
            signal(SIGXFSZ, SIG_IGN);
            const rlimit small{100, 100};
            ready = setrlimit(RLIMIT_FSIZE, &small) == 0;
        } else if (limit == Limit::Unprivileged && geteuid() == 0) {
            ready = setgid(65534) == 0 && setuid(65534) == 0;
        }
        QByteArray report = "<child could not drop its limits>";
        if (ready) {
            SaveJob job(rows, SaveFormat::List, path);
            report = runToEnd(job).toUtf8();
        }
        const ssize_t written = write(pipeEnds[1], report.constData(), size_t(report.size()));
        _exit(written == report.size() ? 0 : 1);
    }
    close(pipeEnds[1]);
    QByteArray report;
    char chunk[512];
    for (ssize_t got; (got = read(pipeEnds[0], chunk, sizeof chunk)) > 0;)
        report.append(chunk, got);
    close(pipeEnds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return QStringLiteral("<child failed>");
    return QString::fromUtf8(report);
}

QStringList folderEntries(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
}

} // namespace

class TestSaveJob : public QObject
{
    Q_OBJECT
private slots:
    void bytes_data()
    {
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<QByteArray>("list");
        QTest::addColumn<QByteArray>("commas");
        QTest::newRow("two rows") << QStringList{"a", "b"} << QByteArray("a\r\nb\r\n")
                                  << QByteArray("a,b,\r\n");
        QTest::newRow("empty list") << QStringList{} << QByteArray() << QByteArray("\r\n");
        QTest::newRow("address rows keep their commas")
            << QStringList{"http://s,x", "y"} << QByteArray("http://s,x\r\ny\r\n")
            << QByteArray("http://s,x,y,\r\n");
        QTest::newRow("line breaks inside a row")
            << QStringList{"one\r\ntwo", "three\n"} << QByteArray("one\r\ntwo\r\nthree\n\r\n")
            << QByteArray("one\r\ntwo,three\n,\r\n");
        QTest::newRow("empty rows")
            << QStringList{"", ""} << QByteArray("\r\n\r\n") << QByteArray(",,\r\n");
        QTest::newRow("UTF-8 without a byte-order mark")
            << QStringList{"é€"} << QByteArray("\xc3\xa9\xe2\x82\xac\r\n")
            << QByteArray("\xc3\xa9\xe2\x82\xac,\r\n");
    }
    void bytes()
    {
        QFETCH(QStringList, rows);
        QFETCH(QByteArray, list);
        QFETCH(QByteArray, commas);
        QTemporaryDir dir;
        for (const auto &[format, expected] :
             {std::pair{SaveFormat::List, list}, std::pair{SaveFormat::Commas, commas}}) {
            const QString path = dir.filePath(QStringLiteral("out.txt"));
            SaveJob job(rows, format, path);
            QCOMPARE(runToEnd(job), QString());
            QCOMPARE(readAll(path), expected);
        }
    }

    // Many rows in slices on the event loop: the old file stays whole until
    // the last byte is written, and only then is it replaced.
    void replacesOnlyWhenComplete()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("big.txt"));
        writeFile(path, "old content that is longer than nothing");
        QStringList rows;
        for (int i = 0; i < 300000; ++i)
            rows << QStringLiteral("row %1").arg(i);
        QByteArray expected;
        for (const QString &row : rows)
            expected += row.toUtf8() + "\r\n";

        SaveJob job(rows, SaveFormat::List, path);
        QSignalSpy finished(&job, &SaveJob::finished);
        job.start();
        QCOMPARE(finished.count(), 0);
        QCOMPARE(readAll(path), QByteArray("old content that is longer than nothing"));
        QVERIFY(finished.wait(60000));
        QVERIFY(!job.failed());
        QCOMPARE(readAll(path), expected);
        QCOMPARE(folderEntries(dir.path()), QStringList{"big.txt"});
    }

    void shorterContentReplacesEverything()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("x.txt"));
        writeFile(path, "a much longer old file\r\nwith lines\r\n");
        SaveJob job({QStringLiteral("z")}, SaveFormat::Commas, path);
        QCOMPARE(runToEnd(job), QString());
        QCOMPARE(readAll(path), QByteArray("z,\r\n"));
    }

    void abandonedJobLeavesOldFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("keep.txt"));
        writeFile(path, "precious");
        QStringList rows;
        for (int i = 0; i < 100000; ++i)
            rows << QString(40, u'r');
        {
            SaveJob job(rows, SaveFormat::List, path);
            QVERIFY(!job.advance(WorkSlice(0)));
            QVERIFY(!job.advance(WorkSlice(0)));
        }
        QCOMPARE(readAll(path), QByteArray("precious"));
        QCOMPARE(folderEntries(dir.path()), QStringList{"keep.txt"});
    }

    // Each failure is reported with its cause, and the old file is untouched
    // with no temporary file left beside it.
    void failures_data()
    {
        QTest::addColumn<QString>("relativePath");
        QTest::addColumn<int>("limit");
        QTest::addColumn<bool>("folderWritable");
        QTest::addColumn<bool>("fileWritable");
        QTest::newRow("missing folder")
            << "no such folder/out.txt" << int(Limit::None) << true << true;
        QTest::newRow("folder is a file") << "old.txt/out.txt" << int(Limit::None) << true << true;
        QTest::newRow("read-only file") << "old.txt" << int(Limit::Unprivileged) << true << false;
        // The file could be written in place, but not replaced safely.
        QTest::newRow("read-only folder") << "old.txt" << int(Limit::Unprivileged) << false << true;
        QTest::newRow("full disk") << "old.txt" << int(Limit::FileSize) << true << true;
    }
    void failures()
    {
        QFETCH(QString, relativePath);
        QFETCH(int, limit);
        QFETCH(bool, folderWritable);
        QFETCH(bool, fileWritable);
        QTemporaryDir dir;
        const QString old = dir.filePath(QStringLiteral("old.txt"));
        writeFile(old, "old bytes");
        // Open to all, so that an unprivileged child meets only the
        // permission under test.
        QCOMPARE(chmod(QFile::encodeName(old), fileWritable ? 0666 : 0444), 0);
        QCOMPARE(chmod(QFile::encodeName(dir.path()), folderWritable ? 0777 : 0555), 0);
        const QString path = dir.filePath(relativePath);
        const QStringList rows(1000, QStringLiteral("a row of text"));

        const QString error = saveInChild(rows, path, Limit(limit));
        QCOMPARE(chmod(QFile::encodeName(dir.path()), 0700), 0);
        QVERIFY2(!error.isEmpty(), "the save reported success");
        QVERIFY2(!error.startsWith(u'<'), qPrintable(error));
        QVERIFY2(error != QStringLiteral("Unknown error"), "the cause was lost");
        QCOMPARE(readAll(old), QByteArray("old bytes"));
        QCOMPARE(folderEntries(dir.path()), QStringList{"old.txt"});
    }

    // A device is written in place, and its errors are reported too.
    void deviceWrittenDirectly()
    {
        if (!QFile::exists(QStringLiteral("/dev/full")))
            QSKIP("no /dev/full here");
        SaveJob full({QStringLiteral("x")}, SaveFormat::List, QStringLiteral("/dev/full"));
        QVERIFY(!runToEnd(full).isEmpty());
        SaveJob null({QStringLiteral("x")}, SaveFormat::List, QStringLiteral("/dev/null"));
        QCOMPARE(runToEnd(null), QString());
        QVERIFY(QFileInfo(QStringLiteral("/dev/null")).exists());
        QVERIFY(!QFileInfo(QStringLiteral("/dev/null")).isFile());
    }
};

QTEST_GUILESS_MAIN(TestSaveJob)
#include "tst_savejob.moc"
