#include "platform/CurlPageFetcher.h"

#include "platform/ContentDecoder.h"
#include "platform/TextDecoding.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QPointer>

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

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
// How often a request goes again after the connection it was sent on died.
constexpr int maxReconnects = 3;
constexpr int mostBackoffMs = 2'000;

using Clock = std::chrono::steady_clock;

struct Request
{
    quint64 id = 0;
    QString url;
    QString path;
    bool toFile = false;
    bool utf8 = false; // the text as UTF-8 rather than UTF-16
    QByteArray host;   // hostKey()
    int tries = 0;
    int reconnects = 0; // after a reused connection died under it
    Clock::time_point notBefore{};
};

// Why a transfer failed; none while it has not.
struct Problem
{
    FetchError kind = FetchError::None;
    QString text;
    bool isEmpty() const { return kind == FetchError::None; }
};

void initCurlOnce()
{
    // Not thread-safe in every libcurl, so it runs before any worker exists.
    static const CURLcode initialized = curl_global_init(CURL_GLOBAL_DEFAULT);
    Q_UNUSED(initialized)
}

bool isSuccess(long status)
{
    return status >= 200 && status < 300;
}

FetchResult failed(const Problem &problem)
{
    FetchResult result;
    result.kind = problem.kind;
    result.error = problem.text;
    return result;
}

Problem statusProblem(long status)
{
    return {FetchError::HttpStatus,
            QStringLiteral("The server answered with HTTP status %1").arg(status)};
}

FetchError kindOf(CURLcode code, const char *detail)
{
    switch (code) {
    case CURLE_URL_MALFORMAT:
        return FetchError::InvalidAddress;
    case CURLE_UNSUPPORTED_PROTOCOL: // the address's scheme was checked: it is the answer's
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_HTTP3:
        return FetchError::Malformed;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return FetchError::NameNotResolved;
    case CURLE_COULDNT_CONNECT:
        return FetchError::ConnectionRefused;
    case CURLE_SEND_ERROR:
        return FetchError::ConnectionReset;
    case CURLE_RECV_ERROR: // a reset, or an answer curl could not read
        return std::strstr(detail, "reset") ? FetchError::ConnectionReset : FetchError::Malformed;
    case CURLE_OPERATION_TIMEDOUT:
        // The low-speed limit ends a transfer with the same code as a deadline.
        return std::strstr(detail, "too slow") ? FetchError::TooSlow : FetchError::TimedOut;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
        return FetchError::Certificate;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_USE_SSL_FAILED:
        return FetchError::Tls;
    case CURLE_TOO_MANY_REDIRECTS:
        return FetchError::RedirectRefused;
    case CURLE_FILESIZE_EXCEEDED:
    case CURLE_OUT_OF_MEMORY: // what curl says of a header line too long to hold
        return FetchError::TooLarge;
    default:
        return FetchError::Other;
    }
}

Problem curlProblem(CURLcode code, const char *detail)
{
    QString message = QString::fromUtf8(curl_easy_strerror(code));
    if (detail[0] != '\0')
        message += QStringLiteral(" (%1)").arg(QString::fromUtf8(detail).trimmed());
    return {kindOf(code, detail), message};
}

Problem fileProblem(const QFile &file)
{
    return {FetchError::FileError,
            QStringLiteral("Cannot write %1: %2")
                .arg(QDir::toNativeSeparators(file.fileName()), file.errorString())};
}

// Every Content-Encoding header of the final response, joined.
QByteArray contentEncoding(CURL *easy)
{
    QByteArray value;
    curl_header *header = nullptr;
    for (size_t index = 0;
         curl_easy_header(easy, "Content-Encoding", index, CURLH_HEADER, -1, &header) == CURLHE_OK;
         ++index) {
        if (!value.isEmpty())
            value += ',';
        value += header->value;
        if (index + 1 >= header->amount)
            break;
    }
    return value;
}

