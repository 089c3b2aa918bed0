#include "crawl/WebAddress.h"

#include <QUrl>
#include <QVarLengthArray>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <string_view>

// The hot path (a crawl resolves every link of every page) is a single pass
// over the bytes into one buffer; QUrl costs several times as much and is used
// only for the rare host that needs IDN.

namespace {

enum ByteClass : quint8
{
    Unreserved, // ALPHA DIGIT - . _ ~ : never escaped
    Reserved,   // sub-delims: kept as written, escaped or not
    Delimiter,  // gen-delims and "%": the same, but never in a host
    Forbidden   // escaped wherever it stands
};

constexpr std::array<quint8, 256> byteClasses = [] {
    std::array<quint8, 256> table{};
    for (int c = 0; c < 256; ++c) {
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                                (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' ||
                                c == '~';
        const auto in = [c](std::string_view set) {
            return c > 32 && c < 128 && set.find(char(c)) != std::string_view::npos;
        };
        table[c] = unreserved          ? Unreserved
                   : in("!$&'()*+,;=") ? Reserved
                   : in(":/?#[]@%")    ? Delimiter
                                       : Forbidden;
    }
    return table;
}();

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

char lower(char c)
{
    return c >= 'A' && c <= 'Z' ? char(c + 32) : c;
}

constexpr char hexDigits[] = "0123456789ABCDEF";

template <typename Out> void appendEscape(Out &out, uchar byte)
{
    out.append('%');
    out.append(hexDigits[byte >> 4]);
    out.append(hexDigits[byte & 15]);
}

template <typename Out> void appendNormalisedEscapes(QByteArrayView in, Out &out)
{
    const qsizetype n = in.size();
    for (qsizetype i = 0; i < n; ++i) {
        const uchar c = uchar(in[i]);
        if (c == '%') {
            const int high = i + 2 < n ? hexValue(in[i + 1]) : -1;
            const int low = high < 0 ? -1 : hexValue(in[i + 2]);
            if (low < 0) {
                appendEscape(out, c);
                continue;
            }
            const uchar decoded = uchar(high << 4 | low);
            if (byteClasses[decoded] == Unreserved)
                out.append(char(decoded));
            else
                appendEscape(out, decoded);
            i += 2;
        } else if (byteClasses[c] == Forbidden) {
            appendEscape(out, c);
        } else {
            out.append(char(c));
        }
    }
}

// RFC 3986 5.2.4 in place over d[floor, end), whose part before from
// is known to hold no dot segment; returns the new end. What is written
// never passes what is read, so one buffer serves as input and output.
qsizetype removeDotSegments(char *d, qsizetype floor, qsizetype from, qsizetype end)
{
    qsizetype r = from, w = from;
    const auto rest = [&](const char *literal, bool whole) {
        const qsizetype n = qsizetype(std::strlen(literal));
        return (whole ? end - r == n : end - r >= n) && std::memcmp(d + r, literal, n) == 0;
    };
    const auto dropLastSegment = [&] {
        while (w > floor && d[w - 1] != '/')
            --w;
        w = w > floor ? w - 1 : floor;
    };
    while (r < end) {
        if (rest("../", false)) { // A
            r += 3;
        } else if (rest("./", false)) {
            r += 2;
        } else if (rest("/./", false)) { // B
            r += 2;
        } else if (rest("/.", true)) {
            d[w++] = '/';
            r = end;
        } else if (rest("/../", false)) { // C
            r += 3;
            dropLastSegment();
        } else if (rest("/..", true)) {
            dropLastSegment();
            d[w++] = '/';
            r = end;
        } else if (rest(".", true) || rest("..", true)) { // D
            r = end;
        } else { // E
            qsizetype segmentEnd = r + 1;
            while (segmentEnd < end && d[segmentEnd] != '/')
                ++segmentEnd;
            std::memmove(d + w, d + r, size_t(segmentEnd - r));
            w += segmentEnd - r;
            r = segmentEnd;
        }
    }
    return w;
}

// A QByteArray written through a raw pointer, without Qt's detach and
// growth checks at every byte.
class Writer
{
public:
    explicit Writer(qsizetype capacity)
        : m_buffer(capacity, Qt::Uninitialized), m_d(m_buffer.data())
    {
    }
    void append(char c)
    {
        if (m_size == m_buffer.size())
            grow(1);
        m_d[m_size++] = c;
    }
    void append(QByteArrayView s)
    {
        if (s.isEmpty())
            return;
        if (m_size + s.size() > m_buffer.size())
            grow(s.size());
        std::memcpy(m_d + m_size, s.data(), size_t(s.size()));
        m_size += s.size();
    }
    qsizetype size() const { return m_size; }
    char *data() { return m_d; }
    const char *constData() const { return m_d; }
    void truncate(qsizetype size) { m_size = size; }
    QByteArray take()
    {
        m_buffer.truncate(m_size);
        return std::move(m_buffer);
    }

private:
    void grow(qsizetype more)
    {
        m_buffer.resize(std::max(m_buffer.size() * 2, m_size + more));
        m_d = m_buffer.data();
    }

    QByteArray m_buffer;
    char *m_d;
    qsizetype m_size = 0;
};

// Appendix B's split of a reference into its five parts.
struct Parts
{
    QByteArrayView scheme, authority, path, query, fragment;
    bool hasScheme = false, hasAuthority = false, hasQuery = false, hasFragment = false;
};

template <char... Stops> qsizetype findAny(QByteArrayView s, qsizetype from)
{
    const char *d = s.data();
    const qsizetype n = s.size();
    while (from < n && !((d[from] == Stops) || ...))
        ++from;
    return from;
}

// The parts after the scheme and authority, from position i.
void splitTail(QByteArrayView s, qsizetype i, Parts &p)
{
    qsizetype end = findAny<'?', '#'>(s, i);
    p.path = s.sliced(i, end - i);
    i = end;
    if (i < s.size() && s[i] == '?') {
        end = findAny<'#'>(s, i + 1);
        p.hasQuery = true;
        p.query = s.sliced(i + 1, end - i - 1);
        i = end;
    }
    if (i < s.size()) {
        p.hasFragment = true;
        p.fragment = s.sliced(i + 1);
    }
}

Parts split(QByteArrayView s)
{
    Parts p;
    qsizetype i = findAny<':', '/', '?', '#'>(s, 0);
    if (i > 0 && i < s.size() && s[i] == ':') {
        p.hasScheme = true;
        p.scheme = s.first(i);
        ++i;
    } else {
        i = 0;
    }
    if (s.sliced(i).startsWith("//")) {
        const qsizetype end = findAny<'/', '?', '#'>(s, i + 2);
        p.hasAuthority = true;
        p.authority = s.sliced(i + 2, end - i - 2);
        i = end;
    }
    splitTail(s, i, p);
    return p;
}

bool isSchemeSyntax(QByteArrayView s)
{
    if (s.isEmpty() || !std::isalpha(uchar(s[0])))
        return false;
    for (const char c : s)
        if (!std::isalnum(uchar(c)) && c != '+' && c != '-' && c != '.')
            return false;
    return true;
}

bool equalsLower(QByteArrayView s, QByteArrayView lowerWord)
{
    if (s.size() != lowerWord.size())
        return false;
    for (qsizetype i = 0; i < s.size(); ++i)
        if (lower(s[i]) != lowerWord[i])
            return false;
    return true;
}

// The host in normal form, or false when it is not one: escapes decoded,
// letters lowered, a non-ASCII name in punycode, an IP literal as written.
bool appendHost(QByteArrayView host, Writer &out)
{
    if (host.isEmpty())
        return false;
    if (host[0] == '[') {
        if (host.size() < 3 || host.back() != ']')
            return false;
        for (const char c : host.sliced(1, host.size() - 2))
            if (hexValue(c) < 0 && c != ':' && c != '.' && c != 'v' && c != 'V')
                return false;
        for (const char c : host)
            out.append(lower(c));
        return true;
    }
    const qsizetype start = out.size();
    bool ascii = true;
    for (qsizetype i = 0; i < host.size(); ++i) {
        uchar c = uchar(host[i]);
        if (c == '%' && i + 2 < host.size() && hexValue(host[i + 1]) >= 0 &&
            hexValue(host[i + 2]) >= 0) {
            c = uchar(hexValue(host[i + 1]) << 4 | hexValue(host[i + 2]));
            i += 2;
        }
        if (c >= 0x80)
            ascii = false;
        else if (byteClasses[c] >= Delimiter)
            return false;
        out.append(lower(char(c)));
    }
    if (ascii)
        return true;
    const QByteArray ace =
        QUrl::toAce(QString::fromUtf8(out.constData() + start, out.size() - start));
    out.truncate(start);
    if (ace.isEmpty())
        return false;
    for (const char c : ace)
        out.append(lower(c));
    return true;
}

// Whether the reference needs tabs or line ends dropped, or "\" turned to "/".
bool needsCleaning(QByteArrayView s)
{
    for (const char c : s)
        if (c == '\t' || c == '\n' || c == '\r' || c == '\\')
            return true;
    return false;
}

} // namespace

class AddressBuilder
{
public:
    // The reference resolved against base (none: it must be absolute), in
    // normal form.
    static WebAddress build(const WebAddress *base, QByteArrayView raw);

private:
    static bool appendAuthority(QByteArrayView authority, bool https, WebAddress &a, Writer &out);
};

bool AddressBuilder::appendAuthority(QByteArrayView authority, bool https, WebAddress &a,
                                     Writer &out)
{
    const qsizetype at = authority.lastIndexOf('@');
    if (at > 0) {
        appendNormalisedEscapes(authority.first(at), out);
        out.append('@');
    }
    authority = authority.sliced(at + 1);
    a.m_hostBegin = quint32(out.size());
    qsizetype hostEnd = authority.size();
    if (authority.startsWith('[')) {
        hostEnd = authority.indexOf(']') + 1;
        if (hostEnd == 0 || (hostEnd < authority.size() && authority[hostEnd] != ':'))
            return false;
    } else if (const qsizetype colon = authority.indexOf(':'); colon >= 0) {
        hostEnd = colon;
    }
    if (!appendHost(authority.first(hostEnd), out))
        return false;
    a.m_hostEnd = quint32(out.size());
    const int defaultPort = https ? 443 : 80;
    a.m_port = defaultPort;
    if (hostEnd < authority.size()) {
        const QByteArrayView digits = authority.sliced(hostEnd + 1);
        if (!digits.isEmpty()) {
            int port = 0;
            for (const char c : digits) {
                if (c < '0' || c > '9')
                    return false;
                port = port * 10 + (c - '0');
                if (port > 65535)
                    return false;
            }
            a.m_port = port;
        }
    }
    if (a.m_port != defaultPort) {
        out.append(':');
        out.append(QByteArrayView(QByteArray::number(a.m_port)));
    }
    return true;
}

WebAddress AddressBuilder::build(const WebAddress *base, QByteArrayView raw)
{
    if (base && !base->isValid())
        return {};
    while (!raw.isEmpty() && uchar(raw.front()) <= 0x20)
        raw = raw.sliced(1);
    while (!raw.isEmpty() && uchar(raw.back()) <= 0x20)
        raw.chop(1);
    QVarLengthArray<char, 512> cleaned;
    if (needsCleaning(raw)) {
        bool beforeQuery = true;
        for (const char c : raw) {
            if (c == '\t' || c == '\n' || c == '\r')
                continue;
            beforeQuery = beforeQuery && c != '?' && c != '#';
            cleaned.append(beforeQuery && c == '\\' ? '/' : c);
        }
        raw = QByteArrayView(cleaned.constData(), cleaned.size());
    }

    // The parts, read as a browser reads an http(s) address: any number of
    // slashes may open the authority, and the base's own scheme without one
    // is a relative reference (RFC 3986's non-strict reading).
    Parts ref;
    bool https = base && base->isHttps();
    bool absolute = false;
    qsizetype i = findAny<':', '/', '?', '#'>(raw, 0);
    if (i < raw.size() && raw[i] == ':' && isSchemeSyntax(raw.first(i))) {
        const QByteArrayView scheme = raw.first(i);
        if (!equalsLower(scheme, "http") && !equalsLower(scheme, "https"))
            return {};
        const bool refHttps = scheme.size() == 5;
        ++i;
        absolute = !base || base->isHttps() != refHttps || raw.sliced(i).startsWith("//");
        https = absolute ? refHttps : https;
    } else {
        i = 0;
    }
    if (absolute || raw.sliced(i).startsWith("//")) {
        while (i < raw.size() && raw[i] == '/')
            ++i;
        const qsizetype end = findAny<'/', '?', '#'>(raw, i);
        ref.hasAuthority = true;
        ref.authority = raw.sliced(i, end - i);
        i = end;
    }
    splitTail(raw, i, ref);
    if (!base && !ref.hasAuthority)
        return {};

    WebAddress a;
    Writer out(raw.size() + (ref.hasAuthority ? 8 : base->m_text.size()) + 8);
    out.append(https ? "https://" : "http://");
    if (ref.hasAuthority) {
        if (!appendAuthority(ref.authority, https, a, out))
            return {};
    } else {
        out.append(QByteArrayView(base->m_text).sliced(out.size(), base->m_pathBegin - out.size()));
        a.m_hostBegin = base->m_hostBegin;
        a.m_hostEnd = base->m_hostEnd;
        a.m_port = base->m_port;
    }
    a.m_pathBegin = quint32(out.size());
    if (!ref.hasAuthority && ref.path.isEmpty()) {
        out.append(base->path());
    } else {
        qsizetype from = out.size();
        if (!ref.hasAuthority && !ref.path.startsWith('/')) {
            // Merged: the base's folder holds no dot segment, so 5.2.4's
            // reading starts at its last slash.
            const QByteArrayView basePath = base->path();
            out.append(basePath.first(basePath.lastIndexOf('/') + 1));
            from = out.size() - 1;
        }
        appendNormalisedEscapes(ref.path, out);
        out.truncate(removeDotSegments(out.data(), a.m_pathBegin, from, out.size()));
        if (out.size() == qsizetype(a.m_pathBegin))
            out.append('/');
    }
    a.m_queryBegin = quint32(out.size());
    if (ref.hasQuery) {
        out.append('?');
        appendNormalisedEscapes(ref.query, out);
    } else if (!ref.hasAuthority && ref.path.isEmpty()) {
        out.append(base->query());
    }
    a.m_text = out.take();
    return a;
}

WebAddress WebAddress::parse(QByteArrayView utf8)
{
    return AddressBuilder::build(nullptr, utf8);
}

WebAddress WebAddress::parse(QStringView text)
{
    return AddressBuilder::build(nullptr, text.toUtf8());
}

WebAddress WebAddress::resolved(QByteArrayView referenceUtf8) const
{
    return AddressBuilder::build(this, referenceUtf8);
}

WebAddress WebAddress::resolved(QStringView reference) const
{
    return AddressBuilder::build(this, reference.toUtf8());
}

QByteArrayView WebAddress::userInfo() const
{
    const quint32 begin = isHttps() ? 8 : 7;
    return m_hostBegin > begin ? view(begin, m_hostBegin - 1) : QByteArrayView();
}

bool WebAddress::sameOrigin(const WebAddress &other) const
{
    return isHttps() == other.isHttps() && m_port == other.m_port && host() == other.host();
}

QByteArray normaliseEscapes(QByteArrayView text)
{
    QByteArray out;
    out.reserve(text.size());
    appendNormalisedEscapes(text, out);
    return out;
}

QByteArray resolveReference(QByteArrayView base, QByteArrayView reference)
{
    const Parts b = split(base);
    const Parts r = split(reference);
    if (!b.hasScheme)
        return {};
    const Parts &authorityFrom = r.hasScheme || r.hasAuthority ? r : b;
    QByteArray out = (r.hasScheme ? r.scheme : b.scheme).toByteArray() + ':';
    if (authorityFrom.hasAuthority)
        out += "//" + authorityFrom.authority.toByteArray();
    const Parts *queryFrom = &r;
    const auto appendWithoutDots = [&out](QByteArrayView path) {
        const qsizetype floor = out.size();
        out += path;
        out.truncate(removeDotSegments(out.data(), floor, floor, out.size()));
    };
    if (r.hasScheme || r.hasAuthority || r.path.startsWith('/')) {
        appendWithoutDots(r.path);
    } else if (r.path.isEmpty()) {
        out += b.path;
        if (!r.hasQuery)
            queryFrom = &b;
    } else { // 5.2.3
        QByteArray merged;
        if (b.hasAuthority && b.path.isEmpty())
            merged = '/' + r.path.toByteArray();
        else
            merged = b.path.first(b.path.lastIndexOf('/') + 1).toByteArray() + r.path.toByteArray();
        appendWithoutDots(merged);
    }
    if (queryFrom->hasQuery)
        out += '?' + queryFrom->query.toByteArray();
    if (r.hasFragment)
        out += '#' + r.fragment.toByteArray();
    return out;
}

ScopeCheck::ScopeCheck(const WebAddress &start, CrawlScope scope) : m_start(start), m_scope(scope)
{
    const QByteArrayView path = start.path();
    m_folder = path.first(path.lastIndexOf('/') + 1).toByteArray();
    const QByteArrayView host = start.host();
    m_ipHost = host.startsWith('[') || std::all_of(host.begin(), host.end(), [](char c) {
                   return c == '.' || std::isdigit(uchar(c));
               });
}

bool ScopeCheck::contains(const WebAddress &address) const
{
    if (!address.isValid() || !m_start.isValid())
        return false;
    switch (m_scope) {
    case CrawlScope::Host:
        return m_start.sameOrigin(address);
    case CrawlScope::Prefix:
        return m_start.sameOrigin(address) && address.path().startsWith(m_folder);
    case CrawlScope::Domain: {
        const QByteArrayView host = address.host(), start = m_start.host();
        return host == start || (!m_ipHost && host.size() > start.size() && host.endsWith(start) &&
                                 host[host.size() - start.size() - 1] == '.');
    }
    }
    return false;
}
