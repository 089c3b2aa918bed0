// The address-file splitter against the rules it implements, read literally:
// the file decoded whole, cut into lines at CR, CR LF and the end, every line
// cut again at each LF. Fed in chunks the input chooses.
#include "FuzzCheck.h"
#include "sitelist/FileToList.h"

#include <QStringDecoder>

namespace {

QStringList literalPieces(QByteArrayView file)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom |
                                                     QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(file);
    QStringList pieces;
    qsizetype at = 0;
    while (at < text.size()) {
        qsizetype end = text.indexOf(u'\r', at);
        if (end < 0)
            end = text.size();
        pieces << text.mid(at, end - at).split(u'\n');
        at = end;
        if (at < text.size() && text[at] == u'\r') {
            ++at;
            if (at < text.size() && text[at] == u'\n')
                ++at;
        }
    }
    return pieces;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input(data, size);
    const int firstChunk = input.byte() % 17 + 1;
    const int laterChunks = input.byte() % 17 + 1;
    const QByteArrayView file = input.rest();

    AddressFileSplitter splitter;
    qsizetype at = 0;
    for (int chunk = firstChunk; at < file.size(); chunk = laterChunks) {
        const qsizetype take = qMin<qsizetype>(chunk, file.size() - at);
        splitter.feed(file.sliced(at, take));
        at += take;
    }
    const QStringList pieces = splitter.finish();

    FUZZ_CHECK(!splitter.overlong()); // inputs stay far below the limit
    FUZZ_CHECK(pieces == literalPieces(file));
    for (const QString &piece : pieces)
        FUZZ_CHECK(!piece.contains(u'\r') && !piece.contains(u'\n'));
    // A finished splitter starts afresh.
    splitter.feed(file);
    FUZZ_CHECK(splitter.finish() == pieces);
    return 0;
}
