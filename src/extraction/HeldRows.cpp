#include "extraction/HeldRows.h"

#include "model/WorkSlice.h"

namespace {
// Rows handed on at once: a batch goes on in well under a millisecond.
constexpr qsizetype batchRows = 32 * 1024;
} // namespace

void HeldRows::begin(const QString &site)
{
    m_site = site;
    m_passing = false;
    drop();
}

bool HeldRows::flush(const WorkSlice &slice)
{
    while (!m_held.empty()) {
        m_results.appendRows(std::move(m_held.front()));
        m_held.pop_front();
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
    if (m_held.empty() || m_held.back().size() >= batchRows)
        m_held.emplace_back();
    m_held.back().append(std::move(row));
}

bool HeldRows::showsAddress(const QString &address) const
{
    return (m_showingSite > 0 && address == m_site) || m_results.showsAddress(address);
}

bool HeldRows::holdsResult(const QString &result) const
{
    if (!m_indexed) {
        for (const ResultRows &rows : m_held) {
            for (qsizetype row = 0; row < rows.size(); ++row) {
                if (rows.kindAt(row) != ResultRow::Kind::Address)
                    m_heldResults.insert(rows.textAt(row));
            }
        }
        m_indexed = true;
    }
    // The page's own rows first: a page repeats its own results most.
    return m_heldResults.contains(result) || m_results.holdsResult(result);
}
