#include "sitelist/CrawlSource.h"

#include "model/WorkSlice.h"
#include "sitelist/FileToList.h"
#include "sitelist/HtmlLinks.h"
#include "sitelist/RobotsBook.h"
#include "sitelist/SitemapFeed.h"
#include "sitelist/UrlMon.h"

#include <QLocale>
#include <QPointer>

namespace {

bool isHtml(QByteArrayView contentType)
{
    const qsizetype parameters = contentType.indexOf(';');
    const QByteArrayView type =
        (parameters < 0 ? contentType : contentType.first(parameters)).trimmed();
    return type.compare("text/html", Qt::CaseInsensitive) == 0 ||
           type.compare("application/xhtml+xml", Qt::CaseInsensitive) == 0;
}

} // namespace

std::optional<CrawlScope> crawlScopeNamed(QStringView name)
{
    if (name == u"host")
        return CrawlScope::Host;
    if (name == u"domain")
        return CrawlScope::Domain;
    if (name == u"prefix")
        return CrawlScope::Prefix;
    return std::nullopt;
}

// Reads one page for its links, as a run gives it or as the source's own
// fetch brings it. A page that redirected counts as the address it ended at,
// and is read only if that is in scope.
class CrawlSource::Reader : public PageReader
{
public:
    Reader(CrawlSource *source, const QByteArray &address, int depth)
        : m_source(source), m_page(WebAddress::parse(QByteArrayView(address))), m_depth(depth)
    {
        ++source->m_readers;
    }
    ~Reader() override
    {
        if (m_source)
            m_source->readerDone();
    }
    void answered(const FetchResponse &response) override
    {
        m_links.reset();
        if (!m_source)
            return;
        WebAddress at = m_page;
        if (const WebAddress final = WebAddress::parse(QStringView(response.finalUrl));
            final.isValid() && !(final == m_page)) {
            at = final;
            m_source->m_seen.insert(final.bytes());
        }
        if (m_depth >= m_source->m_settings.depth || !isHtml(response.contentType) ||
            !m_source->inScope(at))
            return;
        m_links.emplace(at, m_source->m_settings.obeyNofollow,
                        [source = m_source.data(), depth = m_depth + 1](const WebAddress &link) {
                            source->found(link, depth);
                        });
    }
    void take(QByteArrayView utf8) override
    {
        if (m_links && m_source)
            m_links->feed(utf8);
    }
    void restart() override { m_links.reset(); }
    // A page that failed midway keeps the links read before: they are links
    // all the same.
    void end(const FetchResult &) override
    {
        if (m_links && m_source)
            m_links->finish();
        m_links.reset();
    }

private:
    QPointer<CrawlSource> m_source;
    const WebAddress m_page;
    const int m_depth;
    std::optional<HtmlLinks> m_links;
};

struct CrawlSource::OwnFetch
{
    std::unique_ptr<FetchReply> reply;
    std::unique_ptr<Reader> reader;
};

CrawlSource::CrawlSource(PageFetcher &fetcher, const QString &typed, const CrawlSettings &settings,
                         Fetching fetching, QObject *parent)
    : AddressSource(parent), m_fetcher(fetcher), m_typed(typed), m_settings(settings),
      m_fetching(fetching), m_start(WebAddress::parse(QStringView(AddHttp(typed)))),
      m_scope(m_start, settings.scope), m_robots(new RobotsBook(fetcher, settings.delay, this))
{
    connect(m_robots, &RobotsBook::known, this, [this] {
        addSitemaps();
        wake();
    });
    if (!settings.withSitemaps)
        return;
    m_sitemaps = new SitemapFeed(
        fetcher,
        [this](QByteArrayView address) {
            // Its pages count as linked from the start.
            if (m_settings.depth >= 1)
                found(WebAddress::parse(address), 1);
        },
        this);
    connect(m_sitemaps, &SitemapFeed::progressed, this, &CrawlSource::wake);
    connect(m_sitemaps, &SitemapFeed::failed, this,
            [this](const QString &address, const QString &reason, FetchError kind) {
                emit partFailed({reason, kind, address});
            });
}

