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
// query wins over the bare path), 404 for unknown paths. Given a certificate
// and key it speaks TLS.
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
    // Writes raw as the whole answer, then closes.
    void raw(const QString &path, const QByteArray &raw);
    // Answers with body after delayMs; peakLoad() tells how many such
    // requests were under way at once.
    void slow(const QString &path, int delayMs, const QByteArray &body);
    int peakLoad() const { return m_peak; }
    // Writes bytes, then after delayMs ends the connection with a reset.
    void reset(const QString &path, const QByteArray &bytes = {}, int delayMs = 0);

    // Status line, the header lines and "Connection: close".
    static QByteArray head(int status, const QList<QByteArray> &headerLines);
    // The same with Content-Length (unless given) and the body.
    static QByteArray response(int status, QList<QByteArray> headerLines, const QByteArray &body);
    // Deflated data, in gzip's wrapper; zlib's with windowBits 15, none with -15.
    static QByteArray gzip(const QByteArray &data, int windowBits = 15 + 16);
    // A self-signed certificate for 127.0.0.1 made by the openssl program; an
    // empty text, or why it could not be made.
    static QString makeCertificate(const QString &folder, QString &certificateFile,
                                   QString &keyFile);

private:
    void serve(QTcpSocket *socket);

    QTcpServer *m_server;
    bool m_tls;
    QHash<QString, Handler> m_routes;
    int m_busy = 0, m_peak = 0;
};
