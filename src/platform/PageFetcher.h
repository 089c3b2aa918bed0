#pragma once

#include <QByteArray>
#include <QMetaType>
#include <QObject>
#include <QString>

#include <memory>

// Why a fetch failed.
enum class FetchError
{
    None,
    InvalidAddress, // not an address at all
    SchemeRefused,  // an address, but not http or https
    NameNotResolved,
    ConnectionRefused, // nobody listens there
    NoAnswer,          // the host did not take the connection in time
    ConnectionReset,   // the connection broke off
    Certificate,       // the server's certificate is not trusted, or not for its name
    Tls,               // the secure connection failed otherwise
    TimedOut,          // no connection, or no whole page, in time
    TooSlow,           // the page came slower than the low-speed limit
    TooLarge,
    Malformed,       // an answer that is not HTTP, or contradicts itself, or is cut short
    HttpStatus,      // an answer other than 2xx
    RedirectRefused, // to another scheme, from https to http, or too many
    FileError,       // the page could not be written where it was to go
    LineTooLong,     // a line of the page too long for the rule to hold
    PatternLimit,    // the rule's regular expression could not be decided on the page
    Other
};

// Outcome of one transfer. The page's text comes by FetchReply::read().
struct FetchResult
{
    bool ok = false;
    FetchError kind = FetchError::None;
    QString error;       // what went wrong, in detail
    int httpStatus = 0;  // final status after redirects, 0 when none was received
    int httpVersion = 0; // of the final answer: 10, 11, 20; 0 when none was received
    QString finalUrl;    // the address answered after redirects
};
Q_DECLARE_METATYPE(FetchResult)

// Why a fetch failed, in a few words a user understands; empty for success.
QString failureReason(const FetchResult &result);

// One fetch, owned by whoever asked for it. A page's text arrives in pieces,
// in order, as UTF-8: readyRead() tells that read() has more. finished()
// comes once, after the last piece arrived (it may still be unread) or when
// the transfer failed (what was read of it is then worthless). Nothing is
// reported from inside the call that asked; destroying the reply, or abort(),
// ends the transfer, and nothing is reported after that.
class FetchReply : public QObject
{
    Q_OBJECT
public:
    // A transfer holding more unread text than this pauses until it is read.
    static constexpr qint64 unreadLimit = 256 * 1024;

    using QObject::QObject;
    virtual void abort() = 0;
    // The text that arrived since the last call; empty when none waits.
    virtual QByteArray read() = 0;
    // Whether the transfer waits for its text to be read. A reply that
    // answers no keeps its text where it arrived until read, and tells by
    // readyRead() when that changes.
    virtual bool waitsForReader() const { return true; }

signals:
    void readyRead();
    void finished(const FetchResult &result);
};

// Fetches pages without ever blocking the caller's thread. It owns the limits
// on transfers at once, overall and per host: fetches beyond them wait, and
// start in the order asked as others end.
class PageFetcher : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    ~PageFetcher() override = default;

    // Fetch the body of url as text, handed out as it arrives.
    virtual std::unique_ptr<FetchReply> fetch(const QString &url) = 0;
    // The same fetch, the body written to path, which is made (or emptied)
    // before this returns and never again; on failure its content is unspecified.
    virtual std::unique_ptr<FetchReply> downloadToFile(const QString &url, const QString &path) = 0;
    // Whether a fetch of url would start at once, within the limits.
    virtual bool hasRoomFor(const QString &url) const = 0;
    // The host a fetch of url counts against; empty for an address that
    // cannot be fetched.
    virtual QByteArray hostOf(const QString &url) const = 0;

signals:
    // There is room for more fetches than before although none ended: a host
    // was found to carry many at once.
    void roomAvailable();
};
