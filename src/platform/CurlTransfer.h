#pragma once

#include "platform/ContentDecoder.h"
#include "platform/CurlErrors.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>

using FetchClock = std::chrono::steady_clock;

// What the worker tells a reply of its page, and the page's text on its way
// (none for a download), read on the reply's thread while the worker writes.
struct Pipe
{
    std::mutex mutex;
    QByteArray bytes;       // arrived (after any Content-Encoding), not read yet
    qint64 length = -1;     // its Content-Length, when it is not compressed: sizes blocks
    bool paused = false;    // the transfer waits for bytes to be read
    bool announced = false; // the reader was told of bytes and has not read since
    // Raised whenever the page starts afresh after its answer began; the
    // reply hands out nothing of a try before it told its reader of it.
    int attempt = 0;
    bool responded = false; // this try's final answer began its body, as response tells
    FetchResponse response;
    FetchClock::time_point bodyBegan{};
    bool committed = false; // the reader will not take the page afresh
    FetchResult dropped;    // why the try before the last fresh start failed
};

struct Request
{
    quint64 id = 0;
    QString url;
    QByteArray host; // hostKey()
    std::shared_ptr<Pipe> pipe;
    std::shared_ptr<QFile> file; // for a download, open already
    int tries = 0;
    int reconnects = 0; // after a reused connection died under it
    FetchClock::time_point notBefore{};
};

// The final answer as curl knows it so far.
FetchResponse responseOf(CURL *easy);
// Marks a failure that a try again would have passed, had the page's reader
// not committed to it.
void refuseRestart(FetchResult &result);

// One transfer between its start and its end; used on the worker thread only.
struct Transfer
{
    using Notify = std::function<void(quint64 id)>;
    // readable: the reader has bytes to read; changed: the pipe tells of a new answer.
    Transfer(Request request, qint64 maxBodyBytes, Notify readable, Notify changed);
    ~Transfer();
    Transfer(const Transfer &) = delete;
    Transfer &operator=(const Transfer &) = delete;

    bool take(const char *data, qint64 size);
    // Empty when the transfer succeeded, else why it failed; totalTimeout is
    // the transfer's deadline.
    Problem problem(CURLcode code, long status, std::chrono::milliseconds totalTimeout);
    // Lets a transfer paused for its reader go on, inflating what it held
    // first; false when that proved it failed.
    bool resume();
    // Received, but not yet inflated for want of room.
    bool isHolding() const { return m_decoder.isHolding(); }

    const Request request;
    const qint64 maxBodyBytes;
    CURL *const easy;
    char curlDetail[CURL_ERROR_SIZE] = {};
    bool ended = false; // curl is done with it, and it holds no connection

private:
    bool beginBody();
    ContentDecoder::Taken store(const char *data, qint64 size);
    ContentDecoder::Sink sink();
    Problem closeFile();

    const Notify m_readable, m_changed;
    ContentDecoder m_decoder;
    bool m_bodyStarted = false;
    qint64 m_received = 0; // decoded
    Problem m_stopReason;  // why take() refused data
};

// curl's write callback for a Transfer.
size_t receiveBody(char *data, size_t size, size_t count, void *transfer);
