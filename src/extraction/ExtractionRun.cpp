#include "extraction/ExtractionRun.h"

#include "extraction/BetweenSite.h"
#include "extraction/LineFilter.h"
#include "extraction/Utf8LineFilter.h"
#include "platform/WorkSlice.h"
#include "results/ResultList.h"
#include "sitelist/SiteList.h"

#include <QUrl>

#include <algorithm>
#include <utility>

namespace {
// How far past the current site pages are fetched ahead, in sites.
constexpr qsizetype lookahead = 256;
} // namespace

ExtractionRun::ExtractionRun(Rule rule, SiteList &sites, ResultList &results, PageFetcher &fetcher,
                             RunHost &host, QObject *parent)
    : QObject(parent), m_rule(rule), m_sites(sites), m_results(results), m_fetcher(fetcher),
      m_host(host)
{
    connect(&m_fetcher, &PageFetcher::finished, this, &ExtractionRun::onFetched);
}

ExtractionRun::~ExtractionRun()
{
    if (m_waiting)
        m_fetcher.cancel(m_fetchId);
    dropAllPrefetches();
}

QString ExtractionRun::inputProblem(Rule rule, const RunHost &host, const SiteList &sites)
{
    switch (rule) {
    case Rule::WithText:
        if (host.ruleText(rule).isEmpty())
            return QStringLiteral("Fill out text to use to extract lines.");
        break;
    case Rule::WithoutText:
        if (host.ruleText(rule).isEmpty())
            return QStringLiteral("Fill out text to use to skip lines.");
        break;
    case Rule::Between:
        if (host.startText().isEmpty() || host.endText().isEmpty())
            return QStringLiteral("Fill out starting text (or character) and fill out ending "
                                  "text (or character).");
        if (sites.count() == 0)
            return QStringLiteral("No files in list.");
        return {};
    }
    if (sites.count() == 0)
        return QStringLiteral("No sites added.");
    return {};
}

void ExtractionRun::start()
{
    m_siteCount = m_sites.count();
    m_siteIndex = 0;
    beginSite();
}

