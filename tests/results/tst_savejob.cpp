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

    // Each failure is reported with its cause, and the old file is untouched
    // with no temporary file left beside it.
    void failures_data()
    {
        QTest::addColumn<int>("limit");
        QTest::addColumn<bool>("folderWritable");
        QTest::addColumn<bool>("fileWritable");
        QTest::newRow("read-only file") << int(Limit::Unprivileged) << true << false;
        // The file could be written in place, but not replaced safely.
        QTest::newRow("read-only folder") << int(Limit::Unprivileged) << false << true;
        QTest::newRow("full disk") << int(Limit::FileSize) << true << true;
    }
    void failures()
    {
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
        const QStringList rows(1000, QStringLiteral("a row of text"));

        const QString error = saveInChild(rows, old, Limit(limit));
        QCOMPARE(chmod(QFile::encodeName(dir.path()), 0700), 0);
        QVERIFY2(!error.isEmpty(), "the save reported success");
        QVERIFY2(!error.startsWith(u'<'), qPrintable(error));
        QVERIFY2(error != QStringLiteral("Unknown error"), "the cause was lost");
        QCOMPARE(readAll(old), QByteArray("old bytes"));
        QCOMPARE(folderEntries(dir.path()), QStringList{"old.txt"});
    }
};

QTEST_GUILESS_MAIN(TestSaveJob)
#include "tst_savejob.moc"
