#include "platform/ContentDecoder.h"

#include <QByteArray>
#include <QList>

#include <zlib.h>

namespace {

constexpr int windowBits = 15;
constexpr int detectGzipOrZlib = 32; // added to windowBits
constexpr int outputChunk = 64 * 1024;

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
    if (inflateInit2(m_stream.get(), windowBits + detectGzipOrZlib) == Z_OK)
        return true;
    m_stream.reset();
    m_error = QStringLiteral("Cannot start decompressing the body");
    return false;
}

bool ContentDecoder::write(const char *data, qint64 size, const Sink &sink)
{
    if (m_coding == Coding::Identity)
        return sink(data, size);
    if (size == 0)
        return true;
    const bool firstInput = !m_sawInput;
    m_sawInput = true;
    const auto feed = [&] {
        m_stream->next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data));
        m_stream->avail_in = uInt(size);
        return inflateInto(sink);
    };
    if (feed())
        return true;
    // Some servers label raw deflate data "deflate"; it fails at the very first bytes.
    if (m_coding == Coding::Deflate && firstInput && !m_producedOutput && !m_error.isEmpty() &&
        restartAsRawDeflate())
        return feed();
    return false;
}

bool ContentDecoder::isComplete() const
{
    return m_coding == Coding::Identity || !m_sawInput || m_streamEnded;
}

bool ContentDecoder::inflateInto(const Sink &sink)
{
    z_stream_s &stream = *m_stream;
    char output[outputChunk];
    for (;;) {
        if (m_streamEnded) { // only reached with more input: another gzip member
            inflateReset(&stream);
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
        const qint64 produced = qint64(sizeof output - stream.avail_out);
        if (produced > 0) {
            m_producedOutput = true;
            if (!sink(output, produced))
                return false;
        }
        if (status == Z_STREAM_END) {
            m_streamEnded = true;
            if (stream.avail_in == 0)
                return true;
            continue;
        }
        // Z_BUF_ERROR: nothing more to do until the next piece arrives.
        if (status == Z_BUF_ERROR || (stream.avail_in == 0 && stream.avail_out != 0))
            return true;
    }
}

bool ContentDecoder::restartAsRawDeflate()
{
    inflateEnd(m_stream.get());
    *m_stream = {};
    if (inflateInit2(m_stream.get(), -windowBits) == Z_OK) {
        m_error.clear();
        return true;
    }
    m_stream.reset();
    return false;
}
