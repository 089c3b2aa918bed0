// A page body as a hostile server may send it: any bytes, labelled with any
// Content-Encoding and charset, arriving in pieces of any size. Decoding must
// not depend on where the pieces were cut, and the text decoder must take
// whatever comes out.
#include "FuzzCheck.h"
#include "platform/ContentDecoder.h"
#include "platform/TextDecoding.h"

namespace {

constexpr qint64 outputCap = 1 << 20;

struct Decoded
{
    bool accepted = false; // setEncoding
    bool ok = false;       // every write
    bool complete = false;
    QByteArray bytes;
};

Decoded decode(QByteArrayView encoding, QByteArrayView body, qsizetype piece)
{
    Decoded out;
    ContentDecoder decoder;
    out.accepted = decoder.setEncoding(encoding);
    if (!out.accepted)
        return out;
    const auto sink = [&out](const char *data, qint64 size) {
        if (out.bytes.size() + size > outputCap)
            return false;
        out.bytes.append(data, size);
        return true;
    };
    out.ok = true;
    for (qsizetype at = 0; at < body.size() && out.ok; at += piece) {
        const QByteArrayView part = body.sliced(at, qMin(piece, body.size() - at));
        out.ok = decoder.write(part.data(), part.size(), sink);
    }
    out.complete = out.ok && decoder.isComplete();
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QByteArrayView encodings[] = {"",       "gzip",          "deflate", "identity",
                                               "x-gzip", "gzip, deflate", "br"};
    FuzzInput input(data, size);
    const uint8_t choice = input.byte();
    const QByteArrayView encoding = encodings[choice % std::size(encodings)];
    const qsizetype piece = input.byte() % 64 + 1;
    const QByteArray contentType = input.part().toByteArray();
    const QByteArrayView body = input.rest();

    const Decoded whole = decode(encoding, body, qMax<qsizetype>(body.size(), 1));
    const Decoded pieces = decode(encoding, body, piece);
    FUZZ_CHECK(pieces.accepted == whole.accepted);
    FUZZ_CHECK(pieces.ok == whole.ok);
    FUZZ_CHECK(pieces.complete == whole.complete);
    // A refused stream stops wherever it proved bad; only a whole one must agree.
    if (whole.complete)
        FUZZ_CHECK(pieces.bytes == whole.bytes);
    if (whole.complete) {
        const QString text = decodePageText(whole.bytes, contentType);
        FUZZ_CHECK(text.size() <= 2 * whole.bytes.size() + 2);
    }
    return 0;
}
