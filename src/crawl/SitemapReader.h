#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>

// Reads one sitemap file as it arrives: its raw bytes are fed in pieces cut
// anywhere, gzip-compressed or not (told by gzip's magic bytes), and the
// addresses of its <loc> elements are handed out as they are read. A
// <urlset> gives pages (<url><loc>), a <sitemapindex> gives sitemaps
// (<sitemap><loc>); namespaces are ignored, entities and CDATA read. Past the
// protocol's limits (50,000 addresses, 50 MB of XML), at a text, tag or
// comment of over 2 MiB (what the XML reader would hold) or on anything that is
// not a well-formed sitemap the reader fails with a reason, keeping the
// addresses read before. Only what is fed and not yet read, and the
// addresses not yet taken, are held.
class SitemapReader
{
public:
    enum class Kind
    {
        Unknown, // no root element read yet
        Pages,
        Sitemaps
    };
    static constexpr int maxAddresses = 50'000;
    static constexpr qint64 maxBytes = 52'428'800;
    static constexpr qsizetype maxAddressLength = 2 * 1024 * 1024;
    // No sitemap needs a longer text, tag or comment; past it, a failure.
    static constexpr qint64 maxTokenBytes = 2 * 1024 * 1024;

    SitemapReader();
    ~SitemapReader();
    SitemapReader(const SitemapReader &) = delete;
    SitemapReader &operator=(const SitemapReader &) = delete;

    // Queues bytes of the body; reading them is advance()'s.
    void feed(QByteArrayView raw);
    // No more bytes will come.
    void finish();
    // Reads about budget bytes of XML at most, so that a slice of the event
    // loop stays short whatever the compression; true when there is more to
    // read now, false when it waits for bytes or is done.
    bool advance(qint64 budget = 256 * 1024);

    // The addresses read since the last call, trimmed, as UTF-8.
    QList<QByteArray> take();

    Kind kind() const;
    // Finished (all read after finish()) or failed.
    bool isDone() const;
    bool failed() const { return !error().isEmpty(); }
    QString error() const;
    // Bytes fed and not yet read: a caller keeps this small by pausing its
    // transfer.
    qsizetype pendingBytes() const;

private:
    struct State;
    std::unique_ptr<State> d;
};
