#include "platform/CurlPageFetcher.h"

#include "platform/ContentDecoder.h"
#include "platform/TextDecoding.h"

#include <QDir>
#include <QFile>
#include <QHash>

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
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

struct Request
{
    quint64 id = 0;
    QString url;
    QString path;
    bool toFile = false;
    bool utf8 = false;   // the text as UTF-8 rather than UTF-16
    QByteArray host;     // host and port, known once the address was checked
    bool secure = false; // https
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

FetchResult failed(const QString &error)
{
    FetchResult result;
    result.error = error;
    return result;
}

QString statusError(long status)
{
    return QStringLiteral("The server answered with HTTP status %1").arg(status);
}

QString curlError(CURLcode code, const char *detail)
{
    QString message = QString::fromUtf8(curl_easy_strerror(code));
    if (detail[0] != '\0')
        message += QStringLiteral(" (%1)").arg(QString::fromUtf8(detail).trimmed());
    return message;
}

QString fileError(const QFile &file)
{
    return QStringLiteral("Cannot write %1: %2")
        .arg(QDir::toNativeSeparators(file.fileName()), file.errorString());
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
QString lengthProblem(CURL *easy)
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
                return QStringLiteral("The server sent an invalid or contradictory Content-Length");
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

// Empty when the request's address is an http or https one, else why it cannot be
// fetched. Fills in the host and whether the address is secure.
QString checkAddress(Request &request)
{
    const QString &url = request.url;
    const QByteArray utf8 = url.toUtf8();
    const std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> parsed(curl_url(), &curl_url_cleanup);
    // An embedded NUL would make curl fetch a shorter address than the one asked for.
    if (!parsed || utf8.contains('\0') ||
        curl_url_set(parsed.get(), CURLUPART_URL, utf8.constData(), CURLU_NON_SUPPORT_SCHEME) !=
            CURLUE_OK)
        return QStringLiteral("Not a valid web address: \"%1\"").arg(url);
    const QByteArray scheme = urlPart(parsed.get(), CURLUPART_SCHEME).toLower();
    if (scheme != "http" && scheme != "https")
        return QStringLiteral("Only http and https addresses can be fetched: \"%1\"").arg(url);
    // Each port counts as a host of its own, as it does for curl's connection limits.
    request.host = urlPart(parsed.get(), CURLUPART_HOST).toLower() + ':' +
                   urlPart(parsed.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT);
    request.secure = scheme == "https";
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
    QString problem(CURLcode code, long status);
    QString closeFile();

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
    QString stopReason;  // why take() refused data
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
        stopReason = decoder.error();
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
        stopReason = statusError(status);
        return false;
    }
    stopReason = lengthProblem(easy);
    if (!stopReason.isEmpty())
        return false;
    const QByteArray encoding = contentEncoding(easy);
    if (!decoder.setEncoding(encoding)) {
        stopReason = decoder.error();
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
        stopReason =
            QStringLiteral("The page is larger than the limit of %1 bytes").arg(maxBodyBytes);
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
    stopReason = fileError(*file);
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
QString Transfer::problem(CURLcode code, long status)
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
            return QStringLiteral("Refused to follow a redirect to %1")
                .arg(QString::fromUtf8(location->value));
    }
    if (code != CURLE_OK)
        return curlError(code, curlDetail);
    if (!isSuccess(status))
        return statusError(status);
    if (const QString length = lengthProblem(easy); !length.isEmpty())
        return length; // a body that never started was not judged yet
    if (!decoder.isComplete())
        return QStringLiteral("The compressed body ends early");
    return file ? closeFile() : QString();
}

QString Transfer::closeFile()
{
    const bool flushed = file->flush();
    const QString error = flushed ? QString() : fileError(*file);
    file->close();
    return error;
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
    void admit(Request request);
    void startQueued();
    void start(Request request);
    CURLcode configure(Transfer &transfer) const;
    void collectFinished();
    FetchResult outcome(Transfer &transfer, CURLcode code) const;
    void forget(quint64 id);
    void report(quint64 id, const FetchResult &result);

    CurlPageFetcher *const m_owner;
    const FetchSettings m_settings;
    CURLM *const m_multi;

    std::mutex m_mutex; // guards the two command lists
    std::vector<Request> m_submitted;
    std::vector<quint64> m_cancelled;
    std::atomic_bool m_stopping = false;

    // Worker thread only.
    std::deque<Request> m_queued;
    std::unordered_map<quint64, std::unique_ptr<Transfer>> m_running;
    QHash<QByteArray, int> m_runningPerHost;

    std::thread m_thread;
};

CurlPageFetcher::Worker::Worker(CurlPageFetcher *owner, const FetchSettings &settings)
    : m_owner(owner), m_settings(settings), m_multi(curl_multi_init())
{
    Q_CHECK_PTR(m_multi);
    curl_multi_setopt(m_multi, CURLMOPT_MAX_TOTAL_CONNECTIONS, long(settings.maxTransfers));
    curl_multi_setopt(m_multi, CURLMOPT_MAX_HOST_CONNECTIONS, long(settings.maxTransfersPerHost));
    m_thread = std::thread([this] { run(); });
}

CurlPageFetcher::Worker::~Worker()
{
    m_stopping = true;
    curl_multi_wakeup(m_multi);
    m_thread.join();
    curl_multi_cleanup(m_multi);
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
    while (!m_stopping) {
        takeCommands();
        int running = 0;
        curl_multi_perform(m_multi, &running);
        collectFinished();
        startQueued();
        curl_multi_poll(m_multi, nullptr, 0, idlePollMs, nullptr);
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
        admit(std::move(request));
    for (const quint64 id : cancelled)
        forget(id);
}

void CurlPageFetcher::Worker::admit(Request request)
{
    const QString problem = checkAddress(request);
    if (problem.isEmpty())
        m_queued.push_back(std::move(request));
    else
        report(request.id, failed(problem));
}

// Keeps requests here rather than in curl's own pending list, so that a page's
// deadline only starts running once its transfer does.
void CurlPageFetcher::Worker::startQueued()
{
    for (auto next = m_queued.begin();
         next != m_queued.end() && int(m_running.size()) < m_settings.maxTransfers;) {
        if (m_runningPerHost.value(next->host) >= m_settings.maxTransfersPerHost) {
            ++next;
            continue;
        }
        Request request = std::move(*next);
        next = m_queued.erase(next);
        start(std::move(request));
    }
}

void CurlPageFetcher::Worker::start(Request request)
{
    const quint64 id = request.id;
    auto transfer = std::make_unique<Transfer>(std::move(request), m_settings.maxBodyBytes);
    if (transfer->request.toFile) {
        transfer->file = std::make_unique<QFile>(transfer->request.path);
        if (!transfer->file->open(QIODevice::WriteOnly | QIODevice::Truncate))
            return report(id, failed(fileError(*transfer->file)));
    }
    const CURLcode code = configure(*transfer);
    if (code != CURLE_OK)
        return report(id, failed(curlError(code, "")));
    if (curl_multi_add_handle(m_multi, transfer->easy) != CURLM_OK)
        return report(id, failed(QStringLiteral("Cannot start the transfer")));
    ++m_runningPerHost[transfer->request.host];
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
    set(CURLOPT_REDIR_PROTOCOLS_STR, transfer.request.secure ? secureProtocols : webProtocols);
    set(CURLOPT_FOLLOWLOCATION, 1L);
    set(CURLOPT_MAXREDIRS, maxRedirects);
    // Only what ContentDecoder undoes, so that a cut compressed body is noticed.
    set(CURLOPT_ACCEPT_ENCODING, "gzip, deflate");
    set(CURLOPT_HTTP_CONTENT_DECODING, 0L);
    set(CURLOPT_USERAGENT, "Quillora/" QUILLORA_VERSION);
    set(CURLOPT_NOSIGNAL, 1L);
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
        report(id, outcome(*transfer, code));
        forget(id);
    }
}

FetchResult CurlPageFetcher::Worker::outcome(Transfer &transfer, CURLcode code) const
{
    long status = 0;
    char *contentType = nullptr;
    curl_easy_getinfo(transfer.easy, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_getinfo(transfer.easy, CURLINFO_CONTENT_TYPE, &contentType);

    FetchResult result = failed(transfer.problem(code, status));
    result.httpStatus = int(status);
    if (!result.error.isEmpty())
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
    if (--m_runningPerHost[transfer.request.host] == 0)
        m_runningPerHost.remove(transfer.request.host);
    m_running.erase(found);
}

void CurlPageFetcher::Worker::report(quint64 id, const FetchResult &result)
{
    // Posted with the owner as context: dropped unseen if the owner is gone by then.
    QMetaObject::invokeMethod(
        m_owner, [owner = m_owner, id, result] { owner->deliver(id, result); },
        Qt::QueuedConnection);
}

CurlPageFetcher::CurlPageFetcher(FetchSettings settings, QObject *parent) : PageFetcher(parent)
{
    initCurlOnce();
    qRegisterMetaType<FetchResult>();
    m_worker = std::make_unique<Worker>(this, settings);
}

// The worker is joined before QObject's teardown, which then discards any result
// it had already posted.
CurlPageFetcher::~CurlPageFetcher() = default;

quint64 CurlPageFetcher::fetchText(const QString &url)
{
    return submit(url, {}, false, false);
}

quint64 CurlPageFetcher::fetchUtf8(const QString &url)
{
    return submit(url, {}, false, true);
}

quint64 CurlPageFetcher::downloadToFile(const QString &url, const QString &path)
{
    return submit(url, path, true, false);
}

void CurlPageFetcher::cancel(quint64 id)
{
    if (m_unfinished.remove(id))
        m_worker->cancel(id);
}

bool CurlPageFetcher::stillExecuting() const
{
    return !m_unfinished.isEmpty();
}

quint64 CurlPageFetcher::submit(const QString &url, const QString &path, bool toFile, bool utf8)
{
    const quint64 id = ++m_lastId;
    m_unfinished.insert(id);
    m_worker->submit({id, url, path, toFile, utf8, {}});
    return id;
}

void CurlPageFetcher::deliver(quint64 id, const FetchResult &result)
{
    // A result posted just before its cancel() arrives here too; drop it.
    if (m_unfinished.remove(id))
        emit finished(id, result);
}
