#pragma once

#include "model/SerialQueue.h"
#include "platform/PageFetcher.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <memory>
#include <optional>

class QTemporaryFile;
class SiteList;
class WorkSlice;

// The state of one link harvest and the scan over its page. Each harvest owns
// its own, so a harvest waiting its turn never sees another's page.
class ExtractLinks
{
public:
    QString BaseUrl;      // the typed address normalised: downloaded, and the first row added
    QString BaseFolder;   // BaseUrl before its last "/"; relative links are completed against it
    QByteArray PageBytes; // the downloaded page, byte for byte
    qsizetype PageLength = 0;

    void SetBaseUrl(const QString &typed);
    // Takes the page to scan; the next ScanLinks starts at its beginning.
    void setPage(QByteArray bytes);
    // Appends BaseUrl, then every value that follows the six bytes href=" (ASCII
    // letters in any case), completed, in page order. Goes on where the last
    // call stopped; returns true once the page is done, false when the slice
    // ran out first.
    bool ScanLinks(SiteList &list, const WorkSlice &slice);
    // Completes the value that starts at position (0-based) and appends it;
    // a value the page ends before closing is left out.
    void AddLink(qsizetype position, SiteList &list) const;
    // The bytes from position up to the next double quote, as UTF-8 text;
    // nothing when no quote follows.
    std::optional<QString> ReadLinkValue(qsizetype position) const;

private:
    qsizetype m_nextPosition = -1; // -1: BaseUrl not appended yet
};

// One press of "Get Links in URL": downloads the page into a private
// temporary file, reads it, removes the file and scans the bytes in short
// slices on the event loop. Destroying it abandons the work at once.
class LinkHarvest : public QueuedJob
{
    Q_OBJECT
public:
    LinkHarvest(SiteList &list, PageFetcher &fetcher, const QString &typed,
                QObject *parent = nullptr);
    ~LinkHarvest() override;

    // GetLinks with the address as typed; finished() follows, with "Url not
    // found" when the page could not be downloaded.
    void start() override;
    // Ends the harvest at once, keeping the rows it added.
    void stop() override;
    // After a failure, its cause in a few words, where the window says "Url not found".
    QString reason() const { return m_reason; }
    // After a failure, its kind: the download's, or a file error.
    FetchError failure() const { return m_failure; }

private:
    void GetLinks(const QString &typed);
    void onDownloaded(const FetchResult &result);
    void scanSlice();
    void fail(const QString &reason);

    SiteList &m_list;
    PageFetcher &m_fetcher;
    const QString m_typed;
    ExtractLinks m_state;
    std::unique_ptr<QTemporaryFile> m_pageFile;
    std::unique_ptr<FetchReply> m_download;
    bool m_stopped = false;
    QString m_reason;
    FetchError m_failure = FetchError::FileError;
};

// Harvests never overlap: a press while one is under way starts its harvest
// when the current one ends, in the order pressed.
class HarvestQueue : public SerialQueue
{
    Q_OBJECT
public:
    HarvestQueue(SiteList &list, PageFetcher &fetcher, QObject *parent = nullptr);

    void enqueue(const QString &typed);

private:
    SiteList &m_list;
    PageFetcher &m_fetcher;
};
