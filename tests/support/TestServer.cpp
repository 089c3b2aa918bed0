#include "support/TestServer.h"
#include "support/Checks.h"

#include <QProcess>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QTcpSocket>
#include <QTimer>

#include <sys/socket.h>
#include <zlib.h>

#include <memory>

static void sendAndClose(QTcpSocket *socket, const QByteArray &bytes)
{
    socket->write(bytes);
    socket->disconnectFromHost(); // once the bytes are out
}

TestServer::TestServer(const QString &certificateFile, const QString &keyFile)
    : m_tls(!certificateFile.isEmpty())
{
    if (m_tls) {
        auto *server = new QSslServer(this);
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setLocalCertificate(QSslCertificate(readAll(certificateFile)));
        tls.setPrivateKey(QSslKey(readAll(keyFile), QSsl::Ec));
        tls.setPeerVerifyMode(QSslSocket::VerifyNone);
        server->setSslConfiguration(tls);
        m_server = server;
    } else {
        m_server = new QTcpServer(this);
    }
    // A TLS socket is handed out once its handshake is done.
    connect(m_server, &QTcpServer::pendingConnectionAvailable, this, [this] {
        while (QTcpSocket *socket = m_server->nextPendingConnection())
            serve(socket);
    });
    if (!m_server->listen(QHostAddress::LocalHost))
        qFatal("the test server cannot listen");
}

TestServer::~TestServer()
{
    // Sockets would otherwise report their end to a half-destroyed server.
    for (QTcpSocket *socket : m_server->findChildren<QTcpSocket *>()) {
        socket->disconnect(this);
        socket->abort();
    }
}

quint16 TestServer::port() const
{
    return m_server->serverPort();
}

QString TestServer::url(const QString &path) const
{
    return (m_tls ? "https" : "http") + QStringLiteral("://127.0.0.1:%1").arg(port()) + path;
}

void TestServer::route(const QString &path, Handler handler)
{
    m_routes.insert(path, std::move(handler));
}

void TestServer::page(const QString &path, const QByteArray &body)
{
    raw(path, response(200, {"Content-Type: text/plain; charset=utf-8"}, body));
}

void TestServer::raw(const QString &path, const QByteArray &raw)
{
    route(path, [raw](QTcpSocket *socket, const QByteArray &) { sendAndClose(socket, raw); });
}

void TestServer::slow(const QString &path, int delayMs, const QByteArray &body)
{
    route(path,
          [this, delayMs, bytes = response(200, {}, body)](QTcpSocket *socket, const QByteArray &) {
              m_peak = std::max(m_peak, ++m_busy);
              QTimer::singleShot(delayMs, socket, [this, socket, bytes] {
                  --m_busy;
                  sendAndClose(socket, bytes);
              });
          });
}

void TestServer::reset(const QString &path, const QByteArray &bytes, int delayMs)
{
    route(path, [bytes, delayMs](QTcpSocket *socket, const QByteArray &) {
        socket->write(bytes);
        socket->flush();
        QTimer::singleShot(delayMs, socket, [socket] { resetConnection(socket); });
    });
}

void TestServer::resetConnection(QTcpSocket *socket)
{
    // A zero linger time makes the close a reset.
    const linger abortive{1, 0};
    ::setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &abortive,
                 sizeof abortive);
    socket->abort();
}

QByteArray TestServer::response(int status, QList<QByteArray> headerLines, const QByteArray &body)
{
    const QByteArray given = headerLines.join('\n').toLower();
    if (!given.contains("content-length:") && !given.contains("transfer-encoding:"))
        headerLines << "Content-Length: " + QByteArray::number(body.size());
    return head(status, headerLines) + body;
}

QByteArray TestServer::head(int status, const QList<QByteArray> &headerLines)
{
    QByteArray text = "HTTP/1.1 " + QByteArray::number(status) + " Status\r\n";
    for (const QByteArray &line : headerLines)
        text += line + "\r\n";
    return text + "Connection: close\r\n\r\n";
}

QByteArray TestServer::deflate(const QByteArray &data, int windowBits)
{
    z_stream stream{};
    deflateInit2(&stream, 9, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY);
    QByteArray out(qsizetype(deflateBound(&stream, uLong(data.size()))), Qt::Uninitialized);
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
    stream.avail_in = uInt(data.size());
    stream.next_out = reinterpret_cast<Bytef *>(out.data());
    stream.avail_out = uInt(out.size());
    ::deflate(&stream, Z_FINISH); // zlib's, not this function
    out.resize(qsizetype(stream.total_out));
    deflateEnd(&stream);
    return out;
}

QString TestServer::makeCertificate(const QString &folder, QString &certificateFile,
                                    QString &keyFile)
{
    if (!QSslSocket::supportsSsl())
        return QStringLiteral("Qt Network has no TLS backend here");
    certificateFile = QDir(folder).filePath(QStringLiteral("cert.pem"));
    keyFile = QDir(folder).filePath(QStringLiteral("key.pem"));
    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    // The address must be in subjectAltName for a client that trusts the
    // certificate to accept it for that address.
    openssl.start(QStringLiteral("openssl"),
                  {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                   "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1", "-addext",
                   "subjectAltName=IP:127.0.0.1", "-keyout", keyFile, "-out", certificateFile});
    if (!openssl.waitForFinished(30'000) || openssl.exitCode() != 0)
        return QStringLiteral("openssl failed: ") + QString::fromLocal8Bit(openssl.readAll());
    return {};
}

void TestServer::serve(QTcpSocket *socket)
{
    socket->setParent(m_server);
    auto received = std::make_shared<QByteArray>();
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QTcpSocket::readyRead, this, [this, socket, received] {
        const qsizetype headEnd = (*received += socket->readAll()).indexOf("\r\n\r\n");
        if (headEnd < 0 || socket->property("answered").toBool())
            return;
        socket->setProperty("answered", true);
        const QByteArray head = received->left(headEnd + 4);
        const QString target = QString::fromUtf8(head.split(' ').value(1));
        const QString path = m_routes.contains(target) ? target : target.section(u'?', 0, 0);
        if (const Handler handler = m_routes.value(path)) // a copy: a handler may add routes
            handler(socket, head);
        else
            sendAndClose(socket, response(404, {}, "Not found"));
    });
}
