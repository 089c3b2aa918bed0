#include "platform/CurlPageFetcher.h"

#include "platform/CurlWorker.h"
#include "platform/TextDecoding.h"

#include <QMetaMethod>
#include <QPointer>
#include <QTimer>

namespace {

void initCurlOnce()
{
    // Not thread-safe in every libcurl, so it runs before any worker exists.
    static const CURLcode initialized = curl_global_init(CURL_GLOBAL_DEFAULT);
    Q_UNUSED(initialized)
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

} // namespace

// A page's charset is settled from what came this long after its body began,
// should its first 1,024 bytes not be in by then: a slow page shows its text
// while it arrives. Counted from the body rather than the request, since
// however long the answer took to start says nothing of how its body flows.
constexpr std::chrono::milliseconds settleCharsetAfter{500};

// The reply handed out for one transfer. It reaches its fetcher only while
// both live: a fetcher gone first leaves it unfinished for good. Its text
// stays readable after it finished.
class CurlFetchReply : public FetchReply
{
public:
    CurlFetchReply(CurlPageFetcher *fetcher, quint64 id, std::shared_ptr<Pipe> pipe, bool download,
                   bool bytes)
        : m_fetcher(fetcher), m_id(id), m_pipe(std::move(pipe)), m_download(download),
          m_bytes(bytes)
    {
        m_decoder.emplace();
        m_settleTimer.setSingleShot(true);
        m_settleTimer.callOnTimeout(this, &CurlFetchReply::settle);
    }
    ~CurlFetchReply() override { abort(); }
    void abort() override
    {
        m_aborted = true;
        m_settleTimer.stop();
        if (m_fetcher)
            std::exchange(m_fetcher, nullptr)->abandon(m_id);
    }
    QByteArray read() override
    {
        if (m_download || m_drained)
            return {};
        QByteArray bytes;
        bool paused = false;
        {
            const std::lock_guard lock(m_pipe->mutex);
            // Nothing of a try before its reader heard of it.
            if (m_pipe->attempt != m_attempt || !m_told)
                return {};
            bytes = std::exchange(m_pipe->bytes, {});
            paused = m_pipe->paused;
            m_pipe->announced = false;
            if (!bytes.isEmpty()) {
                m_taken = true;
                m_pipe->committed = m_pipe->committed || !listensForRestarts();
            }
        }
        if (paused && !bytes.isEmpty() && m_fetcher)
            m_fetcher->resume(m_id);
        m_drained = m_ended;
        if (m_bytes)
            return bytes;
        QByteArray text = m_decoder->decode(std::move(bytes), m_ended);
        if (!m_ended && !m_settleAsked && m_decoder->isUndecided())
            scheduleSettle();
        return text;
    }
    bool waitsForReader() const override
    {
        if (m_download || m_ended)
            return false;
        const std::lock_guard lock(m_pipe->mutex);
        return m_pipe->paused;
    }
    FetchResponse response() const override { return m_response; }
    void setRestartable(bool restartable) override
    {
        FetchResult dropped;
        {
            const std::lock_guard lock(m_pipe->mutex);
            m_pipe->committed = !restartable || (m_taken && !listensForRestarts());
            // Started afresh before the reader committed to what it had read.
            if (!m_pipe->committed || !m_taken || m_pipe->attempt == m_attempt || !m_fetcher)
                return;
            dropped = m_pipe->dropped;
        }
        std::exchange(m_fetcher, nullptr)->abandon(m_id);
        dropped.restartRefused = true;
        QMetaObject::invokeMethod(
            this,
            [this, dropped] {
                m_ended = true;
                emit finished(dropped);
            },
            Qt::QueuedConnection);
    }

