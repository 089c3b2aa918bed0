#include "extraction/ExtractionRun.h"

#include "extraction/PageRule.h"
#include "extraction/SiteSource.h"
#include "model/WorkSlice.h"
#include "results/ResultSink.h"

#include <algorithm>
#include <utility>

namespace {
// How far past the current site pages are fetched ahead, in sites.
constexpr qsizetype lookahead = 256;
} // namespace

ExtractionRun::ExtractionRun(Rule rule, SiteSource &sites, ResultSink &results,
                             PageFetcher &fetcher, RunHost &host, QObject *parent)
    : QueuedJob(parent), m_rule(rule), m_sites(sites), m_results(results), m_fetcher(fetcher),
      m_host(host)
{
    connect(&m_sites, &SiteSource::moreSites, this, [this] {
        if (std::exchange(m_waitingForSites, false))
            beginSite();
        else
            fetchAhead();
    });
}

// Dropping the replies ends their transfers.
ExtractionRun::~ExtractionRun() = default;

void ExtractionRun::start()
{
    connect(&m_fetcher, &PageFetcher::roomAvailable, this, &ExtractionRun::fetchAhead);
    m_siteIndex = 0;
    beginSite();
}

void ExtractionRun::stop()
{
    // Called between two slices of work: the piece or pass under way is done.
    finish(QStringLiteral("Stopped."));
}

void ExtractionRun::beginSite()
{
    m_sites.release(m_siteIndex);
    switch (m_sites.site(m_siteIndex, m_address)) {
    case SiteSource::Status::Pending:
        m_waitingForSites = true;
        return;
    case SiteSource::Status::End:
        finish(QStringLiteral("Done."));
        return;
    case SiteSource::Status::Ready:
        break;
    }
    m_host.setBusy(true);
    m_host.setStatus(QStringLiteral("Extracting from ") + m_address);

    // The page asked ahead for this site, if the site still has its address;
    // else one asked for this address for another site, as rows move.
    auto ahead = m_ahead.find(m_siteIndex);
    if (ahead == m_ahead.end() || ahead->second.address != m_address)
        ahead = std::find_if(m_ahead.begin(), m_ahead.end(), [this](const auto &entry) {
            return entry.second.address == m_address;
        });
    if (ahead == m_ahead.end() && givenUp(m_address)) {
        continueLater(this, [this, failure = *givenUp(m_address)] { startPage(failure); });
    } else if (ahead == m_ahead.end()) {
        m_awaited = fetch(m_address);
    } else if (ahead->second.reply) {
        m_awaited = std::move(ahead->second.reply);
        m_ahead.erase(ahead);
    } else {
        // Taken up from the event loop, as a page arriving would be.
        m_waitingBytes -= ahead->second.bytes;
        const FetchResult result = std::move(ahead->second.result);
        m_ahead.erase(ahead);
        continueLater(this, [this, result] { startPage(result); });
    }
    settlePrefetchesBehind();
    fetchAhead();
}

std::unique_ptr<FetchReply> ExtractionRun::fetch(const QString &address)
{
    // Every rule reads UTF-8, decoded on the fetcher's thread.
    std::unique_ptr<FetchReply> reply = m_fetcher.fetchUtf8(address);
    connect(reply.get(), &FetchReply::finished, this,
            [this, r = reply.get()](const FetchResult &result) { onFetched(r, result); });
    return reply;
}

void ExtractionRun::onFetched(FetchReply *reply, const FetchResult &result)
{
    if (reply == m_awaited.get()) {
        m_awaited.release()->deleteLater(); // it is still emitting
        noteReachable(m_address, result);
        fetchAhead();
        startPage(result);
        return;
    }
    for (auto &[index, prefetch] : m_ahead) {
        if (prefetch.reply.get() != reply)
            continue;
        prefetch.reply.release()->deleteLater();
        prefetch.bytes = result.utf8.size() + result.text.size() * qint64(sizeof(QChar));
        prefetch.result = result;
        m_waitingBytes += prefetch.bytes;
        noteReachable(prefetch.address, result);
        fetchAhead();
        return;
    }
}

// Counts the connections to a host that failed in a row; at the third, the
// pages of the host still under way are given up with the same failure.
void ExtractionRun::noteReachable(const QString &address, const FetchResult &result)
{
    const QByteArray host = m_fetcher.hostOf(address);
    const bool unreachable = result.kind == FetchError::NameNotResolved ||
                             result.kind == FetchError::ConnectionRefused ||
                             result.kind == FetchError::NoAnswer;
    if (host.isEmpty() || givenUp(address))
        return;
    if (!unreachable) {
        m_unreachable.remove(host);
        return;
    }
    auto &[inARow, failure] = m_unreachable[host];
    failure = result;
    if (++inARow < 3)
        return;
    for (auto &[index, prefetch] : m_ahead) {
        if (prefetch.reply && m_fetcher.hostOf(prefetch.address) == host) {
            prefetch.reply.reset();
            prefetch.result = failure;
        }
    }
    if (m_awaited && m_fetcher.hostOf(m_address) == host) {
        m_awaited.reset();
        continueLater(this, [this, result] { startPage(result); });
    }
}