// Empty when every Content-Length of the final response is one and the same
// plain number. curl goes by the last header (or the first number of a list) and
// reads a value too large for it as "until the close", so a response that
// contradicts itself would otherwise pass as whole with any body it likes.
Problem lengthProblem(CURL *easy)
{
    std::optional<qint64> agreed;
    curl_header *header = nullptr;
    for (size_t index = 0;
         curl_easy_header(easy, "Content-Length", index, CURLH_HEADER, -1, &header) == CURLHE_OK;
         ++index) {
        for (const QByteArray &part : QByteArray(header->value).split(',')) {
            const QByteArray value = part.trimmed();
            bool fits = false;
            const qint64 length = value.toLongLong(&fits);
            const bool digitsOnly =
                !value.isEmpty() && std::all_of(value.begin(), value.end(),
                                                [](char c) { return c >= '0' && c <= '9'; });
            if (!digitsOnly || !fits || (agreed && *agreed != length))
                return {
                    FetchError::Malformed,
                    QStringLiteral("The server sent an invalid or contradictory Content-Length")};
            agreed = length;
        }
        if (index + 1 >= header->amount)
            break;
    }
    return {};
}

QByteArray urlPart(CURLU *url, CURLUPart part, unsigned int flags = 0)
{
    char *text = nullptr;
    if (curl_url_get(url, part, &text, flags) != CURLUE_OK)
        return {};
    const QByteArray value(text);
    curl_free(text);
    return value;
}

// An http or https address's host key, or why the address cannot be fetched.
Problem parseAddress(const QString &url, QByteArray *host)
{
    const QByteArray utf8 = url.toUtf8();
    const std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> parsed(curl_url(), &curl_url_cleanup);
    // An embedded NUL would make curl fetch a shorter address than the one asked for.
    if (!parsed || utf8.contains('\0') ||
        curl_url_set(parsed.get(), CURLUPART_URL, utf8.constData(), CURLU_NON_SUPPORT_SCHEME) !=
            CURLUE_OK)
        return {FetchError::InvalidAddress,
                QStringLiteral("Not a valid web address: \"%1\"").arg(url)};
    const QByteArray scheme = urlPart(parsed.get(), CURLUPART_SCHEME).toLower();
    if (scheme != "http" && scheme != "https")
        return {FetchError::SchemeRefused,
                QStringLiteral("Only http and https addresses can be fetched: \"%1\"").arg(url)};
    // Each port counts as a host of its own, as it does for curl's connection limits.
    *host = scheme + "://" + urlPart(parsed.get(), CURLUPART_HOST).toLower() + ':' +
            urlPart(parsed.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT);
    return {};
}

// One transfer between its start and its end; used on the worker thread only.
struct Transfer
{
    Transfer(Request request, qint64 maxBodyBytes)
        : request(std::move(request)), maxBodyBytes(maxBodyBytes)
    {
    }
    ~Transfer() { curl_easy_cleanup(easy); }
    Transfer(const Transfer &) = delete;
    Transfer &operator=(const Transfer &) = delete;

    bool take(const char *data, qint64 size);
    bool beginBody();
    bool store(const char *data, qint64 size);
    void checkUtf8(bool complete);
    Problem problem(CURLcode code, long status);
    Problem closeFile();

    const Request request;
    const qint64 maxBodyBytes;
    CURL *const easy = curl_easy_init();
    ContentDecoder decoder;
    bool bodyStarted = false;
    QByteArray body;
    // How much of body is known to be valid UTF-8: checking as the bytes arrive
    // overlaps the check with the transfer instead of adding it at the end.
    qsizetype utf8Checked = 0;
    bool utf8Valid = true;
    std::unique_ptr<QFile> file;
    qint64 received = 0; // decoded
    Problem stopReason;  // why take() refused data
    char curlDetail[CURL_ERROR_SIZE] = {};
};

bool Transfer::take(const char *data, qint64 size)
{
    if (!bodyStarted && !beginBody())
        return false;
    const auto sink = [this](const char *decoded, qint64 decodedSize) {
        return store(decoded, decodedSize);
    };
    if (decoder.write(data, size, sink))
        return true;
    if (stopReason.isEmpty())
        stopReason = {FetchError::Malformed, decoder.error()};
    return false;
}

