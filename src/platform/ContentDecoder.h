#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <functional>
#include <memory>

struct z_stream_s;

// Undoes a gzip or deflate Content-Encoding while the body arrives. libcurl can
// do this too, but it lets a compressed stream that stops early pass as whole.
class ContentDecoder
{
public:
    // Receives decoded bytes; returning false stops decoding.
    using Sink = std::function<bool(const char *data, qint64 size)>;

    ContentDecoder();
    ~ContentDecoder();
    ContentDecoder(const ContentDecoder &) = delete;
    ContentDecoder &operator=(const ContentDecoder &) = delete;

    // Takes the Content-Encoding header value; false for codings it cannot undo.
    bool setEncoding(QByteArrayView contentEncoding);
    // Decodes the next piece of the body into sink; false once the data proved
    // corrupt (see error()) or sink refused.
    bool write(const char *data, qint64 size, const Sink &sink);
    // True when the data written so far is a whole stream (or no data came at all).
    bool isComplete() const;
    QString error() const { return m_error; }

private:
    enum class Coding
    {
        Identity,
        Gzip,
        Deflate
    };

    bool inflateInto(const char *data, qint64 size, const Sink &sink);
    bool restartAsRawDeflate();

    Coding m_coding = Coding::Identity;
    std::unique_ptr<z_stream_s> m_stream;
    // "deflate" may be zlib-wrapped or raw; the first two bytes tell, and are
    // held here until both have come, however the body is cut.
    QByteArray m_deflateHead;
    bool m_deflateKnown = false;
    bool m_streamEnded = false;
    bool m_sawInput = false;
    QString m_error;
};
