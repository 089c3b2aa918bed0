// The benchmark driver. Each subcommand runs one piece of Quillora's real code
// against the bench server (or a local file) and prints one line:
//
//   RESULT seconds=<work time> maxgap_ms=<longest event-loop stall> rows=<rows>
//
// With --window the work goes through the real main window on the offscreen
// platform, so view updates are paid for; without it only the models exist.
//
//   quillora-bench corpus DIR
//   quillora-bench lines URLFILE WORD [--without] [--regex] [--text] [--window] [--rows-out F]
//                        [--ca CERTFILE] [--connect-timeout MS]
//   quillora-bench select URLFILE SELECTOR [--take WHAT]... [--rows-out F]
//   quillora-bench cli ROWSFILE QUILLORA-CLI-ARGUMENTS...
//   quillora-bench between URLFILE START END [--window]
//   quillora-bench save ROWSURLFILE list|commas PATH [--window]
//   quillora-bench harvest URL [--window]
//   quillora-bench load ADDRESSFILE [--window]
//   quillora-bench table RESULTS.tsv
//   quillora-bench median RESULTS.tsv SCENARIO TOOL seconds|peakKiB|stallMs|faults

#include "Corpus.h"
#include "Table.h"

#include "cli/CliRun.h"

#include "extraction/ExtractionRun.h"
#include "platform/CurlPageFetcher.h"
#include "platform/UiServices.h"
#include "results/ResultList.h"
#include "results/SaveJob.h"
#include "sitelist/ExtractLinks.h"
#include "sitelist/FileToList.h"
#include "sitelist/SiteList.h"
#include "window/Form1.h"
#include "window/RunQueue.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>

#include <fcntl.h>
#include <unistd.h>

namespace {

struct Options
{
    QStringList positional;
    bool window = false;
    bool without = false;
    bool regex = false; // WORD is a regular expression
    bool text = false;  // the rule reads pages' visible text
    QStringList takes;
    QString rowsOut;
    FetchSettings fetch;
};

Options parse(const QStringList &args)
{
    Options options;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString &arg = args[i];
        if (arg == QLatin1String("--window"))
            options.window = true;
        else if (arg == QLatin1String("--without"))
            options.without = true;
        else if (arg == QLatin1String("--regex"))
            options.regex = true;
        else if (arg == QLatin1String("--text"))
            options.text = true;
        else if (arg == QLatin1String("--take") && i + 1 < args.size())
            options.takes << args[++i];
        else if (arg == QLatin1String("--rows-out") && i + 1 < args.size())
            options.rowsOut = args[++i];
        else if (arg == QLatin1String("--ca") && i + 1 < args.size())
            options.fetch.caFile = args[++i];
        else if (arg == QLatin1String("--connect-timeout") && i + 1 < args.size())
            options.fetch.connectTimeout = std::chrono::milliseconds(args[++i].toInt());
        else
            options.positional << arg;
    }
    return options;
}

// The longest time the event loop went without running a 5 ms timer while the
// work was under way: what a user's click would have waited at worst.
class StallMeter : public QObject
{
public:
    StallMeter()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(5);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            m_maxGapNs = qMax(m_maxGapNs, m_sinceTick.nsecsElapsed());
            m_sinceTick.restart();
        });
    }
    void start()
    {
        m_sinceTick.start();
        m_timer.start();
    }
    double maxGapMs() const { return double(m_maxGapNs) / 1e6; }

private:
    QTimer m_timer;
    QElapsedTimer m_sinceTick;
    qint64 m_maxGapNs = 0;
};

// The window's answers for a bench: no dialogs ever appear.
class SilentUi : public UiServices
{
public:
    void message(const QString &prompt, MessageIcon) override
    {
        std::fprintf(stderr, "message: %s\n", qPrintable(prompt));
    }
    bool askYesNo(const QString &) override { return true; }
    QString input(const QString &, const QString &) override { return inputAnswer; }
    bool askCrawl(CrawlQuestion &) override { return false; }
    QString openFileName(const FileDialogSettings &) override { return openAnswer; }
    QString saveFileName(const FileDialogSettings &) override { return saveAnswer; }
    void openUrl(const QString &) override {}
    QString clipboardText() override { return {}; }
    void setClipboardText(const QString &) override {}

    QString inputAnswer, openAnswer, saveAnswer;
};