// Judges the final response when its body starts; bodies of redirects never get here.
bool Transfer::beginBody()
{
    bodyStarted = true;
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    if (!isSuccess(status)) {
        // An error page is not the page asked for: no point in downloading it.
        stopReason = statusProblem(status);
        return false;
    }
    stopReason = lengthProblem(easy);
    if (!stopReason.isEmpty())
        return false;
    const QByteArray encoding = contentEncoding(easy);
    if (!decoder.setEncoding(encoding)) {
        stopReason = {FetchError::Malformed, decoder.error()};
        return false;
    }
    // A body of known size is held in one block from the start: growing it by
    // doubling would need up to twice its size at the moment of a copy.
    curl_off_t length = -1;
    curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    if (!file && encoding.isEmpty() && length > 0)
        body.reserve(qsizetype(qMin<qint64>(length, maxBodyBytes)));
    return true;
}

bool Transfer::store(const char *data, qint64 size)
{
    if (received + size > maxBodyBytes) {
        stopReason = {
            FetchError::TooLarge,
            QStringLiteral("The page is larger than the limit of %1 bytes").arg(maxBodyBytes)};
        return false;
    }
    received += size;
    if (!file) {
        body.append(data, size);
        if (request.utf8)
            checkUtf8(false);
        return true;
    }
    if (file->write(data, size) == size)
        return true;
    stopReason = fileProblem(*file);
    return false;
}

// Checks what arrived since the last call, up to the start of a sequence the
// next bytes may complete; everything once the body is complete. Cutting only
// before a byte that is no continuation byte never splits a valid sequence.
void Transfer::checkUtf8(bool complete)
{
    if (!utf8Valid)
        return;
    qsizetype cut = body.size();
    if (!complete) {
        const auto continuation = [this](qsizetype at) {
            return (uchar(body[at]) & 0xC0) == 0x80;
        };
        cut = qMax(utf8Checked, cut - 3);
        while (cut > utf8Checked && continuation(cut))
            --cut;
    }
    utf8Valid = QByteArrayView(body).sliced(utf8Checked, cut - utf8Checked).isValidUtf8();
    utf8Checked = cut;
}

// Empty when the transfer succeeded, else why it failed.
Problem Transfer::problem(CURLcode code, long status)
{
    if (!stopReason.isEmpty())
        return stopReason;
    if (code == CURLE_UNSUPPORTED_PROTOCOL && status >= 300 && status < 400) {
        // curl blames itself ("disabled in libcurl") for a redirect we refused.
        // Depending on how far it got, the refused answer is the last request or
        // the one before it.
        long hops = 0;
        curl_easy_getinfo(easy, CURLINFO_REDIRECT_COUNT, &hops);
        curl_header *location = nullptr;
        for (int request = int(hops); request >= 0 && !location; --request) {
            if (curl_easy_header(easy, "Location", 0, CURLH_HEADER, request, &location) !=
                CURLHE_OK)
                location = nullptr;
        }
        if (location)
            return {FetchError::RedirectRefused,
                    QStringLiteral("Refused to follow a redirect to %1")
                        .arg(QString::fromUtf8(location->value))};
    }
    curl_off_t connected = 0;
    if (code == CURLE_OPERATION_TIMEDOUT &&
        curl_easy_getinfo(easy, CURLINFO_CONNECT_TIME_T, &connected) == CURLE_OK && connected == 0)
        return {FetchError::NoAnswer, curlProblem(code, curlDetail).text};
    if (code != CURLE_OK)
        return curlProblem(code, curlDetail);
    if (!isSuccess(status))
        return statusProblem(status);
    if (const Problem length = lengthProblem(easy); !length.isEmpty())
        return length; // a body that never started was not judged yet
    if (!decoder.isComplete())
        return {FetchError::Malformed, QStringLiteral("The compressed body ends early")};
    return file ? closeFile() : Problem();
}

Problem Transfer::closeFile()
{
    const bool flushed = file->flush();
    const Problem problem = flushed ? Problem() : fileProblem(*file);
    file->close();
    return problem;
}

