#include "results/ResultRow.h"

QString RowFormat::text(const QString &site, const QString &text, ResultRow::Kind kind)
{
    switch (kind) {
    case ResultRow::Kind::Result:
        return text;
    case ResultRow::Kind::ResultWithAddress:
        return site + u',' + text;
    case ResultRow::Kind::Address:
        break;
    }
    return site;
}

void RowFormat::append(QByteArray &out, const QString &site, const QString &text,
                       ResultRow::Kind kind, SaveFormat format)
{
    // Encoded a part at a time, without the joined text: the comma between
    // the parts keeps the bytes those of the joined text.
    if (kind != ResultRow::Kind::Result)
        out += site.toUtf8();
    if (kind == ResultRow::Kind::ResultWithAddress)
        out += ',';
    if (kind != ResultRow::Kind::Address)
        out += text.toUtf8();
    out += format == SaveFormat::List ? QByteArrayView("\r\n") : QByteArrayView(",");
}

QByteArray RowFormat::end(SaveFormat format)
{
    return format == SaveFormat::Commas ? QByteArrayLiteral("\r\n") : QByteArray();
}

void ResultRows::append(ResultRow &&row)
{
    if (m_sites.isEmpty() || m_sites.last() != row.site)
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
