#include "sitelist/SitemapFeed.h"

#include "crawl/WebAddress.h"
#include "model/WorkSlice.h"

namespace {
// Bytes taken from the transfer while the reader still holds this many unread
// are left with it, pausing it.
constexpr qsizetype unreadBytes = 1024 * 1024;
} // namespace

SitemapFeed::SitemapFeed(PageFetcher &fetcher, Found found, QObject *parent)
    : QObject(parent), m_fetcher(fetcher), m_found(std::move(found))
{
}

SitemapFeed::~SitemapFeed() = default;

void SitemapFeed::add(QByteArrayView address, int nesting)
{
    if (!m_seen.insert(address))
        return;
    m_files.push(address, nesting);
    if (!m_reader)
        next();
}

void SitemapFeed::next()
{
    std::optional<FrontierEntry> file = m_files.pop();
    if (!file) {
        emit progressed();
        return;
    }
    m_address = QString::fromUtf8(file->address);
    m_nesting = file->depth;
    m_result.reset();
    m_reader = std::make_unique<SitemapReader>();
    m_reply = m_fetcher.fetchBytes(m_address);
    connect(m_reply.get(), &FetchReply::readyRead, this, &SitemapFeed::takeBytes);
    connect(m_reply.get(), &FetchReply::restarted, this,
            [this] { m_reader = std::make_unique<SitemapReader>(); });
    connect(m_reply.get(), &FetchReply::finished, this, [this](const FetchResult &result) {
        m_result = result;
        if (result.ok)
            return takeBytes();
        m_reply.release()->deleteLater(); // it is still emitting
        scheduleRead();
    });
}

// Feeds the reader what arrived while it holds little unread; the rest stays
// with the transfer, which pauses. Once the transfer ended and gave all it
// had, the reader is told that no more comes.
void SitemapFeed::takeBytes()
{
    if (!m_reply || !m_reader)
        return;
    bool taken = false;
    while (m_reader->pendingBytes() < unreadBytes) {
        const QByteArray bytes = m_reply->read();
        if (bytes.isEmpty()) {
            if (m_result) {
                m_reader->finish();
                m_reply.release()->deleteLater(); // it may be emitting
                taken = true;
            }
            break;
        }
        m_reader->feed(bytes);
        taken = true;
    }
    if (taken)
        scheduleRead();
}

void SitemapFeed::scheduleRead()
{
    if (!std::exchange(m_readQueued, true))
        continueLater(this, [this] {
            m_readQueued = false;
            readSome();
        });
}

void SitemapFeed::readSome()
{
    if (!m_reader)
        return;
    const WorkSlice slice;
    bool more = true;
    while (more && !slice.expired()) {
        more = m_reader->advance();
        const bool pages = m_reader->kind() == SitemapReader::Kind::Pages;
        for (const QByteArray &address : m_reader->take()) {
            if (pages) {
                ++m_pages;
                m_found(address);
                continue;
            }
            // An index names files by their full address.
            const WebAddress file = WebAddress::parse(QByteArrayView(address));
            if (!file.isValid())
                emit failed(QString::fromUtf8(address), QStringLiteral("not a web address"),
                            FetchError::InvalidAddress);
            else if (m_nesting >= maxNesting)
                emit failed(file.toString(), QStringLiteral("sitemap index nested too deep"),
                            FetchError::Other);
            else
                add(file.bytes(), m_nesting + 1);
        }
        if (!m_reader)
            return; // stopped by a listener
    }
    if (more)
        return scheduleRead();
    if (m_reader->isDone() || (m_result && !m_result->ok))
        return fileEnded();
    // Waiting for bytes: those left with the transfer come now.
    takeBytes();
    emit progressed();
}

void SitemapFeed::fileEnded()
{
    const FetchResult result = m_result.value_or(FetchResult());
    if (!result.ok)
        emit failed(m_address, failureReason(result), result.kind);
    else if (m_reader->failed())
        emit failed(m_address, m_reader->error(), FetchError::Malformed);
    m_reader.reset();
    m_reply.reset();
    next();
}

QStringList SitemapFeed::stop()
{
    QStringList unread;
    if (m_reader)
        unread << m_address;
    m_reader.reset();
    m_reply.reset();
    while (std::optional<FrontierEntry> file = m_files.pop())
        unread << QString::fromUtf8(file->address);
    return unread;
}
