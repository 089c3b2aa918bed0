#pragma once

#include "model/SerialQueue.h"
#include "platform/PageFetcher.h"
#include "sitelist/AddressSource.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <memory>
#include <optional>

class QFile;
class QTemporaryFile;
class SiteList;
class TextList;
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
    bool ScanLinks(TextList &list, const WorkSlice &slice);
    // Completes the value that starts at position (0-based) and appends it;
    // a value the page ends before closing is left out.
    void AddLink(qsizetype position, TextList &list) const;
    // The bytes from position up to the next double quote, as UTF-8 text;
    // nothing when no quote follows.
    std::optional<QString> ReadLinkValue(qsizetype position) const;

private:
    qsizetype m_nextPosition = -1; // -1: BaseUrl not appended yet
};

// The links of one page, as "Get Links in URL" harvests them: the page is
// downloaded into a private temporary file, read, the file removed, and its
// bytes scanned in short slices, the page's own address first. Destroying it
// abandons the work at once.
class PageLinks : public AddressSource
{
    Q_OBJECT
public:
    PageLinks(PageFetcher &fetcher, const QString &typed, QObject *parent = nullptr);
    ~PageLinks() override;

    State produce(TextList &out, const WorkSlice &slice) override;
    // A page not downloaded yet stands for its links: its own address alone.
    void finishWithoutWaiting() override;
    // "Url not found", where the command line gives the reason.
    UserMessage message() const override;
    // The page's own address, the first one produced.
    QString pageAddress() const { return m_state.BaseUrl; }

private:
    void download();
    void onDownloaded(const FetchResult &result);
    bool readSome();

    enum class Stage
    {
        NotStarted,
        Downloading,
        Reading,
        Scanning,
        Failed,
        Ended
    };

    PageFetcher &m_fetcher;
    ExtractLinks m_state;
    std::unique_ptr<QTemporaryFile> m_pageFile;
    std::unique_ptr<QFile> m_page; // the page file, while it is read
    QByteArray m_bytes;            // what was read of it
    std::unique_ptr<FetchReply> m_download;
    Stage m_stage = Stage::NotStarted;
    FetchResult m_result;
    QString m_reason;
};

// Harvests never overlap: a press while one is under way starts its harvest
// when the current one ends, in the order pressed. The links reach the site
// list as they are found, and stay should the harvest be stopped.
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
