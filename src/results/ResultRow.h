#pragma once

#include "model/TextList.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// One row of the results: the site it came from, the text a rule found there,
// and how it shows. The site's text is shared by every row of the site.
struct ResultRow
{
    enum class Kind : quint8
    {
        Result,            // the text alone
        ResultWithAddress, // the site, a comma and the text
        Address,           // the site alone, for a site that gave nothing
        // Several fields of one match (RowFormat::record() holds them in the
        // text), shown joined by tabs.
        Record,
        RecordWithAddress
    };
    QString site;
    QString text; // empty for an address row
    Kind kind = Kind::Result;

    bool showsAddress() const { return showsAddress(kind); }
    // A row made with the site in front, or of it alone.
    static bool showsAddress(Kind kind) { return kind != Kind::Result && kind != Kind::Record; }
    // A row that holds what a rule found (not an address row).
    static bool holdsResult(Kind kind) { return kind != Kind::Address; }
};

enum class SaveFormat
{
    List,     // every row followed by CR LF
    Commas,   // every row followed by ",", then one CR LF
    Csv,      // a header, then each row's site and result, quoted where needed, CR LF
    Tsv,      // a header, then each row's site and result, tab and line breaks escaped, LF
    JsonLines // an object a line: site, url, status and result, or a failed site's error
};

struct FetchResult;
enum class FetchError;

// The one place a row becomes text: the window's rows, the files and the
// command line's output.
namespace RowFormat {
// The row as the list shows it; text as UTF-8.
QString text(const QString &site, QByteArrayView text, ResultRow::Kind kind);
inline QString text(const QString &site, const QString &text, ResultRow::Kind kind)
{
    return RowFormat::text(site, QByteArrayView(text.toUtf8()), kind);
}
// The fields of one match as a record row's text, and back.
QByteArray record(const QList<QByteArray> &fields);
QList<QByteArrayView> fields(QByteArrayView record);
// The format of that name ("list", "commas", "csv", "tsv", "jsonl"), if any.
std::optional<SaveFormat> named(QStringView name);
// What comes before the first row of such a file. The structured formats
// name their result columns: "result", or the fields of record rows.
QByteArray begin(SaveFormat format, const QStringList &columns = {});
// The row as a file of that format holds it, as UTF-8 (site and text are
// UTF-8 too). page tells the formats that give it where the row's page came
// from; columns are those begin() was given.
void append(QByteArray &out, QByteArrayView site, QByteArrayView text, ResultRow::Kind kind,
            SaveFormat format, const FetchResult *page = nullptr, const QStringList &columns = {});
// A site that failed, for the formats that list failures among the rows.
void appendFailure(QByteArray &out, const QString &site, const QString &reason, FetchError kind,
                   SaveFormat format);
// What follows the last row of such a file.
QByteArray end(SaveFormat format);
} // namespace RowFormat

// Rows in order, each as compact as its text: the texts in shared blocks,
// the sites listed once for the rows that follow one another with the same
// site. Copies share their rows until one of them changes.
class ResultRows
{
public:
    qsizetype size() const { return m_texts.size(); }
    const QString &siteAt(qsizetype index) const { return m_sites.at(site(index)); }
    QByteArrayView siteUtf8At(qsizetype index) const { return m_sitesUtf8.at(site(index)); }
    QByteArrayView textUtf8At(qsizetype index) const { return m_texts.utf8(index); }
    QString textAt(qsizetype index) const { return m_texts.text(index); }
    ResultRow::Kind kindAt(qsizetype index) const
    {
        return ResultRow::Kind(m_texts.tag(index) & kindMask);
    }

    // The row as the list shows it.
    QString text(qsizetype index) const
    {
        return RowFormat::text(siteAt(index), textUtf8At(index), kindAt(index));
    }

    void append(const QString &site, QByteArrayView text, ResultRow::Kind kind);
    void append(const ResultRow &row);
    // Moves rows to the end, emptying it.
    void append(ResultRows &&rows);
    void removeAt(qsizetype index) { m_texts.removeAt(index); }
    void clear();

    // Texts alone, as rows without a site: a list of addresses to save.
    static ResultRows ofTexts(const TextList &texts);

private:
    // A text's tag holds its kind and, above it, its site's number.
    static constexpr quint32 kindMask = 7;
    static constexpr int siteShift = 3;
    qsizetype site(qsizetype index) const { return m_texts.tag(index) >> siteShift; }
    quint32 siteFor(const QString &site);

    TextList m_texts;
    QStringList m_sites;
    QList<QByteArray> m_sitesUtf8;
};
