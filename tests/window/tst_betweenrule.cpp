#include "extraction/ExtractionRun.h"
#include "platform/CurlPageFetcher.h"
#include "results/ResultList.h"
#include "sitelist/SiteList.h"
#include "support/FakeUiServices.h"
#include "support/TestHttpServer.h"
#include "support/WindowFixture.h"
#include "window/Form1.h"

#include <QCheckBox>
#include <QEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>

#include <memory>

namespace {

struct Fixture : WindowFixture
{
    void markers(const QString &start, const QString &end)
    {
        child<QLineEdit>("Text3")->setText(start);
        child<QLineEdit>("Text4")->setText(end);
    }
    void extract()
    {
        press("Check4");
        QTRY_VERIFY_WITH_TIMEOUT(!form->runs().isRunning(), 30000);
    }
};

// Records the window's pointer shape at every change of its cursor.
class PointerLog : public QObject
{
public:
    explicit PointerLog(Form1 *form) : m_form(form) { form->installEventFilter(this); }
    QList<int> shapes;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == m_form && event->type() == QEvent::CursorChange)
            shapes << m_form->pointerShape();
        return false;
    }

private:
    Form1 *m_form;
};

} // namespace

class TestBetweenRule : public QObject
{
    Q_OBJECT
private slots:
    void refusals_data()
    {
        QTest::addColumn<QString>("start");
        QTest::addColumn<QString>("end");
        QTest::addColumn<bool>("withSites");
        QTest::addColumn<QString>("message");
        const QString markers = QStringLiteral(
            "Fill out starting text (or character) and fill out ending text (or character).");
        QTest::newRow("no start") << ""
                                  << "b" << true << markers;
        QTest::newRow("no end") << "a"
                                << "" << true << markers;
        QTest::newRow("markers before sites") << ""
                                              << "" << false << markers;
        QTest::newRow("no sites") << " "
                                  << " " << false << "No files in list.";
    }
    void refusals()
    {
        QFETCH(QString, start);
        QFETCH(QString, end);
        QFETCH(bool, withSites);
        QFETCH(QString, message);
        Fixture f;
        f.markers(start, end);
        if (withSites)
            f.form->siteList().append(f.server.url("/p"));
        f.press("Check4");
        QVERIFY(!f.child<QPushButton>("Check4")->isChecked());
        QCOMPARE(f.ui.log, QStringList{"message:" + message});
        QVERIFY(!f.form->runs().isRunning());
        QCOMPARE(f.form->status(), QString());
        QCOMPARE(f.form->pointerShape(), 0);
        QCOMPARE(f.server.requestCount("/p"), 0);
    }

    // Rows of one press over the pages "/1", "/2"..., "$1", "$2"... standing
    // for their addresses; "/missing" is a failed fetch.
    void rows_data()
    {
        QTest::addColumn<QStringList>("pages");
        QTest::addColumn<QString>("start");
        QTest::addColumn<QString>("end");
        QTest::addColumn<bool>("keep");
        QTest::addColumn<bool>("check10");
        QTest::addColumn<bool>("check12");
        QTest::addColumn<QStringList>("rows");
        QTest::newRow("in page order")
            << QStringList{"a<b>x</b>c<b>y</b>d"} << "<b>"
            << "</b>" << false << false << false << QStringList{"x", "y"};
        QTest::newRow("worked example") << QStringList{"<b><b>x</b></b>"} << "<b>"
                                        << "</b>" << false << false << false << QStringList{"<b>x"};
        QTest::newRow("address in front") << QStringList{"[x]"} << "["
                                          << "]" << false << true << false << QStringList{"$1,x"};
        // Duplicates are equal results, from any site, whatever the address
        // in front; a longer row does not hide a shorter result.
        QTest::newRow("equal results once")
            << QStringList{"[x][ab]", "[x][b][ab]"} << "["
            << "]" << false << true << false << QStringList{"$1,x", "$1,ab", "$2,b"};
        QTest::newRow("duplicates kept") << QStringList{"[x]", "[x]"} << "["
                                         << "]" << true << false << false << QStringList{"x", "x"};
        // The address row comes after a site's passes, once, and only when
        // no row shows the address.
        QTest::newRow("address rows")
            << QStringList{"nothing", "[h1][h2]", "nothing"} << "["
            << "]" << false << true << true << QStringList{"$1", "$2,h1", "$2,h2", "$3"};
        QTest::newRow("failed fetch gets its address row")
            << QStringList{"/missing", "[x]"} << "["
            << "]" << false << true << true << QStringList{"$1", "$2,x"};
        QTest::newRow("failed fetch without options")
            << QStringList{"/missing", "[x]"} << "["
            << "]" << false << false << false << QStringList{"x"};
    }
    void rows()
    {
        QFETCH(QStringList, pages);
        QFETCH(QString, start);
        QFETCH(QString, end);
        QFETCH(bool, keep);
        QFETCH(bool, check10);
        QFETCH(bool, check12);
        QFETCH(QStringList, rows);
        Fixture f;
        f.server.setResponse(QStringLiteral("/missing"), 404, {}, "[not this]");
        for (int i = 0; i < pages.size(); ++i) {
            const QString path = pages[i] == "/missing" ? pages[i] : "/" + QString::number(i + 1);
            if (pages[i] != "/missing")
                f.server.setPage(path, pages[i].toUtf8());
            f.form->siteList().append(f.server.url(path));
            for (QString &row : rows)
                row.replace("$" + QString::number(i + 1), f.server.url(path));
        }
        f.markers(start, end);
        f.child<QCheckBox>("Check3")->setChecked(keep);
        f.child<QCheckBox>("Check10")->setChecked(check10);
        f.child<QCheckBox>("Check12")->setChecked(check12);
        f.extract();
        QCOMPARE(f.rows(), rows);
        QVERIFY(f.ui.log.isEmpty());
        QCOMPARE(f.form->status(), QStringLiteral("Done."));
        QCOMPARE(f.form->pointerShape(), 0);
    }

