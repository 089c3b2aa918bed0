#include "platform/CurlPageFetcher.h"
#include "sitelist/ExtractLinks.h"
#include "sitelist/FileToList.h"
#include "sitelist/SiteList.h"
#include "window/Form1.h"

#include "support/FakeUiServices.h"
#include "support/TestHttpServer.h"

#include <QAbstractButton>
#include <QDir>
#include <QFile>
#include <QPointer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

constexpr int harvestTimeoutMs = 20'000;

QStringList rows(const SiteList &list)
{
    QStringList texts;
    for (int i = 0; i < list.count(); ++i)
        texts << list.text(i);
    return texts;
}

} // namespace

// "Load List" and "Get Links in URL" pressed in a real window, with scripted
// dialogs, the real fetcher and pages served on loopback.
class TestForm1SiteFill : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir m_tempFolder; // the system's temporary folder for this test
    QTemporaryDir m_files;
    std::unique_ptr<FakeUiServices> m_ui;
    std::unique_ptr<CurlPageFetcher> m_fetcher;
    std::unique_ptr<TestHttpServer> m_server;
    QPointer<Form1> m_form;

    QString host() const { return QStringLiteral("127.0.0.1:%1").arg(m_server->port()); }
    QString withHost(QString text) const { return text.replace(QStringLiteral("%1"), host()); }
    QStringList withHost(QStringList texts) const
    {
        for (QString &text : texts)
            text = withHost(text);
        return texts;
    }

    void press(const char *name)
    {
        auto *button = m_form->findChild<QAbstractButton *>(QLatin1String(name));
        QVERIFY(button);
        QTest::mouseClick(button, Qt::LeftButton);
    }
    bool harvesting() const { return m_form->harvests().isRunning(); }
    QStringList tempFiles() const
    {
        return QDir(m_tempFolder.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    }
    QString writeFile(const QByteArray &bytes)
    {
        const QString path = m_files.filePath(QStringLiteral("sites.txt"));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            file.write(bytes) != bytes.size())
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_tempFolder.isValid());
        QVERIFY(m_files.isValid());
        // Every temporary file the program makes lands here, where the tests
        // can see that it is gone afterwards.
        qputenv("TMPDIR", QFile::encodeName(m_tempFolder.path()));
        QCOMPARE(QDir(QDir::tempPath()).canonicalPath(), QDir(m_tempFolder.path()).canonicalPath());
    }

    void init()
    {
        m_ui = std::make_unique<FakeUiServices>();
        m_fetcher = std::make_unique<CurlPageFetcher>();
        m_server = std::make_unique<TestHttpServer>();
        QVERIFY(m_server->isListening());
        Form1Services services;
        services.ui = m_ui.get();
        services.fetcher = m_fetcher.get();
        services.random = [] {
            return 0.5;
        }; // never opens the home page
        services.programFolder = m_files.path();
        m_form = new Form1(services);
        m_form->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_form));
    }

    void cleanup()
    {
        if (m_form)
            QTRY_VERIFY_WITH_TIMEOUT(!harvesting(), harvestTimeoutMs);
        delete m_form;
        m_server.reset();
        m_fetcher.reset();
        m_ui.reset();
        // No harvest, finished, failed or abandoned, leaves its page behind.
        QCOMPARE(tempFiles(), QStringList());
    }

    void loadListAsksForOneFile()
    {
        m_form->siteList().append(QStringLiteral("http://first"));
        m_ui->openAnswers.push_back(writeFile("a.org\r\nb.org\n"));
        press("Check13");
        QCOMPARE(m_ui->openDialogs.size(), 1);
        const FileDialogSettings &dialog = m_ui->openDialogs[0];
        QCOMPARE(dialog.fileName, QString());
        QCOMPARE(dialog.flags, 2621441);
        QCOMPARE(dialog.title,
                 QStringLiteral("Add File(s) - Use Ctrl & Shift to select multiple files"));
        QCOMPARE(dialog.filter, QStringLiteral("Text Files (*.txt)|*.txt|All Files (*.*)|*.*"));
        QTRY_COMPARE(rows(m_form->siteList()),
                     (QStringList{"http://first", "http://a.org", "http://b.org", "http://"}));
        QCOMPARE(m_ui->log, QStringList{"open"});
    }

    void loadListRefuses_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QStringList>("log");
        QTest::newRow("cancel") << QString() << QStringList{"open"};
        QTest::newRow("missing file") << QStringLiteral("/no/such/folder/sites.txt")
                                      << QStringList{"open", "message:File not found"};
        QTest::newRow("several files")
            << QStringLiteral("/tmp") + QChar(0) + QStringLiteral("a.txt") + QChar(0) +
                   QStringLiteral("b.txt")
            << QStringList{"open", "message:Please select just one file."};
    }
    void loadListRefuses()
    {
        QFETCH(QString, answer);
        QFETCH(QStringList, log);
        m_form->siteList().append(QStringLiteral("http://first"));
        m_ui->openAnswers.push_back(answer);
        press("Check13");
        QCOMPARE(m_ui->log, log);
        QCOMPARE(rows(m_form->siteList()), QStringList{"http://first"});
    }

    // Files load on the event loop one after another, in the order pressed;
    // rows the user adds meanwhile stay before a file's rows, which arrive
    // together once the file is read, or not at all.
    void loadsQueueInPressOrder()
    {
        QByteArray big;
        QStringList expected{"http://typed"};
        for (int i = 0; i < 200000; ++i) {
            big += "big" + QByteArray::number(i) + '\n';
            expected << "http://big" + QString::number(i);
        }
        expected << "http://"
                 << "http://small";
        const QString first = m_files.filePath(QStringLiteral("big.txt"));
        const QString second = m_files.filePath(QStringLiteral("small.txt"));
        for (const auto &[path, bytes] :
             {std::pair{first, big}, std::pair{second, QByteArray("small\r\n")}}) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
        }
        m_ui->openAnswers = {first, m_files.path(), second};
        for (int i = 0; i < 3; ++i)
            press("Check13");
        QVERIFY(m_form->addressLoads().isRunning());
        m_form->siteList().append(QStringLiteral("http://typed"));
        QTRY_VERIFY_WITH_TIMEOUT(!m_form->addressLoads().isRunning(), 20000);
        QCOMPARE(rows(m_form->siteList()), expected);
        QCOMPARE(m_ui->messages.size(), 1);
        QVERIFY2(m_ui->messages[0].prompt.startsWith(QStringLiteral("The file \"")),
                 qPrintable(m_ui->messages[0].prompt));
    }

    // Typed addresses and pages with the rows they add; %1 stands for the
    // server's host and port.
    void harvest_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("page");
        QTest::addColumn<QStringList>("added");

        QTest::newRow("host") << "%1"
                              << "/" << QByteArray("<a href=\"about.htm\">")
                              << QStringList{"http://%1/", "http://%1/about.htm/"};
        QTest::newRow("folder, every kind of value")
            << "%1/dir"
            << "/dir/"
            << QByteArray("<a href=\"about.htm\"><a href=\"/contact.htm\">"
                          "<a href=\"https://g.example/x\"><a href=\"http://g.example/\">"
                          "<a href=\"#top\"><a href=\"\"><script href=\"//g.example/lib.js\">")
            << QStringList{"http://%1/dir/",
                           "http://%1/dir/about.htm/",
                           "http://%1/dir/contact.htm/",
                           "https://g.example/x/",
                           "http://g.example/",
                           "http://%1/dir/#top/",
                           "http://%1/dir/",
                           "http://%1/dir//g.example/lib.js/"};
        QTest::newRow("page") << "%1/dir/page.html"
                              << "/dir/page.html" << QByteArray("<a href=\"next.html\">")
                              << QStringList{"http://%1/dir/page.html", "http://%1/dir/next.html/"};
        QTest::newRow("page in capitals is a folder")
            << "http://%1/dir/PAGE.HTM"
            << "/dir/PAGE.HTM/" << QByteArray("<a href=\"a\">")
            << QStringList{"http://%1/dir/PAGE.HTM/", "http://%1/dir/PAGE.HTM/a/"};
        QTest::newRow("HREF in capitals") << "%1"
                                          << "/" << QByteArray("<A HREF=\"A.HTM\">")
                                          << QStringList{"http://%1/", "http://%1/A.HTM/"};
        QTest::newRow("blanks, single quotes, no quotes")
            << "%1"
            << "/" << QByteArray("<a href = \"a\"><a href= \"b\"><a href='c'><a href=d>")
            << QStringList{"http://%1/"};
        QTest::newRow("data-href") << "%1"
                                   << "/" << QByteArray("<div data-href=\"x\">")
                                   << QStringList{"http://%1/", "http://%1/x/"};
        QTest::newRow("no link") << "%1"
                                 << "/" << QByteArray("<html><p>plain</p></html>")
                                 << QStringList{"http://%1/"};
        QTest::newRow("empty page") << "%1"
                                    << "/" << QByteArray() << QStringList{"http://%1/"};
    }
    void harvest()
    {
        QFETCH(QString, typed);
        QFETCH(QString, path);
        QFETCH(QByteArray, page);
        QFETCH(QStringList, added);
        m_server->setPage(path, page);
        m_form->siteList().append(QStringLiteral("http://first"));
        m_ui->inputAnswers.push_back(withHost(typed));
        press("Check7");
        QVERIFY(harvesting());
        QTRY_VERIFY_WITH_TIMEOUT(!harvesting(), harvestTimeoutMs);
        QCOMPARE(rows(m_form->siteList()), QStringList{"http://first"} + withHost(added));
        QCOMPARE(m_server->requestCount(path), 1);
        QCOMPARE(m_ui->messages.size(), 0);
        QCOMPARE(m_ui->inputTitles, QStringList{QString()});
        const QString prompt = m_ui->inputPrompts.value(0);
        QVERIFY2(prompt.startsWith(QStringLiteral("Enter url to extract from (i.e. ")) &&
                     prompt.endsWith(QStringLiteral("):")),
                 qPrintable(prompt));
    }

    void failedDownload_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::newRow("empty answer") << QString();
        QTest::newRow("missing page") << QStringLiteral("%1/missing");
        QTest::newRow("server error") << QStringLiteral("%1/broken");
    }
    void failedDownload()
    {
        QFETCH(QString, typed);
        m_server->setStatus(QStringLiteral("/broken/"), 500, "<a href=\"x\">");
        m_form->siteList().append(QStringLiteral("http://first"));
        m_ui->inputAnswers.push_back(withHost(typed));
        press("Check7");
        QTRY_VERIFY_WITH_TIMEOUT(!harvesting(), harvestTimeoutMs);
        QCOMPARE(m_ui->messages.size(), 1);
        QCOMPARE(m_ui->messages[0].prompt, QStringLiteral("Url not found"));
        QCOMPARE(m_ui->messages[0].icon, MessageIcon::Exclamation);
        QCOMPARE(rows(m_form->siteList()), QStringList{"http://first"});
    }

    // The page is written to a private file in the temporary folder, which is
    // gone once the harvest ends (checked for every test in cleanup()).
    void pageFileLivesOnlyWhileDownloading()
    {
        m_server->setDelayed(QStringLiteral("/"), "<a href=\"a\">", 300);
        m_ui->inputAnswers.push_back(host());
        press("Check7");
        QTRY_COMPARE(tempFiles().size(), 1);
        QVERIFY(harvesting());
        QTRY_VERIFY_WITH_TIMEOUT(!harvesting(), harvestTimeoutMs);
        QCOMPARE(tempFiles(), QStringList());
        QCOMPARE(m_form->siteList().count(), 2);
    }

    // A second press waits for the first harvest and completes its links
    // against its own page.
    void secondHarvestWaitsForTheFirst()
    {
        m_server->setDelayed(QStringLiteral("/slow/"), "<a href=\"a\">", 300);
        m_server->setPage(QStringLiteral("/fast/"), "<a href=\"b\">");
        m_ui->inputAnswers = {withHost("%1/slow"), withHost("%1/fast")};
        press("Check7");
        press("Check7");
        QCOMPARE(m_form->harvests().pending(), 1);
        QTRY_COMPARE(m_server->requestCount(QStringLiteral("/slow/")), 1);
        QCOMPARE(m_server->requestCount(QStringLiteral("/fast/")), 0);
        QTRY_VERIFY_WITH_TIMEOUT(m_form->siteList().count() == 4 && !harvesting(),
                                 harvestTimeoutMs);
        QCOMPARE(rows(m_form->siteList()), withHost({"http://%1/slow/", "http://%1/slow/a/",
                                                     "http://%1/fast/", "http://%1/fast/b/"}));
    }

    // An address added while the page is being scanned goes after the links
    // found so far and before the rest.
    void rowsAddedDuringTheScanKeepTheirPlace()
    {
        const int links = 100'000;
        QByteArray page;
        QStringList expected{withHost("http://%1/")};
        for (int i = 0; i < links; ++i) {
            page += "<li><a href=\"p" + QByteArray::number(i) + ".html\">page</a></li>\n";
            expected << withHost("http://%1/p") + QString::number(i) + QStringLiteral(".html/");
        }
        m_server->setPage(QStringLiteral("/"), page);
        int addedAt = -1;
        connect(&m_form->siteList(), &QAbstractItemModel::rowsInserted, this, [&] {
            if (addedAt >= 0 || !harvesting())
                return;
            addedAt = m_form->siteList().count();
            m_ui->inputAnswers.push_back(QStringLiteral("user.example"));
            press("Check5");
        });
        m_ui->inputAnswers.push_back(host());
        press("Check7");
        QTRY_VERIFY_WITH_TIMEOUT(!harvesting(), harvestTimeoutMs);
        // The first rows reach the view after the first slice of the scan:
        // more of the page was still to come.
        QVERIFY(addedAt > 0 && addedAt < expected.size());
        expected.insert(addedAt, QStringLiteral("http://user.example"));
        QCOMPARE(rows(m_form->siteList()), expected);
    }

    // Closing the window abandons a harvest at once, whatever it is doing,
    // and leaves no page file behind.
    void closingTheWindowAbandonsTheHarvest_data()
    {
        QTest::addColumn<QString>("when");
        QTest::newRow("during the download") << "download";
        QTest::newRow("during the scan") << "scan";
        QTest::newRow("while Url not found is shown") << "message";
    }
    void closingTheWindowAbandonsTheHarvest()
    {
        QFETCH(QString, when);
        // Long enough to take many slices even in an optimised build.
        QByteArray page;
        for (int i = 0; i < 250'000; ++i)
            page += "<a href=\"p" + QByteArray::number(i) + "\">\n";
        if (when == "scan")
            m_server->setPage(QStringLiteral("/"), page);
        else if (when == "download")
            m_server->setStalled(QStringLiteral("/"));
        // Otherwise the page is missing and the message box comes up.
        m_ui->duringModal = [&] {
            if (m_ui->messages.size() == 1)
                delete m_form;
        };
        bool scanning = false;
        connect(&m_form->siteList(), &QAbstractItemModel::rowsInserted, this, [&] {
            if (!scanning && harvesting())
                QTimer::singleShot(0, m_form, [&] {
                    scanning = harvesting();
                    delete m_form;
                });
        });
        m_ui->inputAnswers.push_back(host());
        press("Check7");
        if (when == "download") {
            QTRY_COMPARE(m_server->requestCount(QStringLiteral("/")), 1);
            delete m_form;
        }
        QTRY_VERIFY_WITH_TIMEOUT(m_form.isNull(), harvestTimeoutMs);
        QCOMPARE(scanning, when == "scan");
        QCOMPARE(m_ui->messages.size(), when == "message" ? 1 : 0);
        QCOMPARE(tempFiles(), QStringList());
        QTest::qWait(50); // nothing left over runs against the dead window
    }
};

QTEST_MAIN(TestForm1SiteFill)
#include "tst_form1_sitefill.moc"
