#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>

class QTcpServer;
class QTcpSocket;

// A loopback HTTP/1.1 server for tests, on the thread that makes it: one request
// per connection, answered by the route of its path (a route given with its
// query wins over the bare path, and a final "/" may be left off), 404 for
// unknown paths. Given a certificate and key it speaks TLS.
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
    void page(const QString &path, const QByteArray &body,
              const QByteArray &type = "text/plain; charset=utf-8");
    // Writes raw as the whole answer, then closes.
    void raw(const QString &path, const QByteArray &raw);
    void delayed(const QString &path, const QByteArray &body, int delayMs);
    // Writes bytes, then after delayMs ends the connection with a reset.
    void reset(const QString &path, const QByteArray &bytes = {}, int delayMs = 0);
    int requests(const QString &path) const;

    // Status line, the header lines and "Connection: close".
    static QByteArray head(int status, const QList<QByteArray> &headerLines);
    // The same with Content-Length (unless given) and the body.
    static QByteArray response(int status, QList<QByteArray> headerLines, const QByteArray &body);
    static QByteArray gzip(const QByteArray &data);
    // A self-signed certificate for 127.0.0.1 made by the openssl program; an
    // empty text, or why it could not be made.
    static QString makeCertificate(const QString &folder, QString &certificateFile,
                                   QString &keyFile);

private:
    void serve(QTcpSocket *socket);

    QTcpServer *m_server;
    bool m_tls;
    QHash<QString, Handler> m_routes;
    QHash<QString, int> m_requests;
};
