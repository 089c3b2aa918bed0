#include "support/TestHttpServer.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <sys/socket.h>

#include <algorithm>
#include <memory>

namespace {

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 204:
        return "No Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 307:
        return "Temporary Redirect";
    case 308:
        return "Permanent Redirect";
    case 400:
        return "Bad Request";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

bool hasHeader(const QList<QByteArray> &lines, QByteArrayView name)
{
    return std::any_of(lines.begin(), lines.end(), [&](const QByteArray &line) {
        return line.size() > name.size() && line[name.size()] == ':' &&
               QByteArrayView(line).first(name.size()).compare(name, Qt::CaseInsensitive) == 0;
    });
}

// Status line and header lines; without a Connection header the server closes.
QByteArray responseHead(int status, QList<QByteArray> lines)
{
    if (!hasHeader(lines, "Connection"))
        lines << "Connection: close";
    QByteArray head =
        "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) + "\r\n";
    for (const QByteArray &line : lines)
        head += line + "\r\n";
    return head + "\r\n";
}

void sendAndClose(QTcpSocket *socket, const QByteArray &bytes)
{
    socket->write(bytes);
    socket->disconnectFromHost(); // after the pending bytes went out
}

quint32 crc32(const QByteArray &data)
{
    quint32 crc = 0xFFFFFFFFu;
    for (const char c : data) {
        crc ^= static_cast<uchar>(c);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void appendLittleEndian32(QByteArray &out, quint32 value)
{
    for (int shift = 0; shift < 32; shift += 8)
        out += char((value >> shift) & 0xFF);
}

// The path a request line asks for, also in the absolute form proxies see.
QString requestTarget(const QByteArray &requestHead)
{
    const QList<QByteArray> requestLine = requestHead.left(requestHead.indexOf("\r\n")).split(' ');
    QByteArray target = requestLine.value(1);
    if (target.startsWith("http://")) {
        const qsizetype pathStart = target.indexOf('/', 7);
        target = pathStart < 0 ? QByteArray("/") : target.mid(pathStart);
    }
    return QString::fromUtf8(target);
}

} // namespace

TestHttpServer::TestHttpServer(QObject *parent) : QObject(parent), m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, &TestHttpServer::accept);
    m_server->listen(QHostAddress::LocalHost, 0);
}

TestHttpServer::~TestHttpServer()
{
    // Sockets would otherwise report their end to a half-destroyed server.
    const QList<QTcpSocket *> sockets = m_server->findChildren<QTcpSocket *>();
    for (QTcpSocket *socket : sockets) {
        socket->disconnect(this);
        socket->abort();
    }
}

bool TestHttpServer::isListening() const
{
    return m_server->isListening();
}

quint16 TestHttpServer::port() const
{
    return m_server->serverPort();
}

QString TestHttpServer::url(const QString &path) const
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path);
}

void TestHttpServer::setPage(const QString &path, const QByteArray &body,
                             const QByteArray &contentType)
{
    setResponse(path, 200, {"Content-Type: " + contentType}, body);
}

void TestHttpServer::setResponse(const QString &path, int status,
                                 const QList<QByteArray> &headerLines, const QByteArray &body)
{
    const QByteArray bytes = response(status, headerLines, body);
    setHandler(path,
               [bytes](QTcpSocket *socket, const QByteArray &) { sendAndClose(socket, bytes); });
}

void TestHttpServer::setStalled(const QString &path)
{
    setHandler(path, [](QTcpSocket *, const QByteArray &) {});
}

void TestHttpServer::setDelayed(const QString &path, const QByteArray &body, int delayMs)
{
    const QByteArray bytes = response(200, {"Content-Type: text/html; charset=utf-8"}, body);
    setHandler(path, [bytes, delayMs](QTcpSocket *socket, const QByteArray &) {
        QTimer::singleShot(delayMs, socket, [socket, bytes] { sendAndClose(socket, bytes); });
    });
}

void TestHttpServer::setRaw(const QString &path, const QByteArray &rawResponse, bool closeAfter)
{
    setHandler(path, [rawResponse, closeAfter](QTcpSocket *socket, const QByteArray &) {
        socket->write(rawResponse);
        if (closeAfter)
            socket->disconnectFromHost();
    });
}

void TestHttpServer::setHandler(const QString &path, Handler handler)
{
    m_handlers.insert(path, std::move(handler));
}

void TestHttpServer::setStatus(const QString &path, int status, const QByteArray &body)
{
    setResponse(path, status, {"Content-Type: text/html; charset=utf-8"}, body);
}

