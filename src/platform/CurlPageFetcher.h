#pragma once

#include "platform/ConnectionCount.h"
#include "platform/PageFetcher.h"

#include <QHash>
#include <QString>

#include <chrono>
#include <deque>
#include <memory>
#include <optional>

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
    // doubling from try to try; a page broken off midway only while its
    // reader has not committed to it.
    int retries = 0;
    std::chrono::seconds retryAfterCap{60};
    // Certificates (PEM) to trust in place of the system's bundle; empty for the system's.
    QString caFile;
};

class CurlFetchReply;
class CurlWorker;
struct Pipe;

// PageFetcher on libcurl's multi interface: one worker thread runs every transfer
// and hands its text, and then its result, to the thread that owns the fetcher;
// the text is decoded as it is read, on the reader's thread. Call it from that
// thread only. Destroying it abandons whatever is still under way; the replies
// of those transfers never finish.
class CurlPageFetcher : public PageFetcher
{
    Q_OBJECT
public:
    explicit CurlPageFetcher(FetchSettings settings = {}, QObject *parent = nullptr);
    ~CurlPageFetcher() override;

    std::unique_ptr<FetchReply> fetch(const QString &url) override;
    std::unique_ptr<FetchReply> fetchBytes(const QString &url) override;
    std::unique_ptr<FetchReply> downloadToFile(const QString &url, const QString &path) override;
    // The worker's count of connections as it stood at the last result or
    // notice of room (never changing between two events), with what was asked since.
    bool hasRoomFor(const QString &url) const override;
    // Scheme, host and port, as libcurl reads the address.
    QByteArray hostOf(const QString &url) const override;
    void setHostDelay(const QByteArray &host, std::chrono::milliseconds delay) override;

private:
    friend class CurlFetchReply;

    enum class Body
    {
        Text,
        Bytes,
        File
    };
    std::unique_ptr<FetchReply> submit(const QString &url, Body body, const QString &path = {});
    void deliver(quint64 id, const FetchResult &result);
    void announce(quint64 id);
    void notice(quint64 id);
    void abandon(quint64 id);
    void resume(quint64 id);
    const ConnectionCount &expectedConnections() const;

    const FetchSettings m_settings;
    quint64 m_lastId = 0;
    QHash<quint64, CurlFetchReply *> m_unfinished;
    // Asked for, by id and host, and maybe not yet taken up by the worker.
    mutable std::deque<std::pair<quint64, QByteArray>> m_handedOver;
    ConnectionSnapshot m_seen;
    mutable std::optional<ConnectionCount> m_expected; // of expectedConnections()
    mutable QHash<QString, QByteArray> m_hosts;        // a cache of hostOf()
    std::unique_ptr<CurlWorker> m_worker;
};
