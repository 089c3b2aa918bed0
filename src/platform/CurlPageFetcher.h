#pragma once

#include "platform/PageFetcher.h"

#include <QHash>
#include <QSet>
#include <QString>

#include <chrono>
#include <memory>

// Limits applied to every transfer.
struct FetchSettings
{
    std::chrono::milliseconds connectTimeout{30'000};
    // A transfer slower than lowSpeedLimit bytes/s during lowSpeedTime is abandoned.
    long lowSpeedLimit = 100;
    std::chrono::seconds lowSpeedTime{30};
    // Per page, counted from the moment its transfer starts rather than from the request.
    std::chrono::milliseconds totalTimeout{120'000};
    qint64 maxBodyBytes = 256LL * 1024 * 1024; // decoded, after any Content-Encoding
    // Connections at once, and to one host that speaks HTTP/1.1; a host that
    // speaks HTTP/2 gets one connection, carrying up to maxStreams transfers.
    int maxConnections = 16;
    int maxConnectionsPerHost = 6;
    int maxStreams = 32;
    // At least this long from the start of one transfer to the next on one host.
    std::chrono::milliseconds perHostDelay{0};
    // How often an answer 429 or 503, a reset connection or a timeout is tried
    // again: after what Retry-After says (up to retryAfterCap), else after 1 s,
    // doubling from try to try.
    int retries = 0;
    std::chrono::seconds retryAfterCap{60};
    // Certificates (PEM) to trust in place of the system's bundle; empty for the system's.
    QString caFile;
};

class CurlFetchReply;

// The connections transfers take, by host: one each on a host that speaks
// HTTP/1.1 (or is not known yet), one for all of them on a host found to speak
// HTTP/2.
class ConnectionCount
{
public:
    explicit ConnectionCount(const FetchSettings &settings) : m_settings(settings) {}
    bool hasRoomFor(const QByteArray &host) const;
    void add(const QByteArray &host);
    void remove(const QByteArray &host);
    void setMultiplexed(const QByteArray &host);
    bool isMultiplexed(const QByteArray &host) const { return m_multiplexed.contains(host); }
    int transfers(const QByteArray &host) const { return m_transfers.value(host); }

private:
    const FetchSettings &m_settings;
    QHash<QByteArray, int> m_transfers;
    QSet<QByteArray> m_multiplexed;
    int m_connections = 0;
};

// PageFetcher on libcurl's multi interface: one worker thread runs every transfer
// and hands each result back to the thread that owns the fetcher. Call it from
// that thread only. Destroying it abandons whatever is still under way; the
// replies of those transfers never finish.
class CurlPageFetcher : public PageFetcher
{
    Q_OBJECT
public:
    explicit CurlPageFetcher(FetchSettings settings = {}, QObject *parent = nullptr);
    ~CurlPageFetcher() override;

    std::unique_ptr<FetchReply> fetchText(const QString &url) override;
    std::unique_ptr<FetchReply> fetchUtf8(const QString &url) override;
    std::unique_ptr<FetchReply> downloadToFile(const QString &url, const QString &path) override;
    bool hasRoomFor(const QString &url) const override;
    // Scheme, host and port, as libcurl reads the address.
    QByteArray hostOf(const QString &url) const override;

private:
    friend class CurlFetchReply;
    class Worker;
    enum class Mode
    {
        Text,
        Utf8,
        File
    };

    std::unique_ptr<FetchReply> submit(const QString &url, Mode mode, const QString &path = {});
    void deliver(quint64 id, const FetchResult &result);
    void abandon(quint64 id);
    void hostMultiplexes(const QByteArray &host);

    const FetchSettings m_settings;
    quint64 m_lastId = 0;
    QHash<quint64, CurlFetchReply *> m_unfinished;
    ConnectionCount m_connections;              // of the unfinished transfers
    mutable QHash<QString, QByteArray> m_hosts; // a cache of hostOf()
    std::unique_ptr<Worker> m_worker;
};
