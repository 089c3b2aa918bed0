#include "cli/CliRun.h"

#include "cli/AddressStream.h"
#include "cli/StreamedResults.h"
#include "extraction/ExtractionRun.h"
#include "extraction/RuleTable.h"
#include "model/WorkSlice.h"
#include "platform/CurlPageFetcher.h"
#include "platform/FileExists.h"
#include "results/SaveJob.h"
#include "sitelist/FileToList.h"

#include <QFileInfo>
#include <QLocale>
#include <QSaveFile>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <unistd.h>

namespace {

// A harvested link may hold anything: a line end would split its record, an
// escape would reach the terminal.
QString printable(const QString &address)
{
    const auto control = [](QChar c) {
        const char16_t u = c.unicode();
        return u < 0x20 || (u >= 0x7f && u < 0xa0);
    };
    if (std::none_of(address.begin(), address.end(), control))
        return address;
    QString out;
    for (const QChar c : address) {
        if (!control(c)) {
            out += c;
            continue;
        }
        for (const char byte : QString(c).toUtf8())
            out += QStringLiteral("%%1").arg(uchar(byte), 2, 16, QLatin1Char('0')).toUpper();
    }
    return out;
}

} // namespace

CliRun::CliRun(const CliOptions &options, QObject *parent) : QObject(parent), m_options(options) {}

CliRun::~CliRun() = default;

void CliRun::start()
{
    if (m_stopStatus != 0)
        return emit finished(m_stopStatus);
    const RuleDescription rule = describeRule(*m_options.rule, *this);
    const QString refusal = ruleProblem(rule, m_options.sources.size());
    if (!refusal.isEmpty())
        return fail(refusal);
    for (const CliOptions::Source &source : m_options.sources) {
        if (source.kind != CliOptions::SourceKind::Sites)
            continue;
        // An empty pipe is a list of no sites; a closed input is a mistake.
        if (source.value == QLatin1String("-") && m_options.inputClosed)
            return fail(QStringLiteral("No addresses read: standard input is closed."));
        if (source.value != QLatin1String("-") && !FileExists(source.value))
            return fail(QStringLiteral("File not found"));
    }
    if (!m_options.failedFile.isEmpty()) {
        // A device or a pipe cannot be replaced; it is written directly.
        const QFileInfo target(m_options.failedFile);
        if (!target.exists() || target.isFile())
            m_failedFile = std::make_unique<QSaveFile>(m_options.failedFile);
        else
            m_failedFile = std::make_unique<QFile>(m_options.failedFile);
        if (!m_failedFile->open(QIODevice::WriteOnly | QIODevice::Text))
            return fail(QStringLiteral("Cannot write %1: %2")
                            .arg(m_options.failedFile, m_failedFile->errorString()));
    }
    FetchSettings settings;
    settings.perHostDelay = std::chrono::milliseconds(m_options.delayMs);
    settings.retries = m_options.retries;
    if (m_options.timeoutSeconds > 0)
        settings.totalTimeout = std::chrono::seconds(m_options.timeoutSeconds);
    settings.maxConnectionsPerHost = m_options.perHost;
    settings.maxConnections = m_options.connections;
    m_fetcher = std::make_unique<CurlPageFetcher>(settings);
    CrawlSettings crawl = m_options.crawl;
    crawl.delay = settings.perHostDelay;
    m_sites = new AddressStream(m_options.sources, *m_fetcher, crawl, this);
    connect(m_sites, &AddressStream::note, this, [this](const QString &text) { say(text); });
    connect(m_sites, &AddressStream::unreadable, this,
            [this](const QString &message) { m_fatal = message; });
    connect(m_sites, &AddressStream::harvestFailed, this, &CliRun::siteFailed);
    connect(m_sites, &AddressStream::linksDropped, this,
            [this](const QString &page, qsizetype count) {
                say(QStringLiteral("Links longer than %L1 characters, left out of %2: %L3.")
                        .arg(AddressFileSplitter::maxPieceLength)
                        .arg(printable(page))
                        .arg(count));
            });
    m_results =
        new StreamedResults(stdout,
                            {dropsDuplicates(rule), m_options.evenIfNothing,
                             !m_options.saveList.isEmpty() || !m_options.saveCommas.isEmpty() ||
                                 !m_options.saveCsv.isEmpty()},
                            m_options.format, this);
    m_results->setColumns(columns());
    // Not from inside the write: the run is in the middle of a slice there.
    connect(m_results, &StreamedResults::outputFailed, this, &CliRun::outputFailed,
            Qt::QueuedConnection);
    m_run = new ExtractionRun(*m_options.rule, *m_sites, *m_results, *m_fetcher, *this, this);
    connect(m_run, &ExtractionRun::pageFetched, m_results, &StreamedResults::setPage);
    connect(m_run, &ExtractionRun::siteDone, this,
            [this](const QString &address, const FetchResult &fetch) {
                if (!fetch.ok)
                    siteFailed(address, failureReason(fetch), fetch.kind);
                m_rowsBefore = m_results->count();
                if (m_stopStatus != 0)
                    m_run->stop();
                showProgress();
            });
    connect(m_run, &QueuedJob::finished, this, &CliRun::end);
    m_progress = !m_options.quiet && isatty(STDERR_FILENO);
    m_running = true;
    m_run->start();
}

