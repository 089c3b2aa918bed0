#include "platform/PageFetcher.h"
#include "results/ResultRow.h"

#include "html/Bytes.h"
#include "model/TextList.h"

#include <algorithm>
#include <array>

namespace {

struct FormatEntry
{
    SaveFormat format;
    QLatin1StringView name;
    QByteArrayView header; // before the first row
    QByteArrayView end;    // after the last row
};

// In the order of SaveFormat.
constexpr std::array<FormatEntry, 5> formats{{
    {SaveFormat::List, QLatin1StringView("list"), "", ""},
    {SaveFormat::Commas, QLatin1StringView("commas"), "", "\r\n"},
    {SaveFormat::Csv, QLatin1StringView("csv"), "site,result\r\n", ""},
    {SaveFormat::Tsv, QLatin1StringView("tsv"), "site\tresult\n", ""},
    {SaveFormat::JsonLines, QLatin1StringView("jsonl"), "", ""},
}};

const FormatEntry &entry(SaveFormat format)
{
    return formats[size_t(format)];
}

// RFC 4180: quoted only when it must be, quotes doubled. The bytes looked at
// are ASCII, which UTF-8 never uses inside a longer character.
void appendCsv(QByteArray &out, QByteArrayView field)
{
    const auto special = [](char c) {
        return c == ',' || c == '"' || c == '\r' || c == '\n';
    };
    if (std::none_of(field.begin(), field.end(), special)) {
        out += field;
        return;
    }
    out += '"';
    for (const char c : field) {
        if (c == '"')
            out += '"';
        out += c;
    }
    out += '"';
}

// A field holds no tab or line break: they and the backslash are escaped.
void appendTsv(QByteArray &out, QByteArrayView field)
{
    for (const char c : field) {
        switch (c) {
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\\':
            out += "\\\\";
            break;
        default:
            out += c;
        }
    }
}

void appendJson(QByteArray &out, QByteArrayView text)
{
    out += '"';
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (uchar(c) >= 0x20) {
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else {
            out += "\\u00";
            out += QByteArray::number(uchar(c), 16).rightJustified(2, '0');
        }
    }
    out += '"';
}

void appendJsonMember(QByteArray &out, const char *key, const QString &value)
{
    out += '"';
    out += key;
    out += "\":";
    appendJson(out, value.toUtf8());
}

// A word per failure that a program can test, stable across versions.
QByteArrayView kindWord(FetchError kind)
{
    switch (kind) {
    case FetchError::None:
        break;
    case FetchError::InvalidAddress:
        return "address";
    case FetchError::SchemeRefused:
        return "scheme";
    case FetchError::NameNotResolved:
        return "dns";
    case FetchError::ConnectionRefused:
        return "refused";
    case FetchError::NoAnswer:
        return "unanswered";
    case FetchError::ConnectionReset:
        return "reset";
    case FetchError::Certificate:
        return "certificate";
    case FetchError::Tls:
        return "tls";
    case FetchError::TimedOut:
        return "timeout";
    case FetchError::TooSlow:
        return "slow";
    case FetchError::TooLarge:
    case FetchError::RuleTooLarge:
        return "oversize";
    case FetchError::Malformed:
        return "malformed";
    case FetchError::HttpStatus:
        return "status";
    case FetchError::RedirectRefused:
        return "redirect";
    case FetchError::FileError:
        return "file";
    case FetchError::PatternLimit:
        return "pattern";
    case FetchError::RobotsForbidden:
        return "robots";
    case FetchError::PageLimit:
        return "limit";
    case FetchError::Other:
        break;
    }
    return "other";
}

} // namespace

QByteArray RowFormat::record(const QList<QByteArray> &fields)
{
    // Each field after its length in bytes and a colon: any text at all,
    // and still valid UTF-8.
    QByteArray out;
    for (const QByteArray &field : fields)
        out += QByteArray::number(field.size()) + ':' + field;
    return out;
}

QList<QByteArrayView> RowFormat::fields(QByteArrayView record)
{
    QList<QByteArrayView> out;
    for (qsizetype at = 0; at < record.size();) {
        const qsizetype colon = record.indexOf(':', at);
        bool ok = false;
        const qsizetype size = colon < 0 ? 0 : record.sliced(at, colon - at).toLongLong(&ok);
        if (!ok || size > record.size() - colon - 1)
            break;
        out << record.sliced(colon + 1, size);
        at = colon + 1 + size;
    }
    return out;
}

namespace {
// A record's fields joined by tabs, as the list and its plain files show them.
QByteArray joined(QByteArrayView record)
{
    QByteArray out;
    bool first = true;
    for (const QByteArrayView field : RowFormat::fields(record)) {
        if (!std::exchange(first, false))
            out += '\t';
        out += field;
    }
    return out;
}
} // namespace

