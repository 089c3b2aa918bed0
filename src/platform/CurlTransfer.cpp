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

} // namespace

Transfer::Transfer(Request request, qint64 maxBodyBytes, std::function<void(quint64)> announce)
    : request(std::move(request)), maxBodyBytes(maxBodyBytes), easy(curl_easy_init()),
      m_announce(std::move(announce))
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
    const auto sink = [this](const char *decoded, qint64 decodedSize) {
        return store(decoded, decodedSize);
    };
    if (m_decoder.write(data, size, sink))
        return true;
    if (m_stopReason.isEmpty())
        m_stopReason = {FetchError::Malformed, m_decoder.error()};
    return false;
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
    if (request.pipe) {
        char *contentType = nullptr;
        curl_off_t length = -1;
        curl_easy_getinfo(easy, CURLINFO_CONTENT_TYPE, &contentType);
        curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
        const std::lock_guard lock(request.pipe->mutex);
        request.pipe->contentType = contentType;
        request.pipe->length = encoding.isEmpty() ? qMin<qint64>(length, maxBodyBytes) : -1;
    }
    return true;
}

bool Transfer::store(const char *data, qint64 size)
{
    if (m_received + size > maxBodyBytes) {
        m_stopReason = {
            FetchError::TooLarge,
            QStringLiteral("The page is larger than the limit of %1 bytes").arg(maxBodyBytes)};
        return false;
    }
    m_received += size;
    if (request.file) {
        if (request.file->write(data, size) == size)
            return true;
        m_stopReason = fileProblem(*request.file);
        return false;
    }
    Pipe &pipe = *request.pipe;
    bool pause = false;
    bool announce = false;
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
        pipe.paused = pipe.paused || pause;
        // A reader that left the text where it is hears again once it stalls the transfer.
        announce = !std::exchange(pipe.announced, true) || pause;
    }
    // Taken whole all the same: what curl already holds is no more than a piece.
    if (pause)
        curl_easy_pause(easy, CURLPAUSE_RECV);
    if (announce)
        m_announce(request.id);
    return true;
}

void Transfer::resume()
{
    {
        const std::lock_guard lock(request.pipe->mutex);
        if (!std::exchange(request.pipe->paused, false))
            return;
    }
    curl_easy_pause(easy, CURLPAUSE_CONT);
}

Problem Transfer::problem(CURLcode code, long status, std::chrono::milliseconds totalTimeout)
{
    if (!m_stopReason.isEmpty())
        return m_stopReason;
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
