#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>

class QTcpServer;
class QTcpSocket;

// A loopback HTTP/1.1 server, TLS given a certificate: one request per
// connection, answered by the route of its path (with its query first), or 404.
class TestServer : public QObject
{
    Q_OBJECT
public:
    using Handler = std::function<void(QTcpSocket *socket, const QByteArray &requestHead)>;

    explicit TestServer(const QString &certificateFile = {}, const QString &keyFile = {});
    ~TestServer() override;

    quint16 port() const;
    QString url(const QString &path) const; // http(s)://127.0.0.1:<port><path>

    void route(const QString &path, Handler handler);
    void page(const QString &path, const QByteArray &body); // as UTF-8 text
    void raw(const QString &path, const QByteArray &raw);   // the whole answer, then a close
    // Answers with body after delayMs; peakLoad(): how many at once at most.
    void slow(const QString &path, int delayMs, const QByteArray &body);
    int peakLoad() const { return m_peak; }
    // Writes bytes, then after delayMs ends the connection with a reset.
    void reset(const QString &path, const QByteArray &bytes = {}, int delayMs = 0);
    static void resetConnection(QTcpSocket *socket);

    // Status line, the header lines and "Connection: close".
    static QByteArray head(int status, const QList<QByteArray> &headerLines);
    // The same with Content-Length (unless given) and the body.
    static QByteArray response(int status, QList<QByteArray> headerLines, const QByteArray &body);
    // Deflated data, in gzip's wrapper; zlib's with windowBits 15, none with -15.
    static QByteArray deflate(const QByteArray &data, int windowBits = 15 + 16);
    // A self-signed certificate for 127.0.0.1 by openssl; empty, or why it failed.
    static QString makeCertificate(const QString &folder, QString &certificateFile,
                                   QString &keyFile);

private:
    void serve(QTcpSocket *socket);

    QTcpServer *m_server;
    bool m_tls;
    QHash<QString, Handler> m_routes;
    int m_busy = 0, m_peak = 0;
};
