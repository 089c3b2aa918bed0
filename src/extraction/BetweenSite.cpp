#include "extraction/BetweenSite.h"

#include "extraction/RunHost.h"
#include "results/ResultSink.h"

BetweenSite::BetweenSite(QString page, const QString &address, RunHost &host, ResultSink &results)
    : m_address(address), m_host(host), m_results(results), m_passes(std::move(page), *this)
{
}

QString BetweenSite::startText() const
{
    return m_host.startText();
}

QString BetweenSite::endText() const
{
    return m_host.endText();
}

bool BetweenSite::keepDuplicates() const
{
    return m_host.keepDuplicates();
}

// Only an equal result counts as a duplicate, from any site or rule; a row
// the user removed no longer does.
bool BetweenSite::holdsResult(const QString &result) const
{
    return m_results.holdsResult(result);
}

void BetweenSite::addResult(const QString &result)
{
    m_results.appendResult(m_host.includeAddress() ? m_address : QString(), result);
}
