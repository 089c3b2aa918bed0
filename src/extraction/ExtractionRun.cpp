#include "extraction/ExtractionRun.h"

#include "extraction/BetweenSite.h"
#include "extraction/LineFilter.h"
#include "extraction/Utf8LineFilter.h"
#include "platform/WorkSlice.h"
#include "results/ResultList.h"
#include "sitelist/SiteList.h"

#include <utility>

ExtractionRun::ExtractionRun(Rule rule, SiteList &sites, ResultList &results,
                             PageFetcher &fetcher, RunHost &host, QObject *parent)
    : QObject(parent), m_rule(rule), m_sites(sites), m_results(results), m_fetcher(fetcher),
      m_host(host)
{
    connect(&m_fetcher, &PageFetcher::finished, this, &ExtractionRun::onFetched);
}

ExtractionRun::~ExtractionRun()
{
    if (m_waiting)
        m_fetcher.cancel(m_fetchId);
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
    m_waiting = true;
    // The between rule works on UTF-16 text, the line filters on UTF-8 bytes.
    m_fetchId = m_rule == Rule::Between ? m_fetcher.fetchText(m_address)
                                        : m_fetcher.fetchUtf8(m_address);
}

void ExtractionRun::onFetched(quint64 id, const FetchResult &result)
{
    if (!m_waiting || id != m_fetchId)
        return;
    m_waiting = false;
    // A failed fetch is an empty page: no lines, so no rows for this site.
    if (m_rule == Rule::Between)
        m_between = std::make_unique<BetweenSite>(result.ok ? result.text : QString(), m_address,
                                                  m_host, m_results);
    else
        m_page = result.ok ? result.utf8 : QByteArray();
    m_lineStart = 0;
    m_linesLeft = !m_page.isEmpty();
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
    const auto hit = [&](QString &&line) { m_results.appendResult(address, line); };
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
    if (m_rule == Rule::Between) {
        m_host.setBusy(false);
        m_host.setStatus(QStringLiteral("Done."));
    }
    emit finished();
}

RunQueue::RunQueue(SiteList &sites, ResultList &results, PageFetcher &fetcher, RunHost &host,
                   QObject *parent)
    : QObject(parent), m_sites(sites), m_results(results), m_fetcher(fetcher), m_host(host)
{
}

void RunQueue::enqueue(Rule rule)
{
    m_pending.push_back(rule);
    if (!m_current)
        startNext();
}

void RunQueue::startNext()
{
    if (m_pending.empty()) {
        emit idle();
        return;
    }
    const Rule rule = m_pending.front();
    m_pending.pop_front();
    auto *run = new ExtractionRun(rule, m_sites, m_results, m_fetcher, m_host, this);
    m_current = run;
    connect(run, &ExtractionRun::finished, this, [this, run] {
        run->deleteLater();
        m_current = nullptr;
        // Start the next run from the event loop, not from inside the one
        // that just finished.
        continueLater(this, [this] {
            if (!m_current)
                startNext();
        });
    });
    run->start();
}
