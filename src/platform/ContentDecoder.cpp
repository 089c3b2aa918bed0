#include "platform/ContentDecoder.h"

#include <QByteArray>
#include <QList>

#include <utility>

#include <zlib.h>

namespace {

constexpr int windowBits = 15;
constexpr int detectGzipOrZlib = 32; // added to windowBits

} // namespace

ContentDecoder::ContentDecoder() = default;

ContentDecoder::~ContentDecoder()
{
    if (m_stream)
        inflateEnd(m_stream.get());
}

bool ContentDecoder::setEncoding(QByteArrayView contentEncoding)
{
    QList<QByteArray> codings;
    for (const QByteArray &part : contentEncoding.toByteArray().split(',')) {
        const QByteArray coding = part.trimmed().toLower();
        if (!coding.isEmpty() && coding != "identity")
            codings << coding;
    }
    if (codings.isEmpty())
        return true;
    if (codings.size() == 1 && (codings.first() == "gzip" || codings.first() == "x-gzip")) {
        m_coding = Coding::Gzip;
    } else if (codings.size() == 1 && codings.first() == "deflate") {
        m_coding = Coding::Deflate;
    } else {
        m_error = QStringLiteral("Unsupported Content-Encoding: %1")
                      .arg(QString::fromLatin1(contentEncoding));
        return false;
    }
    m_stream = std::make_unique<z_stream_s>(); // zeroed: zlib's default allocator
    // "deflate" is zlib's wrapper or none (see write()), never gzip's.
    const int bits = m_coding == Coding::Gzip ? windowBits + detectGzipOrZlib : windowBits;
    if (inflateInit2(m_stream.get(), bits) == Z_OK)
        return true;
    m_stream.reset();
    m_error = QStringLiteral("Cannot start decompressing the body");
    return false;
}

bool ContentDecoder::write(const char *data, qint64 size, const Sink &sink)
{
    if (m_coding == Coding::Identity)
        return sink(data, size) != Taken::Refused;
    if (size == 0)
        return true;
    m_sawInput = true;
    if (m_holding) { // what came while the sink had enough waits its turn
        m_input.append(data, size);
        return true;
    }
    if (m_coding != Coding::Deflate || m_deflateKnown)
        return inflateInto(data, size, sink);
    m_deflateHead.append(data, size);
    if (m_deflateHead.size() < 2)
        return true;
    m_deflateKnown = true;
    // Some servers label raw deflate data "deflate". A zlib header says which
    // it is; once that is decided, a later error is a real one.
    const auto first = uchar(m_deflateHead[0]);
    const auto second = uchar(m_deflateHead[1]);
    const bool zlibHeader =
        (first & 0x0F) == 8 && (first >> 4) <= 7 && (first * 256 + second) % 31 == 0;
    if (!zlibHeader && !restartAsRawDeflate()) {
        m_error = QStringLiteral("Cannot start decompressing the body");
        return false;
    }
    const QByteArray head = std::exchange(m_deflateHead, {});
    return inflateInto(head.constData(), head.size(), sink);
}

bool ContentDecoder::isComplete() const
{
    return m_coding == Coding::Identity || !m_sawInput || m_streamEnded;
}

bool ContentDecoder::resume(const Sink &sink)
{
    if (!std::exchange(m_holding, false))
        return true;
    const QByteArray input = std::exchange(m_input, {});
    return inflateInto(input.constData(), input.size(), sink);
}

// Inflates a chunk at a time, asking the sink after each: a few kilobytes of
// input may stand for gigabytes.
bool ContentDecoder::inflateInto(const char *data, qint64 size, const Sink &sink)
{
    z_stream_s &stream = *m_stream;
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data));
    stream.avail_in = uInt(size);
    char output[outputChunk];
    for (;;) {
        if (m_streamEnded) {
            if (stream.avail_in == 0)
                return true;
            inflateReset(&stream); // another gzip member
            m_streamEnded = false;
        }
        stream.next_out = reinterpret_cast<Bytef *>(output);
        stream.avail_out = sizeof output;
        const int status = inflate(&stream, Z_NO_FLUSH);
        if (status == Z_DATA_ERROR || status == Z_NEED_DICT || status == Z_MEM_ERROR ||
            status == Z_STREAM_ERROR) {
            m_error = QStringLiteral("The compressed body is corrupt (%1)")
                          .arg(QString::fromLatin1(stream.msg ? stream.msg : "no details"));
            return false;
        }
        m_streamEnded = status == Z_STREAM_END;
        const qint64 produced = qint64(sizeof output - stream.avail_out);
        const Taken taken = produced > 0 ? sink(output, produced) : Taken::More;
        if (taken == Taken::Refused)
            return false;
        // Z_BUF_ERROR: nothing more to do until the next piece arrives.
        const bool drained = (m_streamEnded && stream.avail_in == 0) || status == Z_BUF_ERROR ||
                             (stream.avail_in == 0 && stream.avail_out != 0);
        if (drained)
            return true;
        if (taken == Taken::Enough) {
            m_input = QByteArray(reinterpret_cast<const char *>(stream.next_in), stream.avail_in);
            m_holding = true;
            return true;
        }
    }
}

bool ContentDecoder::restartAsRawDeflate()
{
    inflateEnd(m_stream.get());
    *m_stream = {};
    if (inflateInit2(m_stream.get(), -windowBits) == Z_OK)
        return true;
    m_stream.reset();
    return false;
}
