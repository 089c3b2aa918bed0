#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>

class QTcpServer;
class QTcpSocket;

// A loopback HTTP/1.1 server for tests, living on the thread that creates it.
// It answers one request per connection and then closes it. Routes match the
// request path; a route registered with its query string takes precedence over
// the bare path. Unknown paths answer 404.
class TestHttpServer : public QObject
{
    Q_OBJECT
public:
    using Handler = std::function<void(QTcpSocket *socket, const QByteArray &requestHead)>;

    explicit TestHttpServer(QObject *parent = nullptr); // starts listening at once
    ~TestHttpServer() override;

    bool isListening() const;
    quint16 port() const;
    QString url(const QString &path) const; // "http://127.0.0.1:<port>" + path

    // A plain 200 answer with Content-Length.
    void setPage(const QString &path, const QByteArray &body,
                 const QByteArray &contentType = "text/html; charset=utf-8");
    // Full control: status, extra raw header lines ("Name: value"), body. Content-Length
    // is added unless the lines give it or a Transfer-Encoding.
    void setResponse(const QString &path, int status, const QList<QByteArray> &headerLines,
                     const QByteArray &body);
    // Accepts, reads the request and never answers (until the server is destroyed).
    void setStalled(const QString &path);
    // Answers 200 with body after delayMs milliseconds.
    void setDelayed(const QString &path, const QByteArray &body, int delayMs);
    // Raw bytes written as the whole response, for malformed answers.
    void setRaw(const QString &path, const QByteArray &rawResponse, bool closeAfter = true);
    // Custom behaviour: the handler gets the socket after the request head was read.
    void setHandler(const QString &path, Handler handler);

    // Ready-made behaviours.
    void setStatus(const QString &path, int status, const QByteArray &body = {});
    // target is a path on this server or an absolute address.
    void setRedirect(const QString &path, const QString &target, int status = 302);
    // Sends the headers at once, then chunkBytes of body every intervalMs.
    void setTrickle(const QString &path, const QByteArray &body, int chunkBytes, int intervalMs);
    // Announces declaredLength bytes, sends body (shorter) and closes.
    void setShortBody(const QString &path, const QByteArray &body, qint64 declaredLength);
    // Sends bytes (possibly none), then after delayMs ends the connection with a
    // TCP reset rather than an orderly close.
    void setReset(const QString &path, const QByteArray &bytes = {}, int delayMs = 0);
    // Chunked encoding that stops after the first chunk, without the closing chunk.
    void setCutChunked(const QString &path, const QByteArray &body);
    // Content-Encoding: gzip; truncateBy > 0 drops that many bytes from the end of
    // the compressed stream (Content-Length still matches what is sent).
    void setGzip(const QString &path, const QByteArray &body,
                 const QByteArray &contentType = "text/html; charset=utf-8", int truncateBy = 0);

    int requestCount(const QString &path) const; // how many requests reached path
    QByteArray lastRequestHead(const QString &path) const;

    // The gzip (RFC 1952) form of data.
    static QByteArray gzip(const QByteArray &data);
    // A complete response with Content-Length and "Connection: close" added as needed.
    static QByteArray response(int status, const QList<QByteArray> &headerLines,
                               const QByteArray &body);

private:
    void accept();
    void serve(QTcpSocket *socket, const QByteArray &requestHead);

    QHash<QString, Handler> m_handlers;
    QHash<QString, int> m_requestCounts;
    QHash<QString, QByteArray> m_lastHeads;
    QTcpServer *m_server = nullptr;
};
