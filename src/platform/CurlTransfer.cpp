#include "platform/CurlTransfer.h"

#include "platform/PageFetcher.h"

#include <algorithm>
#include <optional>

namespace {

constexpr curl_off_t deadlineSlackMicros = 100'000;

bool isSuccess(long status)
{
    return status >= 200 && status < 300;
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

int httpVersionOf(long curlVersion)
{
    switch (curlVersion) {
    case CURL_HTTP_VERSION_2_0:
        return 20;
    case CURL_HTTP_VERSION_1_1:
        return 11;
    case CURL_HTTP_VERSION_1_0:
        return 10;
    default:
        return 0;
    }
}

} // namespace

FetchResponse responseOf(CURL *easy)
{
    FetchResponse response;
    long status = 0;
    long version = 0;
    const char *answered = nullptr;
    const char *contentType = nullptr;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_getinfo(easy, CURLINFO_HTTP_VERSION, &version);
    curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &answered);
    curl_easy_getinfo(easy, CURLINFO_CONTENT_TYPE, &contentType);
    response.httpStatus = int(status);
    response.httpVersion = httpVersionOf(version);
    response.finalUrl = QString::fromUtf8(answered);
    response.contentType = contentType;
    return response;
}

void refuseRestart(FetchResult &result)
{
    result.restartRefused = true;
    result.error += QStringLiteral("; not tried again, its reader having committed to it");
}

Transfer::Transfer(Request request, qint64 maxBodyBytes, Notify readable, Notify changed)
    : request(std::move(request)), maxBodyBytes(maxBodyBytes), easy(curl_easy_init()),
      m_readable(std::move(readable)), m_changed(std::move(changed))
{
}

Transfer::~Transfer()
{
    curl_easy_cleanup(easy);
}

bool Transfer::take(const char *data, qint64 size)
{
    if (!m_bodyStarted && !beginBody())
        return false;
    if (m_decoder.write(data, size, sink()))
        return true;
    if (m_stopReason.isEmpty())
        m_stopReason = {FetchError::Malformed, m_decoder.error()};
    return false;
}

ContentDecoder::Sink Transfer::sink()
{
    return [this](const char *decoded, qint64 size) {
        return store(decoded, size);
    };
}

// Judges the final response when its body starts; bodies of redirects never get here.
bool Transfer::beginBody()
{
    m_bodyStarted = true;
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    if (!isSuccess(status)) {
        // An error page is not the page asked for: no point in downloading it.
        m_stopReason = statusProblem(status);
        return false;
    }
    m_stopReason = lengthProblem(easy);
    if (!m_stopReason.isEmpty())
        return false;
    const QByteArray encoding = contentEncoding(easy);
    if (!m_decoder.setEncoding(encoding)) {
        m_stopReason = {FetchError::Malformed, m_decoder.error()};
        return false;
    }
    curl_off_t length = -1;
    curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    {
        Pipe &pipe = *request.pipe;
        const std::lock_guard lock(pipe.mutex);
        pipe.response = responseOf(easy);
        pipe.responded = true;
        pipe.bodyBegan = FetchClock::now();
        pipe.length = !request.file && encoding.isEmpty() ? qMin<qint64>(length, maxBodyBytes) : -1;
    }
    m_changed(request.id); // before any text is announced
    return true;
}

ContentDecoder::Taken Transfer::store(const char *data, qint64 size)
{
    if (m_received + size > maxBodyBytes) {
        m_stopReason = {
            FetchError::TooLarge,
            QStringLiteral("The page is larger than the limit of %1 bytes").arg(maxBodyBytes)};
        return ContentDecoder::Taken::Refused;
    }
    m_received += size;
    if (request.file) {
        if (request.file->write(data, size) == size)
            return ContentDecoder::Taken::More;
        m_stopReason = fileProblem(*request.file);
        return ContentDecoder::Taken::Refused;
    }
    Pipe &pipe = *request.pipe;
    bool pause = false;
    bool announce = false;
    bool paused = false;
    {
        const std::lock_guard lock(pipe.mutex);
        // One block per piece: growing it by doubling would copy it over and
        // over. A page of known length takes no more than what is left of it,
        // so that a short page held unread takes its own size.
        if (pipe.bytes.capacity() == 0) {
            qint64 block = FetchReply::unreadLimit + CURL_MAX_WRITE_SIZE;
            if (pipe.length >= 0)
                block = qMin(block, pipe.length - (m_received - size));
            pipe.bytes.reserve(qsizetype(qMax(block, size)));
        }
        pipe.bytes.append(data, size);
        pause = !pipe.paused && pipe.bytes.size() > FetchReply::unreadLimit;
        paused = pipe.paused = pipe.paused || pause;
        // A reader that left the text where it is hears again once it stalls the transfer.
        announce = !std::exchange(pipe.announced, true) || pause;
    }
    // Taken whole all the same: what curl already holds is no more than a piece.
    if (pause && !ended)
        curl_easy_pause(easy, CURLPAUSE_RECV);
    if (announce)
        m_readable(request.id);
    return paused ? ContentDecoder::Taken::Enough : ContentDecoder::Taken::More;
}

