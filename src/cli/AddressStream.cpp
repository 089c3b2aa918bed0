#include "cli/AddressStream.h"

#include "model/WorkSlice.h"
#include "sitelist/CrawlSource.h"
#include "sitelist/ExtractLinks.h"
#include "sitelist/FileToList.h"
#include "sitelist/SitemapSource.h"
#include "sitelist/UrlMon.h"

namespace {

constexpr qsizetype chunkBytes = 64 * 1024;

// The addresses of --url, given at once.
class GivenAddress : public AddressSource
{
public:
    explicit GivenAddress(const QString &address) : m_address(address) {}
    State produce(TextList &out, const WorkSlice &) override
    {
        out.append(QStringView(m_address));
        return State::Ended;
    }
    UserMessage message() const override { return {}; }

private:
    const QString m_address;
};

} // namespace

AddressStream::AddressStream(const QList<CliOptions::Source> &sources, PageFetcher &fetcher,
                             const CrawlSettings &crawl, QObject *parent)
    : SiteSource(parent), m_sources(sources), m_fetcher(fetcher), m_crawl(crawl)
{
}

AddressStream::~AddressStream() = default;

void AddressStream::stop()
{
    m_stopped = true;
    if (m_current)
        m_current->finishWithoutWaiting();
}

SiteSource::Status AddressStream::site(qsizetype index, QString &address)
{
    while (index >= m_next && !m_ended) {
        if (!readSome())
            return Status::Pending;
    }
    if (index >= m_next)
        return Status::End;
    address = m_buffer[size_t(index - m_first)].address;
    return Status::Ready;
}

std::optional<FetchResult> AddressStream::failureOf(qsizetype index)
{
    if (index < m_first || index >= m_next)
        return std::nullopt;
    return AddressSource::unfetched(m_buffer[size_t(index - m_first)].tag);
}

std::unique_ptr<PageReader> AddressStream::readerOf(qsizetype index)
{
    if (index < m_first || index >= m_next)
        return nullptr;
    const Site &site = m_buffer[size_t(index - m_first)];
    // A source asked once it is done has nothing more to learn.
    return m_current && site.source == m_current.get() ? m_current->readerFor(site.address)
                                                       : nullptr;
}

void AddressStream::release(qsizetype index)
{
    while (m_first < index && !m_buffer.empty()) {
        m_buffer.pop_front();
        ++m_first;
    }
}

std::unique_ptr<AddressSource> AddressStream::makeSource(const CliOptions::Source &source)
{
    switch (source.kind) {
    case CliOptions::SourceKind::Url:
        return std::make_unique<GivenAddress>(AddHttp(source.value));
    case CliOptions::SourceKind::Sites:
        return std::make_unique<AddressFile>(source.value, AddressFileSplitter::Lines::Sites,
                                             chunkBytes);
    case CliOptions::SourceKind::Crawl:
        return std::make_unique<CrawlSource>(m_fetcher, source.value, m_crawl,
                                             CrawlSource::Fetching::ByTheRun);
    case CliOptions::SourceKind::Sitemap:
        return std::make_unique<SitemapSource>(m_fetcher, source.value, m_crawl.obeyRobots,
                                               m_crawl.delay, SitemapSource::Listing::ForARun);
    case CliOptions::SourceKind::LinksOf:
        break;
    }
    return std::make_unique<PageLinks>(m_fetcher, source.value);
}

void AddressStream::nextSource()
{
    if (auto *links = qobject_cast<PageLinks *>(m_current.get()); links && m_overlong > 0)
        emit linksDropped(links->pageAddress(), m_overlong);
    m_current.reset();
    m_overlong = 0;
    ++m_source;
}

bool AddressStream::readSome()
{
    if (m_source >= m_sources.size()) {
        m_ended = true;
        return true;
    }
    if (!m_current) {
        m_current = makeSource(m_sources[m_source]);
        connect(m_current.get(), &AddressSource::ready, this, &SiteSource::moreSites);
        connect(m_current.get(), &AddressSource::note, this, &AddressStream::note);
        connect(m_current.get(), &AddressSource::partFailed, this,
                [this](const AddressSource::Failure &failure) {
                    emit harvestFailed(failure.address, failure.reason, failure.kind);
                });
        if (m_stopped)
            m_current->finishWithoutWaiting();
    }
    TextList addresses;
    const AddressSource::State state = m_current->produce(addresses, WorkSlice());
    for (qsizetype index = 0; index < addresses.size(); ++index) {
        QString address = addresses.text(index);
        // Like an address line, a link longer than any browser takes is no address.
        if (address.size() > AddressFileSplitter::maxPieceLength) {
            ++m_overlong;
            continue;
        }
        m_buffer.push_back({std::move(address), addresses.tag(index), m_current.get()});
        ++m_next;
    }
    switch (state) {
    case AddressSource::State::More:
        return true;
    case AddressSource::State::Waiting:
        return !addresses.isEmpty();
    case AddressSource::State::Ended:
        nextSource();
        return true;
    case AddressSource::State::Failed:
        break;
    }
    const AddressSource::Failure failure = m_current->failure();
    if (failure.address.isEmpty()) {
        emit unreadable(m_current->message().text);
        m_ended = true;
    } else {
        emit harvestFailed(failure.address, failure.reason, failure.kind);
    }
    nextSource();
    return true;
}
