// A body as a hostile server may send it: any bytes, any Content-Encoding and
// charset, in pieces of any size. Decoding must not depend on where the pieces
// were cut, and the page's text must come out the same as UTF-8 and as UTF-16.
#include "FuzzCheck.h"
#include "platform/ContentDecoder.h"
#include "platform/TextDecoding.h"

namespace {

struct Decoded
{
    bool accepted = false, ok = false, complete = false;
    QByteArray bytes;
};

Decoded decode(QByteArrayView encoding, QByteArrayView body, qsizetype piece)
{
    Decoded out;
    ContentDecoder decoder;
    out.ok = out.accepted = decoder.setEncoding(encoding);
    const auto sink = [&out](const char *data, qint64 size) {
        out.bytes.append(data, size);
        return out.bytes.size() <= (1 << 20);
    };
    for (qsizetype at = 0; at < body.size() && out.ok; at += piece)
        out.ok = decoder.write(body.data() + at, std::min(piece, body.size() - at), sink);
    out.complete = out.ok && decoder.isComplete();
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QByteArrayView encodings[] = {"",       "gzip",          "deflate", "identity",
                                               "x-gzip", "gzip, deflate", "br"};
    FuzzInput input(data, size);
    const QByteArrayView encoding = encodings[input.byte() % std::size(encodings)];
    const qsizetype piece = input.byte() % 64 + 1;
    const QByteArray contentType = input.part().toByteArray();
    const QByteArrayView body = input.rest();

    const Decoded whole = decode(encoding, body, std::max<qsizetype>(body.size(), 1));
    const Decoded pieces = decode(encoding, body, piece);
    FUZZ_CHECK(pieces.accepted == whole.accepted && pieces.ok == whole.ok);
    FUZZ_CHECK(pieces.complete == whole.complete);
    if (!whole.complete)
        return 0; // a refused stream stops wherever it proved bad
    FUZZ_CHECK(pieces.bytes == whole.bytes);
    const QString text = decodePageText(whole.bytes, contentType);
    FUZZ_CHECK(decodePageUtf8(whole.bytes, contentType) == text.toUtf8());
    return 0;
}
