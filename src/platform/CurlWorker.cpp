#include "platform/CurlWorker.h"

#include "platform/RetryPolicy.h"

#include <QDateTime>

#include <algorithm>

namespace {

constexpr long maxRedirects = 10;
// Every command wakes the worker and curl shortens the wait for its own timers,
// so this bound on an idle wait is only a safety net.
constexpr int idlePollMs = 10'000;
constexpr const char *webProtocols = "http,https";
// A page asked for over https is never read in clear, not even after a redirect.
constexpr const char *secureProtocols = "https";

// After a failing call of the multi interface, the worker waits this long
// before it tries again, doubling up to the most.
constexpr int firstBackoffMs = 50;
constexpr int mostBackoffMs = 2'000;

} // namespace

CurlWorker::CurlWorker(const FetchSettings &settings, Callbacks callbacks)
    : m_settings(settings), m_callbacks(std::move(callbacks)), m_multi(curl_multi_init()),
      m_share(curl_share_init()), m_snapshot{ConnectionCount(m_settings), 0},
      m_connections(m_settings)
{
    Q_CHECK_PTR(m_multi);
    curl_multi_setopt(m_multi, CURLMOPT_MAX_TOTAL_CONNECTIONS, long(settings.maxConnections));
    curl_multi_setopt(m_multi, CURLMOPT_MAX_HOST_CONNECTIONS, long(settings.maxConnectionsPerHost));
    curl_multi_setopt(m_multi, CURLMOPT_MAX_CONCURRENT_STREAMS, long(settings.maxStreams));
    // TLS sessions outlive the transfers that made them, so that a host is
    // not shaken hands with anew for every page.
    curl_share_setopt(m_share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    m_thread = std::thread([this] { run(); });
}

CurlWorker::~CurlWorker()
{
    m_stopping = true;
    m_stopped.notify_all();
    curl_multi_wakeup(m_multi);
    m_thread.join();
    curl_multi_cleanup(m_multi);
    curl_share_cleanup(m_share);
}

void CurlWorker::submit(Request request)
{
    {
        const std::lock_guard lock(m_mutex);
        m_submitted.push_back(std::move(request));
    }
    curl_multi_wakeup(m_multi);
}

void CurlWorker::cancel(quint64 id)
{
    {
        const std::lock_guard lock(m_mutex);
        m_cancelled.push_back(id);
    }
    curl_multi_wakeup(m_multi);
}

void CurlWorker::resume(quint64 id)
{
    {
        const std::lock_guard lock(m_mutex);
        m_resumed.push_back(id);
    }
    curl_multi_wakeup(m_multi);
}

void CurlWorker::setHostDelay(const QByteArray &host, std::chrono::milliseconds delay)
{
    {
        const std::lock_guard lock(m_mutex);
        m_delaysAsked.emplace_back(host, delay);
    }
    curl_multi_wakeup(m_multi);
}

ConnectionSnapshot CurlWorker::snapshot() const
{
    const std::lock_guard lock(m_snapshotMutex);
    return m_snapshot;
}

// Counts what takes a connection now or as soon as there is room: a retry
// waiting for its time takes none.
void CurlWorker::publish()
{
    m_countChanged = false;
    ConnectionCount taken = m_connections;
    const FetchClock::time_point now = FetchClock::now();
    for (const Request &request : m_queued)
        if (request.notBefore <= now)
            taken.add(request.host);
    const std::lock_guard lock(m_snapshotMutex);
    m_snapshot = {std::move(taken), m_takenUpTo};
}

void CurlWorker::run()
{
    int backoffMs = 0;
    while (!m_stopping) {
        takeCommands();
        int running = 0;
        CURLMcode code = curl_multi_perform(m_multi, &running);
        collectFinished();
        noticeMultiplexing();
        if (code == CURLM_OK) {
            const int waitMs = startQueued();
            if (m_countChanged)
                publish();
            code =
                curl_multi_poll(m_multi, nullptr, 0, waitMs < 0 ? idlePollMs : waitMs + 1, nullptr);
        }
        if (code == CURLM_OK) {
            backoffMs = 0;
            continue;
        }
        // A multi handle that keeps failing would otherwise spin this thread.
        failRunning(code);
        backoffMs = std::min(backoffMs ? 2 * backoffMs : firstBackoffMs, mostBackoffMs);
        std::unique_lock lock(m_mutex);
        m_stopped.wait_for(lock, std::chrono::milliseconds(backoffMs),
                           [this] { return bool(m_stopping); });
    }
    // Removing the handles closes their connections, stalled or not.
    while (!m_running.empty())
        forget(m_running.begin()->first);
    m_queued.clear();
}

void CurlWorker::takeCommands()
{
    std::vector<Request> submitted;
    std::vector<quint64> cancelled, resumed;
    std::vector<std::pair<QByteArray, std::chrono::milliseconds>> delays;
    {
        const std::lock_guard lock(m_mutex);
        submitted.swap(m_submitted);
        cancelled.swap(m_cancelled);
        resumed.swap(m_resumed);
        delays.swap(m_delaysAsked);
    }
    for (const auto &[host, delay] : delays) {
        if (delay > m_settings.perHostDelay)
            m_hostDelays.insert(host, delay);
        else
            m_hostDelays.remove(host);
    }
    m_anyDelay = m_settings.perHostDelay.count() > 0 || !m_hostDelays.isEmpty();
    for (Request &request : submitted) {
        m_takenUpTo = std::max(m_takenUpTo, request.id);
        m_queued.push_back(std::move(request));
        m_countChanged = true;
    }
    for (const quint64 id : cancelled)
        forget(id);
    for (const quint64 id : resumed) {
        const auto found = m_running.find(id);
        if (found == m_running.end())
            continue;
        Transfer &transfer = *found->second;
        if (!transfer.resume())
            finish(transfer, CURLE_WRITE_ERROR);
        else if (transfer.ended && !transfer.isHolding())
            finish(transfer, CURLE_OK);
    }
    if (!cancelled.empty()) {
        publish();
        m_callbacks.roomAvailable();
    }
}

void CurlWorker::failRunning(CURLMcode code)
{
    const Problem problem{FetchError::Other,
                          QStringLiteral("libcurl failed: %1").arg(curl_multi_strerror(code))};
    while (!m_running.empty()) {
        const quint64 id = m_running.begin()->first;
        forget(id);
        report(id, failed(problem));
    }
}

// Keeps requests here rather than in curl's own pending list, so that a page's
// deadline only starts running once its transfer does.
int CurlWorker::startQueued()
{
    const FetchClock::time_point now = FetchClock::now();
    FetchClock::time_point soonest = FetchClock::time_point::max();
    for (auto next = m_queued.begin(); next != m_queued.end();) {
        FetchClock::time_point due = next->notBefore;
        if (m_anyDelay && m_lastStart.contains(next->host))
            due = std::max(due, m_lastStart.value(next->host) + delayOf(next->host));
        if (due > now)
            soonest = std::min(soonest, due);
        if (due > now || !m_connections.hasRoomFor(next->host)) {
            ++next;
            continue;
        }
        if (m_anyDelay)
            m_lastStart.insert(next->host, now);
        if (next->notBefore != FetchClock::time_point{})
            m_countChanged = true; // a retry whose time came takes its connection again
        Request request = std::move(*next);
        next = m_queued.erase(next);
        start(std::move(request));
    }
    if (soonest == FetchClock::time_point::max())
        return -1;
    return int(std::chrono::ceil<std::chrono::milliseconds>(soonest - now).count());
}

std::chrono::milliseconds CurlWorker::delayOf(const QByteArray &host) const
{
    return m_hostDelays.value(host, m_settings.perHostDelay);
}

void CurlWorker::start(Request request)
{
    const quint64 id = request.id;
    auto transfer = std::make_unique<Transfer>(std::move(request), m_settings.maxBodyBytes,
                                               m_callbacks.readable, m_callbacks.changed);
    if (QFile *file = transfer->request.file.get()) {
        // A try again starts the file afresh.
        if (!file->seek(0) || !file->resize(0))
            return report(id, failed(fileProblem(*file)));
    }
    const CURLcode code = configure(*transfer);
    if (code != CURLE_OK)
        return report(id, failed(curlProblem(code, "", kindOf(code, 0, false))));
    if (curl_multi_add_handle(m_multi, transfer->easy) != CURLM_OK)
        return report(id, failed({FetchError::Other, QStringLiteral("Cannot start the transfer")}));
    m_connections.add(transfer->request.host);
    m_running.emplace(id, std::move(transfer));
}

CURLcode CurlWorker::configure(Transfer &transfer) const
{
    CURL *const easy = transfer.easy;
    const QByteArray url = transfer.request.url.toUtf8(); // curl copies option strings
    CURLcode code = CURLE_OK;
    const auto set = [&](CURLoption option, auto value) {
        if (code == CURLE_OK)
            code = curl_easy_setopt(easy, option, value);
    };
    set(CURLOPT_URL, url.constData());
    set(CURLOPT_PRIVATE, &transfer);
    set(CURLOPT_ERRORBUFFER, transfer.curlDetail);
    set(CURLOPT_WRITEFUNCTION, &receiveBody);
    set(CURLOPT_WRITEDATA, &transfer);
    set(CURLOPT_PROTOCOLS_STR, webProtocols);
    const bool secure = transfer.request.host.startsWith("https:");
    set(CURLOPT_REDIR_PROTOCOLS_STR, secure ? secureProtocols : webProtocols);
    set(CURLOPT_FOLLOWLOCATION, 1L);
    set(CURLOPT_MAXREDIRS, maxRedirects);
    // Only what ContentDecoder undoes, so that a cut compressed body is noticed.
    set(CURLOPT_ACCEPT_ENCODING, "gzip, deflate");
    set(CURLOPT_HTTP_CONTENT_DECODING, 0L);
    set(CURLOPT_USERAGENT, "Quillora/" QUILLORA_VERSION);
    set(CURLOPT_NOSIGNAL, 1L);
    // Over TLS, HTTP/2 when the server offers it; a further page for the same
    // host waits to learn that rather than open a connection of its own.
    set(CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_2TLS));
    set(CURLOPT_PIPEWAIT, secure ? 1L : 0L);
    set(CURLOPT_SHARE, m_share);
    set(CURLOPT_FAILONERROR, 0L); // the status is judged as the body starts and at the end
    set(CURLOPT_CONNECTTIMEOUT_MS, long(m_settings.connectTimeout.count()));
    set(CURLOPT_TIMEOUT_MS, long(m_settings.totalTimeout.count()));
    set(CURLOPT_LOW_SPEED_LIMIT, m_settings.lowSpeedLimit);
    set(CURLOPT_LOW_SPEED_TIME, long(m_settings.lowSpeedTime.count()));
    if (!m_settings.caFile.isEmpty())
        set(CURLOPT_CAINFO, QFile::encodeName(m_settings.caFile).constData());
    return code;
}

