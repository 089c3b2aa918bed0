#include "extraction/LineFilter.h"
#include "platform/WorkSlice.h"
#include "results/ResultList.h"
#include "results/SaveJob.h"
#include "support/Process.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
}

} // namespace

class TestResults : public QObject
{
    Q_OBJECT
private slots:
    // A row shows an address, or holds a result, only when it was made with
    // exactly that; a longer address or a row merely containing it does not count.
    void addressesAndResultsAreExact()
    {
        ResultList list;
        list.appendResult(QStringLiteral("http://a.org/long"), QStringLiteral("hit,x"));
        list.appendResult(QString(), QStringLiteral("see http://a.org here"));
        QCOMPARE(list.texts(), (QStringList{"http://a.org/long,hit,x", "see http://a.org here"}));
        AddAddressRow(list, QStringLiteral("http://a.org"), true, true);
        AddAddressRow(list, QStringLiteral("http://a.org"), true, true);
        AddAddressRow(list, QStringLiteral("http://b.org"), true, false);
        AddAddressRow(list, QStringLiteral("http://b.org"), false, true);
        QCOMPARE(list.count(), 3);
        QVERIFY(list.showsAddress(QStringLiteral("http://a.org")));
        QVERIFY(list.holdsResult(QStringLiteral("hit,x")) && !list.holdsResult(QStringLiteral("hit")));
        QVERIFY(!list.holdsResult(QStringLiteral("http://a.org")));
        list.appendResult(QString(), QStringLiteral("hit"));
        QVERIFY(list.holdsResult(QStringLiteral("hit")));
        list.removeAt(2);
        QVERIFY(!list.showsAddress(QStringLiteral("http://a.org")));
        list.removeAt(0);
        QVERIFY(!list.showsAddress(QStringLiteral("http://a.org/long")));
        QVERIFY(!list.holdsResult(QStringLiteral("hit,x")));
        list.clear();
        QVERIFY(!list.holdsResult(QStringLiteral("hit")));
        QCOMPARE(list.headerData(0, Qt::Horizontal).toString(), QStringLiteral("Result(s)"));
    }

    // The old file stays whole until the last byte is written, and is
    // replaced only then.
    void replacesOnlyWhenComplete()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("big.txt"));
        QFile old(path);
        QVERIFY(old.open(QIODevice::WriteOnly) && old.write("old content") == 11);
        old.close();
        QStringList rows;
        QByteArray expected;
        for (int i = 0; i < 300'000; ++i) {
            rows << QStringLiteral("row %1").arg(i);
            expected += rows.last().toUtf8() + ",";
        }
        SaveJob job(rows, SaveFormat::Commas, path);
        QSignalSpy finished(&job, &SaveJob::finished);
        job.start();
        QCOMPARE(readAll(path), QByteArray("old content"));
        QVERIFY(finished.wait(60'000));
        QVERIFY(!job.failed());
        QCOMPARE(readAll(path), expected + "\r\n");
        QCOMPARE(entries(dir.path()), QStringList{"big.txt"});
    }

    // Each failure names its cause and leaves the old file as it was, with
    // nothing beside it.
    void failures_data()
    {
        QTest::addColumn<ChildLimit>("limit");
        QTest::addColumn<int>("folderMode");
        QTest::addColumn<int>("fileMode");
        QTest::newRow("read-only file") << ChildLimit::Unprivileged << 0777 << 0444;
        QTest::newRow("read-only folder") << ChildLimit::Unprivileged << 0555 << 0666;
        QTest::newRow("full disk") << ChildLimit::FileSize100 << 0777 << 0666;
    }
    void failures()
    {
        QFETCH(ChildLimit, limit);
        QFETCH(int, folderMode);
        QFETCH(int, fileMode);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("old.txt"));
        QFile old(path);
        QVERIFY(old.open(QIODevice::WriteOnly) && old.write("old bytes") == 9);
        old.close();
        QCOMPARE(chmod(QFile::encodeName(path), mode_t(fileMode)), 0);
        QCOMPARE(chmod(QFile::encodeName(dir.path()), mode_t(folderMode)), 0);
        const std::optional<QByteArray> error = inChild(limit, [&] {
            SaveJob job(QStringList(1000, QStringLiteral("a row of text")), SaveFormat::List, path);
            while (!job.advance(WorkSlice())) {
            }
            return job.failed() ? job.error().toUtf8() : QByteArray();
        });
        QCOMPARE(chmod(QFile::encodeName(dir.path()), 0700), 0);
        QVERIFY2(error && !error->isEmpty(), "the save reported success");
        QVERIFY(*error != "Unknown error");
        QCOMPARE(readAll(path), QByteArray("old bytes"));
        QCOMPARE(entries(dir.path()), QStringList{"old.txt"});
    }
};

QTEST_GUILESS_MAIN(TestResults)
#include "tst_results.moc"