const FetchResult *ExtractionRun::givenUp(const QString &address) const
{
    const auto trouble = m_unreachable.constFind(m_fetcher.hostOf(address));
    return trouble != m_unreachable.constEnd() && trouble->first >= 3 ? &trouble->second : nullptr;
}

// Pages asked for sites up to the current one that it did not take: each
// goes to a later site that now has its address, or is dropped.
void ExtractionRun::settlePrefetchesBehind()
{
    while (!m_ahead.empty() && m_ahead.begin()->first <= m_siteIndex) {
        const auto entry = m_ahead.begin();
        qsizetype found = -1;
        QString address;
        for (qsizetype index = m_siteIndex + 1; index <= m_siteIndex + lookahead; ++index) {
            if (m_sites.site(index, address) != SiteSource::Status::Ready)
                break;
            if (!m_ahead.count(index) && address == entry->second.address) {
                found = index;
                break;
            }
        }
        if (found < 0) {
            dropPrefetch(entry);
            continue;
        }
        Prefetch moved = std::move(entry->second);
        m_ahead.erase(entry);
        m_ahead.emplace(found, std::move(moved));
    }
}

// Asks for the pages of the sites after the current one, in order, as far as
// the fetcher has room for them at once. A host without room is passed over,
// so that sites of other hosts further down can go ahead meanwhile.
void ExtractionRun::fetchAhead()
{
    QString address;
    for (qsizetype index = m_siteIndex + 1;
         !m_done && index <= m_siteIndex + lookahead && m_waitingBytes < maxWaitingBytes; ++index) {
        if (m_sites.site(index, address) != SiteSource::Status::Ready)
            return;
        if (m_ahead.count(index))
            continue;
        if (const FetchResult *failure = givenUp(address))
            m_ahead[index] = Prefetch{address, nullptr, *failure, 0};
        else if (m_fetcher.hasRoomFor(address))
            m_ahead[index] = Prefetch{address, fetch(address), {}, 0};
    }
}

void ExtractionRun::dropPrefetch(std::map<qsizetype, Prefetch>::iterator entry)
{
    if (!entry->second.reply)
        m_waitingBytes -= entry->second.bytes;
    m_ahead.erase(entry); // a reply still under way goes with it
}

namespace {
// The pieces a whole page is handed to the rule in.
constexpr qsizetype pieceSize = 64 * 1024;
} // namespace

void ExtractionRun::startPage(const FetchResult &result)
{
    if (m_done)
        return;
    m_fetch = result;
    m_fetch.text.clear();
    m_fetch.utf8.clear();
    m_pageRule = ruleEntry(m_rule).make(m_rule, m_address, m_host, m_results);
    m_pageEnded = false;
    // A failed fetch is an empty page.
    m_page = result.ok ? result.utf8 : QByteArray();
    m_given = 0;
    processSlice();
}

// The next piece of the current page.
void ExtractionRun::takePiece(QByteArrayView piece)
{
    m_pageRule->take(piece);
}

// The current page ended, whole or failed.
void ExtractionRun::pageEnded()
{
    m_pageEnded = true;
    m_pageRule->endOfPage();
}

void ExtractionRun::processSlice()
{
    if (m_done)
        return;
    const WorkSlice slice;
    while (m_pageRule->advance(slice)) {
        if (m_pageEnded) {
            endSite();
            return;
        }
        if (m_given < m_page.size()) {
            const QByteArrayView piece = QByteArrayView(m_page).sliced(m_given);
            m_given += std::min(pieceSize, piece.size());
            takePiece(piece.first(std::min(pieceSize, piece.size())));
        } else {
            m_page.clear();
            pageEnded();
        }
        if (slice.expired())
            break;
    }
    continueLater(this, [this] { processSlice(); });
}

void ExtractionRun::endSite()
{
    m_pageRule.reset();
    m_page.clear();
    if (ruleEntry(m_rule).doneAfterEverySite) {
        m_host.setBusy(false);
        m_host.setStatus(QStringLiteral("Done."));
    }
    ++m_siteIndex;
    if (!m_fetch.ok)
        ++m_failed;
    emit siteDone(m_address, m_fetch);
    if (!m_done) // a listener may have stopped the run
        beginSite();
}

void ExtractionRun::finish(const QString &status)
{
    if (m_done)
        return;
    m_done = true;
    m_awaited.reset();
    m_ahead.clear();
    m_waitingBytes = 0;
    m_pageRule.reset();
    m_page.clear();
    // Some rules show "Done." after every site already.
    if (!ruleEntry(m_rule).doneAfterEverySite || status != QLatin1String("Done.")) {
        m_host.setBusy(false);
        m_host.setStatus(status);
    }
    emit finished({});
}