// RunHost for runs without the window: fixed texts and options.
class FixedHost : public RunHost
{
public:
    QString ruleText(Rule) const override { return text; }
    QString startText() const override { return start; }
    QString endText() const override { return end; }
    bool rulePattern(Rule) const override { return pattern; }
    bool keepDuplicates() const override { return false; }
    bool readsText() const override { return visibleText; }
    QStringList takes() const override
    {
        return takeNames.isEmpty() ? QStringList{QStringLiteral("text")} : takeNames;
    }
    bool includeAddress() const override { return false; }
    bool includeAddressIfNothingFound() const override { return false; }
    void setStatus(const QString &) override {}
    void setBusy(bool) override {}

    QString text, start, end;
    bool pattern = false;
    bool visibleText = false;
    QStringList takeNames;
};

QStringList readLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(path));
        return {};
    }
    return QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts);
}

void writeRows(const QString &path, const ResultList &results)
{
    if (path.isEmpty())
        return;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return;
    for (int row = 0; row < results.count(); ++row) {
        file.write(results.text(row).toUtf8());
        file.write("\n");
    }
}

void report(double seconds, const StallMeter &meter, int rows)
{
    std::printf("RESULT seconds=%.4f maxgap_ms=%.1f rows=%d\n", seconds, meter.maxGapMs(), rows);
    std::fflush(stdout);
}

// Runs work, which calls done() when finished, inside the event loop; the
// figure ends once shown() holds as well: the views have been told of every
// row (long lists tell them in gathered batches, so that may come later).
double timeInLoop(
    StallMeter &meter, const std::function<void(std::function<void()>)> &work,
    const std::function<bool()> &shown = [] { return true; })
{
    QElapsedTimer clock;
    double seconds = 0;
    QTimer poll;
    poll.setTimerType(Qt::PreciseTimer);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (!shown())
            return;
        seconds = double(clock.nsecsElapsed()) / 1e9;
        poll.stop();
        QCoreApplication::quit();
    });
    QTimer::singleShot(0, [&] {
        meter.start();
        clock.start();
        work([&] { poll.start(1); });
    });
    QCoreApplication::exec();
    return seconds;
}

// A window with a real fetcher and silent dialogs, shown on the offscreen platform.
struct BenchWindow
{
    BenchWindow()
    {
        Form1Services services;
        services.ui = &ui;
        services.fetcher = &fetcher;
        services.random = [] {
            return 0.5;
        };
        form = std::make_unique<Form1>(services);
        form->show();
        // Let the first paint (fonts, style) happen before anything is timed:
        // a user presses Extract in a window that is already on screen.
        QTimer::singleShot(300, [] { QCoreApplication::quit(); });
        QCoreApplication::exec();
    }
    void press(const char *name) { form->findChild<QPushButton *>(name)->setChecked(true); }

    CurlPageFetcher fetcher;
    SilentUi ui;
    std::unique_ptr<Form1> form;
};

int runLines(const Options &options)
{
    if (options.positional.size() < 3)
        return 2;
    const QStringList urls = readLines(options.positional[1]);
    const QString word = options.positional[2];
    const Rule rule = options.without ? Rule::WithoutText : Rule::WithText;
    StallMeter meter;

    if (!options.window) {
        CurlPageFetcher fetcher(options.fetch);
        SiteList sites;
        ResultList results;
        FixedHost host;
        host.text = word;
        host.pattern = options.regex;
        host.visibleText = options.text;
        RunQueue runs(sites, results, fetcher, host);
        sites.append(urls);
        const double seconds = timeInLoop(
            meter,
            [&](std::function<void()> done) {
                QObject::connect(&runs, &RunQueue::idle, done);
                runs.enqueue(rule);
            },
            [&] { return results.rowCount() == results.count(); });
        report(seconds, meter, results.count());
        writeRows(options.rowsOut, results);
        return 0;
    }

    BenchWindow window;
    Form1 &form = *window.form;
    form.siteList().append(urls);
    form.findChild<QLineEdit *>(options.without ? "Text2" : "Text1")->setText(word);
    if (options.regex)
        form.findChild<QAction *>(options.without ? "Text2Pattern" : "Text1Pattern")->trigger();
    const double seconds = timeInLoop(
        meter,
        [&](std::function<void()> done) {
            QObject::connect(&form.runs(), &RunQueue::idle, done);
            window.press(options.without ? "Check8" : "Check2");
        },
        [&] { return form.resultList().rowCount() == form.resultList().count(); });
    report(seconds, meter, form.resultList().count());
    writeRows(options.rowsOut, form.resultList());
    return 0;
}

