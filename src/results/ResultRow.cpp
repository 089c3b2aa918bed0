#include "results/ResultRow.h"

void ResultRows::append(ResultRow &&row)
{
    // Rows of a site share its text: most compare as the same data at once.
    if (m_sites.isEmpty() ||
        (m_sites.last().constData() != row.site.constData() && m_sites.last() != row.site))
        m_sites.append(std::move(row.site));
    m_rows.append({std::move(row.text), qint32(m_sites.size() - 1), row.kind});
}

void ResultRows::append(ResultRows &&rows)
{
    if (rows.m_rows.isEmpty())
        return rows.clear();
    if (m_rows.isEmpty()) {
        // No row refers to the sites held: take the other's as they are.
        m_rows = std::exchange(rows.m_rows, {});
        m_sites = std::exchange(rows.m_sites, {});
        return;
    }
    // The other's first site may be the one the rows here end with.
    const qint32 joined = !rows.m_sites.isEmpty() && rows.m_sites.first() == m_sites.last();
    const qint32 shift = qint32(m_sites.size()) - joined;
    m_sites.append(rows.m_sites.sliced(joined));
    for (StoredRow &row : rows.m_rows)
        m_rows.append({std::move(row.text), row.site + shift, row.kind});
    rows.clear();
}

void ResultRows::clear()
{
    m_rows.clear();
    m_sites.clear();
}
