#pragma once

#include "crawl/Frontier.h"
#include "crawl/SeenSet.h"
#include "crawl/SitemapReader.h"
#include "platform/PageFetcher.h"

#include <QObject>
#include <QStringList>

#include <functional>
#include <memory>

// Reads sitemaps one after the other, in the order they were added or found
// in a sitemap index, each file once, and hands out the addresses of their
// pages as they are read. A file is fetched as bytes, compressed or not, and
// read in short slices as it arrives; only a piece of it is held at a time,
// and the files still to read wait in a frontier that spills to disk.
class SitemapFeed : public QObject
{
    Q_OBJECT
public:
    // An index within an index, and so on, this deep at most.
    static constexpr int maxNesting = 4;
    // A page's address as written in a sitemap, trimmed, as UTF-8.
    using Found = std::function<void(QByteArrayView address)>;

    SitemapFeed(PageFetcher &fetcher, Found found, QObject *parent = nullptr);
    ~SitemapFeed() override;

    void add(const QString &address) { add(address.toUtf8(), 0); }
    // Files being read or waiting.
    bool isBusy() const { return m_reply || m_reader || !m_files.empty(); }
    qint64 pagesFound() const { return m_pages; }
    // Stops reading; gives the files not read whole.
    QStringList stop();

signals:
    // A file that could not be read whole; the addresses read before stay.
    void failed(const QString &address, const QString &reason, FetchError kind);
    // Addresses were found, or the last file ended.
    void progressed();

private:
    void add(QByteArrayView address, int nesting);
    void next();
    void takeBytes();
    void readSome();
    void fileEnded();
    void scheduleRead();

    PageFetcher &m_fetcher;
    const Found m_found;
    Frontier m_files{256 * 1024};
    SeenSet m_seen;
    QString m_address; // of the file being read
    int m_nesting = 0;
    std::unique_ptr<FetchReply> m_reply;
    std::unique_ptr<SitemapReader> m_reader;
    std::optional<FetchResult> m_result; // how its transfer ended
    bool m_readQueued = false;
    qint64 m_pages = 0;
};