// The fetches of its own end with it, before its readers are told.
CrawlSource::~CrawlSource()
{
    for (const auto &own : m_own)
        own->reply.reset();
    m_own.clear();
}

UserMessage CrawlSource::message() const
{
    if (failure().kind == FetchError::InvalidAddress)
        return {QStringLiteral("Not a web address: \"%1\"").arg(m_typed), MessageIcon::Exclamation};
    return {failure().reason, MessageIcon::Exclamation};
}

CrawlSource::Progress CrawlSource::progress() const
{
    Progress now = m_progress;
    now.toGo = m_frontier.size() + (m_held ? 1 : 0);
    return now;
}

bool CrawlSource::begin()
{
    m_begun = true;
    if (!m_start.isValid()) {
        fail({QStringLiteral("not a web address"), FetchError::InvalidAddress, m_typed});
        return false;
    }
    m_seen.insert(m_start.bytes());
    m_frontier.push(m_start.bytes(), 0);
    if (m_sitemaps && !m_finishing) {
        m_robots->verdict(m_start);
        addSitemaps();
    }
    return true;
}

AddressSource::State CrawlSource::produce(TextList &out, const WorkSlice &slice)
{
    consumerAsks();
    if (!m_begun && !begin())
        return State::Failed;
    const bool byTheRun = m_fetching == Fetching::ByTheRun;
    bool pending = false;
    while (!slice.expired()) {
        if (!byTheRun && !m_finishing && qsizetype(m_own.size()) >= ownFetches)
            break;
        std::optional<FrontierEntry> entry =
            m_held ? std::exchange(m_held, std::nullopt) : m_frontier.pop();
        if (!entry) {
            // What it held in its file is lost: what follows would be wrong.
            if (!m_frontier.empty())
                return fail({m_frontier.error(), FetchError::FileError, {}});
            break;
        }
        const quint32 tag = tagFor(WebAddress::parse(QByteArrayView(entry->address)), pending);
        if (pending) {
            m_held = std::move(entry);
            break;
        }
        if (tag != ToFetch && !byTheRun && !m_finishing) {
            ++m_progress.leftOut;
            continue;
        }
        out.append(QByteArrayView(entry->address), tag);
        if (tag != ToFetch || m_finishing)
            continue;
        ++m_progress.listed;
        if (!byTheRun) {
            fetchOwn(*entry);
            continue;
        }
        m_open.push_back({std::move(entry->address), entry->depth});
        break; // a run asks for one site at a time, and may never ask for more
    }
    if (m_finishing)
        return m_frontier.empty() && !m_held ? State::Ended : State::More;
    if (pending || (!byTheRun && qsizetype(m_own.size()) >= ownFetches)) {
        emit progressed();
        return waitForMore();
    }
    if (!m_frontier.empty())
        return State::More;
    if (busy()) {
        emit progressed();
        return waitForMore();
    }
    if (!m_noted) {
        m_noted = true;
        m_progress.ended = true;
        if (m_tooLong > 0)
            emit note(QStringLiteral("Links longer than %L1 characters, left out of the crawl "
                                     "from %2: %L3.")
                          .arg(AddressFileSplitter::maxPieceLength)
                          .arg(m_start.toString())
                          .arg(m_tooLong));
        if (!m_frontier.error().isEmpty())
            emit note(m_frontier.error());
        emit progressed();
    }
    return State::Ended;
}

bool CrawlSource::busy() const
{
    return !m_open.empty() || m_readers > 0 || !m_own.empty() ||
           (m_sitemaps && (!m_sitemapsAdded || m_sitemaps->isBusy()));
}

