#pragma once

#include <QByteArray>
#include <QHash>
#include <QSet>

struct FetchSettings;

// The connections transfers take, by host: one each on a host that speaks
// HTTP/1.1 (or is not known yet), one for all of them on a host found to speak
// HTTP/2.
class ConnectionCount
{
public:
    explicit ConnectionCount(const FetchSettings &settings) : m_settings(&settings) {}
    bool hasRoomFor(const QByteArray &host) const;
    void add(const QByteArray &host);
    void remove(const QByteArray &host);
    void setMultiplexed(const QByteArray &host);
    bool isMultiplexed(const QByteArray &host) const { return m_multiplexed.contains(host); }
    // Forgets every transfer, keeping what is known of the hosts.
    void clearTransfers();

private:
    const FetchSettings *m_settings;
    QHash<QByteArray, int> m_transfers;
    QSet<QByteArray> m_multiplexed;
    int m_connections = 0;
};

// The connections taken, by transfers under way and requests ready to start,
// as the worker last saw them, and the last request it took up.
struct ConnectionSnapshot
{
    ConnectionCount connections;
    quint64 takenUpTo = 0;
};