// The selector rule over the pages, models only.
int runSelect(const Options &options)
{
    if (options.positional.size() < 3)
        return 2;
    StallMeter meter;
    CurlPageFetcher fetcher(options.fetch);
    SiteList sites;
    ResultList results;
    FixedHost host;
    host.text = options.positional[2];
    host.takeNames = options.takes;
    RunQueue runs(sites, results, fetcher, host);
    sites.append(readLines(options.positional[1]));
    const double seconds = timeInLoop(
        meter,
        [&](std::function<void()> done) {
            QObject::connect(&runs, &RunQueue::idle, done);
            runs.enqueue(Rule::Select);
        },
        [&] { return results.rowCount() == results.count(); });
    report(seconds, meter, results.count());
    writeRows(options.rowsOut, results);
    return 0;
}

int runBetween(const Options &options)
{
    if (options.positional.size() < 4)
        return 2;
    const QStringList urls = readLines(options.positional[1]);
    StallMeter meter;
    if (!options.window) {
        CurlPageFetcher fetcher;
        SiteList sites;
        ResultList results;
        FixedHost host;
        host.start = options.positional[2];
        host.end = options.positional[3];
        RunQueue runs(sites, results, fetcher, host);
        sites.append(urls);
        const double seconds = timeInLoop(
            meter,
            [&](std::function<void()> done) {
                QObject::connect(&runs, &RunQueue::idle, done);
                runs.enqueue(Rule::Between);
            },
            [&] { return results.rowCount() == results.count(); });
        report(seconds, meter, results.count());
        return 0;
    }
    BenchWindow window;
    Form1 &form = *window.form;
    form.siteList().append(urls);
    form.findChild<QLineEdit *>("Text3")->setText(options.positional[2]);
    form.findChild<QLineEdit *>("Text4")->setText(options.positional[3]);
    form.findChild<QCheckBox *>("Check3")->setChecked(false); // Keep Duplicates off
    const double seconds = timeInLoop(
        meter,
        [&](std::function<void()> done) {
            QObject::connect(&form.runs(), &RunQueue::idle, done);
            window.press("Check4");
        },
        [&] { return form.resultList().rowCount() == form.resultList().count(); });
    report(seconds, meter, form.resultList().count());
    return 0;
}

// Fills the result list from the rows page (not timed), then times one save.
int runSave(const Options &options)
{
    if (options.positional.size() < 4)
        return 2;
    const QStringList urls = readLines(options.positional[1]);
    const bool commas = options.positional[2] == QLatin1String("commas");
    const QString path = options.positional[3];
    QFile::remove(path);
    StallMeter meter;
    BenchWindow window;
    Form1 &form = *window.form;
    form.siteList().append(urls);
    form.findChild<QLineEdit *>("Text1")->setText(QString::fromLatin1(corpusWord));
    StallMeter fillMeter;
    timeInLoop(fillMeter, [&](std::function<void()> done) {
        QObject::connect(&form.runs(), &RunQueue::idle, done);
        window.press("Check2");
    });
    if (!options.window) {
        const ResultRows rows = form.resultList().rows();
        SaveJob job(rows, commas ? SaveFormat::Commas : SaveFormat::List, path);
        const double seconds = timeInLoop(meter, [&](std::function<void()> done) {
            QObject::connect(&job, &SaveJob::finished, done);
            job.start();
        });
        report(seconds, meter, int(rows.size()));
        return job.failed() ? 1 : 0;
    }
    window.ui.saveAnswer = path;
    const double seconds = timeInLoop(meter, [&](std::function<void()> done) {
        window.press(commas ? "Check1" : "Check6");
        auto *job = form.findChild<SaveJob *>();
        if (!job) {
            std::fprintf(stderr, "no save started\n");
            done();
            return;
        }
        QObject::connect(job, &SaveJob::finished, done);
    });
    report(seconds, meter, form.resultList().count());
    return 0;
}

int runHarvest(const Options &options)
{
    if (options.positional.size() < 2)
        return 2;
    const QString url = options.positional[1];
    StallMeter meter;
    if (!options.window) {
        CurlPageFetcher fetcher;
        SiteList sites;
        HarvestQueue harvests(sites, fetcher);
        const double seconds = timeInLoop(
            meter,
            [&](std::function<void()> done) {
                QObject::connect(&harvests, &HarvestQueue::idle, done);
                harvests.enqueue(url);
            },
            [&] { return sites.rowCount() == sites.count(); });
        report(seconds, meter, sites.count());
        return 0;
    }
    BenchWindow window;
    window.ui.inputAnswer = url;
    const double seconds = timeInLoop(
        meter,
        [&](std::function<void()> done) {
            QObject::connect(&window.form->harvests(), &HarvestQueue::idle, done);
            window.press("Check7");
        },
        [&] {
            return !window.form->addressLoads().isRunning() &&
                   window.form->siteList().count() > 0 &&
                   window.form->siteList().rowCount() == window.form->siteList().count();
        });
    report(seconds, meter, window.form->siteList().count());
    return 0;
}

