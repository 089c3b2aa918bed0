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

void ResultRows::clear()
{
    m_rows.clear();
    m_sites.clear();
}
