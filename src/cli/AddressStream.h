#pragma once

#include "cli/CommandLine.h"
#include "extraction/SiteSource.h"
#include "platform/PageFetcher.h"

#include <deque>
#include <memory>

class AddressSource;
class PageFetcher;

// The sites of the command line as one stream, each source made and read only
// as the run gets to it: an address file of any length costs a chunk's worth
// of memory, and a page's links are harvested when the sites before it are
// done. An address file gives a site for each non-empty line, the line up to a
// tab if it has one, so that a list of failures is itself an address file.
class AddressStream : public SiteSource
{
    Q_OBJECT
public:
    AddressStream(const QList<CliOptions::Source> &sources, PageFetcher &fetcher,
                  const CrawlSettings &crawl = {}, QObject *parent = nullptr);
    ~AddressStream() override;

    Status site(qsizetype index, QString &address) override;
    void release(qsizetype index) override;
    qsizetype total() const override { return m_ended ? m_next : -1; }
    std::optional<FetchResult> failureOf(qsizetype index) override;
    std::unique_ptr<PageReader> readerOf(qsizetype index) override;

    // From now on the stream only lists what is left, without waiting: a
    // harvest not yet fetched gives its page's own address, standard input
    // ends where it has nothing more at once.
    void stop();

signals:
    // A file that could not be read: the stream ends there.
    void unreadable(const QString &message);
    // A page whose links could not be had.
    void harvestFailed(const QString &address, const QString &message, FetchError kind);
    // Links of a harvested page too long to be addresses, left out.
    void linksDropped(const QString &page, qsizetype count);
    // What a source has to tell that is no failure.
    void note(const QString &text);

private:
    // Takes in more addresses of the current source; false while it waits.
    bool readSome();
    std::unique_ptr<AddressSource> makeSource(const CliOptions::Source &source);
    void nextSource();

    QList<CliOptions::Source> m_sources;
    PageFetcher &m_fetcher;
    const CrawlSettings m_crawl;
    qsizetype m_source = 0;
    std::unique_ptr<AddressSource> m_current;
    qsizetype m_overlong = 0; // links of the current source left out
    bool m_ended = false;
    bool m_stopped = false;
    struct Site
    {
        QString address;
        quint32 tag;                 // AddressSource::Tag
        const AddressSource *source; // that produced it
    };
    std::deque<Site> m_buffer; // the sites from m_first on
    qsizetype m_first = 0;
    qsizetype m_next = 0; // index of the next site to come
};