void ExtractionRun::beginSite()
{
    // The list may have shrunk while the run waited; there is no site left at
    // this position then.
    if (m_siteIndex >= m_siteCount || m_siteIndex >= m_sites.count()) {
        finish();
        return;
    }
    m_host.setBusy(true);
    m_address = m_sites.text(int(m_siteIndex));
    m_host.setStatus(QStringLiteral("Extracting from ") + m_address);

    // The page asked ahead for this row, if the row still holds its address;
    // else one asked for this address at another row, as rows move.
    auto ahead = m_ahead.find(m_siteIndex);
    if (ahead == m_ahead.end() || ahead->second.address != m_address)
        ahead = std::find_if(m_ahead.begin(), m_ahead.end(), [this](const auto &entry) {
            return entry.second.address == m_address;
        });
    if (ahead == m_ahead.end()) {
        m_waiting = true;
        m_hostKey = hostOf(m_address);
        m_fetchId = fetch(m_address);
    } else if (!ahead->second.arrived) {
        m_waiting = true;
        m_hostKey = ahead->second.host;
        m_fetchId = ahead->second.id;
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

quint64 ExtractionRun::fetch(const QString &address)
{
    // The between rule works on UTF-16 text, the line filters on UTF-8 bytes;
    // either way the page is decoded on the fetcher's thread.
    return m_rule == Rule::Between ? m_fetcher.fetchText(address) : m_fetcher.fetchUtf8(address);
}

void ExtractionRun::onFetched(quint64 id, const FetchResult &result)
{
    if (m_waiting && id == m_fetchId) {
        m_waiting = false;
        fetchAhead();
        startPage(result);
        return;
    }
    for (auto &[index, prefetch] : m_ahead) {
        if (prefetch.id != id || prefetch.arrived)
            continue;
        prefetch.arrived = true;
        prefetch.bytes = pageBytes(result);
        prefetch.result = result;
        m_waitingBytes += prefetch.bytes;
        fetchAhead();
        return;
    }
}

// Pages asked for rows up to the current one that it did not take: each goes
// to a later row that now holds its address, or is dropped.
void ExtractionRun::settlePrefetchesBehind()
{
    const qsizetype last =
        std::min({m_siteCount, qsizetype(m_sites.count()), m_siteIndex + 1 + lookahead});
    while (!m_ahead.empty() && m_ahead.begin()->first <= m_siteIndex) {
        const auto entry = m_ahead.begin();
        qsizetype row = m_siteIndex + 1;
        while (row < last &&
               (m_ahead.count(row) || m_sites.text(int(row)) != entry->second.address))
            ++row;
        if (row >= last) {
            dropPrefetch(entry);
            continue;
        }
        Prefetch moved = std::move(entry->second);
        m_ahead.erase(entry);
        m_ahead.emplace(row, std::move(moved));
    }
}

// Asks for the pages of the sites after the current one, in list order, as
// far as the limits allow. A host already at its limit is passed over so that
// sites of other hosts further down can go ahead meanwhile.
void ExtractionRun::fetchAhead()
{
    if (m_done)
        return;
    int inFlight = m_waiting ? 1 : 0;
    QHash<QByteArray, int> perHost;
    if (m_waiting)
        ++perHost[m_hostKey];
    for (const auto &[index, prefetch] : m_ahead) {
        if (!prefetch.arrived) {
            ++inFlight;
            ++perHost[prefetch.host];
        }
    }
    const qsizetype last =
        std::min({m_siteCount, qsizetype(m_sites.count()), m_siteIndex + 1 + lookahead});
    for (qsizetype index = m_siteIndex + 1;
         index < last && inFlight < maxInFlight && m_waitingBytes < maxWaitingBytes; ++index) {
        if (m_ahead.count(index))
            continue;
        const QString address = m_sites.text(int(index));
        const QByteArray host = hostOf(address);
        int &onHost = perHost[host];
        if (onHost >= maxInFlightPerHost)
            continue;
        ++onHost;
        ++inFlight;
        m_ahead[index] = Prefetch{address, host, fetch(address), false, {}, 0};
    }
}

void ExtractionRun::dropPrefetch(std::map<qsizetype, Prefetch>::iterator entry)
{
    if (entry->second.arrived)
        m_waitingBytes -= entry->second.bytes;
    else
        m_fetcher.cancel(entry->second.id);
    m_ahead.erase(entry);
}

void ExtractionRun::dropAllPrefetches()
{
    while (!m_ahead.empty())
        dropPrefetch(m_ahead.begin());
}

// The host and port a page is fetched from, as the fetcher counts them.
QByteArray ExtractionRun::hostOf(const QString &address)
{
    auto known = m_hosts.constFind(address);
    if (known != m_hosts.constEnd())
        return *known;
    const QUrl url(address);
    const int defaultPort = url.scheme().compare(u"https", Qt::CaseInsensitive) == 0 ? 443 : 80;
    const QByteArray host =
        url.host().toLower().toUtf8() + ':' + QByteArray::number(url.port(defaultPort));
    m_hosts.insert(address, host);
    return host;
}

qint64 ExtractionRun::pageBytes(const FetchResult &result) const
{
    return result.utf8.size() + result.text.size() * qint64(sizeof(QChar));
}

void ExtractionRun::startPage(const FetchResult &result)
{
    // A failed fetch is an empty page: no lines, so no rows for this site.
    if (m_rule == Rule::Between) {
        m_between = std::make_unique<BetweenSite>(result.ok ? result.text : QString(), m_address,
                                                  m_host, m_results);
    } else {
        m_page = result.ok ? result.utf8 : QByteArray();
        m_lineStart = 0;
        m_linesLeft = !m_page.isEmpty();
    }
    processSlice();
}

namespace {
// Bytes tested between two looks at the clock: small enough that a slice of
// many hits overruns its budget by little.
constexpr qsizetype bytesPerCheck = 32 * 1024;
} // namespace

void ExtractionRun::processSlice()
{
    const WorkSlice slice;
    if (m_between) {
        if (!m_between->advance(slice)) {
            continueLater(this, [this] { processSlice(); });
            return;
        }
        m_between.reset();
        endSite();
        return;
    }
    // Nothing the run reads can change before it yields again, so one reading
    // of the rule text and the options serves the whole slice.
    const Utf8LineFilter filter(m_rule, m_host.ruleText(m_rule));
    const QString address = m_host.includeAddress() ? m_address : QString();
    const auto hit = [&](QString &&line) {
        m_results.appendResult(address, line);
    };
    if (m_linesLeft) {
        // The address row follows a piece; after the first one of a slice the
        // address is shown (or the options are off) until the next yield, so
        // the row can only come here.
        m_lineStart = filter.scan(m_page, m_lineStart, 0, hit);
        AddAddressRow(m_results, m_address, m_host.includeAddress(),
                      m_host.includeAddressIfNothingFound());
        m_linesLeft = m_lineStart <= m_page.size();
    }
    while (m_linesLeft) {
        if (slice.expired()) {
            continueLater(this, [this] { processSlice(); });
            return;
        }
        m_lineStart = filter.scan(m_page, m_lineStart, bytesPerCheck, hit);
        m_linesLeft = m_lineStart <= m_page.size();
    }
    endSite();
}

void ExtractionRun::endSite()
{
    m_page.clear();
    if (m_rule == Rule::Between) {
        // One address row per site, after all its passes; the pointer and
        // "Done." wait for the last site.
        AddAddressRow(m_results, m_address, m_host.includeAddress(),
                      m_host.includeAddressIfNothingFound());
    } else {
        m_host.setBusy(false);
        m_host.setStatus(QStringLiteral("Done."));
    }
    ++m_siteIndex;
    beginSite();
}

void ExtractionRun::finish()
{
    if (m_done)
        return;
    m_done = true;
    dropAllPrefetches();
    if (m_rule == Rule::Between) {
        m_host.setBusy(false);
        m_host.setStatus(QStringLiteral("Done."));
    }
    emit finished();
}

RunQueue::RunQueue(SiteList &sites, ResultList &results, PageFetcher &fetcher, RunHost &host,
                   QObject *parent)
    : SerialQueue(parent), m_sites(sites), m_results(results), m_fetcher(fetcher), m_host(host)
{
}

void RunQueue::enqueue(Rule rule)
{
    SerialQueue::enqueue([this, rule](const Finished &finished) {
        auto *run = new ExtractionRun(rule, m_sites, m_results, m_fetcher, m_host, this);
        connect(run, &ExtractionRun::finished, this, [finished, run] { finished(run); });
        run->start();
    });
}