size_t receiveBody(char *data, size_t size, size_t count, void *transfer)
{
    const size_t bytes = size * count;
    // A short count makes curl end the transfer with an error.
    return static_cast<Transfer *>(transfer)->take(data, qint64(bytes)) ? bytes : 0;
}

} // namespace

// Owns the multi handle and every transfer. Apart from submit() and cancel(),
// which only queue a command and wake it, everything runs on its own thread.
class CurlPageFetcher::Worker
{
public:
    Worker(CurlPageFetcher *owner, const FetchSettings &settings);
    ~Worker();
    Worker(const Worker &) = delete;
    Worker &operator=(const Worker &) = delete;

    void submit(Request request);
    void cancel(quint64 id);

private:
    void run();
    void takeCommands();
    void failRunning(CURLMcode code);
    int startQueued(); // ms until a waiting request may start, or -1
    bool retry(Transfer &transfer, const FetchResult &result);
    void start(Request request);
    CURLcode configure(Transfer &transfer) const;
    void collectFinished();
    void noticeMultiplexing();
    FetchResult outcome(Transfer &transfer, CURLcode code) const;
    void forget(quint64 id);
    void report(quint64 id, const FetchResult &result);

    CurlPageFetcher *const m_owner;
    const FetchSettings m_settings;
    CURLM *const m_multi;
    CURLSH *const m_share; // used by this thread alone: no locks

    std::mutex m_mutex; // guards the two command lists
    std::condition_variable m_stopped;
    std::vector<Request> m_submitted;
    std::vector<quint64> m_cancelled;
    std::atomic_bool m_stopping = false;

    // Worker thread only.
    std::deque<Request> m_queued;
    std::unordered_map<quint64, std::unique_ptr<Transfer>> m_running;
    ConnectionCount m_connections;
    QSet<QByteArray> m_ended;                         // hosts that have ended a transfer
    QHash<QByteArray, Clock::time_point> m_lastStart; // with a delay between starts

    std::thread m_thread;
};

CurlPageFetcher::Worker::Worker(CurlPageFetcher *owner, const FetchSettings &settings)
    : m_owner(owner), m_settings(settings), m_multi(curl_multi_init()), m_share(curl_share_init()),
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

CurlPageFetcher::Worker::~Worker()
{
    m_stopping = true;
    m_stopped.notify_all();
    curl_multi_wakeup(m_multi);
    m_thread.join();
    curl_multi_cleanup(m_multi);
    curl_share_cleanup(m_share);
}

void CurlPageFetcher::Worker::submit(Request request)
{
    {
        const std::lock_guard lock(m_mutex);
        m_submitted.push_back(std::move(request));
    }
    curl_multi_wakeup(m_multi);
}

void CurlPageFetcher::Worker::cancel(quint64 id)
{
    {
        const std::lock_guard lock(m_mutex);
        m_cancelled.push_back(id);
    }
    curl_multi_wakeup(m_multi);
}

void CurlPageFetcher::Worker::run()
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

void CurlPageFetcher::Worker::takeCommands()
{
    std::vector<Request> submitted;
    std::vector<quint64> cancelled;
    {
        const std::lock_guard lock(m_mutex);
        submitted.swap(m_submitted);
        cancelled.swap(m_cancelled);
    }
    for (Request &request : submitted)
        m_queued.push_back(std::move(request));
    for (const quint64 id : cancelled)
        forget(id);
}

void CurlPageFetcher::Worker::failRunning(CURLMcode code)
{
    const Problem problem{FetchError::Other,
                          QStringLiteral("libcurl failed: %1").arg(curl_multi_strerror(code))};
    while (!m_running.empty()) {
        const quint64 id = m_running.begin()->first;
        report(id, failed(problem));
        forget(id);
    }
}

