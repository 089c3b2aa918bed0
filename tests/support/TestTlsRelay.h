#pragma once

#include <QObject>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>

class QSslServer;

// A loopback TLS front for TestHttpServer: every connection it accepts is
// decrypted and relayed, byte for byte, to a plain port on 127.0.0.1, so the
// plain server's routes answer over https too. The certificate is a throwaway
// one made by the openssl program.
class TestTlsRelay : public QObject
{
    Q_OBJECT
public:
    // Why TLS cannot be served here, or an empty text when it can.
    static QString unavailableReason();

    // Writes a self-signed certificate for 127.0.0.1 and its key into folder.
    // Empty on success, else what went wrong.
    static QString makeCertificate(const QString &folder, QString &certificateFile,
                                   QString &keyFile);

    TestTlsRelay(const QString &certificateFile, const QString &keyFile, quint16 plainPort,
                 QObject *parent = nullptr);
    ~TestTlsRelay() override;

    bool isListening() const;
    quint16 port() const;
    QString url(const QString &path) const; // "https://127.0.0.1:<port>" + path
    int handshakesCompleted() const { return m_handshakes; }

private:
    void accept();

    QSslServer *m_server = nullptr;
    quint16 m_plainPort = 0;
    int m_handshakes = 0;
};
