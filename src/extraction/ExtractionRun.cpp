#include "extraction/ExtractionRun.h"

#include "extraction/PageRule.h"
#include "extraction/RuleTable.h"
#include "extraction/SiteSource.h"
#include "model/WorkSlice.h"
#include "results/ResultSink.h"

#include <algorithm>
#include <limits>
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
    m_showRows.setSingleShot(true);
    connect(&m_showRows, &QTimer::timeout, this, [this] {
        if (!m_done)
            showRowsWhenSlow();
    });
    connect(&m_sites, &SiteSource::moreSites, this, [this] {
        if (m_done)
            return;
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
    if (m_siteIndex >= m_fetchAheadBelow)
        m_fetchAheadBelow = std::numeric_limits<qsizetype>::max();
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
    m_siteRows.begin(m_address, ruleEntry(m_rule), m_host);
    makeRule();
    m_response = {};
    m_reader = m_sites.readerOf(m_siteIndex);
    m_pageClock.start();
    m_showRows.stop();
    m_ended = m_ruleAtEnd = m_pageDone = false;
    m_idle = true;

    // The page asked ahead for this site, if the site still has its address;
    // else one asked for this address for another site, as rows move.
    auto ahead = m_ahead.find(m_siteIndex);
    if (ahead == m_ahead.end() || ahead->second.address != m_address)
        ahead = std::find_if(m_ahead.begin(), m_ahead.end(), [this](const auto &entry) {
            return entry.second.address == m_address;
        });
    // A page left unread for the budget may have run out of time meanwhile:
    // at its turn it gets a time of its own.
    if (ahead != m_ahead.end() && ahead->second.heldBack && ahead->second.ended &&
        (ahead->second.result.kind == FetchError::TimedOut ||
         ahead->second.result.kind == FetchError::TooSlow)) {
        dropPrefetch(ahead);
        ahead = m_ahead.end();
    }
    std::optional<FetchResult> unfetched = m_sites.failureOf(m_siteIndex);
    if (!unfetched && givenUp(m_address))
        unfetched = *givenUp(m_address);
    if (ahead == m_ahead.end() && unfetched) {
        continueLater(this, [this, failure = *unfetched] { pageEnded(failure); });
    } else if (ahead == m_ahead.end()) {
        makeRoomFor(m_address);
        m_awaited = fetch(m_address);
    } else {
        Prefetch prefetch = std::move(ahead->second);
        m_ahead.erase(ahead);
        m_response = prefetch.response;
        if (m_reader && m_response.httpStatus != 0)
            m_reader->answered(m_response);
        m_page = std::move(prefetch.text); // counted as held already
        m_given = 0;
        if (prefetch.reply)
            takePiece(prefetch.reply->read());
        if (!prefetch.ended) {
            m_awaited = std::move(prefetch.reply);
            scheduleSlice();
        } else {
            if (prefetch.reply)
                prefetch.reply.release()->deleteLater(); // read whole; it may be emitting
            // Taken up from the event loop, as a page arriving would be.
            continueLater(this, [this, result = prefetch.result] { pageEnded(result); });
        }
    }
    settlePrefetchesBehind();
    fetchAhead();
}

std::unique_ptr<FetchReply> ExtractionRun::fetch(const QString &address)
{
    std::unique_ptr<FetchReply> reply = m_fetcher.fetch(address);
    connect(reply.get(), &FetchReply::responseStarted, this,
            [this, r = reply.get()] { onAnswered(r); });
    connect(reply.get(), &FetchReply::restarted, this, [this, r = reply.get()] { onRestarted(r); });
    connect(reply.get(), &FetchReply::readyRead, this, [this, r = reply.get()] { onReadable(r); });
    connect(reply.get(), &FetchReply::finished, this,
            [this, r = reply.get()](const FetchResult &result) { onFetched(r, result); });
    return reply;
}

void ExtractionRun::onAnswered(FetchReply *reply)
{
    if (reply == m_awaited.get()) {
        m_response = reply->response();
        if (m_reader)
            m_reader->answered(m_response);
        return;
    }
    for (auto &[index, prefetch] : m_ahead) {
        if (prefetch.reply.get() == reply)
            prefetch.response = reply->response();
    }
}

// A page that broke off before any of its rows showed is read afresh: what
// was held of it goes, as if it had never come.
void ExtractionRun::onRestarted(FetchReply *reply)
{
    if (reply == m_awaited.get()) {
        if (m_reader)
            m_reader->restart();
        dropPage();
        m_siteRows.drop();
        makeRule();
        m_ruleAtEnd = m_pageDone = false;
        return;
    }
    for (auto &[index, prefetch] : m_ahead) {
        if (prefetch.reply.get() == reply)
            m_heldBytes -= std::exchange(prefetch.text, {}).bytes;
    }
}

void ExtractionRun::onReadable(FetchReply *reply)
{
    if (reply == m_awaited.get()) {
        // Read when the rule wants more: what is left unread pauses the transfer.
        if (m_idle)
            processSlice();
        return;
    }
    for (auto &[index, prefetch] : m_ahead) {
        if (prefetch.reply.get() == reply) {
            readAhead(prefetch);
            return;
        }
    }
}

void ExtractionRun::onFetched(FetchReply *reply, const FetchResult &result)
{
    if (reply == m_awaited.get()) {
        takePiece(reply->read());
        m_awaited.release()->deleteLater(); // it is still emitting
        noteReachable(m_address, result);
        fetchAhead();
        pageEnded(result);
        return;
    }
    for (auto &[index, prefetch] : m_ahead) {
        if (prefetch.reply.get() != reply)
            continue;
        prefetch.ended = true;
        prefetch.result = result;
        if (result.ok) {
            readAhead(prefetch);
        } else {
            // A failed page gives no rows: nothing of it is kept.
            m_heldBytes -= std::exchange(prefetch.text, {}).bytes;
            prefetch.reply.release()->deleteLater();
        }
        noteReachable(prefetch.address, result);
        fetchAhead();
        return;
    }
}

// Reads what arrived of a page fetched ahead, while the budget lasts; once
// it ended and was read whole, its reply goes. Text that stalls no transfer
// stays with its reply, counted as a reply's unread text: copied out, it
// would only take fresh memory, as the fetcher outruns the rule.
void ExtractionRun::readAhead(Prefetch &prefetch)
{
    if (!prefetch.reply->waitsForReader())
        return;
    if (budgetLeft() <= 0) {
        prefetch.heldBack = true;
        return;
    }
    m_heldBytes += prefetch.text.add(prefetch.reply->read());
    if (prefetch.ended)
        prefetch.reply.release()->deleteLater(); // it may be emitting
}

qint64 ExtractionRun::budgetLeft() const
{
    const auto replies = std::count_if(m_ahead.begin(), m_ahead.end(),
                                       [](const auto &entry) { return bool(entry.second.reply); });
    const qint64 rule = (m_pageRule ? m_pageRule->heldBytes() : 0) +
                        (m_visible ? m_visible->heldBytes() + m_textPiece.capacity() : 0);
    return pageBudget - m_heldBytes - rule - qint64(replies) * FetchReply::unreadLimit;
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
        if (!prefetch.ended && m_fetcher.hostOf(prefetch.address) == host) {
            prefetch.reply.reset();
            m_heldBytes -= std::exchange(prefetch.text, {}).bytes;
            prefetch.ended = true;
            prefetch.result = failure;
        }
    }
    if (m_awaited && m_fetcher.hostOf(m_address) == host) {
        m_awaited.reset();
        continueLater(this, [this, result] { pageEnded(result); });
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

// Reads on what arrived while the budget was spent, in site order; then asks
// for the pages of the sites after the current one, in order, as far as the
// fetcher has room for them at once. A host without room is passed over, so
// that sites of other hosts further down can go ahead meanwhile.
void ExtractionRun::fetchAhead()
{
    for (auto &[index, prefetch] : m_ahead) {
        if (!prefetch.reply || !prefetch.heldBack)
            continue;
        if (budgetLeft() <= 0)
            return;
        prefetch.heldBack = false;
        readAhead(prefetch);
    }
    // Counted once: each page asked for takes its share of what is left.
    qint64 left = budgetLeft();
    QString address;
    // Called at every site and every freed connection: the sites asked for
    // already are stepped over without asking for their addresses again.
    auto asked = m_ahead.upper_bound(m_siteIndex);
    for (qsizetype index = m_siteIndex + 1;
         !m_done && index <= m_siteIndex + lookahead && index < m_fetchAheadBelow &&
         left > FetchReply::unreadLimit;
         ++index) {
        if (asked != m_ahead.end() && asked->first == index) {
            ++asked;
            continue;
        }
        if (m_sites.site(index, address) != SiteSource::Status::Ready)
            return;
        asked = m_ahead.upper_bound(index); // a source asked may have moved the run on
        if (std::optional<FetchResult> unfetched = m_sites.failureOf(index)) {
            m_ahead[index] = Prefetch{address, nullptr, {}, {}, *unfetched, true, false};
        } else if (const FetchResult *failure = givenUp(address)) {
            m_ahead[index] = Prefetch{address, nullptr, {}, {}, *failure, true, false};
        } else if (m_fetcher.hasRoomFor(address)) {
            m_ahead[index] = Prefetch{address, fetch(address), {}, {}, {}, false, false};
            left -= FetchReply::unreadLimit;
        }
    }
}

void ExtractionRun::dropPrefetch(std::map<qsizetype, Prefetch>::iterator entry)
{
    m_heldBytes -= entry->second.text.bytes;
    m_ahead.erase(entry); // a reply still under way goes with it
}

// A rule that keeps what it reads (the between rule, a line rule in a long
// line) grows as its page arrives, which the pages fetched ahead before did
// not leave room for: while it keeps much, the furthest of them go until the
// budget holds again. A rule holding less than a reply may hold unread leaves
// them be: a page ahead overruns the budget by a read as much. A failure
// stays, as it holds nothing.
void ExtractionRun::keepWithinBudget()
{
    while (m_pageRule && m_pageRule->heldBytes() > FetchReply::unreadLimit && budgetLeft() < 0) {
        const auto furthest = std::find_if(m_ahead.rbegin(), m_ahead.rend(), [](const auto &entry) {
            return entry.second.reply || entry.second.text.bytes > 0;
        });
        if (furthest == m_ahead.rend())
            return;
        // Asked for again only in its turn: fetched ahead, it would only be
        // let go again while rules keep that much.
        m_fetchAheadBelow = std::min(m_fetchAheadBelow, furthest->first);
        dropPrefetch(std::prev(furthest.base()));
    }
}

// The current site's page never waits behind pages of later sites for a
// connection: those of its host still arriving are dropped, to be asked again.
void ExtractionRun::makeRoomFor(const QString &address)
{
    if (m_fetcher.hasRoomFor(address))
        return;
    const QByteArray host = m_fetcher.hostOf(address);
    for (auto entry = m_ahead.begin(); entry != m_ahead.end();) {
        const auto next = std::next(entry);
        if (entry->second.reply && !entry->second.ended &&
            m_fetcher.hostOf(entry->second.address) == host)
            dropPrefetch(entry);
        entry = next;
    }
}

// Adds what arrived of the current page to what the rule has yet to take.
void ExtractionRun::takePiece(const QByteArray &piece)
{
    if (!m_done)
        m_heldBytes += m_page.add(piece);
}

// The text the rule has yet to take from the piece it is on, once it took
// all it was given; empty while none is there. A piece given whole goes.
QByteArrayView ExtractionRun::textToGive()
{
    while (!m_page.pieces.empty() && m_given == m_page.pieces.front().size()) {
        m_page.bytes -= m_given;
        m_heldBytes -= std::exchange(m_given, 0);
        m_page.pieces.pop_front();
    }
    if (m_page.pieces.empty() && m_awaited)
        takePiece(m_awaited->read());
    return m_page.pieces.empty() ? QByteArrayView()
                                 : QByteArrayView(m_page.pieces.front()).sliced(m_given);
}

void ExtractionRun::dropPage()
{
    m_heldBytes -= std::exchange(m_page, {}).bytes;
    m_given = 0;
}

// The current page has arrived whole, or failed: a failed page is an empty
// one, so what the rule made of it so far goes.
void ExtractionRun::pageEnded(const FetchResult &result)
{
    if (m_done)
        return;
    m_fetch = result;
    m_ended = true;
    emit pageFetched(m_address, m_fetch);
    if (result.ok) {
        m_siteRows.release();
    } else {
        if (m_reader)
            std::exchange(m_reader, nullptr)->end(result);
        dropPage();
        m_siteRows.drop();
        makeRule();
        m_ruleAtEnd = m_pageDone = false;
    }
    if (m_idle)
        scheduleSlice();
}

void ExtractionRun::makeRule()
{
    m_pageRule = ruleEntry(m_rule).make(m_rule, m_host, m_siteRows);
    m_visible.reset();
    m_textPiece.clear();
    m_textSettled = m_textEnded = false;
}

namespace {
// A page that says it is anything but HTML is its own visible text.
bool servedAsHtml(const QByteArray &contentType)
{
    const QByteArray type = contentType.left(contentType.indexOf(';')).trimmed().toLower();
    return type.isEmpty() || type == "text/html" || type == "application/xhtml+xml";
}
} // namespace

// The text the rule is given of a piece of the page: the piece itself, or
// its share of the page's visible text.
QByteArrayView ExtractionRun::pageText(QByteArrayView raw)
{
    if (!std::exchange(m_textSettled, true) && m_host.readsText() &&
        !ruleEntry(m_rule).readsDocument && servedAsHtml(m_response.contentType))
        m_visible.emplace();
    if (!m_visible)
        return raw;
    m_visible->feed(raw);
    m_textPiece = m_visible->take();
    return m_textPiece;
}

void ExtractionRun::scheduleSlice()
{
    if (!std::exchange(m_sliceQueued, true))
        continueLater(this, [this] { processSlice(); });
}

namespace {
// What the rule is given at a time: small enough that a slice overruns its
// budget by little.
constexpr qsizetype pieceSize = 64 * 1024;
} // namespace

// Gives the rule the page as it arrives, a piece at a time; with nothing
// more to give yet, waits for the page's next text or its end.
void ExtractionRun::processSlice()
{
    m_sliceQueued = false;
    if (m_done || !m_pageRule)
        return;
    m_idle = false;
    const WorkSlice slice;
    m_siteRows.newSlice();
    // Rows held while the page arrived go on first, in order.
    if ((m_ended || m_siteRows.released()) && !m_siteRows.flush(slice))
        return scheduleSlice();
    while (m_pageRule->advance(slice)) {
        if (std::optional<FetchResult> failure = m_siteRows.takeFailure())
            return ruleFailed(*failure);
        if (m_ruleAtEnd) {
            if (!std::exchange(m_pageDone, true))
                m_siteRows.pageDone();
            // The page may have ended while this slice ran, rows still held.
            if (!m_siteRows.flush(slice))
                return scheduleSlice();
            endSite();
            return;
        }
        if (const QByteArrayView rest = textToGive(); !rest.isEmpty()) {
            const qsizetype size = std::min(pieceSize, rest.size());
            m_given += size;
            if (m_reader)
                m_reader->take(rest.first(size));
            m_pageRule->take(pageText(rest.first(size)));
        } else if (m_ended && m_visible && !std::exchange(m_textEnded, true)) {
            // What the visible text held back for the tags to come.
            m_visible->finish();
            m_textPiece = m_visible->take();
            m_pageRule->take(m_textPiece);
        } else if (!m_ended) {
            m_idle = true;
            keepWithinBudget();
            return showRowsWhenSlow();
        } else {
            m_ruleAtEnd = true;
            if (m_reader)
                std::exchange(m_reader, nullptr)->end(m_fetch);
            m_pageRule->endOfPage();
        }
        if (slice.expired())
            break;
    }
    keepWithinBudget();
    showRowsWhenSlow();
    scheduleSlice();
}

// The rule could not read the page: the site fails as a page that could not
// be had does, the rest of the page unread.
void ExtractionRun::ruleFailed(const FetchResult &failure)
{
    if (m_awaited) {
        m_awaited->abort();
        m_awaited.release()->deleteLater(); // it may be emitting
    }
    pageEnded(failure);
    scheduleSlice();
}

// Rows held of a page still arriving go once it has been arriving for
// showRowsAfter: a slow page shows its rows as they come. So do they once
// they hold much: a fast rule on a long page would otherwise hold them all.
void ExtractionRun::showRowsWhenSlow()
{
    if (m_ended || m_siteRows.released() || !m_siteRows.holding())
        return;
    const qint64 left = showRowsAfter - m_pageClock.elapsed();
    if (left > 0 && m_siteRows.heldBytes() < showRowsAbove) {
        if (!m_showRows.isActive())
            m_showRows.start(int(left));
        return;
    }
    m_showRows.stop();
    // Once a row shows, the page cannot start afresh; and its rows say what
    // answered before they come.
    if (m_awaited) {
        m_awaited->setRestartable(false);
        FetchResult answered;
        answered.ok = true;
        answered.httpStatus = m_response.httpStatus;
        answered.httpVersion = m_response.httpVersion;
        answered.finalUrl = m_response.finalUrl;
        answered.contentType = m_response.contentType;
        emit pageFetched(m_address, answered);
    }
    m_siteRows.release();
    scheduleSlice();
}

void ExtractionRun::endSite()
{
    m_pageRule.reset();
    dropPage();
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
    m_showRows.stop();
    m_reader.reset();
    m_awaited.reset();
    m_ahead.clear();
    m_heldBytes = 0;
    // The rows of a page that arrived whole are kept, as those of the lines
    // before the stop; those of a page still arriving are not.
    if (m_ended && m_fetch.ok)
        m_siteRows.flush(WorkSlice(std::numeric_limits<qint64>::max()));
    m_siteRows.drop();
    m_pageRule.reset();
    m_page = {};
    // Some rules show "Done." after every site already.
    if (!ruleEntry(m_rule).doneAfterEverySite || status != QLatin1String("Done.")) {
        m_host.setBusy(false);
        m_host.setStatus(status);
    }
    emit finished({});
}
