#include "results/ResultRow.h"

void ResultRows::append(ResultRow &&row)
{
    if (m_sites.isEmpty() || m_sites.last() != row.site)
        m_sites.append(std::move(row.site));
    m_rows.append({std::move(row.text), qint32(m_sites.size() - 1), row.kind});
}

void ResultRows::clear()
{
    m_rows.clear();
    m_sites.clear();
}
