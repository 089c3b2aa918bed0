#include "platform/PageFetcher.h"
#include "results/ResultRow.h"

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
    case FetchError::LineTooLong:
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

std::optional<SaveFormat> RowFormat::named(QStringView name)
{
    for (const FormatEntry &format : formats) {
        if (name == format.name)
            return format.format;
    }
    return std::nullopt;
}

QByteArray RowFormat::begin(SaveFormat format)
{
    return entry(format).header.toByteArray();
}

void RowFormat::append(QByteArray &out, QByteArrayView site, QByteArrayView text,
                       ResultRow::Kind kind, SaveFormat format, const FetchResult *page)
{
    switch (format) {
    case SaveFormat::List:
    case SaveFormat::Commas:
        if (kind != ResultRow::Kind::Result)
            out += site;
        if (kind == ResultRow::Kind::ResultWithAddress)
            out += ',';
        if (kind != ResultRow::Kind::Address)
            out += text;
        out += format == SaveFormat::List ? QByteArrayView("\r\n") : QByteArrayView(",");
        return;
    // The structured formats give every row its site, shown or not; an
    // address row's result is empty, as no rule finds an empty one.
    case SaveFormat::Csv:
        appendCsv(out, site);
        out += ',';
        appendCsv(out, text);
        out += "\r\n";
        return;
    case SaveFormat::Tsv:
        appendTsv(out, site);
        out += '\t';
        appendTsv(out, text);
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
        out += ",\"result\":";
        appendJson(out, text);
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
