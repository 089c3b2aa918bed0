#include "cli/CliRun.h"

#include "cli/AddressStream.h"
#include "cli/StreamedResults.h"
#include "extraction/ExtractionRun.h"
#include "extraction/PageRule.h"
#include "platform/CurlPageFetcher.h"
#include "platform/WorkSlice.h"
#include "results/SaveJob.h"
#include "window/Globals.h"

#include <QLocale>

#include <cstdio>
#include <unistd.h>

CliRun::CliRun(const CliOptions &options, QObject *parent) : QObject(parent), m_options(options)
{
}

CliRun::~CliRun() = default;

void CliRun::start()
{
    const RuleDescription rule = RuleDescription::read(*m_options.rule, *this);
    const QString refusal = rule.problem(m_options.sources.size());
    if (!refusal.isEmpty())
        return fail(refusal);
    for (const CliOptions::Source &source : m_options.sources) {
        if (source.kind == CliOptions::SourceKind::Sites && source.value != QLatin1String("-") &&
            !FileExists(source.value))
            return fail(QStringLiteral("File not found"));
    }
    if (!m_options.failedFile.isEmpty()) {
        m_failedFile.setFileName(m_options.failedFile);
        if (!m_failedFile.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
            return fail(QStringLiteral("Cannot write %1: %2").arg(m_options.failedFile, m_failedFile.errorString()));
    }
    FetchSettings settings;
    settings.perHostDelay = std::chrono::milliseconds(m_options.delayMs);
    settings.retries = m_options.retries;
    if (m_options.timeoutSeconds > 0)
        settings.totalTimeout = std::chrono::seconds(m_options.timeoutSeconds);
    m_fetcher = std::make_unique<CurlPageFetcher>(settings);
    m_sites = new AddressStream(m_options.sources, *m_fetcher, this);
    connect(m_sites, &AddressStream::unreadable, this, [this](const QString &message) {
        m_fatal = message;
    });
    connect(m_sites, &AddressStream::harvestFailed, this, &CliRun::siteFailed);
    m_results = new StreamedResults(stdout,
                                    {rule.dropsDuplicates(), m_options.evenIfNothing,
                                     !m_options.saveList.isEmpty() || !m_options.saveCommas.isEmpty()},
                                    this);
    m_run = new ExtractionRun(*m_options.rule, *m_sites, *m_results, *m_fetcher, *this, this);
    connect(m_run, &ExtractionRun::siteDone, this, [this](const QString &address, const FetchResult &fetch) {
        if (!fetch.ok)
            siteFailed(address, failureReason(fetch));
        showProgress();
    });
    connect(m_run, &QueuedJob::finished, this, &CliRun::end);
    m_progress = !m_options.quiet && isatty(STDERR_FILENO);
    m_run->start();
}

void CliRun::fail(const QString &message)
{
    std::fprintf(stderr, "%s\n", qPrintable(message));
    emit finished(2);
}

void CliRun::siteFailed(const QString &address, const QString &reason)
{
    ++m_failed;
    const QString line = address + u'\t' + reason;
    say(line);
    if (m_failedFile.isOpen()) {
        m_failedFile.write(line.toUtf8() + '\n');
        m_failedFile.flush();
    }
}

void CliRun::say(const QString &line)
{
    std::fprintf(stderr, m_progress ? "\r\033[K%s\n" : "%s\n", qPrintable(line));
    showProgress();
}

void CliRun::showProgress()
{
    if (!m_progress || !m_run)
        return;
    const QLocale english(QLocale::English);
    const qsizetype total = m_sites->total();
    QString sites = english.toString(m_run->sitesDone());
    if (total >= 0)
        sites += u'/' + english.toString(total);
    std::fprintf(stderr, "\r\033[K%s sites, %s failed, %s rows", qPrintable(sites),
                 qPrintable(english.toString(m_failed)), qPrintable(english.toString(m_results->count())));
    std::fflush(stderr);
}

void CliRun::end()
{
    if (m_progress)
        std::fprintf(stderr, "\r\033[K");
    std::fflush(stdout);
    if (!m_fatal.isEmpty())
        return fail(m_fatal);
    const QList<std::pair<QString, SaveFormat>> saves{{m_options.saveList, SaveFormat::List},
                                                      {m_options.saveCommas, SaveFormat::Commas}};
    for (const auto &[path, format] : saves) {
        if (path.isEmpty())
            continue;
        SaveJob job(m_results->rows(), format, path);
        while (!job.advance(WorkSlice())) {
        }
        if (job.failed())
            return fail(QStringLiteral("The results could not be saved to %1.\n%2").arg(path, job.error()));
    }
    if (m_results->writeFailed())
        return fail(QStringLiteral("The rows could not all be written to standard output."));
    emit finished(m_failed > 0 ? 1 : 0);
}
