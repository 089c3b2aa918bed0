#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

// Resolves a reference against a base as RFC 3986 (5.2) has it, strictly and
// for any scheme: no normalisation, no leniency, the fragment kept. A base
// without a scheme gives an empty result.
QByteArray resolveReference(QByteArrayView base, QByteArrayView reference);

// The text with its escapes in normal form: those of unreserved characters
// decoded, the others' hex digits in upper case, a "%" that starts none written
// "%25", and every byte that may not stand in an address escaped.
QByteArray normaliseEscapes(QByteArrayView text);

// An absolute http or https address in normal form: scheme and host in lower
// case, the host in ASCII (IDN as punycode), no default port, no fragment, a
// path that is "/" at least and holds no "." or ".." segment, unreserved
// characters never escaped, other escapes in upper-case hex, and every byte
// that may not stand in an address (space, non-ASCII, quotes...) escaped as
// UTF-8. Two addresses that name the same resource this way have the same bytes.
class WebAddress
{
public:
    WebAddress() = default;

    // An address as typed or found in a page: surrounding white space and
    // control characters stripped, tabs and line ends inside dropped, "\" read
    // as "/" before the query. Anything but an absolute http(s) address with
    // a host gives an invalid one.
    static WebAddress parse(QByteArrayView utf8);
    static WebAddress parse(QStringView text);

    // The reference (an href, a sitemap's loc...) resolved against this
    // address with the leniency of parse(); an invalid address when the result
    // is not http(s) (mailto:, javascript:, data:...), has no host or a bad
    // port, or when this address is invalid. A page's <base href> is
    // page.resolved(base).resolved(href).
    WebAddress resolved(QByteArrayView referenceUtf8) const;
    WebAddress resolved(QStringView reference) const;

    bool isValid() const { return !m_text.isEmpty(); }
    // The normal form, ASCII only; empty when invalid.
    const QByteArray &bytes() const { return m_text; }
    QString toString() const { return QString::fromLatin1(m_text); }

    bool isHttps() const { return m_text.size() > 4 && m_text[4] == 's'; }
    QByteArrayView scheme() const { return view(0, isHttps() ? 5 : 4); }
    QByteArrayView userInfo() const; // without its "@"; empty when none
    QByteArrayView host() const { return view(m_hostBegin, m_hostEnd); }
    int port() const { return m_port; } // the default one when none is written
    QByteArrayView path() const { return view(m_pathBegin, m_queryBegin); }
    // From "?" on; empty when there is no query.
    QByteArrayView query() const { return view(m_queryBegin, quint32(m_text.size())); }
    // What robots.txt rules are matched against.
    QByteArrayView pathAndQuery() const { return view(m_pathBegin, quint32(m_text.size())); }
    // The scheme, host and port.
    bool sameOrigin(const WebAddress &other) const;

    friend bool operator==(const WebAddress &a, const WebAddress &b)
    {
        return a.m_text == b.m_text;
    }

private:
    friend class AddressBuilder;
    QByteArrayView view(quint32 from, quint32 to) const
    {
        return QByteArrayView(m_text.constData() + from, qsizetype(to - from));
    }

    QByteArray m_text;
    quint32 m_hostBegin = 0; // after "://" and the user info
    quint32 m_hostEnd = 0;
    quint32 m_pathBegin = 0;
    quint32 m_queryBegin = 0;
    int m_port = 0;
};

// Which addresses a crawl from a start address keeps.
enum class CrawlScope
{
    Host,   // the same scheme, host and port
    Domain, // the start host or any of its subdomains, either scheme, any port
    Prefix  // the start's origin, under the start's folder (http://h/a/b.html: http://h/a/)
};

class ScopeCheck
{
public:
    ScopeCheck(const WebAddress &start, CrawlScope scope);
    bool contains(const WebAddress &address) const;

private:
    WebAddress m_start;
    CrawlScope m_scope;
    QByteArray m_folder;
    bool m_ipHost = false; // an IP address has no subdomains
};
