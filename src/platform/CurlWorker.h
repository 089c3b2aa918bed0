#pragma once

#include "platform/ConnectionCount.h"
#include "platform/CurlPageFetcher.h"
#include "platform/CurlTransfer.h"

#include <QHash>
#include <QSet>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

// Owns the multi handle, every transfer and the count of connections they
// take. Apart from the commands (submit, cancel, resume) and snapshot(),
// everything runs on its own thread, which tells the owner by the callbacks.
class CurlWorker
{
public:
    struct Callbacks
    {
        std::function<void(quint64 id, const FetchResult &result)> finished;
        std::function<void(quint64 id)> readable; // text waits to be read
        std::function<void(quint64 id)> changed;  // an answer began, or the page starts afresh
        // There is room for more transfers although none ended.
        std::function<void()> roomAvailable;
    };

    CurlWorker(const FetchSettings &settings, Callbacks callbacks);
    ~CurlWorker();
    CurlWorker(const CurlWorker &) = delete;
    CurlWorker &operator=(const CurlWorker &) = delete;

    void submit(Request request);
    void cancel(quint64 id);
    void resume(quint64 id);
    void setHostDelay(const QByteArray &host, std::chrono::milliseconds delay);
    ConnectionSnapshot snapshot() const;

private:
    void run();
    void takeCommands();
    void failRunning(CURLMcode code);
    int startQueued(); // ms until a waiting request may start, or -1
    std::chrono::milliseconds delayOf(const QByteArray &host) const;
    bool retry(Transfer &transfer, FetchResult &result);
    void start(Request request);
    CURLcode configure(Transfer &transfer) const;
    void collectFinished();
    void finish(Transfer &transfer, CURLcode code);
    void noticeMultiplexing();
    FetchResult outcome(Transfer &transfer, CURLcode code) const;
    void forget(quint64 id);
    void report(quint64 id, const FetchResult &result);
    void publish();

    const FetchSettings m_settings;
    const Callbacks m_callbacks;
    CURLM *const m_multi;
    CURLSH *const m_share; // used by this thread alone: no locks

    std::mutex m_mutex; // guards the command lists
    std::condition_variable m_stopped;
    std::vector<Request> m_submitted;
    std::vector<quint64> m_cancelled, m_resumed;
    std::vector<std::pair<QByteArray, std::chrono::milliseconds>> m_delaysAsked;
    std::atomic_bool m_stopping = false;

    mutable std::mutex m_snapshotMutex;
    ConnectionSnapshot m_snapshot;

    // Worker thread only.
    std::deque<Request> m_queued;
    std::unordered_map<quint64, std::unique_ptr<Transfer>> m_running;
    ConnectionCount m_connections; // of the running transfers
    bool m_countChanged = false;   // since the last snapshot
    quint64 m_takenUpTo = 0;
    QSet<QByteArray> m_ended;                                  // hosts that have ended a transfer
    QHash<QByteArray, FetchClock::time_point> m_lastStart;     // with a delay between starts
    QHash<QByteArray, std::chrono::milliseconds> m_hostDelays; // longer than the settings'
    bool m_anyDelay = false;

    std::thread m_thread;
};