    // Tells the reader what the transfer did since, in order: a fresh start,
    // then what answered. False when the reply was dropped or abandoned meanwhile.
    bool sync()
    {
        const QPointer<CurlFetchReply> alive(this);
        int attempt = 0;
        bool responded = false;
        FetchResponse response;
        {
            const std::lock_guard lock(m_pipe->mutex);
            attempt = m_pipe->attempt;
            responded = m_pipe->responded;
            if (responded)
                response = m_pipe->response;
        }
        if (attempt != m_attempt) {
            const bool heard = std::exchange(m_told, false);
            m_attempt = attempt;
            m_taken = m_settleAsked = false;
            m_response = {};
            m_decoder.emplace();
            m_settleTimer.stop();
            if (heard)
                emit restarted();
            if (!alive || m_aborted)
                return false;
        }
        if (responded && !m_told)
            tellResponse(response);
        return alive && !m_aborted;
    }
    void finish(const FetchResult &result)
    {
        m_fetcher = nullptr;
        const QPointer<CurlFetchReply> alive(this);
        if (!sync())
            return;
        if (result.ok && !m_told) { // no body came to tell of it sooner
            tellResponse(
                {result.httpStatus, result.httpVersion, result.finalUrl, result.contentType});
            if (!alive || m_aborted)
                return;
        }
        m_ended = true;
        m_settleTimer.stop();
        emit finished(result);
    }
    void announce()
    {
        if (sync())
            emit readyRead();
    }

private:
    bool listensForRestarts() const
    {
        static const QMetaMethod signal = QMetaMethod::fromSignal(&FetchReply::restarted);
        return isSignalConnected(signal);
    }
    void tellResponse(const FetchResponse &response)
    {
        m_told = true;
        m_response = response;
        m_decoder->setContentType(response.contentType);
        emit responseStarted();
    }
    void scheduleSettle()
    {
        if (m_settleTimer.isActive())
            return;
        FetchClock::time_point began;
        {
            const std::lock_guard lock(m_pipe->mutex);
            began = m_pipe->bodyBegan;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(began + settleCharsetAfter -
                                                                       FetchClock::now());
        m_settleTimer.start(std::max(left, std::chrono::milliseconds(0)));
    }
    void settle()
    {
        if (m_aborted || m_ended || !m_decoder->isUndecided())
            return;
        m_settleAsked = true;
        m_decoder->settle();
        emit readyRead();
    }

    QPointer<CurlPageFetcher> m_fetcher; // while unfinished
    quint64 m_id;
    std::shared_ptr<Pipe> m_pipe;
    const bool m_download;
    const bool m_bytes;                       // handed out undecoded
    std::optional<PageTextDecoder> m_decoder; // afresh for every try
    QTimer m_settleTimer;
    FetchResponse m_response;
    int m_attempt = 0;          // the try the reader was told of
    bool m_told = false;        // of its answer
    bool m_taken = false;       // and read some of it
    bool m_settleAsked = false; // of its decoder
    bool m_aborted = false;
    bool m_ended = false;   // every byte is in the pipe
    bool m_drained = false; // and was read
};

CurlPageFetcher::CurlPageFetcher(FetchSettings settings, QObject *parent)
    : PageFetcher(parent), m_settings(std::move(settings)), m_seen{ConnectionCount(m_settings), 0}
{
    initCurlOnce();
    qRegisterMetaType<FetchResult>();
    // Posted with the fetcher as context: dropped unseen if it is gone by then.
    CurlWorker::Callbacks callbacks;
    callbacks.finished = [this](quint64 id, const FetchResult &result) {
        QMetaObject::invokeMethod(
            this, [this, id, result] { deliver(id, result); }, Qt::QueuedConnection);
    };
    callbacks.readable = [this](quint64 id) {
        QMetaObject::invokeMethod(
            this, [this, id] { announce(id); }, Qt::QueuedConnection);
    };
    callbacks.changed = [this](quint64 id) {
        QMetaObject::invokeMethod(
            this, [this, id] { notice(id); }, Qt::QueuedConnection);
    };
    callbacks.roomAvailable = [this] {
        QMetaObject::invokeMethod(
            this,
            [this] {
                m_seen = m_worker->snapshot();
                m_expected.reset();
                emit roomAvailable();
            },
            Qt::QueuedConnection);
    };
    m_worker = std::make_unique<CurlWorker>(m_settings, std::move(callbacks));
}

// The worker is joined before QObject's teardown, which then discards any result
// it had already posted.
CurlPageFetcher::~CurlPageFetcher()
{
    m_worker.reset();
}

std::unique_ptr<FetchReply> CurlPageFetcher::fetch(const QString &url)
{
    return submit(url, Body::Text);
}

std::unique_ptr<FetchReply> CurlPageFetcher::fetchBytes(const QString &url)
{
    return submit(url, Body::Bytes);
}

std::unique_ptr<FetchReply> CurlPageFetcher::downloadToFile(const QString &url, const QString &path)
{
    return submit(url, Body::File, path);
}

void CurlPageFetcher::setHostDelay(const QByteArray &host, std::chrono::milliseconds delay)
{
    m_worker->setHostDelay(host, delay);
}

bool CurlPageFetcher::hasRoomFor(const QString &url) const
{
    const QByteArray host = hostOf(url);
    if (host.isEmpty())
        return true;
    return expectedConnections().hasRoomFor(host);
}

// The connections the worker last reported, with the transfers handed over
// since; kept until either changes, as a run asks of every site ahead.
const ConnectionCount &CurlPageFetcher::expectedConnections() const
{
    while (!m_handedOver.empty() && m_handedOver.front().first <= m_seen.takenUpTo) {
        m_handedOver.pop_front();
        m_expected.reset();
    }
    if (!m_expected) {
        m_expected = m_seen.connections;
        for (const auto &[id, asked] : m_handedOver)
            m_expected->add(asked);
    }
    return *m_expected;
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

std::unique_ptr<FetchReply> CurlPageFetcher::submit(const QString &url, Body body,
                                                    const QString &path)
{
    const quint64 id = ++m_lastId;
    auto pipe = std::make_shared<Pipe>();
    auto reply =
        std::make_unique<CurlFetchReply>(this, id, pipe, body == Body::File, body == Body::Bytes);
    m_unfinished.insert(id, reply.get());
    Request request{id, url, {}, std::move(pipe), nullptr};
    Problem problem = parseAddress(url, &request.host);
    if (problem.isEmpty() && body == Body::File) {
        // Made here, once: however late the worker starts, or after the
        // reply was dropped, it never makes the file again.
        request.file = std::make_shared<QFile>(path);
        if (!request.file->open(QIODevice::WriteOnly | QIODevice::Truncate))
            problem = fileProblem(*request.file);
    }
    if (!problem.isEmpty()) {
        // Reported from the event loop all the same, as every result is.
        QMetaObject::invokeMethod(
            this, [this, id, problem] { deliver(id, failed(problem)); }, Qt::QueuedConnection);
        return reply;
    }
    m_handedOver.emplace_back(id, request.host);
    if (m_expected)
        m_expected->add(request.host);
    m_worker->submit(std::move(request));
    return reply;
}

void CurlPageFetcher::deliver(quint64 id, const FetchResult &result)
{
    m_seen = m_worker->snapshot();
    m_expected.reset();
    // A result posted just before its reply was abandoned arrives here too; drop it.
    if (CurlFetchReply *reply = m_unfinished.take(id))
        reply->finish(result);
}

void CurlPageFetcher::announce(quint64 id)
{
    if (CurlFetchReply *reply = m_unfinished.value(id))
        reply->announce();
}

void CurlPageFetcher::notice(quint64 id)
{
    if (CurlFetchReply *reply = m_unfinished.value(id))
        reply->sync();
}

void CurlPageFetcher::abandon(quint64 id)
{
    if (!m_unfinished.remove(id))
        return;
    std::erase_if(m_handedOver, [id](const auto &asked) { return asked.first == id; });
    m_expected.reset();
    if (m_worker) // gone while the fetcher is torn down
        m_worker->cancel(id);
}

void CurlPageFetcher::resume(quint64 id)
{
    m_worker->resume(id);
}
