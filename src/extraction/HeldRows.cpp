#include "extraction/HeldRows.h"

#include "model/WorkSlice.h"

void HeldRows::begin(const QString &site)
{
    m_site = site;
    m_passing = false;
    drop();
}

bool HeldRows::flush(const WorkSlice &slice)
{
    while (!m_held.empty()) {
        // A few rows between looks at the clock: appending one is cheap.
        for (int n = 0; n < 256 && !m_held.empty(); ++n) {
            m_results.append(std::move(m_held.front()));
            m_held.pop_front();
        }
        if (!m_held.empty() && slice.expired())
            return false;
    }
    m_showingSite = 0;
    m_heldResults.clear();
    m_indexed = false;
    return true;
}

void HeldRows::drop()
{
    m_held.clear();
    m_showingSite = 0;
    m_heldResults.clear();
    m_indexed = false;
}

void HeldRows::append(ResultRow row)
{
    if (m_passing && m_held.empty()) {
        m_results.append(std::move(row));
        return;
    }
    if (row.showsAddress())
        ++m_showingSite;
    if (m_indexed && row.kind != ResultRow::Kind::Address)
        m_heldResults.insert(row.text);
    m_held.push_back(std::move(row));
}

bool HeldRows::showsAddress(const QString &address) const
{
    return (m_showingSite > 0 && address == m_site) || m_results.showsAddress(address);
}

bool HeldRows::holdsResult(const QString &result) const
{
    if (m_results.holdsResult(result))
        return true;
    if (!m_indexed) {
        for (const ResultRow &row : m_held) {
            if (row.kind != ResultRow::Kind::Address)
                m_heldResults.insert(row.text);
        }
        m_indexed = true;
    }
    return m_heldResults.contains(result);
}