    // Results of earlier runs and other rules count as duplicates until the
    // user removes them.
    void duplicatesOfEarlierRows()
    {
        Fixture f;
        f.server.setPage("/p", "[x]\n[y]\n");
        f.form->siteList().append(f.server.url("/p"));
        f.child<QLineEdit>("Text1")->setText("[y]");
        f.press("Check2");
        QTRY_VERIFY(!f.form->runs().isRunning());
        f.markers("[", "]");
        f.extract();
        f.extract();
        QCOMPARE(f.rows(), (QStringList{"[y]", "x", "y"}));
        f.form->resultList().removeAt(1);
        f.extract();
        QCOMPARE(f.rows(), (QStringList{"[y]", "y", "x"}));
    }

    // The busy pointer and the address stay from the first site to the last;
    // the default pointer and "Done." come once, at the end.
    void pointerAndStatusAcrossSites()
    {
        Fixture f;
        f.server.setPage("/fast", "[a]");
        f.server.setDelayed("/slow", "[b]", 400);
        f.form->siteList().append({f.server.url("/fast"), f.server.url("/slow")});
        f.markers("[", "]");
        PointerLog log(f.form.get());
        f.press("Check4");
        QTRY_COMPARE(f.rows(), QStringList{"a"});
        QTRY_COMPARE(f.form->status(), "Extracting from " + f.server.url("/slow"));
        QCOMPARE(f.form->pointerShape(), 11);
        QTRY_VERIFY_WITH_TIMEOUT(!f.form->runs().isRunning(), 20000);
        QCOMPARE(f.form->status(), QStringLiteral("Done."));
        QVERIFY(!log.shapes.isEmpty());
        QCOMPARE(log.shapes.last(), 0);
        QVERIFY(!log.shapes.sliced(0, log.shapes.size() - 1).contains(0));
    }

    // The markers are read at every pass: a change made while a long page is
    // being worked on applies from the next pass.
    void markersChangedDuringRun()
    {
        Fixture f;
        const int pairs = 100000;
        QByteArray page;
        for (int i = 0; i < pairs; ++i)
            page += "[a" + QByteArray::number(i) + "]{b" + QByteArray::number(i) + "}";
        f.server.setPage("/big", page, "text/plain");
        f.form->siteList().append(f.server.url("/big"));
        f.markers("[", "]");
        // The first rows reach the view when the run first yields mid-page.
        connect(
            &f.form->resultList(), &QAbstractItemModel::rowsInserted, f.form.get(),
            [&f] { f.markers("{", "}"); }, Qt::SingleShotConnection);
        f.extract();
        const QStringList rows = f.rows();
        const qsizetype switched = rows.indexOf(QStringLiteral("b0"));
        QVERIFY(switched > 0);
        QCOMPARE(rows.size(), switched + pairs);
        for (qsizetype i = 0; i < rows.size(); ++i) {
            const QString expected =
                i < switched ? "a" + QString::number(i) : "b" + QString::number(i - switched);
            QCOMPARE(rows[i], expected);
        }
    }

    void closeDuringPasses()
    {
        auto f = std::make_unique<Fixture>();
        QByteArray page;
        for (int i = 0; i < 200000; ++i)
            page += "[row " + QByteArray::number(i) + "]";
        f->server.setPage("/big", page, "text/plain");
        f->form->siteList().append(f->server.url("/big"));
        f->markers("[", "]");
        f->form->show();
        f->press("Check4");
        QTRY_VERIFY(f->form->resultList().count() > 0);
        QVERIFY(f->form->runs().isRunning());
        QVERIFY(f->form->close());
        f->form.reset();
    }
};

QTEST_MAIN(TestBetweenRule)
#include "tst_betweenrule.moc"