QString RowFormat::text(const QString &site, QByteArrayView text, ResultRow::Kind kind)
{
    switch (kind) {
    case ResultRow::Kind::Result:
        return textOfUtf8(text);
    case ResultRow::Kind::ResultWithAddress:
        return site + u',' + textOfUtf8(text);
    case ResultRow::Kind::Record:
        return textOfUtf8(joined(text));
    case ResultRow::Kind::RecordWithAddress:
        return site + u',' + textOfUtf8(joined(text));
    case ResultRow::Kind::Address:
        break;
    }
    return site;
}

std::optional<SaveFormat> RowFormat::named(QStringView name)
{
    for (const FormatEntry &format : formats) {
        if (name == format.name)
            return format.format;
    }
    return std::nullopt;
}

QByteArray RowFormat::begin(SaveFormat format, const QStringList &columns)
{
    if (columns.size() < 2 || (format != SaveFormat::Csv && format != SaveFormat::Tsv))
        return entry(format).header.toByteArray();
    QByteArray out = "site";
    for (const QString &column : columns) {
        if (format == SaveFormat::Csv) {
            out += ',';
            appendCsv(out, column.toUtf8());
        } else {
            out += '\t';
            appendTsv(out, column.toUtf8());
        }
    }
    return out + (format == SaveFormat::Csv ? "\r\n" : "\n");
}

void RowFormat::append(QByteArray &out, QByteArrayView site, QByteArrayView text,
                       ResultRow::Kind kind, SaveFormat format, const FetchResult *page,
                       const QStringList &columns)
{
    // The commonest row by far: a result alone, a line of its own.
    if (kind == ResultRow::Kind::Result && format == SaveFormat::List) {
        char *w = html::bytes::extend(out, text.size() + 2);
        if (!text.isEmpty())
            std::memcpy(w, text.data(), size_t(text.size()));
        w[text.size()] = '\r';
        w[text.size() + 1] = '\n';
        return;
    }
    const bool record =
        kind == ResultRow::Kind::Record || kind == ResultRow::Kind::RecordWithAddress;
    // The plain formats first: a result row is written in one step, with no
    // allocation of its own.
    if (format == SaveFormat::List || format == SaveFormat::Commas) {
        const bool comma = kind == ResultRow::Kind::ResultWithAddress ||
                           kind == ResultRow::Kind::RecordWithAddress;
        const QByteArray joinedRecord =
            record && ResultRow::holdsResult(kind) ? joined(text) : QByteArray();
        const QByteArrayView parts[] = {
            ResultRow::showsAddress(kind) ? site : QByteArrayView(),
            comma ? QByteArrayView(",") : QByteArrayView(),
            !ResultRow::holdsResult(kind) ? QByteArrayView()
            : record                      ? QByteArrayView(joinedRecord)
                                          : text,
            format == SaveFormat::List ? QByteArrayView("\r\n") : QByteArrayView(","),
        };
        qsizetype size = 0;
        for (const QByteArrayView part : parts)
            size += part.size();
        char *w = html::bytes::extend(out, size);
        for (const QByteArrayView part : parts) {
            if (!part.isEmpty())
                std::memcpy(w, part.data(), size_t(part.size()));
            w += part.size();
        }
        return;
    }
    QList<QByteArrayView> cells = record ? fields(text) : QList<QByteArrayView>{text};
    // A structured format gives every row as many fields as it has columns.
    if (columns.size() > 1)
        cells.resize(columns.size());
    switch (format) {
    case SaveFormat::List:
    case SaveFormat::Commas:
        return; // written above
    // The structured formats give every row its site, shown or not; an
    // address row's result is empty, as no rule finds an empty one.
    case SaveFormat::Csv:
        appendCsv(out, site);
        for (const QByteArrayView cell : cells) {
            out += ',';
            appendCsv(out, cell);
        }
        out += "\r\n";
        return;
    case SaveFormat::Tsv:
        appendTsv(out, site);
        for (const QByteArrayView cell : cells) {
            out += '\t';
            appendTsv(out, cell);
        }
        out += '\n';
        return;
    case SaveFormat::JsonLines:
        // A failed site's own record stands for its address row.
        if (page && !page->ok && kind == ResultRow::Kind::Address)
            return;
        out += "{\"site\":";
        appendJson(out, site);
        if (page) {
            out += ",\"url\":";
            appendJson(out, page->finalUrl.toUtf8());
            out += ",\"status\":" + QByteArray::number(page->httpStatus);
        }
        for (qsizetype i = 0; i < cells.size(); ++i) {
            out += ',';
            appendJson(out, columns.size() > 1 ? columns[i].toUtf8() : QByteArray("result"));
            out += ':';
            appendJson(out, cells[i]);
        }
        out += "}\n";
        return;
    }
}

void RowFormat::appendFailure(QByteArray &out, const QString &site, const QString &reason,
                              FetchError kind, SaveFormat format)
{
    if (format != SaveFormat::JsonLines)
        return;
    out += '{';
    appendJsonMember(out, "site", site);
    out += ',';
    appendJsonMember(out, "error", reason);
    out += ",\"kind\":\"" + kindWord(kind).toByteArray() + "\"}\n";
}

QByteArray RowFormat::end(SaveFormat format)
{
    return entry(format).end.toByteArray();
}
