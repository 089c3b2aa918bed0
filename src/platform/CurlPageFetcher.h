#pragma once

#include "platform/PageFetcher.h"

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
    int maxTransfers = 16;
    int maxTransfersPerHost = 6;
    // Certificates (PEM) to trust in place of the system's bundle; empty for the system's.
    QString caFile;
};

// PageFetcher on libcurl's multi interface: one worker thread runs every transfer
// and hands each result back to the thread that owns the fetcher. Call it from
// that thread only. Destroying it abandons whatever is still under way.
class CurlPageFetcher : public PageFetcher
{
    Q_OBJECT
public:
    explicit CurlPageFetcher(FetchSettings settings = {}, QObject *parent = nullptr);
    ~CurlPageFetcher() override;

    quint64 fetchText(const QString &url) override;
    quint64 fetchUtf8(const QString &url) override;
    quint64 downloadToFile(const QString &url, const QString &path) override;
    void cancel(quint64 id) override;
    bool stillExecuting() const override;

private:
    class Worker;

    quint64 submit(const QString &url, const QString &path, bool toFile, bool utf8);
    void deliver(quint64 id, const FetchResult &result);

    quint64 m_lastId = 0;
    QSet<quint64> m_unfinished; // requested, neither delivered nor cancelled
    std::unique_ptr<Worker> m_worker;
};
