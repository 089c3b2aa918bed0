#include "results/ResultRow.h"

QString RowFormat::text(const ResultRow &row)
{
    switch (row.kind) {
    case ResultRow::Kind::Result:
        return row.text;
    case ResultRow::Kind::ResultWithAddress:
        return row.site + u',' + row.text;
    case ResultRow::Kind::Address:
        break;
    }
    return row.site;
}

void RowFormat::append(QByteArray &out, const ResultRow &row, SaveFormat format)
{
    // Encoded a part at a time, without the joined text: the comma between
    // the parts keeps the bytes those of the joined text.
    if (row.showsAddress())
        out += row.site.toUtf8();
    if (row.kind == ResultRow::Kind::ResultWithAddress)
        out += ',';
    if (row.kind != ResultRow::Kind::Address)
        out += row.text.toUtf8();
    out += format == SaveFormat::List ? QByteArrayView("\r\n") : QByteArrayView(",");
}

QByteArray RowFormat::end(SaveFormat format)
{
    return format == SaveFormat::Commas ? QByteArrayLiteral("\r\n") : QByteArray();
}