bool Transfer::resume()
{
    Pipe &pipe = *request.pipe;
    {
        // A reader's second call may come after the room it made was filled.
        const std::lock_guard lock(pipe.mutex);
        if (!pipe.paused || pipe.bytes.size() > FetchReply::unreadLimit)
            return true;
        pipe.paused = false;
    }
    if (!m_decoder.resume(sink())) {
        if (m_stopReason.isEmpty())
            m_stopReason = {FetchError::Malformed, m_decoder.error()};
        return false;
    }
    bool pausedAgain = false;
    {
        const std::lock_guard lock(pipe.mutex);
        pausedAgain = pipe.paused;
    }
    if (!pausedAgain && !ended)
        curl_easy_pause(easy, CURLPAUSE_CONT);
    return true;
}

Problem Transfer::problem(CURLcode code, long status, std::chrono::milliseconds totalTimeout)
{
    if (!m_stopReason.isEmpty())
        return m_stopReason;
    // curl blames itself ("disabled in libcurl") for a redirect we refused, and
    // blames the address asked for when the redirect's own cannot be read.
    const bool refused = code == CURLE_UNSUPPORTED_PROTOCOL || code == CURLE_URL_MALFORMAT;
    if (refused && status >= 300 && status < 400) {
        // Depending on how far curl got, the refused answer is the last
        // request or the one before it.
        long hops = 0;
        curl_easy_getinfo(easy, CURLINFO_REDIRECT_COUNT, &hops);
        curl_header *location = nullptr;
        for (int request = int(hops); request >= 0 && !location; --request) {
            if (curl_easy_header(easy, "Location", 0, CURLH_HEADER, request, &location) !=
                CURLHE_OK)
                location = nullptr;
        }
        if (location) {
            const QString to = QString::fromUtf8(location->value);
            return {
                FetchError::RedirectRefused,
                code == CURLE_URL_MALFORMAT
                    ? QStringLiteral("The server redirected to an unusable address: \"%1\"").arg(to)
                    : QStringLiteral("Refused to follow a redirect to %1").arg(to)};
        }
    }
    curl_off_t connected = 0;
    if (code == CURLE_OPERATION_TIMEDOUT &&
        curl_easy_getinfo(easy, CURLINFO_CONNECT_TIME_T, &connected) == CURLE_OK && connected == 0)
        return curlProblem(code, curlDetail, FetchError::NoAnswer);
    if (code != CURLE_OK) {
        long osErrno = 0;
        curl_off_t ranMicros = 0;
        curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &osErrno);
        curl_easy_getinfo(easy, CURLINFO_TOTAL_TIME_T, &ranMicros);
        // curl starts its clock for the deadline a moment before the one it reports.
        const bool ranItsTime =
            ranMicros + deadlineSlackMicros >= std::chrono::microseconds(totalTimeout).count();
        return curlProblem(code, curlDetail, kindOf(code, osErrno, ranItsTime));
    }
    if (!isSuccess(status))
        return statusProblem(status);
    if (const Problem length = lengthProblem(easy); !length.isEmpty())
        return length; // a body that never started was not judged yet
    if (!m_decoder.isComplete())
        return {FetchError::Malformed, QStringLiteral("The compressed body ends early")};
    return request.file ? closeFile() : Problem();
}

Problem Transfer::closeFile()
{
    const bool flushed = request.file->flush();
    const Problem problem = flushed ? Problem() : fileProblem(*request.file);
    request.file->close();
    return problem;
}

size_t receiveBody(char *data, size_t size, size_t count, void *transfer)
{
    const size_t bytes = size * count;
    // A short count makes curl end the transfer with an error.
    return static_cast<Transfer *>(transfer)->take(data, qint64(bytes)) ? bytes : 0;
}
