#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

#include <optional>

class WebAddress;

// A site's robots.txt as RFC 9309 reads it, for one crawler. The rules of the
// groups naming the crawler's product token (letter case ignored) apply, all
// of them merged; else those of the "*" groups. Of the rules matching a path
// the longest wins, allow on a tie; none: allowed. "*" matches any run of
// bytes, a final "$" the end; escapes are compared in normal form. Only the
// first 500 KiB are read.
class RobotsTxt
{
public:
    static constexpr qsizetype maxBytes = 500 * 1024;

    // The file was answered 2xx (after any redirects).
    static RobotsTxt parse(QByteArrayView body, QByteArrayView productToken = "quillora");
    // A 4xx answer, or redirects that led nowhere: there are no rules.
    static RobotsTxt allowAll() { return RobotsTxt(); }
    // A 5xx answer or no answer at all: nothing may be fetched this run.
    static RobotsTxt disallowAll();
    // The answer's status chooses one of the three; 0 for no answer.
    static RobotsTxt fromAnswer(int httpStatus, QByteArrayView body,
                                QByteArrayView productToken = "quillora");

    enum Verdict
    {
        Allowed,
        Disallowed,
        // So many wildcard rules against so long a path that matching would
        // hold the event loop (a hostile file): not fetched, for that reason.
        TooComplex
    };
    // Matching costs about a byte step per byte of path for each wildcard
    // rule, and this many at most.
    static constexpr qint64 maxMatchSteps = 16 * 1024 * 1024;

    // pathAndQuery as it follows the host of an address; /robots.txt is
    // always allowed.
    Verdict verdict(QByteArrayView pathAndQuery) const;
    bool allows(QByteArrayView pathAndQuery) const { return verdict(pathAndQuery) == Allowed; }
    bool allows(const WebAddress &address) const;

    // The chosen groups' Crawl-delay, in seconds; none when absent or not a
    // non-negative number.
    std::optional<double> crawlDelay() const { return m_crawlDelay; }
    // Every Sitemap line's value, in file order, whatever group it stands in.
    const QList<QByteArray> &sitemaps() const { return m_sitemaps; }

private:
    struct Rule
    {
        QByteArray pattern; // escapes in normal form
        bool allow = false;
        bool plain = false;         // neither "*" nor a final "$": a prefix
        qsizetype literalBytes = 0; // the shortest path it can match
    };
    static bool matches(const Rule &rule, QByteArrayView path);

    QList<Rule> m_rules; // longest first, allow before disallow among equals
    std::optional<double> m_crawlDelay;
    QList<QByteArray> m_sitemaps;
    bool m_disallowAll = false;
    qint64 m_wildcardRules = 0;
    qint64 m_wildcardBytes = 0;
};
