#include "sitelist/AddressSource.h"

#include "model/WorkSlice.h"
#include "sitelist/SiteList.h"

#include <utility>

std::optional<FetchResult> AddressSource::unfetched(quint32 tag)
{
    FetchResult failure;
    failure.kind = FetchError::RobotsForbidden;
    switch (tag) {
    case ForbiddenByRobots:
        break;
    case RobotsTooComplex:
        failure.error = QStringLiteral("robots.txt too complex to apply");
        break;
    case RobotsUnavailable:
        failure.error = QStringLiteral("robots.txt unavailable");
        break;
    case PastPageLimit:
        failure.kind = FetchError::PageLimit;
        break;
    default:
        return std::nullopt;
    }
    return failure;
}

void AddressSource::wake()
{
    if (std::exchange(m_wakeQueued, true))
        return;
    continueLater(this, [this] {
        m_wakeQueued = false;
        emit progressed();
        if (std::exchange(m_waiting, false))
            emit ready();
    });
}

SiteListFill::SiteListFill(SiteList &list, std::unique_ptr<AddressSource> source, Arrival arrival,
                           QObject *parent)
    : QueuedJob(parent), m_list(list), m_source(std::move(source)), m_arrival(arrival)
{
    connect(m_source.get(), &AddressSource::ready, this, &SiteListFill::start);
}

SiteListFill::~SiteListFill() = default;

void SiteListFill::start()
{
    if (!m_done && !std::exchange(m_queued, true))
        continueLater(this, [this] { advance(); });
}

void SiteListFill::stop()
{
    if (std::exchange(m_done, true))
        return;
    m_source.reset();
    m_addresses.clear();
    emit finished({});
}

void SiteListFill::advance()
{
    m_queued = false;
    if (m_done)
        return;
    const WorkSlice slice;
    AddressSource::State state;
    do
        state = m_source->produce(m_addresses, slice);
    while (state == AddressSource::State::More && !slice.expired());
    if (m_arrival == Arrival::AsTheyCome || state == AddressSource::State::Ended)
        m_list.append(std::move(m_addresses));
    switch (state) {
    case AddressSource::State::More:
        return start();
    case AddressSource::State::Waiting:
        return; // ready() starts the next slice
    case AddressSource::State::Ended:
    case AddressSource::State::Failed:
        break;
    }
    m_done = true;
    // No more rows come: the views show the last ones now, not when the next
    // batch of a long list would be due.
    m_list.publishPending();
    const UserMessage message =
        state == AddressSource::State::Failed ? m_source->message() : UserMessage();
    m_addresses.clear();
    emit finished(message);
}
