#pragma once

#include "platform/PageFetcher.h"

#include <QByteArray>
#include <QDateTime>

#include <chrono>

// What is known of a failed try when deciding whether to try again.
struct RetryCase
{
    FetchError kind = FetchError::None;
    int httpStatus = 0;
    int tries = 0;      // tries again so far
    int reconnects = 0; // requests sent again after their connection died under them
    // The request went out on a connection kept from earlier transfers.
    bool reusedConnection = false;
    bool hasRetryAfter = false;
    QByteArray retryAfter; // the header's value
};

struct RetryDecision
{
    enum What
    {
        GiveUp,
        Reconnect, // at once, on a new connection, not counted as a try
        Retry      // after wait
    } what = GiveUp;
    std::chrono::milliseconds wait{0};
};

// An answer 429 or 503, a reset or a timeout is tried again, up to retries
// times, after what Retry-After says or else 1 s doubling, never longer than
// cap. A request that a kept connection's close cut off unanswered goes again
// at once, up to sixteen times.
RetryDecision decideRetry(const RetryCase &failure, int retries, std::chrono::seconds cap,
                          const QDateTime &nowUtc);
