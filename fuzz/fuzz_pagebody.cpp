// A body as a hostile server may send it: any bytes, any Content-Encoding and
// charset, in pieces of any size. Decoding must not depend on where the pieces
// were cut, and the page's text must come out the same as UTF-8 and as UTF-16.
#include "FuzzCheck.h"
#include "platform/ContentDecoder.h"
#include "platform/TextDecoding.h"

#include <optional>

namespace {

// The whole decoded body; none when the decoder refused it or it ended early.
std::optional<QByteArray> decode(QByteArrayView encoding, QByteArrayView body, qsizetype piece)
{
    QByteArray out;
    ContentDecoder decoder;
    bool ok = decoder.setEncoding(encoding);
    const auto sink = [&out](const char *data, qint64 size) {
        out.append(data, size);
        return out.size() <= (1 << 20);
    };
    for (qsizetype at = 0; at < body.size() && ok; at += piece)
        ok = decoder.write(body.data() + at, std::min(piece, body.size() - at), sink);
    return ok && decoder.isComplete() ? std::optional(out) : std::nullopt;
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

    const auto whole = decode(encoding, body, std::max<qsizetype>(body.size(), 1));
    FUZZ_CHECK(decode(encoding, body, piece) == whole);
    if (whole)
        FUZZ_CHECK(decodePageUtf8(*whole, contentType) ==
                   decodePageText(*whole, contentType).toUtf8());
    return 0;
}
