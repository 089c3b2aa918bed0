#include "platform/ConnectionCount.h"

#include "platform/CurlPageFetcher.h"

bool ConnectionCount::hasRoomFor(const QByteArray &host) const
{
    const int transfers = m_transfers.value(host);
    if (m_multiplexed.contains(host) && transfers > 0)
        return transfers < m_settings->maxStreams;
    return transfers < m_settings->maxConnectionsPerHost &&
           m_connections < m_settings->maxConnections;
}

void ConnectionCount::add(const QByteArray &host)
{
    int &transfers = m_transfers[host];
    if (!m_multiplexed.contains(host) || transfers == 0)
        ++m_connections;
    ++transfers;
}

void ConnectionCount::remove(const QByteArray &host)
{
    const auto transfers = m_transfers.find(host);
    if (transfers == m_transfers.end())
        return;
    if (!m_multiplexed.contains(host) || *transfers == 1)
        --m_connections;
    if (--*transfers == 0)
        m_transfers.erase(transfers);
}

// The transfers under way to the host share one connection from now on.
void ConnectionCount::setMultiplexed(const QByteArray &host)
{
    if (m_multiplexed.contains(host))
        return;
    m_multiplexed.insert(host);
    const int transfers = m_transfers.value(host);
    if (transfers > 1)
        m_connections -= transfers - 1;
}

void ConnectionCount::clearTransfers()
{
    m_transfers.clear();
    m_connections = 0;
}
