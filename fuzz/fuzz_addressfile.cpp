// The address-file splitter, fed in chunks the input chooses, against the file
// read literally: decoded whole, cut into lines at CR, CR LF and the end, and
// every line cut again at each LF.
#include "FuzzCheck.h"
#include "sitelist/FileToList.h"

#include <QStringDecoder>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input(data, size);
    const int firstChunk = input.byte() % 17 + 1;
    const int laterChunks = input.byte() % 17 + 1;
    const QByteArrayView file = input.rest();

    const QString whole =
        QStringDecoder(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom |
                                                QStringDecoder::Flag::Stateless)
            .decode(file);
    QStringList expected;
    for (qsizetype at = 0; at < whole.size();) {
        qsizetype end = whole.indexOf(u'\r', at);
        end = end < 0 ? whole.size() : end;
        expected << whole.mid(at, end - at).split(u'\n');
        at = end + (whole.mid(end, 2) == QLatin1String("\r\n") ? 2 : 1);
    }

    AddressFileSplitter splitter;
    for (qsizetype at = 0, chunk = firstChunk; at < file.size(); at += chunk, chunk = laterChunks)
        splitter.feed(file.sliced(at, std::min<qsizetype>(chunk, file.size() - at)));
    const QStringList pieces = splitter.finish();
    FUZZ_CHECK(pieces == expected);
    splitter.feed(file); // a finished splitter starts afresh
    FUZZ_CHECK(splitter.finish() == expected);
    return 0;
}
