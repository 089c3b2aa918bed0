#pragma once

#include "cli/CommandLine.h"
#include "extraction/RunHost.h"

#include <QFile>
#include <QObject>

#include <memory>

class AddressStream;
class CurlPageFetcher;
class ExtractionRun;
class StreamedResults;
struct FetchResult;

// One command-line run: the window's run over the sites of the command line,
// its rows on standard output, each site that failed on standard error (and in
// the --failed file) as "address<TAB>reason", progress on standard error when
// that is a terminal. finished() gives the exit status.
class CliRun : public QObject, private RunHost
{
    Q_OBJECT
public:
    explicit CliRun(const CliOptions &options, QObject *parent = nullptr);
    ~CliRun() override;

    void start();

signals:
    void finished(int status);

private:
    QString ruleText(Rule) const override { return m_options.text; }
    QString startText() const override { return m_options.start; }
    QString endText() const override { return m_options.end; }
    bool keepDuplicates() const override { return m_options.keepDuplicates; }
    bool includeAddress() const override { return m_options.includeUrl; }
    bool includeAddressIfNothingFound() const override { return m_options.evenIfNothing; }
    void setStatus(const QString &) override {}
    void setBusy(bool) override {}

    void fail(const QString &message); // ends with status 2
    void siteFailed(const QString &address, const QString &reason);
    void showProgress();
    void say(const QString &line); // on standard error, below the progress line
    void end();

    const CliOptions m_options;
    std::unique_ptr<CurlPageFetcher> m_fetcher;
    AddressStream *m_sites = nullptr;
    StreamedResults *m_results = nullptr;
    ExtractionRun *m_run = nullptr;
    QFile m_failedFile;
    qsizetype m_failed = 0;
    bool m_progress = false; // shown on a terminal
    QString m_fatal;
};
