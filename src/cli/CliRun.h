#pragma once

#include "cli/CommandLine.h"
#include "extraction/RunHost.h"
#include "results/ResultRow.h"

#include <QFileDevice>
#include <QObject>

#include <memory>

class AddressStream;
class CurlPageFetcher;
class ExtractionRun;
class StreamedResults;
struct FetchResult;
enum class FetchError;

// One command-line run: the window's run over the sites of the command line,
// its rows on standard output, each site that failed on standard error (and in
// the --failed file) as "address<TAB>reason" as soon as it failed, progress on
// standard error when that is a terminal. finished() gives the exit status.
//
// The --failed file is written beside and takes its place at the end, so it
// may be the list the run reads. A stop (an interrupt, or standard output
// failing) ends the run like Escape in the window; the sites not done then
// join the failed ones in that file, so that it resumes the run.
class CliRun : public QObject, private RunHost
{
    Q_OBJECT
public:
    explicit CliRun(const CliOptions &options, QObject *parent = nullptr);
    ~CliRun() override;

    void start();
    // Stops the run under way, which then ends with status (unless stopped already).
    void stop(int status, const QString &message);

signals:
    void finished(int status);

private:
    QString ruleText(Rule) const override { return m_options.text; }
    QString startText() const override { return m_options.start; }
    QString endText() const override { return m_options.end; }
    bool rulePattern(Rule) const override { return m_options.regex; }
    bool startPattern() const override { return m_options.regex; }
    bool endPattern() const override { return m_options.regex; }
    bool keepDuplicates() const override { return m_options.keepDuplicates; }
    bool readsText() const override { return m_options.visibleText; }
    QStringList takes() const override
    {
        return m_options.takes.isEmpty() ? QStringList{QStringLiteral("text")} : m_options.takes;
    }
    void note(const QString &site, const QString &text) const override;
    // The result columns: the takes, when several make records.
    QStringList columns() const
    {
        return m_options.takes.size() > 1 ? m_options.takes : QStringList();
    }
    bool includeAddress() const override { return m_options.includeUrl; }
    bool includeAddressIfNothingFound() const override { return m_options.evenIfNothing; }
    void setStatus(const QString &) override {}
    void setBusy(bool) override {}

    void fail(const QString &message); // ends with status 2
    void siteFailed(const QString &address, const QString &reason, FetchError kind);
    void showProgress();
    void say(const QString &line); // on standard error, below the progress line
    void halt(int status, const QString &message);
    void outputFailed(int error);
    void end();
    void listNotDone();
    void finish();
    void closeOutput();
    QList<std::pair<QString, SaveFormat>> saves() const;
    void save(int which);
    void concludeNow();
    void conclude(); // with the messages, then finished()

    const CliOptions m_options;
    std::unique_ptr<CurlPageFetcher> m_fetcher;
    AddressStream *m_sites = nullptr;
    StreamedResults *m_results = nullptr;
    ExtractionRun *m_run = nullptr;
    std::unique_ptr<QFileDevice> m_failedFile;
    qsizetype m_failed = 0;
    int m_stopStatus = 0;
    QString m_stopMessage;
    bool m_running = false;
    qsizetype m_rowsBefore = 0;     // rows of the sites done
    qsizetype m_shownOfCurrent = 0; // rows of the site under way when the run stopped
    bool m_hurried = false;         // a second signal came
    bool m_concluded = false;       // nothing more is done but ending
    bool m_outputClosed = false;
    bool m_ended = false; // finished() was told
    qsizetype m_notDone = 0;
    qsizetype m_nextNotDone = 0;
    bool m_progress = false; // shown on a terminal
    QString m_fatal;
    QStringList m_problems; // said at the end
};
