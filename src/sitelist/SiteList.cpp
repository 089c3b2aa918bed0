#include "sitelist/SiteList.h"

#include "sitelist/UrlMon.h"

#include <QRegularExpression>

QStringList SiteList::texts() const
{
    QStringList all;
    all.reserve(m_rows.size());
    for (qsizetype row = 0; row < m_rows.size(); ++row)
        all.append(m_rows.text(row));
    return all;
}

void SiteList::append(const QString &address)
{
    m_rows.append(QStringView(address));
    rowsStored();
}

void SiteList::append(const QStringList &addresses)
{
    if (addresses.isEmpty())
        return;
    for (const QString &address : addresses)
        m_rows.append(QStringView(address));
    rowsStored();
}

void SiteList::append(TextList &&addresses)
{
    if (addresses.isEmpty())
        return;
    m_rows.append(std::move(addresses));
    rowsStored();
}

void SiteList::appendLines(const QString &text)
{
    static const QRegularExpression lineEnd(QStringLiteral("\r\n|\r|\n"));
    QStringList lines = text.split(lineEnd, Qt::SkipEmptyParts);
    for (QString &line : lines)
        line = AddHttp(line);
    append(lines);
}

void SiteList::setText(int row, const QString &address)
{
    if (row < 0 || row >= count())
        return;
    m_rows.replace(row, address);
    if (row < rowCount()) {
        const QModelIndex changed = index(row);
        emit dataChanged(changed, changed, {Qt::DisplayRole});
    }
}

void SiteList::removeAt(int row)
{
    if (row < 0 || row >= count())
        return;
    removeStored(row, [&] { m_rows.removeAt(row); });
}

void SiteList::clear()
{
    resetStored([&] { m_rows.clear(); });
}

QVariant SiteList::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    if (role == Qt::DisplayRole || role == Qt::EditRole)
        return m_rows.text(index.row());
    return {};
}

QVariant SiteList::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (section == 0 && orientation == Qt::Horizontal && role == Qt::DisplayRole)
        return QStringLiteral("URL(s)");
    return {};
}
