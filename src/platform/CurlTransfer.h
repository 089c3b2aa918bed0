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

// A page's text on its way from the worker to its reply, read on the
// reply's thread while the worker writes.
struct Pipe
{
    std::mutex mutex;
    QByteArray bytes;       // arrived (after any Content-Encoding), not read yet
    QByteArray contentType; // of the final answer, once its body starts
    qint64 length = -1;     // its Content-Length, when it is not compressed: sizes blocks
    bool paused = false;    // the transfer waits for bytes to be read
    bool announced = false; // the reader was told of bytes and has not read since
    bool taken = false;     // the reader has read some: the page cannot start afresh
};

struct Request
{
    quint64 id = 0;
    QString url;
    QByteArray host;             // hostKey()
    std::shared_ptr<Pipe> pipe;  // for a page's text
    std::shared_ptr<QFile> file; // for a download, open already
    int tries = 0;
    int reconnects = 0; // after a reused connection died under it
    FetchClock::time_point notBefore{};
};

// One transfer between its start and its end; used on the worker thread only.
struct Transfer
{
    // announce: told that the reader has bytes to read.
    Transfer(Request request, qint64 maxBodyBytes, std::function<void(quint64)> announce);
    ~Transfer();
    Transfer(const Transfer &) = delete;
    Transfer &operator=(const Transfer &) = delete;

    bool take(const char *data, qint64 size);
    // Empty when the transfer succeeded, else why it failed; totalTimeout is
    // the transfer's deadline.
    Problem problem(CURLcode code, long status, std::chrono::milliseconds totalTimeout);
    // Lets a transfer paused for its reader go on.
    void resume();

    const Request request;
    const qint64 maxBodyBytes;
    CURL *const easy;
    char curlDetail[CURL_ERROR_SIZE] = {};

private:
    bool beginBody();
    bool store(const char *data, qint64 size);
    Problem closeFile();

    const std::function<void(quint64)> m_announce;
    ContentDecoder m_decoder;
    bool m_bodyStarted = false;
    qint64 m_received = 0; // decoded
    Problem m_stopReason;  // why take() refused data
};

// curl's write callback for a Transfer.
size_t receiveBody(char *data, size_t size, size_t count, void *transfer);