void CliRun::stop(int status, const QString &message)
{
    // A second signal: what is found so far is written out at once.
    if (m_stopStatus != 0 && !std::exchange(m_hurried, true))
        return concludeNow();
    // Once every site is done, the run ends as it was going to.
    if (!m_run || m_running)
        halt(status, message);
}

// No row is written after a stop but the one being written: the site under
// way is then listed as not done, with the rows it showed said.
void CliRun::halt(int status, const QString &message)
{
    if (m_stopStatus != 0)
        return;
    m_stopStatus = status;
    m_stopMessage = message;
    if (m_running) {
        m_shownOfCurrent = m_results->count() - m_rowsBefore;
        m_results->stopRows();
        m_run->stop();
    }
}

void CliRun::outputFailed(int error)
{
    // A closed pipe is how a reader says it has enough, as for `head`.
    if (error == EPIPE)
        return halt(141, {});
    halt(2, QStringLiteral("Standard output could not be written: %1.")
                .arg(QString::fromLocal8Bit(std::strerror(error))));
}

void CliRun::fail(const QString &message)
{
    std::fprintf(stderr, "%s\n", qPrintable(message));
    emit finished(2);
}

void CliRun::siteFailed(const QString &address, const QString &reason, FetchError kind)
{
    ++m_failed;
    m_results->siteFailed(address, reason, kind);
    const QString line = printable(address) + u'\t' + reason;
    say(line);
    if (m_failedFile) {
        m_failedFile->write(line.toUtf8() + '\n');
        m_failedFile->flush();
    }
}

void CliRun::note(const QString &site, const QString &text) const
{
    const_cast<CliRun *>(this)->say(printable(site) + QStringLiteral("\tnote: ") + text);
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
                 qPrintable(english.toString(m_failed)),
                 qPrintable(english.toString(m_results->count())));
    std::fflush(stderr);
}

void CliRun::end()
{
    if (m_concluded)
        return;
    m_running = false;
    m_nextNotDone = m_run->sitesDone();
    if (m_stopStatus == 0)
        return finish();
    // No page more: what is left is only listed.
    disconnect(m_sites, nullptr, m_run, nullptr);
    m_sites->stop();
    if (!m_failedFile)
        return finish();
    listNotDone();
}

// The sites from the one the run stopped on, in slices: the rest of a long
// list may take a while to read.
void CliRun::listNotDone()
{
    if (m_concluded)
        return;
    const WorkSlice slice;
    QString address;
    QByteArray lines;
    SiteSource::Status status = SiteSource::Status::Ready;
    while (!slice.expired() &&
           (status = m_sites->site(m_nextNotDone, address)) == SiteSource::Status::Ready) {
        // A rerun of the site it stopped in repeats the rows it showed; one
        // known to fail unfetched is listed with its reason.
        QString reason = QStringLiteral("not done");
        if (std::exchange(m_shownOfCurrent, 0) > 0)
            reason = QStringLiteral("stopped after %L1 rows shown")
                         .arg(m_results->count() - m_rowsBefore);
        else if (const std::optional<FetchResult> failure = m_sites->failureOf(m_nextNotDone))
            reason = failureReason(*failure);
        lines += (printable(address) + u'\t' + reason + u'\n').toUtf8();
        m_sites->release(++m_nextNotDone);
        ++m_notDone;
    }
    m_failedFile->write(lines);
    if (status == SiteSource::Status::Ready)
        return continueLater(this, [this] { listNotDone(); });
    finish();
}

