#include "sitelist/SitemapSource.h"

#include "crawl/WebAddress.h"
#include "model/WorkSlice.h"
#include "sitelist/RobotsBook.h"
#include "sitelist/SitemapFeed.h"
#include "sitelist/UrlMon.h"

SitemapSource::SitemapSource(PageFetcher &fetcher, const QString &typed, bool obeyRobots,
                             std::chrono::milliseconds delay, Listing listing, QObject *parent)
    : AddressSource(parent), m_typed(typed), m_obeyRobots(obeyRobots), m_listing(listing),
      m_feed(new SitemapFeed(
          fetcher,
          [this](QByteArrayView address) {
              m_pages.push(address, 0);
              wake();
          },
          this)),
      m_robots(new RobotsBook(fetcher, delay, this))
{
    connect(m_feed, &SitemapFeed::progressed, this, &SitemapSource::wake);
    connect(m_feed, &SitemapFeed::failed, this,
            [this](const QString &address, const QString &reason, FetchError kind) {
                emit partFailed({reason, kind, address});
            });
    connect(m_robots, &RobotsBook::known, this, &SitemapSource::wake);
}

SitemapSource::~SitemapSource() = default;

UserMessage SitemapSource::message() const
{
    if (failure().kind == FetchError::InvalidAddress)
        return {QStringLiteral("Not a web address: \"%1\"").arg(m_typed), MessageIcon::Exclamation};
    return {failure().reason, MessageIcon::Exclamation};
}

AddressSource::State SitemapSource::produce(TextList &out, const WorkSlice &slice)
{
    consumerAsks();
    if (!std::exchange(m_begun, true)) {
        const WebAddress start = WebAddress::parse(QStringView(AddHttp(m_typed)));
        if (m_finishing)
            emit note(QStringLiteral("Sitemap not read: %1").arg(m_typed));
        else if (!start.isValid())
            return fail({QStringLiteral("not a web address"), FetchError::InvalidAddress, m_typed});
        else
            m_feed->add(start.toString());
    }
    bool pending = false;
    for (qsizetype given = 0; given < chunk && !slice.expired();) {
        std::optional<FrontierEntry> entry =
            m_held ? std::exchange(m_held, std::nullopt) : m_pages.pop();
        if (!entry) {
            if (!m_pages.empty())
                return fail({m_pages.error(), FetchError::FileError, {}});
            break;
        }
        quint32 tag = ToFetch;
        // An address that is none is listed as it is, to fail as such.
        if (const WebAddress address = WebAddress::parse(QByteArrayView(entry->address));
            m_obeyRobots && address.isValid()) {
            switch (m_finishing ? m_robots->knownVerdict(address) : m_robots->verdict(address)) {
            case RobotsBook::Verdict::Pending:
                pending = !m_finishing;
                break;
            case RobotsBook::Verdict::Allowed:
                break;
            case RobotsBook::Verdict::Disallowed:
                tag = ForbiddenByRobots;
                break;
            case RobotsBook::Verdict::TooComplex:
                tag = RobotsTooComplex;
                break;
            case RobotsBook::Verdict::Unavailable:
                tag = RobotsUnavailable;
                break;
            }
        }
        if (pending) {
            m_held = std::move(entry);
            break;
        }
        if (tag != ToFetch && m_listing == Listing::ForTheList) {
            ++m_leftOut;
            continue;
        }
        out.append(QByteArrayView(entry->address), tag);
        ++m_listed;
        ++given;
    }
    if (m_finishing)
        return told(m_pages.empty() && !m_held ? State::Ended : State::More);
    if (!pending && (!m_pages.empty() || m_held))
        return told(State::More);
    if (pending || m_feed->isBusy()) {
        return told(waitForMore());
    }
    return told(State::Ended);
}

AddressSource::State SitemapSource::told(State state)
{
    m_ended = state == State::Ended;
    emit progressed();
    return state;
}

void SitemapSource::finishWithoutWaiting()
{
    m_finishing = true;
    m_robots->stop();
    if (const QStringList unread = m_feed->stop(); !unread.isEmpty())
        emit note(QStringLiteral("Sitemaps not read whole, whose other pages are not listed: %1")
                      .arg(unread.join(QStringLiteral(", "))));
    wake();
}