// The tag of a page taken from the frontier; pending while its host's
// robots.txt is on its way.
quint32 CrawlSource::tagFor(const WebAddress &address, bool &pending)
{
    pending = false;
    if (m_progress.listed >= m_settings.maxPages)
        return PastPageLimit;
    if (!m_settings.obeyRobots)
        return ToFetch;
    switch (m_finishing ? m_robots->knownVerdict(address) : m_robots->verdict(address)) {
    case RobotsBook::Verdict::Pending:
        pending = !m_finishing;
        return ToFetch;
    case RobotsBook::Verdict::Allowed:
        return ToFetch;
    case RobotsBook::Verdict::Disallowed:
        return ForbiddenByRobots;
    case RobotsBook::Verdict::TooComplex:
        return RobotsTooComplex;
    case RobotsBook::Verdict::Unavailable:
        break;
    }
    return RobotsUnavailable;
}

std::unique_ptr<PageReader> CrawlSource::readerFor(const QString &address)
{
    const QByteArray wanted = address.toLatin1();
    for (auto open = m_open.begin(); open != m_open.end(); ++open) {
        if (open->address != wanted)
            continue;
        // Those before it were passed over: no links come from them.
        auto reader = std::make_unique<Reader>(this, open->address, open->depth);
        m_open.erase(m_open.begin(), std::next(open));
        return reader;
    }
    return nullptr;
}

void CrawlSource::found(const WebAddress &link, int depth)
{
    if (!link.isValid() || !inScope(link))
        return;
    // As the run leaves out an address no browser takes.
    if (link.bytes().size() > AddressFileSplitter::maxPieceLength) {
        ++m_tooLong;
        return;
    }
    if (!m_seen.insert(link.bytes()))
        return;
    // Kept in memory should its file fail; said at the end.
    m_frontier.push(link.bytes(), depth);
    wake();
}

void CrawlSource::readerDone()
{
    --m_readers;
    ++m_progress.read;
    wake();
}

// The start host's robots.txt names its sitemaps once it is known.
void CrawlSource::addSitemaps()
{
    if (!m_sitemaps || m_sitemapsAdded || m_finishing ||
        m_robots->knownVerdict(m_start) == RobotsBook::Verdict::Pending)
        return;
    m_sitemapsAdded = true;
    const WebAddress robots = m_start.resolved(QByteArrayView("/robots.txt"));
    for (const QByteArray &line : m_robots->sitemapsOf(m_start)) {
        if (const WebAddress sitemap = robots.resolved(QByteArrayView(line)); sitemap.isValid())
            m_sitemaps->add(sitemap.toString());
    }
}

void CrawlSource::fetchOwn(const FrontierEntry &entry)
{
    auto own = std::make_unique<OwnFetch>();
    own->reader = std::make_unique<Reader>(this, entry.address, entry.depth);
    own->reply = m_fetcher.fetch(QString::fromLatin1(entry.address));
    OwnFetch *fetch = own.get();
    FetchReply *reply = own->reply.get();
    connect(reply, &FetchReply::responseStarted, this,
            [fetch] { fetch->reader->answered(fetch->reply->response()); });
    connect(reply, &FetchReply::restarted, this, [fetch] { fetch->reader->restart(); });
    connect(reply, &FetchReply::readyRead, this,
            [fetch] { fetch->reader->take(fetch->reply->read()); });
    connect(reply, &FetchReply::finished, this, [this, fetch](const FetchResult &result) {
        if (result.ok)
            fetch->reader->take(fetch->reply->read());
        fetch->reader->end(result);
        fetch->reply.release()->deleteLater(); // it is still emitting
        const auto done = std::find_if(m_own.begin(), m_own.end(),
                                       [fetch](const auto &own) { return own.get() == fetch; });
        m_own.erase(done); // its reader tells it is done
    });
    m_own.push_back(std::move(own));
}

void CrawlSource::finishWithoutWaiting()
{
    m_finishing = true;
    m_robots->stop();
    if (m_sitemaps) {
        if (const QStringList unread = m_sitemaps->stop(); !unread.isEmpty())
            emit note(QStringLiteral("Sitemaps not read whole, whose pages are not listed: %1")
                          .arg(unread.join(QStringLiteral(", "))));
    }
    for (const auto &own : m_own)
        own->reply.reset();
    m_own.clear();
    m_open.clear(); // produced already: listed as they are
    wake();
}