// Keeps requests here rather than in curl's own pending list, so that a page's
// deadline only starts running once its transfer does.
int CurlPageFetcher::Worker::startQueued()
{
    const Clock::time_point now = Clock::now();
    Clock::time_point soonest = Clock::time_point::max();
    for (auto next = m_queued.begin(); next != m_queued.end();) {
        Clock::time_point due = next->notBefore;
        if (m_settings.perHostDelay.count() > 0 && m_lastStart.contains(next->host))
            due = std::max(due, m_lastStart.value(next->host) + m_settings.perHostDelay);
        if (due > now)
            soonest = std::min(soonest, due);
        if (due > now || !m_connections.hasRoomFor(next->host)) {
            ++next;
            continue;
        }
        if (m_settings.perHostDelay.count() > 0)
            m_lastStart.insert(next->host, now);
        Request request = std::move(*next);
        next = m_queued.erase(next);
        start(std::move(request));
    }
    if (soonest == Clock::time_point::max())
        return -1;
    return int(std::chrono::ceil<std::chrono::milliseconds>(soonest - now).count());
}

void CurlPageFetcher::Worker::start(Request request)
{
    const quint64 id = request.id;
    auto transfer = std::make_unique<Transfer>(std::move(request), m_settings.maxBodyBytes);
    if (transfer->request.toFile) {
        transfer->file = std::make_unique<QFile>(transfer->request.path);
        if (!transfer->file->open(QIODevice::WriteOnly | QIODevice::Truncate))
            return report(id, failed(fileProblem(*transfer->file)));
    }
    const CURLcode code = configure(*transfer);
    if (code != CURLE_OK)
        return report(id, failed(curlProblem(code, "")));
    if (curl_multi_add_handle(m_multi, transfer->easy) != CURLM_OK)
        return report(id, failed({FetchError::Other, QStringLiteral("Cannot start the transfer")}));
    m_connections.add(transfer->request.host);
    m_running.emplace(id, std::move(transfer));
}

CURLcode CurlPageFetcher::Worker::configure(Transfer &transfer) const
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
    set(CURLOPT_FAILONERROR, 0L); // the status is judged in beginBody() and problem()
    set(CURLOPT_CONNECTTIMEOUT_MS, long(m_settings.connectTimeout.count()));
    set(CURLOPT_TIMEOUT_MS, long(m_settings.totalTimeout.count()));
    set(CURLOPT_LOW_SPEED_LIMIT, m_settings.lowSpeedLimit);
    set(CURLOPT_LOW_SPEED_TIME, long(m_settings.lowSpeedTime.count()));
    if (!m_settings.caFile.isEmpty())
        set(CURLOPT_CAINFO, QFile::encodeName(m_settings.caFile).constData());
    return code;
}

void CurlPageFetcher::Worker::collectFinished()
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
        const quint64 id = transfer->request.id;
        const FetchResult result = outcome(*transfer, code);
        if (result.httpVersion == 20)
            m_connections.setMultiplexed(transfer->request.host);
        m_ended.insert(transfer->request.host);
        if (!retry(*transfer, result))
            report(id, result);
        forget(id);
    }
}

// A host's first answer tells whether it speaks HTTP/2, but the handshake
// already does: a transfer that went out on a connection it did not open
// while none of its host's transfers has ended (so that none could have left
// a connection behind) shares that connection with another. The host is then
// given as many transfers as one connection carries from its first round on.
void CurlPageFetcher::Worker::noticeMultiplexing()
{
    for (const auto &[id, transfer] : m_running) {
        const QByteArray &host = transfer->request.host;
        if (!host.startsWith("https:") || m_ended.contains(host) ||
            m_connections.isMultiplexed(host))
            continue;
        curl_off_t sentAfter = 0;
        long connects = 1;
        curl_easy_getinfo(transfer->easy, CURLINFO_PRETRANSFER_TIME_T, &sentAfter);
        curl_easy_getinfo(transfer->easy, CURLINFO_NUM_CONNECTS, &connects);
        if (sentAfter == 0 || connects != 0)
            continue;
        m_connections.setMultiplexed(host);
        QMetaObject::invokeMethod(
            m_owner, [owner = m_owner, host] { owner->hostMultiplexes(host); },
            Qt::QueuedConnection);
    }
}