// A second signal: nothing more is waited for. The rows found so far go to
// the saves at once, and the --failed file keeps what it holds so far.
void CliRun::concludeNow()
{
    if (m_concluded)
        return;
    m_concluded = true;
    if (m_running) {
        m_results->stopRows();
        m_run->stop();
    }
    closeOutput();
    for (const auto &[path, format] : saves()) {
        SaveJob job(m_results->rows(), format, path);
        job.setColumns(columns());
        while (!job.advance(WorkSlice(std::numeric_limits<qint64>::max()))) {
        }
        if (job.failed())
            m_problems << job.error();
    }
    conclude();
}

QList<std::pair<QString, SaveFormat>> CliRun::saves() const
{
    QList<std::pair<QString, SaveFormat>> all;
    for (const auto &save : {std::pair{m_options.saveList, SaveFormat::List},
                             std::pair{m_options.saveCommas, SaveFormat::Commas},
                             std::pair{m_options.saveCsv, SaveFormat::Csv}}) {
        if (!save.first.isEmpty())
            all << save;
    }
    return all;
}

void CliRun::closeOutput()
{
    if (std::exchange(m_outputClosed, true))
        return;
    if (m_progress)
        std::fprintf(stderr, "\r\033[K");
    m_results->close();
    if (std::fflush(stdout) != 0 && !m_results->writeFailed())
        outputFailed(errno);
    if (!m_fatal.isEmpty())
        m_problems << m_fatal;
}

void CliRun::finish()
{
    closeOutput();
    save(0);
}

// The save files one after the other, each written in slices.
void CliRun::save(int which)
{
    const QList<std::pair<QString, SaveFormat>> all = saves();
    if (which == all.size())
        return conclude();
    auto *job = new SaveJob(m_results->rows(), all[which].second, all[which].first, this);
    job->setColumns(columns());
    connect(job, &SaveJob::finished, this, [this, job, which](const UserMessage &message) {
        job->deleteLater();
        if (m_concluded)
            return;
        if (!message.text.isEmpty())
            m_problems << message.text;
        save(which + 1);
    });
    job->start();
}

void CliRun::conclude()
{
    if (std::exchange(m_ended, true))
        return;
    QStringList &problems = m_problems;
    if (m_failedFile) {
        auto *replacing = qobject_cast<QSaveFile *>(m_failedFile.get());
        // A list cut short by an unreadable input would lose the sites after
        // that point: the old file stays.
        if (replacing && !m_fatal.isEmpty())
            replacing->cancelWriting();
        const bool written = replacing ? replacing->commit() : m_failedFile->flush();
        if (!written && m_fatal.isEmpty())
            problems << QStringLiteral("Cannot write %1: %2")
                            .arg(m_options.failedFile, m_failedFile->errorString());
    }
    const bool stopped = m_stopStatus != 0;
    if (!m_stopMessage.isEmpty()) {
        QString message = m_stopMessage;
        if (m_failedFile && m_fatal.isEmpty())
            message += QStringLiteral(" Sites not done, listed in %1: %L2.")
                           .arg(m_options.failedFile)
                           .arg(m_notDone);
        else
            message += QStringLiteral(" Sites done: %L1.").arg(m_nextNotDone);
        problems << message;
    }
    for (const QString &problem : problems)
        std::fprintf(stderr, "%s\n", qPrintable(problem));
    if (stopped)
        emit finished(m_stopStatus);
    else
        emit finished(!problems.isEmpty() ? 2 : m_failed > 0 ? 1 : 0);
}
