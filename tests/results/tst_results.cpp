// Saves that fail say why and leave the old file as it was.
#include "platform/WorkSlice.h"
#include "results/SaveJob.h"
#include "support/Files.h"

#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>

class TestResults : public QObject
{
    Q_OBJECT
private slots:
    // Each failure names its cause and leaves the old file as it was, with
    // nothing beside it: a disk that fills up, a folder where the file
    // should be, a file where its folder should be.
    void failures()
    {
        for (const QString target : {"old.txt", "dir", "old.txt/x"}) {
            QTemporaryDir dir;
            const QString old = writeFile(dir.filePath(QStringLiteral("old.txt")), "old bytes");
            QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("dir")));
            rlimit unlimited{}, small{100, 100};
            getrlimit(RLIMIT_FSIZE, &unlimited);
            signal(SIGXFSZ, SIG_IGN); // a write past the limit fails instead of killing
            if (target == "old.txt")
                setrlimit(RLIMIT_FSIZE, &small);
            SaveJob job(QStringList(1000, QStringLiteral("a row of text")), SaveFormat::List,
                        dir.filePath(target));
            while (!job.advance(WorkSlice())) {
            }
            setrlimit(RLIMIT_FSIZE, &unlimited);
            QVERIFY2(job.failed() && !job.error().isEmpty() && job.error() != "Unknown error",
                     qPrintable(target));
            QCOMPARE(readAll(old), QByteArray("old bytes"));
            QCOMPARE(entries(dir.path()), (QStringList{"dir", "old.txt"}));
            QCOMPARE(entries(dir.filePath("dir")), QStringList());
        }
    }
};

QTEST_GUILESS_MAIN(TestResults)
#include "tst_results.moc"
