#include "results/ResultRow.h"

quint32 ResultRows::siteFor(const QString &site)
{
    // Rows of a site share its text: most compare as the same data at once.
    if (m_sites.isEmpty() ||
        (m_sites.last().constData() != site.constData() && m_sites.last() != site)) {
        m_sites.append(site);
        m_sitesUtf8.append(site.toUtf8());
    }
    return quint32(m_sites.size() - 1) << siteShift;
}

void ResultRows::append(const QString &site, QByteArrayView text, ResultRow::Kind kind)
{
    m_texts.append(text, siteFor(site) | quint32(kind));
}

void ResultRows::append(const ResultRow &row)
{
    m_texts.append(QStringView(row.text), siteFor(row.site) | quint32(row.kind));
}

void ResultRows::append(ResultRows &&rows)
{
    if (rows.m_texts.isEmpty())
        return rows.clear();
    if (m_texts.isEmpty()) {
        // No row refers to the sites held: take the other's as they are.
        *this = std::move(rows);
        rows.clear();
        return;
    }
    // The other's first site may be the one the rows here end with.
    const bool joined = rows.m_sites.first() == m_sites.last();
    const auto shift = quint32(m_sites.size() - joined);
    m_sites.append(rows.m_sites.sliced(joined));
    m_sitesUtf8.append(rows.m_sitesUtf8.sliced(joined));
    m_texts.append(std::move(rows.m_texts), shift << siteShift);
    rows.clear();
}

void ResultRows::clear()
{
    m_texts.clear();
    m_sites.clear();
    m_sitesUtf8.clear();
}

ResultRows ResultRows::ofTexts(const TextList &texts)
{
    ResultRows rows;
    rows.m_texts = texts;
    rows.m_sites = {QString()};
    rows.m_sitesUtf8 = {QByteArray()};
    // Every tag is taken as the first site's, with the text alone.
    return rows;
}
