#include "platform/CurlErrors.h"

#include <QDir>
#include <QFile>

#include <cerrno>

FetchError kindOf(CURLcode code, long osErrno, bool ranItsTime)
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
        return osErrno == ECONNRESET || osErrno == ECONNABORTED || osErrno == EPIPE
                   ? FetchError::ConnectionReset
                   : FetchError::Malformed;
    case CURLE_OPERATION_TIMEDOUT:
        // The low-speed limit ends a transfer with the same code as a deadline.
        return ranItsTime ? FetchError::TimedOut : FetchError::TooSlow;
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

Problem curlProblem(CURLcode code, const char *detail, FetchError kind)
{
    QString message = QString::fromUtf8(curl_easy_strerror(code));
    if (detail[0] != '\0')
        message += QStringLiteral(" (%1)").arg(QString::fromUtf8(detail).trimmed());
    return {kind, message};
}

Problem statusProblem(long status)
{
    return {FetchError::HttpStatus,
            QStringLiteral("The server answered with HTTP status %1").arg(status)};
}

Problem fileProblem(const QFile &file)
{
    return {FetchError::FileError,
            QStringLiteral("Cannot write %1: %2")
                .arg(QDir::toNativeSeparators(file.fileName()), file.errorString())};
}

FetchResult failed(const Problem &problem)
{
    FetchResult result;
    result.kind = problem.kind;
    result.error = problem.text;
    return result;
}