int runLoad(const Options &options)
{
    if (options.positional.size() < 2)
        return 2;
    const QString path = options.positional[1];
    StallMeter meter;
    if (!options.window) {
        SiteList sites;
        AddressFileLoader loads(sites);
        const double seconds = timeInLoop(
            meter,
            [&](std::function<void()> done) {
                loads.enqueue(path);
                done();
            },
            [&] { return !loads.isRunning() && sites.rowCount() == sites.count(); });
        report(seconds, meter, sites.count());
        return 0;
    }
    BenchWindow window;
    window.ui.openAnswer = path;
    const double seconds = timeInLoop(
        meter,
        [&](std::function<void()> done) {
            window.press("Check13");
            done();
        },
        [&] {
            return !window.form->addressLoads().isRunning() &&
                   window.form->siteList().count() > 0 &&
                   window.form->siteList().rowCount() == window.form->siteList().count();
        });
    report(seconds, meter, window.form->siteList().count());
    return 0;
}

// The command line's run in process, timed as the other runs are, from its
// start to its end: the process's start-up and exit are not the run's work.
// Its standard output, the rows, goes to ROWSFILE while it runs.
int runCli(const QStringList &args)
{
    if (args.size() < 2)
        return 2;
    CliOptions options;
    const QString problem = parseArguments(args.mid(1), options);
    if (!problem.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(problem));
        return 2;
    }
    std::fflush(stdout);
    const int console = dup(1);
    const int rowsFile = open(QFile::encodeName(args[0]).constData(),
                              O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (console < 0 || rowsFile < 0 || dup2(rowsFile, 1) < 0) {
        std::perror("cli rows file");
        return 1;
    }
    close(rowsFile);
    StallMeter meter;
    int status = 0;
    CliRun run(options);
    const double seconds = timeInLoop(meter, [&](std::function<void()> done) {
        QObject::connect(&run, &CliRun::finished, [&status, done](int s) {
            status = s;
            done();
        });
        run.start();
    });
    std::fflush(stdout);
    dup2(console, 1);
    close(console);
    int rows = 0;
    QFile written(args[0]);
    if (written.open(QIODevice::ReadOnly)) {
        while (!written.atEnd()) {
            const QByteArray chunk = written.read(1 << 20);
            rows += int(std::count(chunk.begin(), chunk.end(), '\n'));
        }
    }
    report(seconds, meter, rows);
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    const QStringList args = [&] {
        QStringList list;
        for (int i = 1; i < argc; ++i)
            list << QString::fromLocal8Bit(argv[i]);
        return list;
    }();
    // The command line's arguments are its own.
    if (args.value(0) == QLatin1String("cli")) {
        QCoreApplication app(argc, argv);
        return runCli(args.mid(1));
    }
    const Options options = parse(args);
    const QString command = options.positional.value(0);
    if (command == QLatin1String("corpus") && options.positional.size() == 2)
        return writeCorpus(options.positional[1]) ? 0 : 1;
    if (command == QLatin1String("table") && options.positional.size() == 2)
        return printTable(options.positional[1]) ? 0 : 1;
    if (command == QLatin1String("median") && options.positional.size() == 5) {
        const QStringList &p = options.positional;
        std::printf("%.4f\n", medianOf(p[1], p[2], p[3], p[4]));
        return 0;
    }

    // Only the window needs the GUI application; the rest runs on Qt Core.
    std::unique_ptr<QCoreApplication> app;
    // Saving fills the list through the window first, with or without --window.
    if (options.window || command == QLatin1String("save")) {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        app = std::make_unique<QApplication>(argc, argv);
    } else
        app = std::make_unique<QCoreApplication>(argc, argv);
    if (command == QLatin1String("lines"))
        return runLines(options);
    if (command == QLatin1String("between"))
        return runBetween(options);
    if (command == QLatin1String("select"))
        return runSelect(options);
    if (command == QLatin1String("save"))
        return runSave(options);
    if (command == QLatin1String("harvest"))
        return runHarvest(options);
    if (command == QLatin1String("load"))
        return runLoad(options);
    std::fprintf(stderr, "usage: see the comment at the top of bench/main.cpp\n");
    return 2;
}
