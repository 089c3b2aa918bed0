// The link scanner, whole and in slices of any size, against the harvest read
// literally: every position of the page, six bytes compared lower-cased, each
// value read up to its closing quote and completed step by step.
#include "FuzzCheck.h"
#include "model/TextList.h"
#include "model/WorkSlice.h"
#include "sitelist/ExtractLinks.h"

#include <QStringDecoder>

#include <limits>

namespace {

QStringList literalHarvest(const ExtractLinks &state, QByteArrayView page)
{
    QStringList rows{state.BaseUrl};
    for (qsizetype p = 0; p + 6 <= page.size(); ++p) {
        const qsizetype quote = page.indexOf('"', p + 6);
        if (page.sliced(p, 6).toByteArray().toLower() != "href=\"" || quote < 0)
            continue; // no marker, or a value the page ends in: left out
        QString v = QStringDecoder(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom |
                                                             QStringDecoder::Flag::Stateless)
                        .decode(page.sliced(p + 6, quote - p - 6));
        if (v.startsWith(u'/'))
            v.remove(0, 1);
        if (v.left(4).toLower() != QLatin1String("http"))
            v = state.BaseFolder + u'/' + v;
        rows << (v.endsWith(u'/') ? v : v + u'/');
    }
    return rows;
}

QStringList scan(ExtractLinks &links, qint64 budgetNs, int maxCalls)
{
    TextList list;
    for (int calls = 1; !links.ScanLinks(list, WorkSlice(budgetNs)); ++calls)
        FUZZ_CHECK(calls <= maxCalls); // an expired slice still makes progress
    QStringList rows;
    for (qsizetype row = 0; row < list.size(); ++row)
        rows << list.text(row);
    return rows;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input(data, size);
    const QString typed = QString::fromUtf8(input.part());
    const QByteArray page = input.rest().toByteArray();
    ExtractLinks whole, sliced;
    for (ExtractLinks *links : {&whole, &sliced}) {
        links->SetBaseUrl(typed);
        links->setPage(page);
    }
    const QStringList found = scan(whole, std::numeric_limits<qint64>::max(), 1);
    FUZZ_CHECK(scan(sliced, 0, int(page.size()) + 1) == found);
    FUZZ_CHECK(found == literalHarvest(whole, page));
    FUZZ_CHECK(whole.BaseUrl.startsWith(QLatin1String("http"), Qt::CaseInsensitive));
    FUZZ_CHECK(whole.BaseUrl.startsWith(whole.BaseFolder));
    return 0;
}
