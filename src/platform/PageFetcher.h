#pragma once

#include <QByteArray>
#include <QMetaType>
#include <QObject>
#include <QString>

#include <chrono>
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
    RuleTooLarge,    // what the rule must hold of the page outgrew the budget: a line, elements
    PatternLimit,    // the rule's regular expression could not be decided on the page
    RobotsForbidden, // the site's robots.txt forbids fetching the page, or could not be had
    PageLimit,       // a crawl found the page past the number of pages it may fetch
    Other
};

// The answer whose body a reply hands out: the final one, after redirects.
struct FetchResponse
{
    int httpStatus = 0;  // 0 while no answer is known
    int httpVersion = 0; // 10, 11, 20
    QString finalUrl;
    QByteArray contentType; // the header's value as sent; empty when there was none
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
    QByteArray contentType;
    // The page broke off and would have been tried again, but its reader had
    // committed to it (FetchReply::setRestartable(false)).
    bool restartRefused = false;
};
Q_DECLARE_METATYPE(FetchResult)

// Why a fetch failed, in a few words a user understands; empty for success.
QString failureReason(const FetchResult &result);

// One fetch, owned by whoever asked for it. A page's text arrives in pieces,
// in order, as UTF-8: readyRead() tells that read() has more. Before the
// first piece, responseStarted() tells that response() knows what answered.
// finished() comes once, after the last piece arrived (it may still be
// unread) or when the transfer failed (what was read of it is then
// worthless); a reply that succeeds has told responseStarted() before it.
// Nothing is reported from inside the call that asked; destroying the reply,
// or abort(), ends the transfer, and nothing is reported after that.
//
// A page that breaks off may be tried again (FetchSettings::retries) while
// its reader has not committed to it: restarted() then tells the reader to
// drop what it holds of the page, before responseStarted() and the text of
// the new try, which reads from the page's start with its charset found
// afresh. A reader that does not listen for restarted() commits to a page as
// soon as it reads any of it.
class FetchReply : public QObject
{
    Q_OBJECT
public:
    // A transfer holding more unread text than this pauses until it is read;
    // a compressed body is inflated no further meanwhile.
    static constexpr qint64 unreadLimit = 256 * 1024;

    using QObject::QObject;
    virtual void abort() = 0;
    // The text that arrived since the last call; empty when none waits.
    virtual QByteArray read() = 0;
    // Whether the transfer waits for its text to be read. A reply that
    // answers no keeps its text where it arrived until read, and tells by
    // readyRead() when that changes.
    virtual bool waitsForReader() const { return true; }
    // What answered, from responseStarted() until restarted() or the end;
    // empty before.
    virtual FetchResponse response() const { return {}; }
    // Whether the page may still start afresh should it break off (until
    // told otherwise, yes). Once the reader has shown anything of the page it
    // says no: the page then fails as it breaks off, with restartRefused set
    // when a try was left; so does a page that had already started afresh
    // when told, before its reader heard of it. A download's file always
    // starts afresh.
    virtual void setRestartable(bool restartable) { Q_UNUSED(restartable) }

signals:
    void responseStarted();
    void restarted();
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
    // The same fetch, the body handed out as the bytes that came (any
    // Content-Encoding undone) rather than as text: for a file that is not
    // text, such as a compressed sitemap.
    virtual std::unique_ptr<FetchReply> fetchBytes(const QString &url) = 0;
    // The same fetch, the body written to path, which is made (or emptied)
    // before this returns and never again; on failure its content is unspecified.
    virtual std::unique_ptr<FetchReply> downloadToFile(const QString &url, const QString &path) = 0;
    // Whether a fetch of url would start at once, within the limits.
    virtual bool hasRoomFor(const QString &url) const = 0;
    // The host a fetch of url counts against; empty for an address that
    // cannot be fetched.
    virtual QByteArray hostOf(const QString &url) const = 0;
    // Keeps the starts of transfers to host (as hostOf() names it) at least
    // delay apart from now on, when that is longer than the delay every host
    // gets; a host's robots.txt may ask for that.
    virtual void setHostDelay(const QByteArray &host, std::chrono::milliseconds delay) = 0;

signals:
    // There is room for more fetches than before although none ended: a host
    // was found to carry many at once.
    void roomAvailable();
};
