#include "results/ResultList.h"

QString ResultList::text(int row) const
{
    if (row < 0 || row >= count())
        return {};
    return m_rows.text(row);
}

QStringList ResultList::texts() const
{
    QStringList out;
    out.reserve(count());
    for (qsizetype row = 0; row < m_rows.size(); ++row)
        out.append(m_rows.text(row));
    return out;
}

void ResultList::append(const QString &site, QByteArrayView text, ResultRow::Kind kind)
{
    if (ResultRow::showsAddress(kind))
        ++m_addressRows[site];
    if (m_resultsIndexed && ResultRow::holdsResult(kind))
        ++m_results[textOfUtf8(text)];
    m_rows.append(site, text, kind);
    rowsStored();
}

void ResultList::appendRows(ResultRows &&rows)
{
    for (qsizetype row = 0; row < rows.size(); ++row) {
        const ResultRow::Kind kind = rows.kindAt(row);
        if (ResultRow::showsAddress(kind))
            ++m_addressRows[rows.siteAt(row)];
        if (m_resultsIndexed && ResultRow::holdsResult(kind))
            ++m_results[rows.textAt(row)];
    }
    m_rows.append(std::move(rows));
    rowsStored();
}

void ResultList::forget(qsizetype row)
{
    const ResultRow::Kind kind = m_rows.kindAt(row);
    if (ResultRow::showsAddress(kind)) {
        auto it = m_addressRows.find(m_rows.siteAt(row));
        if (it != m_addressRows.end() && --it.value() == 0)
            m_addressRows.erase(it);
    }
    if (m_resultsIndexed && ResultRow::holdsResult(kind)) {
        auto it = m_results.find(m_rows.textAt(row));
        if (it != m_results.end() && --it.value() == 0)
            m_results.erase(it);
    }
}

void ResultList::removeAt(int row)
{
    if (row < 0 || row >= count())
        return;
    forget(row);
    removeStored(row, [&] { m_rows.removeAt(row); });
}

void ResultList::clear()
{
    resetStored([&] {
        m_rows.clear();
        m_addressRows.clear();
        m_results.clear();
        m_resultsIndexed = false;
    });
}

bool ResultList::holdsResult(const QString &result) const
{
    if (!m_resultsIndexed) {
        m_results.reserve(m_rows.size());
        for (qsizetype row = 0; row < m_rows.size(); ++row) {
            if (ResultRow::holdsResult(m_rows.kindAt(row)))
                ++m_results[m_rows.textAt(row)];
        }
        m_resultsIndexed = true;
    }
    return m_results.contains(result);
}

QVariant ResultList::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    if (role == Qt::DisplayRole || role == Qt::EditRole)
        return m_rows.text(index.row());
    return {};
}

QVariant ResultList::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (section == 0 && orientation == Qt::Horizontal && role == Qt::DisplayRole)
        return QStringLiteral("Result(s)");
    return {};
}
