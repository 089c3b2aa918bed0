#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// One row of the results: the site it came from, the text a rule found there,
// and how it shows. The site's text is shared by every row of the site.
struct ResultRow
{
    enum class Kind : quint8
    {
        Result,            // the text alone
        ResultWithAddress, // the site, a comma and the text
        Address            // the site alone, for a site that gave nothing
    };
    QString site;
    QString text; // empty for an address row
    Kind kind = Kind::Result;

    bool showsAddress() const { return kind != Kind::Result; }
};

enum class SaveFormat
{
    List,  // every row followed by CR LF
    Commas // every row followed by ",", then one CR LF
};

// The one place a row becomes text: the window's rows, both files and the
// command line's output.
namespace RowFormat {
// The row as the list shows it.
QString text(const ResultRow &row);
// The row as a file of that format holds it, as UTF-8.
void append(QByteArray &out, const ResultRow &row, SaveFormat format);
// What follows the last row of such a file.
QByteArray end(SaveFormat format);
} // namespace RowFormat

using ResultRows = QList<ResultRow>;
