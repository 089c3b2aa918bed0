#include "platform/CurlPageFetcher.h"

#include "platform/CurlWorker.h"
#include "platform/TextDecoding.h"

#include <QPointer>

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

// The reply handed out for one transfer. It reaches its fetcher only while
// both live: a fetcher gone first leaves it unfinished for good. Its text
// stays readable after it finished.
class CurlFetchReply : public FetchReply
{
public:
    CurlFetchReply(CurlPageFetcher *fetcher, quint64 id, std::shared_ptr<Pipe> pipe)
        : m_fetcher(fetcher), m_id(id), m_pipe(std::move(pipe))
    {
    }
    ~CurlFetchReply() override { abort(); }
    void abort() override
    {
        if (m_fetcher)
            std::exchange(m_fetcher, nullptr)->abandon(m_id);
    }
    QByteArray read() override
    {
        if (!m_pipe || m_drained)
            return {};
        QByteArray bytes;
        bool paused = false;
        {
            const std::lock_guard lock(m_pipe->mutex);
            bytes = std::exchange(m_pipe->bytes, {});
            m_pipe->taken = m_pipe->taken || !bytes.isEmpty();
            paused = m_pipe->paused;
            m_pipe->announced = false;
            m_decoder.setContentType(m_pipe->contentType);
        }
        if (paused && m_fetcher)
            m_fetcher->resume(m_id);
        m_drained = m_ended;
        return m_decoder.decode(std::move(bytes), m_ended);
    }
    bool waitsForReader() const override
    {
        if (!m_pipe || m_ended)
            return false;
        const std::lock_guard lock(m_pipe->mutex);
        return m_pipe->paused;
    }
    void finish(const FetchResult &result)
    {
        m_fetcher = nullptr;
        m_ended = true;
        emit finished(result);
    }
    void announce() { emit readyRead(); }

private:
    QPointer<CurlPageFetcher> m_fetcher; // while unfinished
    quint64 m_id;
    std::shared_ptr<Pipe> m_pipe; // none for a download
    PageTextDecoder m_decoder;
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
    return submit(url, std::make_shared<Pipe>(), {});
}

std::unique_ptr<FetchReply> CurlPageFetcher::downloadToFile(const QString &url, const QString &path)
{
    return submit(url, nullptr, path);
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

std::unique_ptr<FetchReply> CurlPageFetcher::submit(const QString &url, std::shared_ptr<Pipe> pipe,
                                                    const QString &path)
{
    const quint64 id = ++m_lastId;
    auto reply = std::make_unique<CurlFetchReply>(this, id, pipe);
    m_unfinished.insert(id, reply.get());
    Request request{id, url, {}, std::move(pipe), nullptr};
    Problem problem = parseAddress(url, &request.host);
    if (problem.isEmpty() && !path.isEmpty()) {
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
