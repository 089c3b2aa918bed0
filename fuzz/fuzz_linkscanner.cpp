// The link scanner, in slices of any size, against the harvest read literally:
// every position of the page, six bytes compared after lower-casing, each value
// read up to its closing quote and completed step by step.
#include "FuzzCheck.h"
#include "platform/WorkSlice.h"
#include "sitelist/ExtractLinks.h"
#include "sitelist/SiteList.h"

#include <QStringDecoder>

#include <limits>

namespace {

QStringList literalHarvest(const ExtractLinks &state, QByteArrayView page)
{
    QStringList rows{state.BaseUrl};
    for (qsizetype p = 0; p + 6 <= page.size(); ++p) {
        if (page.sliced(p, 6).toByteArray().toLower() != "href=\"")
            continue;
        const qsizetype first = p + 6;
        qsizetype quote = first;
        while (quote < page.size() && page[quote] != '"')
            ++quote;
        if (quote >= page.size())
            continue; // the page ends inside the value: left out
        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom |
                                                         QStringDecoder::Flag::Stateless);
        QString v = decoder.decode(page.sliced(first, quote - first));
        if (v.startsWith(u'/'))
            v.remove(0, 1);
        if (v.left(4).toLower() != QLatin1String("http"))
            v = state.BaseFolder + u'/' + v;
        if (!v.endsWith(u'/'))
            v += u'/';
        rows << v;
    }
    return rows;
}

QStringList rows(const SiteList &list)
{
    QStringList texts;
    for (int row = 0; row < list.count(); ++row)
        texts << list.text(row);
    return texts;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input(data, size);
    const QString typed = QString::fromUtf8(input.part());
    const QByteArray page = input.rest().toByteArray();

    ExtractLinks whole;
    whole.SetBaseUrl(typed);
    whole.setPage(page);
    SiteList wholeList;
    FUZZ_CHECK(whole.ScanLinks(wholeList, WorkSlice(std::numeric_limits<qint64>::max())));

    // An expired slice still makes progress, so the scan ends after a bounded
    // number of calls and finds the same links.
    ExtractLinks sliced;
    sliced.SetBaseUrl(typed);
    sliced.setPage(page);
    SiteList slicedList;
    int calls = 0;
    while (!sliced.ScanLinks(slicedList, WorkSlice(0)))
        FUZZ_CHECK(++calls <= page.size() + 1);

    const QStringList found = rows(wholeList);
    FUZZ_CHECK(rows(slicedList) == found);
    FUZZ_CHECK(found == literalHarvest(whole, page));
    FUZZ_CHECK(whole.BaseUrl.startsWith(QLatin1String("http"), Qt::CaseInsensitive));
    FUZZ_CHECK(whole.BaseUrl.startsWith(whole.BaseFolder));
    return 0;
}
