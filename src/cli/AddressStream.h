#pragma once

#include "cli/CommandLine.h"
#include "extraction/SiteSource.h"
#include "platform/PageFetcher.h"
#include "sitelist/FileToList.h"

#include <QFile>
#include <QPointer>

#include <deque>
#include <memory>

class LinkHarvest;
class PageFetcher;
class QSocketNotifier;
class SiteList;

// The sites of the command line as one stream, each source read only as the
// run gets to it: an address file of any length costs a chunk's worth of
// memory, and a page's links are harvested when the sites before it are done.
// An address file gives a site for each non-empty line, the line up to a tab
// if it has one, so that a list of failures is itself an address file.
class AddressStream : public SiteSource
{
    Q_OBJECT
public:
    AddressStream(const QList<CliOptions::Source> &sources, PageFetcher &fetcher,
                  QObject *parent = nullptr);
    ~AddressStream() override;

    Status site(qsizetype index, QString &address) override;
    void release(qsizetype index) override;
    qsizetype total() const override { return m_ended ? m_next : -1; }

    // From now on the stream only lists what is left, without waiting: a
    // harvest is abandoned for its page's own address, standard input ends
    // where it has nothing more at once.
    void stop();

signals:
    // A file that could not be read: the stream ends there.
    void unreadable(const QString &message);
    // A page whose links could not be had.
    void harvestFailed(const QString &address, const QString &message, FetchError kind);
    // Links of a harvested page too long to be addresses, left out.
    void linksDropped(const QString &page, qsizetype count);

private:
    // Takes in more addresses of the current source; false while it waits.
    bool readSome();
    bool readFile(const QString &path);
    bool harvest(const QString &typed);
    void nextSource();
    void push(const QString &address);
    void pushLine(const QString &line);
    void restoreInputFlags();

    QList<CliOptions::Source> m_sources;
    PageFetcher &m_fetcher;
    qsizetype m_source = 0;
    bool m_ended = false;
    bool m_stopped = false;
    std::deque<QString> m_buffer; // the sites from m_first on
    qsizetype m_first = 0;
    qsizetype m_next = 0; // index of the next site to come

    // The address file being read.
    std::unique_ptr<QFile> m_file;
    AddressFileSplitter m_splitter;
    QSocketNotifier *m_readable = nullptr; // standard input as a pipe
    int m_inputFlags = -1;                 // before it was made non-blocking
    // The page being harvested.
    std::unique_ptr<SiteList> m_harvested;
    QPointer<LinkHarvest> m_harvest;
    bool m_harvestDone = false;
};
