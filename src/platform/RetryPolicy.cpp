#include "platform/RetryPolicy.h"

#include <algorithm>

namespace {

// A host that ends each kept connection after a few requests (an HTTP/2
// GOAWAY) may cut the same request off once for every connection it takes to
// answer those in flight before it: up to a hundred streams share one.
constexpr int maxReconnects = 16;

// A plain number of seconds of any length, or an HTTP date; the wait in ms,
// at most capMs, or -1 when the value is neither.
qint64 retryAfterMs(const QByteArray &raw, qint64 capMs, const QDateTime &nowUtc)
{
    const QByteArray value = raw.trimmed();
    if (!value.isEmpty() &&
        std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        // Digit by digit, stopping at the cap: no value can overflow.
        const qint64 capSeconds = (capMs + 999) / 1000;
        qint64 seconds = 0;
        for (const char digit : value) {
            seconds = seconds * 10 + (digit - '0');
            if (seconds >= capSeconds)
                return capMs;
        }
        return std::min(seconds * 1000, capMs);
    }
    // HTTP's dates end in "GMT", which Qt's reading of RFC 2822 does not take.
    QString text = QString::fromLatin1(value);
    if (text.endsWith(QLatin1String(" GMT")))
        text = text.chopped(3) + QLatin1String("+0000");
    const QDateTime date = QDateTime::fromString(text, Qt::RFC2822Date);
    if (!date.isValid())
        return -1;
    return std::clamp<qint64>(nowUtc.msecsTo(date), 0, capMs);
}

} // namespace

RetryDecision decideRetry(const RetryCase &failure, int retries, std::chrono::seconds cap,
                          const QDateTime &nowUtc)
{
    // A kept connection may be closed by the server (an HTTP/2 GOAWAY, an
    // idle timeout) just as a request goes out on it: that request was never
    // answered.
    if (failure.reusedConnection && failure.httpStatus == 0 && failure.reconnects < maxReconnects &&
        (failure.kind == FetchError::ConnectionReset || failure.kind == FetchError::Malformed))
        return {RetryDecision::Reconnect, {}};
    const bool passing = failure.kind == FetchError::ConnectionReset ||
                         failure.kind == FetchError::TimedOut ||
                         failure.kind == FetchError::TooSlow || failure.httpStatus == 429 ||
                         failure.httpStatus == 503;
    if (!passing || failure.tries >= retries)
        return {};
    const qint64 capMs = std::chrono::milliseconds(cap).count();
    qint64 waitMs = -1;
    if (failure.hasRetryAfter)
        waitMs = retryAfterMs(failure.retryAfter, capMs, nowUtc);
    if (waitMs < 0) // 1 s, doubling, up to the cap
        waitMs = std::min<qint64>(capMs, qint64(1000) << std::min(failure.tries, 30));
    return {RetryDecision::Retry, std::chrono::milliseconds(waitMs)};
}