void CurlWorker::collectFinished()
{
    int queuedMessages = 0;
    while (CURLMsg *message = curl_multi_info_read(m_multi, &queuedMessages)) {
        if (message->msg != CURLMSG_DONE)
            continue;
        // The message dies with the handle's removal; keep what is needed of it.
        const CURLcode code = message->data.result;
        char *transferPointer = nullptr;
        curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &transferPointer);
        auto *transfer = reinterpret_cast<Transfer *>(transferPointer);
        m_ended.insert(transfer->request.host);
        if (code != CURLE_OK || !transfer->isHolding()) {
            finish(*transfer, code);
            continue;
        }
        // The whole body is in, part of it still to inflate as the reader
        // makes room: its connection is free meanwhile.
        curl_multi_remove_handle(m_multi, transfer->easy);
        m_connections.remove(transfer->request.host);
        transfer->ended = true;
        publish();
        m_callbacks.roomAvailable();
    }
}

void CurlWorker::finish(Transfer &transfer, CURLcode code)
{
    const quint64 id = transfer.request.id;
    FetchResult result = outcome(transfer, code);
    if (result.httpVersion == 20)
        m_connections.setMultiplexed(transfer.request.host);
    const bool again = retry(transfer, result);
    forget(id);
    if (!again) {
        report(id, result);
    } else {
        // Its connection is free while it waits.
        publish();
        m_callbacks.roomAvailable();
    }
}