// Queues the request again when its failure may pass and tries are left.
bool CurlPageFetcher::Worker::retry(Transfer &transfer, const FetchResult &result)
{
    const Request &request = transfer.request;
    // A connection kept from earlier transfers may be closed by the server
    // (an HTTP/2 GOAWAY, an idle timeout) just as a request goes out on it:
    // that request was never answered, and goes again on a new one.
    long connects = 1;
    curl_easy_getinfo(transfer.easy, CURLINFO_NUM_CONNECTS, &connects);
    if (connects == 0 && result.httpStatus == 0 && request.reconnects < maxReconnects &&
        (result.kind == FetchError::ConnectionReset || result.kind == FetchError::Malformed)) {
        Request again = request;
        ++again.reconnects;
        m_queued.push_front(std::move(again));
        return true;
    }
    const bool passing =
        result.kind == FetchError::ConnectionReset || result.kind == FetchError::TimedOut ||
        result.kind == FetchError::TooSlow || result.httpStatus == 429 || result.httpStatus == 503;
    if (result.ok || !passing || request.tries >= m_settings.retries)
        return false;
    std::chrono::milliseconds wait(1000 << std::min(request.tries, 16));
    curl_header *header = nullptr;
    if (curl_easy_header(transfer.easy, "Retry-After", 0, CURLH_HEADER, -1, &header) == CURLHE_OK) {
        const QByteArray value = QByteArray(header->value).trimmed();
        bool seconds = false;
        const qint64 after = value.toLongLong(&seconds);
        const QDateTime date = QDateTime::fromString(QString::fromLatin1(value), Qt::RFC2822Date);
        if (seconds && after >= 0)
            wait = std::chrono::seconds(after);
        else if (date.isValid())
            wait = std::chrono::milliseconds(
                std::max<qint64>(0, QDateTime::currentDateTimeUtc().msecsTo(date)));
        wait = std::min<std::chrono::milliseconds>(wait, m_settings.retryAfterCap);
    }
    Request again = request;
    ++again.tries;
    again.notBefore = Clock::now() + wait;
    m_queued.push_front(std::move(again));
    return true;
}

