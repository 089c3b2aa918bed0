#pragma once

#include "cli/CommandLine.h"
#include "extraction/SiteSource.h"
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

signals:
    // A file that could not be read: the stream ends there.
    void unreadable(const QString &message);
    // A page whose links could not be had.
    void harvestFailed(const QString &address, const QString &message);

private:
    // Takes in more addresses of the current source; false while it waits.
    bool readSome();
    bool readFile(const QString &path);
    bool harvest(const QString &typed);
    void nextSource();
    void push(const QString &address);

    QList<CliOptions::Source> m_sources;
    PageFetcher &m_fetcher;
    qsizetype m_source = 0;
    bool m_ended = false;
    std::deque<QString> m_buffer; // the sites from m_first on
    qsizetype m_first = 0;
    qsizetype m_next = 0; // index of the next site to come

    // The address file being read.
    std::unique_ptr<QFile> m_file;
    AddressFileSplitter m_splitter;
    QSocketNotifier *m_readable = nullptr; // standard input as a pipe
    // The page being harvested.
    std::unique_ptr<SiteList> m_harvested;
    QPointer<LinkHarvest> m_harvest;
    bool m_harvestDone = false;
};
