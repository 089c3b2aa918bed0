#include "results/ResultList.h"

QString ResultList::text(int row) const
{
    if (row < 0 || row >= count())
        return {};
    return m_rows[size_t(row)].text;
}

QStringList ResultList::texts() const
{
    QStringList out;
    out.reserve(count());
    for (const Row &row : m_rows)
        out.append(row.text);
    return out;
}

QString ResultList::resultOf(const Row &row)
{
    if (row.addressLength < 0)
        return row.text;
    return row.text.mid(row.addressLength + 1);
}

void ResultList::appendResult(const QString &address, const QString &result)
{
    Row row{address.isNull() ? result : address + u',' + result,
            address.isNull() ? -1 : qint32(address.size()), Kind::Result};
    if (!address.isNull())
        ++m_addressRows[address];
    if (m_resultsIndexed)
        ++m_results[result];
    m_rows.push_back(std::move(row));
    rowsStored();
}

void ResultList::appendAddress(const QString &address)
{
    ++m_addressRows[address];
    m_rows.push_back(Row{address, qint32(address.size()), Kind::Address});
    rowsStored();
}

void ResultList::forget(const Row &row)
{
    if (row.addressLength >= 0) {
        const QString address = row.text.left(row.addressLength);
        auto it = m_addressRows.find(address);
        if (it != m_addressRows.end() && --it.value() == 0)
            m_addressRows.erase(it);
    }
    if (m_resultsIndexed && row.kind == Kind::Result) {
        auto it = m_results.find(resultOf(row));
        if (it != m_results.end() && --it.value() == 0)
            m_results.erase(it);
    }
}

void ResultList::removeAt(int row)
{
    if (row < 0 || row >= count())
        return;
    forget(m_rows[size_t(row)]);
    removeStored(row, [&] { m_rows.erase(m_rows.begin() + row); });
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
        m_results.reserve(qsizetype(m_rows.size()));
        for (const Row &row : m_rows) {
            if (row.kind == Kind::Result)
                ++m_results[resultOf(row)];
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
        return m_rows[size_t(index.row())].text;
    return {};
}

QVariant ResultList::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (section == 0 && orientation == Qt::Horizontal && role == Qt::DisplayRole)
        return QStringLiteral("Result(s)");
    return {};
}
