#include "support/TestTlsRelay.h"

#include <QDir>
#include <QFile>
#include <QPointer>
#include <QProcess>
#include <QSslConfiguration>
#include <QSslServer>
#include <QSslSocket>
#include <QStandardPaths>
#include <QTcpSocket>

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

QString TestTlsRelay::unavailableReason()
{
    if (!QSslSocket::supportsSsl())
        return QStringLiteral("Qt Network has no TLS backend here");
    if (QStandardPaths::findExecutable(QStringLiteral("openssl")).isEmpty())
        return QStringLiteral("the openssl program, which makes the test certificate, is missing");
    return {};
}

QString TestTlsRelay::makeCertificate(const QString &folder, QString &certificateFile,
                                      QString &keyFile)
{
    certificateFile = QDir(folder).filePath(QStringLiteral("cert.pem"));
    keyFile = QDir(folder).filePath(QStringLiteral("key.pem"));
    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    // An EC key is quick to make; the address must be in subjectAltName for
    // clients to accept the name once they trust the certificate.
    openssl.start(QStringLiteral("openssl"),
                  {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                   "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1", "-addext",
                   "subjectAltName=IP:127.0.0.1", "-keyout", keyFile, "-out", certificateFile});
    if (!openssl.waitForFinished(30'000) || openssl.exitStatus() != QProcess::NormalExit ||
        openssl.exitCode() != 0)
        return QStringLiteral("openssl req failed: ") + QString::fromLocal8Bit(openssl.readAll());
    return {};
}

TestTlsRelay::TestTlsRelay(const QString &certificateFile, const QString &keyFile,
                           quint16 plainPort, QObject *parent)
    : QObject(parent), m_server(new QSslServer(this)), m_plainPort(plainPort)
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificate(QSslCertificate(readAll(certificateFile)));
    configuration.setPrivateKey(QSslKey(readAll(keyFile), QSsl::Ec));
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    m_server->setSslConfiguration(configuration);
    connect(m_server, &QTcpServer::pendingConnectionAvailable, this, &TestTlsRelay::accept);
    m_server->listen(QHostAddress::LocalHost, 0);
}

TestTlsRelay::~TestTlsRelay()
{
    // Sockets would otherwise report their end to a half-destroyed relay.
    const QList<QAbstractSocket *> sockets = findChildren<QAbstractSocket *>();
    for (QAbstractSocket *socket : sockets) {
        socket->disconnect();
        socket->abort();
    }
}

bool TestTlsRelay::isListening() const
{
    return m_server->isListening();
}

quint16 TestTlsRelay::port() const
{
    return m_server->serverPort();
}

QString TestTlsRelay::url(const QString &path) const
{
    return QStringLiteral("https://127.0.0.1:%1%2").arg(port()).arg(path);
}

// QSslServer hands out a socket once its handshake is done.
void TestTlsRelay::accept()
{
    while (QTcpSocket *next = m_server->nextPendingConnection()) {
        auto *secure = qobject_cast<QSslSocket *>(next);
        if (!secure)
            continue;
        ++m_handshakes;
        secure->setParent(this);
        // Either side may go first; the other may already be gone by then.
        QPointer<QSslSocket> tls(secure);
        QPointer<QTcpSocket> plain(new QTcpSocket(this));
        const auto toPlain = [tls, plain] {
            if (tls && plain && plain->state() == QAbstractSocket::ConnectedState)
                plain->write(tls->readAll());
        };
        connect(plain, &QTcpSocket::connected, this, toPlain);
        connect(secure, &QSslSocket::readyRead, this, toPlain);
        connect(plain, &QTcpSocket::readyRead, this, [tls, plain] {
            if (tls && plain)
                tls->write(plain->readAll());
        });
        connect(plain, &QTcpSocket::disconnected, this, [tls, plain] {
            if (tls && plain) {
                tls->write(plain->readAll());
                tls->disconnectFromHost();
            }
            if (plain)
                plain->deleteLater();
        });
        connect(secure, &QSslSocket::disconnected, this, [tls, plain] {
            if (plain)
                plain->abort();
            if (tls)
                tls->deleteLater();
        });
        plain->connectToHost(QHostAddress::LocalHost, m_plainPort);
    }
}