// A host's first answer tells whether it speaks HTTP/2, but the handshake
// already does: a transfer that went out on a connection it did not open
// while none of its host's transfers has ended (so that none could have left
// a connection behind) shares that connection with another. The host is then
// given as many transfers as one connection carries from its first round on.
void CurlWorker::noticeMultiplexing()
{
    for (const auto &[id, transfer] : m_running) {
        const QByteArray &host = transfer->request.host;
        if (transfer->ended || !host.startsWith("https:") || m_ended.contains(host) ||
            m_connections.isMultiplexed(host))
            continue;
        curl_off_t sentAfter = 0;
        long connects = 1;
        curl_easy_getinfo(transfer->easy, CURLINFO_PRETRANSFER_TIME_T, &sentAfter);
        curl_easy_getinfo(transfer->easy, CURLINFO_NUM_CONNECTS, &connects);
        if (sentAfter == 0 || connects != 0)
            continue;
        m_connections.setMultiplexed(host);
        publish();
        m_callbacks.roomAvailable();
    }
}

// Queues the request again when its failure may pass, tries are left and
// its reader has not committed to what it read of it.
bool CurlWorker::retry(Transfer &transfer, FetchResult &result)
{
    if (result.ok)
        return false;
    const Request &request = transfer.request;
    RetryCase failure;
    failure.kind = result.kind;
    failure.httpStatus = result.httpStatus;
    failure.tries = request.tries;
    failure.reconnects = request.reconnects;
    long connects = 1;
    curl_easy_getinfo(transfer.easy, CURLINFO_NUM_CONNECTS, &connects);
    failure.reusedConnection = connects == 0;
    curl_header *header = nullptr;
    if (curl_easy_header(transfer.easy, "Retry-After", 0, CURLH_HEADER, -1, &header) == CURLHE_OK) {
        failure.hasRetryAfter = true;
        failure.retryAfter = header->value;
    }
    const RetryDecision decision = decideRetry(
        failure, m_settings.retries, m_settings.retryAfterCap, QDateTime::currentDateTimeUtc());
    if (decision.what == RetryDecision::GiveUp)
        return false;
    bool toldAfresh = false;
    {
        Pipe &pipe = *request.pipe;
        const std::lock_guard lock(pipe.mutex);
        // A reader cannot take back what it showed of the page, and must not
        // be given it twice.
        if (pipe.committed && pipe.responded) {
            refuseRestart(result);
            return false;
        }
        // What it has not read yet is dropped; what it read, it drops when told.
        pipe.bytes.clear();
        pipe.length = -1;
        pipe.paused = false;
        pipe.announced = false;
        if (std::exchange(pipe.responded, false)) {
            ++pipe.attempt;
            pipe.response = {};
            pipe.dropped = result;
            toldAfresh = true;
        }
    }
    if (toldAfresh)
        m_callbacks.changed(request.id);
    Request again = request;
    if (decision.what == RetryDecision::Reconnect) {
        ++again.reconnects;
    } else {
        ++again.tries;
        again.notBefore = FetchClock::now() + decision.wait;
    }
    m_queued.push_front(std::move(again));
    return true;
}

FetchResult CurlWorker::outcome(Transfer &transfer, CURLcode code) const
{
    const FetchResponse response = responseOf(transfer.easy);
    FetchResult result =
        failed(transfer.problem(code, response.httpStatus, m_settings.totalTimeout));
    result.httpStatus = response.httpStatus;
    result.httpVersion = response.httpVersion;
    result.finalUrl = response.finalUrl;
    result.contentType = response.contentType;
    result.ok = result.kind == FetchError::None;
    return result;
}

// Drops a transfer whether it runs or still waits; unknown ids are already gone.
void CurlWorker::forget(quint64 id)
{
    m_countChanged = true;
    const auto found = m_running.find(id);
    if (found == m_running.end()) {
        std::erase_if(m_queued, [id](const Request &request) { return request.id == id; });
        return;
    }
    const Transfer &transfer = *found->second;
    if (!transfer.ended) {
        curl_multi_remove_handle(m_multi, transfer.easy);
        m_connections.remove(transfer.request.host);
    }
    m_running.erase(found);
}

void CurlWorker::report(quint64 id, const FetchResult &result)
{
    // The owner sees the connection free by the time it hears of the result.
    publish();
    m_callbacks.finished(id, result);
}