FetchResult CurlPageFetcher::Worker::outcome(Transfer &transfer, CURLcode code) const
{
    long status = 0;
    char *contentType = nullptr;
    curl_easy_getinfo(transfer.easy, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_getinfo(transfer.easy, CURLINFO_CONTENT_TYPE, &contentType);

    long version = 0;
    curl_easy_getinfo(transfer.easy, CURLINFO_HTTP_VERSION, &version);
    FetchResult result = failed(transfer.problem(code, status));
    result.httpStatus = int(status);
    result.httpVersion = version == CURL_HTTP_VERSION_2_0   ? 20
                         : version == CURL_HTTP_VERSION_1_1 ? 11
                         : version == CURL_HTTP_VERSION_1_0 ? 10
                                                            : 0;
    if (result.kind != FetchError::None)
        return result;
    result.ok = true;
    if (transfer.request.utf8) {
        transfer.checkUtf8(true);
        result.utf8 = decodePageUtf8(transfer.body, contentType, transfer.utf8Valid);
    } else if (!transfer.request.toFile)
        result.text = decodePageText(transfer.body, contentType);
    return result;
}

// Drops a transfer whether it runs or still waits; unknown ids are already gone.
void CurlPageFetcher::Worker::forget(quint64 id)
{
    const auto found = m_running.find(id);
    if (found == m_running.end()) {
        std::erase_if(m_queued, [id](const Request &request) { return request.id == id; });
        return;
    }
    const Transfer &transfer = *found->second;
    curl_multi_remove_handle(m_multi, transfer.easy);
    m_connections.remove(transfer.request.host);
    m_running.erase(found);
}

void CurlPageFetcher::Worker::report(quint64 id, const FetchResult &result)
{
    // Posted with the owner as context: dropped unseen if the owner is gone by then.
    QMetaObject::invokeMethod(
        m_owner, [owner = m_owner, id, result] { owner->deliver(id, result); },
        Qt::QueuedConnection);
}

// The reply handed out for one transfer. It reaches its fetcher only while
// both live: a fetcher gone first leaves it unfinished for good.
class CurlFetchReply : public FetchReply
{
public:
    CurlFetchReply(CurlPageFetcher *fetcher, quint64 id) : m_fetcher(fetcher), m_id(id) {}
    ~CurlFetchReply() override { abort(); }
    void abort() override
    {
        if (m_fetcher)
            std::exchange(m_fetcher, nullptr)->abandon(m_id);
    }
    void finish(const FetchResult &result)
    {
        m_fetcher = nullptr;
        emit finished(result);
    }
    QByteArray host;

private:
    QPointer<CurlPageFetcher> m_fetcher; // while unfinished
    quint64 m_id;
};

bool ConnectionCount::hasRoomFor(const QByteArray &host) const
{
    const int transfers = m_transfers.value(host);
    if (m_multiplexed.contains(host) && transfers > 0)
        return transfers < m_settings.maxStreams;
    return transfers < m_settings.maxConnectionsPerHost &&
           m_connections < m_settings.maxConnections;
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

CurlPageFetcher::CurlPageFetcher(FetchSettings settings, QObject *parent)
    : PageFetcher(parent), m_settings(std::move(settings)), m_connections(m_settings)
{
    initCurlOnce();
    qRegisterMetaType<FetchResult>();
    m_worker = std::make_unique<Worker>(this, m_settings);
}

// The worker is joined before QObject's teardown, which then discards any result
// it had already posted.
CurlPageFetcher::~CurlPageFetcher()
{
    m_worker.reset();
}

std::unique_ptr<FetchReply> CurlPageFetcher::fetchText(const QString &url)
{
    return submit(url, Mode::Text);
}

std::unique_ptr<FetchReply> CurlPageFetcher::fetchUtf8(const QString &url)
{
    return submit(url, Mode::Utf8);
}

std::unique_ptr<FetchReply> CurlPageFetcher::downloadToFile(const QString &url, const QString &path)
{
    return submit(url, Mode::File, path);
}

bool CurlPageFetcher::hasRoomFor(const QString &url) const
{
    const QByteArray host = hostOf(url);
    return host.isEmpty() || m_connections.hasRoomFor(host);
}

QByteArray CurlPageFetcher::hostOf(const QString &url) const
{
    auto known = m_hosts.constFind(url);
    if (known == m_hosts.constEnd()) {
        if (m_hosts.size() > 100'000) // a cache, not a record of every address
            m_hosts.clear();
        QByteArray host;
        parseAddress(url, &host);
        known = m_hosts.insert(url, host);
    }
    return *known;
}

std::unique_ptr<FetchReply> CurlPageFetcher::submit(const QString &url, Mode mode,
                                                    const QString &path)
{
    const quint64 id = ++m_lastId;
    auto reply = std::make_unique<CurlFetchReply>(this, id);
    m_unfinished.insert(id, reply.get());
    const Problem problem = parseAddress(url, &reply->host);
    if (!problem.isEmpty()) {
        // Reported from the event loop all the same, as every result is.
        QMetaObject::invokeMethod(
            this, [this, id, problem] { deliver(id, failed(problem)); }, Qt::QueuedConnection);
        return reply;
    }
    m_connections.add(reply->host);
    m_worker->submit({id, url, path, mode == Mode::File, mode == Mode::Utf8, reply->host});
    return reply;
}

void CurlPageFetcher::deliver(quint64 id, const FetchResult &result)
{
    // A result posted just before its reply was abandoned arrives here too; drop it.
    CurlFetchReply *reply = m_unfinished.take(id);
    if (!reply)
        return;
    if (!reply->host.isEmpty()) {
        if (result.httpVersion == 20)
            m_connections.setMultiplexed(reply->host);
        m_connections.remove(reply->host);
    }
    reply->finish(result);
}

void CurlPageFetcher::hostMultiplexes(const QByteArray &host)
{
    m_connections.setMultiplexed(host);
    emit roomAvailable();
}

void CurlPageFetcher::abandon(quint64 id)
{
    CurlFetchReply *reply = m_unfinished.take(id);
    if (!reply || reply->host.isEmpty())
        return;
    m_connections.remove(reply->host);
    if (m_worker) // gone while the fetcher is torn down
        m_worker->cancel(id);
}
