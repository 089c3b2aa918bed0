#include "sitelist/ExtractLinks.h"

#include "html/Bytes.h"
#include "model/TextList.h"
#include "model/WorkSlice.h"

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

bool ExtractLinks::ScanLinks(TextList &list, const WorkSlice &slice)
{
    if (m_nextPosition < 0) {
        list.append(QStringView(BaseUrl));
        m_nextPosition = 0;
    }
    const char *bytes = PageBytes.constData();
    // The marker is six bytes long: no match starts later than this.
    const qsizetype lastStart = PageLength - 6;
    qsizetype p = m_nextPosition;
    while (p <= lastStart) {
        // A found link is not skipped over: the scan goes on at the next byte.
        // Only an h can begin the marker: the bytes between are skipped many
        // at a time.
        const qsizetype stop = std::min(lastStart + 1, p + positionsPerCheck);
        while (p < stop) {
            p = html::bytes::findAny(bytes + p, bytes + stop, 'h', 'H', 'h') - bytes;
            if (p == stop)
                break;
            if (markerAt(bytes + p))
                AddLink(p + 6, list);
            ++p;
        }
        if (slice.expired())
            break;
    }
    m_nextPosition = p;
    return p > lastStart;
}

void ExtractLinks::AddLink(qsizetype position, TextList &list) const
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
    list.append(QStringView(v));
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

PageLinks::PageLinks(PageFetcher &fetcher, const QString &typed, QObject *parent)
    : AddressSource(parent), m_fetcher(fetcher)
{
    m_state.SetBaseUrl(typed);
}

// The download, if still under way, ends with its reply, before the page file goes.
PageLinks::~PageLinks()
{
    m_download.reset();
}

UserMessage PageLinks::message() const
{
    return {QStringLiteral("Url not found"), MessageIcon::Exclamation};
}

void PageLinks::finishWithoutWaiting()
{
    if (m_stage != Stage::NotStarted && m_stage != Stage::Downloading)
        return;
    m_download.reset();
    m_pageFile.reset();
    m_state.setPage({});
    // Its links are not known: a rerun gets the page itself.
    m_stage = Stage::Scanning;
}

AddressSource::State PageLinks::produce(TextList &out, const WorkSlice &slice)
{
    switch (m_stage) {
    case Stage::NotStarted:
        download();
        return m_stage == Stage::Failed ? produce(out, slice) : State::Waiting;
    case Stage::Downloading:
        return State::Waiting;
    case Stage::Reading:
        return readSome() ? produce(out, slice) : State::More;
    case Stage::Scanning:
        if (!m_state.ScanLinks(out, slice))
            return State::More;
        m_state.setPage({});
        m_stage = Stage::Ended;
        return State::Ended;
    case Stage::Failed:
        return fail({m_reason, m_result.kind, m_state.BaseUrl});
    case Stage::Ended:
        break;
    }
    return State::Ended;
}

void PageLinks::download()
{
    m_stage = Stage::Downloading;
    // A private file in the temporary folder: the program's own folder may be
    // read-only, and a fixed name there would be shared with other harvests
    // and other users.
    m_pageFile = std::make_unique<QTemporaryFile>(QDir::tempPath() +
                                                  QStringLiteral("/quillora-page-XXXXXX.tmp"));
    if (!m_pageFile->open()) {
        // Reported like a download that could not write its file.
        m_reason = QStringLiteral("page file not made: ") + m_pageFile->errorString();
        m_result.kind = FetchError::FileError;
        m_pageFile.reset();
        m_stage = Stage::Failed;
        return;
    }
    m_pageFile->close();
    m_download = m_fetcher.downloadToFile(m_state.BaseUrl, m_pageFile->fileName());
    connect(m_download.get(), &FetchReply::finished, this, &PageLinks::onDownloaded);
}

void PageLinks::onDownloaded(const FetchResult &result)
{
    m_download.release()->deleteLater(); // it is still emitting
    m_result = result;
    m_stage = Stage::Failed;
    if (!result.ok) {
        m_reason = failureReason(result);
        m_pageFile.reset();
        emit ready();
        return;
    }
    m_result.kind = FetchError::FileError;
    m_page = std::make_unique<QFile>(m_pageFile->fileName());
    if (!m_page->open(QIODevice::ReadOnly)) {
        m_reason = QStringLiteral("page file not read: ") + m_page->errorString();
        m_page.reset();
        m_pageFile.reset();
    } else {
        m_bytes = QByteArray();
        m_bytes.reserve(qsizetype(m_page->size()));
        m_stage = Stage::Reading;
    }
    emit ready();
}

// The page file is read a mebibyte at a time, so that a large page holds no
// slice long; once read whole, it is removed.
bool PageLinks::readSome()
{
    constexpr qint64 piece = 1 << 20;
    const qsizetype at = m_bytes.size();
    const qint64 left = m_page->size() - at;
    if (left > 0) {
        const qint64 n = std::min(left, piece);
        m_bytes.resize(at + qsizetype(n)); // within the room reserved: no copy
        const qint64 got = m_page->read(m_bytes.data() + at, n);
        m_bytes.resize(at + qsizetype(std::max<qint64>(got, 0)));
        if (got > 0)
            return false;
    }
    if (m_page->error() == QFileDevice::NoError) {
        m_state.setPage(std::exchange(m_bytes, {}));
        m_stage = Stage::Scanning;
    } else {
        m_reason = QStringLiteral("page file not read: ") + m_page->errorString();
        m_bytes = QByteArray();
        m_stage = Stage::Failed;
    }
    m_page.reset();
    m_pageFile.reset();
    return true;
}

HarvestQueue::HarvestQueue(SiteList &list, PageFetcher &fetcher, QObject *parent)
    : SerialQueue(parent), m_list(list), m_fetcher(fetcher)
{
}

void HarvestQueue::enqueue(const QString &typed)
{
    SerialQueue::enqueue([this, typed] {
        return new SiteListFill(m_list, std::make_unique<PageLinks>(m_fetcher, typed),
                                SiteListFill::Arrival::AsTheyCome, this);
    });
}