void TestHttpServer::setRedirect(const QString &path, const QString &target, int status)
{
    const QString location = target.startsWith(u'/') ? url(target) : target;
    setResponse(path, status, {"Location: " + location.toUtf8()}, {});
}

void TestHttpServer::setTrickle(const QString &path, const QByteArray &body, int chunkBytes,
                                int intervalMs)
{
    const QByteArray head = responseHead(
        200, {"Content-Type: text/plain", "Content-Length: " + QByteArray::number(body.size())});
    setHandler(path, [=](QTcpSocket *socket, const QByteArray &) {
        socket->write(head);
        auto *timer = new QTimer(socket);
        auto sent = std::make_shared<qsizetype>(0);
        connect(timer, &QTimer::timeout, socket, [=] {
            socket->write(body.mid(*sent, chunkBytes));
            *sent += chunkBytes;
            if (*sent < body.size())
                return;
            timer->stop();
            socket->disconnectFromHost();
        });
        timer->start(intervalMs);
    });
}

void TestHttpServer::setShortBody(const QString &path, const QByteArray &body,
                                  qint64 declaredLength)
{
    setResponse(
        path, 200,
        {"Content-Type: text/plain", "Content-Length: " + QByteArray::number(declaredLength)},
        body);
}

void TestHttpServer::setReset(const QString &path, const QByteArray &bytes, int delayMs)
{
    setHandler(path, [bytes, delayMs](QTcpSocket *socket, const QByteArray &) {
        socket->write(bytes);
        socket->flush();
        QTimer::singleShot(delayMs, socket, [socket] {
            // A zero linger time makes close() send RST instead of FIN.
            const linger abortive{1, 0};
            ::setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &abortive,
                         sizeof abortive);
            socket->abort();
        });
    });
}

void TestHttpServer::setCutChunked(const QString &path, const QByteArray &body)
{
    const QByteArray chunk = QByteArray::number(body.size(), 16) + "\r\n" + body + "\r\n";
    setRaw(path,
           responseHead(200, {"Content-Type: text/plain", "Transfer-Encoding: chunked"}) + chunk);
}

void TestHttpServer::setGzip(const QString &path, const QByteArray &body,
                             const QByteArray &contentType, int truncateBy)
{
    QByteArray compressed = gzip(body);
    compressed.chop(truncateBy);
    setResponse(path, 200, {"Content-Type: " + contentType, "Content-Encoding: gzip"}, compressed);
}

int TestHttpServer::requestCount(const QString &path) const
{
    return m_requestCounts.value(path);
}

QByteArray TestHttpServer::lastRequestHead(const QString &path) const
{
    return m_lastHeads.value(path);
}

QByteArray TestHttpServer::gzip(const QByteArray &data)
{
    // qCompress gives a 4-byte size, then a zlib stream: a 2-byte header, the raw
    // deflate data and an Adler-32. gzip wraps the same deflate data differently.
    const QByteArray zlib = qCompress(data, 9);
    const QByteArray deflate =
        data.isEmpty() ? QByteArray("\x03\x00", 2) : zlib.mid(6, zlib.size() - 10);
    QByteArray out("\x1f\x8b\x08\x00\x00\x00\x00\x00\x02\xff", 10);
    out += deflate;
    appendLittleEndian32(out, crc32(data));
    appendLittleEndian32(out, quint32(data.size()));
    return out;
}

QByteArray TestHttpServer::response(int status, const QList<QByteArray> &headerLines,
                                    const QByteArray &body)
{
    QList<QByteArray> lines = headerLines;
    if (!hasHeader(lines, "Content-Length") && !hasHeader(lines, "Transfer-Encoding"))
        lines << "Content-Length: " + QByteArray::number(body.size());
    return responseHead(status, lines) + body;
}

void TestHttpServer::accept()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        auto received = std::make_shared<QByteArray>();
        auto served = std::make_shared<bool>(false);
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket, received, served] {
            *received += socket->readAll();
            const qsizetype headEnd = received->indexOf("\r\n\r\n");
            if (*served || headEnd < 0)
                return;
            *served = true;
            serve(socket, received->left(headEnd + 4));
        });
    }
}

void TestHttpServer::serve(QTcpSocket *socket, const QByteArray &requestHead)
{
    const QString target = requestTarget(requestHead);
    const QString route = m_handlers.contains(target) ? target : target.section(u'?', 0, 0);
    ++m_requestCounts[route];
    m_lastHeads[route] = requestHead;
    // A copy, since a handler may register routes while it runs.
    const Handler handler = m_handlers.value(route);
    if (handler)
        handler(socket, requestHead);
    else
        sendAndClose(socket, response(404, {"Content-Type: text/plain"}, "Not found"));
}
