#include "platform/PageFetcher.h"

namespace {

QString statusReason(int status)
{
    switch (status) {
    case 401:
        return QStringLiteral("needs a login (401)");
    case 403:
        return QStringLiteral("forbidden (403)");
    case 404:
        return QStringLiteral("not found (404)");
    case 410:
        return QStringLiteral("gone (410)");
    case 429:
        return QStringLiteral("too many requests (429)");
    case 500:
        return QStringLiteral("server error (500)");
    case 503:
        return QStringLiteral("unavailable (503)");
    default:
        return QStringLiteral("answered %1").arg(status);
    }
}

QString kindReason(const FetchResult &result)
{
    switch (result.kind) {
    case FetchError::None:
        return {};
    case FetchError::InvalidAddress:
        return QStringLiteral("not a web address");
    case FetchError::SchemeRefused:
        return QStringLiteral("not an http or https address");
    case FetchError::NameNotResolved:
        return QStringLiteral("host not found");
    case FetchError::ConnectionRefused:
        return QStringLiteral("connection refused");
    case FetchError::NoAnswer:
        return QStringLiteral("no answer");
    case FetchError::ConnectionReset:
        return QStringLiteral("connection broken off");
    case FetchError::Certificate:
        return QStringLiteral("certificate not trusted");
    case FetchError::Tls:
        return QStringLiteral("secure connection failed");
    case FetchError::TimedOut:
        return QStringLiteral("timed out");
    case FetchError::TooSlow:
        return QStringLiteral("too slow");
    case FetchError::TooLarge:
        return QStringLiteral("too large");
    case FetchError::RobotsForbidden:
        // The source that knew names why, when robots.txt could not be read.
        return result.error.isEmpty() ? QStringLiteral("robots.txt") : result.error;
    case FetchError::PageLimit:
        return QStringLiteral("past the page limit");
    case FetchError::RuleTooLarge:
    case FetchError::PatternLimit:
        // The rule names what it could not hold, or decide.
        return result.error;
    case FetchError::Malformed:
        return QStringLiteral("malformed answer");
    case FetchError::HttpStatus:
        return statusReason(result.httpStatus);
    case FetchError::RedirectRefused:
        return QStringLiteral("redirect refused");
    case FetchError::FileError:
        return QStringLiteral("could not be saved");
    case FetchError::Other:
        break;
    }
    return QStringLiteral("failed");
}

} // namespace

QString failureReason(const FetchResult &result)
{
    const QString reason = kindReason(result);
    // It would have been tried again, but rows of it had already shown.
    return result.restartRefused ? reason + QStringLiteral(" after rows were shown") : reason;
}
