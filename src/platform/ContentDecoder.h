#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <functional>
#include <memory>

struct z_stream_s;

// Undoes a gzip or deflate Content-Encoding while the body arrives. libcurl can
// do this too, but it lets a compressed stream that stops early pass as whole,
// and it inflates whatever arrives however little room the reader has left.
class ContentDecoder
{
public:
    enum class Taken
    {
        More,   // go on
        Enough, // keep the rest until resume()
        Refused // stop for good
    };
    // Receives decoded bytes, at most outputChunk at a time.
    using Sink = std::function<Taken(const char *data, qint64 size)>;
    static constexpr qint64 outputChunk = 16 * 1024;

    ContentDecoder();
    ~ContentDecoder();
    ContentDecoder(const ContentDecoder &) = delete;
    ContentDecoder &operator=(const ContentDecoder &) = delete;

    // Takes the Content-Encoding header value; false for codings it cannot undo.
    bool setEncoding(QByteArrayView contentEncoding);
    // Decodes the next piece of the body into sink; false once the data proved
    // corrupt (see error()) or sink refused. What is left of it when sink has
    // had enough is held.
    bool write(const char *data, qint64 size, const Sink &sink);
    // Goes on with what was held, as write() does.
    bool resume(const Sink &sink);
    // Whether some of what was written waits for resume().
    bool isHolding() const { return m_holding; }
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
    bool inflateHeld(const Sink &sink);
    bool restartAsRawDeflate();

    Coding m_coding = Coding::Identity;
    std::unique_ptr<z_stream_s> m_stream;
    // "deflate" may be zlib-wrapped or raw; the first two bytes tell, and are
    // held here until both have come, however the body is cut.
    QByteArray m_deflateHead;
    bool m_deflateKnown = false;
    // The sink had enough: m_input holds what was not inflated yet (and zlib
    // may hold output for it still).
    bool m_holding = false;
    QByteArray m_input;
    bool m_streamEnded = false;
    bool m_sawInput = false;
    QString m_error;
};
