#include "extraction/ExtractionRun.h"

#include "extraction/BetweenSite.h"
#include "extraction/LineFilter.h"
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
    m_fetchId = m_fetcher.fetchText(m_address);
}

void ExtractionRun::onFetched(quint64 id, const FetchResult &result)
{
    if (!m_waiting || id != m_fetchId)
        return;
    m_waiting = false;
    // A failed fetch is an empty page: no lines, so no rows for this site.
    m_page = result.ok ? result.text : QString();
    if (m_rule == Rule::Between)
        m_between = std::make_unique<BetweenSite>(std::exchange(m_page, QString()), m_address,
                                                  m_host, m_results);
    m_lineStart = 0;
    m_linesLeft = !m_page.isEmpty();
    processSlice();
}

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
    while (m_linesLeft) {
        m_linesLeft = processLine();
        if (m_linesLeft && slice.expired()) {
            continueLater(this, [this] { processSlice(); });
            return;
        }
    }
    endSite();
}

// Handles the line that starts at m_lineStart; false once it was the last.
bool ExtractionRun::processLine()
{
    const qsizetype end = m_page.indexOf(u'\n', m_lineStart);
    const qsizetype length = (end < 0 ? m_page.size() : end) - m_lineStart;
    const QStringView piece = QStringView(m_page).mid(m_lineStart, length);
    m_lineStart = end + 1;

    if (!piece.isEmpty()) {
        const QString line = DecodeAmp(piece);
        if (LinePasses(m_rule, line, m_host.ruleText(m_rule)))
            m_results.appendResult(m_host.includeAddress() ? m_address : QString(), line);
    }
    AddAddressRow(m_results, m_address, m_host.includeAddress(),
                  m_host.includeAddressIfNothingFound());
    return end >= 0;
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
