#include "sitelist/ExtractLinks.h"

#include "model/WorkSlice.h"
#include "sitelist/SiteList.h"

#include <QDir>
#include <QFile>
#include <QStringDecoder>
#include <QTemporaryFile>

#include <algorithm>
#include <cstring>

namespace {

// How many positions the scan covers between looks at the clock.
constexpr qsizetype positionsPerCheck = 4096;

char lowerAscii(char c)
{
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

bool markerAt(const char *bytes)
{
    return bytes[5] == '"' && bytes[4] == '=' && lowerAscii(bytes[0]) == 'h' &&
           lowerAscii(bytes[1]) == 'r' && lowerAscii(bytes[2]) == 'e' &&
           lowerAscii(bytes[3]) == 'f';
}

bool startsWithHttp(QStringView text)
{
    return text.startsWith(u"http", Qt::CaseInsensitive);
}

} // namespace

void ExtractLinks::SetBaseUrl(const QString &typed)
{
    QString s = startsWithHttp(typed) ? typed : QStringLiteral("http://") + typed;
    // A typed address ending like a page names that page; any other names a folder.
    const QStringView lastThree = typed.size() >= 3 ? QStringView(typed).right(3) : QStringView();
    if (lastThree != u"htm" && lastThree != u"tml" && !s.endsWith(u'/'))
        s += u'/';
    BaseUrl = s;
    const qsizetype slash = BaseUrl.lastIndexOf(u'/');
    BaseFolder = slash < 0 ? QString() : BaseUrl.left(slash);
}

void ExtractLinks::setPage(QByteArray bytes)
{
    PageBytes = std::move(bytes);
    PageLength = PageBytes.size();
    m_nextPosition = -1;
}

bool ExtractLinks::ScanLinks(SiteList &list, const WorkSlice &slice)
{
    if (m_nextPosition < 0) {
        list.append(BaseUrl);
        m_nextPosition = 0;
    }
    const char *bytes = PageBytes.constData();
    // The marker is six bytes long: no match starts later than this.
    const qsizetype lastStart = PageLength - 6;
    qsizetype p = m_nextPosition;
    while (p <= lastStart) {
        // A found link is not skipped over: the scan goes on at the next byte.
        const qsizetype stop = std::min(lastStart + 1, p + positionsPerCheck);
        for (; p < stop; ++p) {
            if (markerAt(bytes + p))
                AddLink(p + 6, list);
        }
        if (slice.expired())
            break;
    }
    m_nextPosition = p;
    return p > lastStart;
}

void ExtractLinks::AddLink(qsizetype position, SiteList &list) const
{
    std::optional<QString> value = ReadLinkValue(position);
    if (!value)
        return;
    QString v = std::move(*value);
    // Only one slash goes: "//G/x" keeps the second and is completed like any
    // relative value.
    if (v.startsWith(u'/'))
        v.remove(0, 1);
    if (!startsWithHttp(v))
        v = BaseFolder + u'/' + v;
    if (!v.endsWith(u'/'))
        v += u'/';
    list.append(v);
}

std::optional<QString> ExtractLinks::ReadLinkValue(qsizetype position) const
{
    if (position < 0 || position >= PageLength)
        return std::nullopt;
    const char *start = PageBytes.constData() + position;
    const auto *quote = static_cast<const char *>(std::memchr(start, '"', PageLength - position));
    if (!quote)
        return std::nullopt;
    // Decoded the way address files are: a leading byte-order mark stays.
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom |
                                                     QStringDecoder::Flag::Stateless);
    return QString(decoder.decode(QByteArrayView(start, quote - start)));
}

LinkHarvest::LinkHarvest(SiteList &list, PageFetcher &fetcher, const QString &typed,
                         QObject *parent)
    : QueuedJob(parent), m_list(list), m_fetcher(fetcher), m_typed(typed)
{
}

// The download, if still under way, ends with its reply, before the page file goes.
LinkHarvest::~LinkHarvest()
{
    m_download.reset();
}

void LinkHarvest::start()
{
    GetLinks(m_typed);
}

void LinkHarvest::stop()
{
    m_download.reset();
    m_pageFile.reset();
    m_state.setPage({});
    m_stopped = true;
    emit finished({});
}

void LinkHarvest::GetLinks(const QString &typed)
{
    m_state.SetBaseUrl(typed);
    // A private file in the temporary folder: the program's own folder may be
    // read-only, and a fixed name there would be shared with other harvests
    // and other users.
    m_pageFile = std::make_unique<QTemporaryFile>(QDir::tempPath() +
                                                  QStringLiteral("/quillora-page-XXXXXX.tmp"));
    if (!m_pageFile->open()) {
        // Reported like a download that could not write its file.
        continueLater(this, [this, why = m_pageFile->errorString()] {
            fail(QStringLiteral("page file not made: ") + why);
        });
        return;
    }
    m_pageFile->close();
    m_download = m_fetcher.downloadToFile(m_state.BaseUrl, m_pageFile->fileName());
    connect(m_download.get(), &FetchReply::finished, this, &LinkHarvest::onDownloaded);
}

void LinkHarvest::onDownloaded(const FetchResult &result)
{
    m_download.release()->deleteLater(); // it is still emitting
    if (!result.ok) {
        m_failure = result.kind;
        fail(failureReason(result));
        return;
    }
    QFile page(m_pageFile->fileName());
    if (!page.open(QIODevice::ReadOnly)) {
        fail(QStringLiteral("page file not read: ") + page.errorString());
        return;
    }
    m_state.setPage(page.readAll());
    const bool readWhole = page.error() == QFileDevice::NoError;
    const QString readError = page.errorString();
    page.close();
    m_pageFile.reset();
    if (!readWhole) {
        fail(QStringLiteral("page file not read: ") + readError);
        return;
    }
    scanSlice();
}

void LinkHarvest::scanSlice()
{
    if (m_stopped)
        return;
    const WorkSlice slice;
    if (!m_state.ScanLinks(m_list, slice)) {
        continueLater(this, [this] { scanSlice(); });
        return;
    }
    m_state.setPage({});
    emit finished({});
}

void LinkHarvest::fail(const QString &reason)
{
    if (m_stopped)
        return;
    m_reason = reason;
    m_pageFile.reset();
    emit finished({QStringLiteral("Url not found"), MessageIcon::Exclamation});
}

HarvestQueue::HarvestQueue(SiteList &list, PageFetcher &fetcher, QObject *parent)
    : SerialQueue(parent), m_list(list), m_fetcher(fetcher)
{
}

void HarvestQueue::enqueue(const QString &typed)
{
    SerialQueue::enqueue([this, typed] { return new LinkHarvest(m_list, m_fetcher, typed, this); });
}
