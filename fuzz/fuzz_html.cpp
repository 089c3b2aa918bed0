// The HTML layer given a page in random cuts, in slices of any size, against
// the same page given whole: the same visible text, the same records.
#include "FuzzCheck.h"
#include "html/ElementTaker.h"
#include "html/VisibleText.h"

#include <QHash>

#include <array>
#include <random>

namespace {

// Selectors that reach every way of deciding: at the start tag, at the end,
// at the parent's end, through siblings and :has().
const std::array<const char *, 6> kSelectors = {
    "*",
    "p, li:last-child, td + td, h1 ~ *",
    "div:has(> p), :has(b i), :empty, :contains(\"a\")",
    "body :nth-child(2n+1 of .x), :nth-last-of-type(2), :only-child",
    ":is(a, b):not([href^=h i]), [class~=x], #y",
    "table tr > :where(td, th), ul li ul li",
};

struct Output
{
    QByteArray text;
    QList<QList<QByteArray>> records;
    QStringList notes;
};

// Every take; or those made whole at the element's end, whose records then
// wait for their turn in a form of their own.
const QList<html::Take> kAllTakes = {{html::Take::Kind::Text, {}},
                                     {html::Take::Kind::Raw, {}},
                                     {html::Take::Kind::Html, {}},
                                     {html::Take::Kind::Inner, {}},
                                     {html::Take::Kind::Attribute, "class"}};
const QList<html::Take> kTakesAtEnd = {{html::Take::Kind::Text, {}},
                                       {html::Take::Kind::Attribute, "class"}};

Output run(QByteArrayView page, const html::SelectorList &selectors, const QList<html::Take> &takes,
           std::minstd_rand *draw, qsizetype longest)
{
    html::VisibleText visible;
    html::ElementTaker taker(selectors, takes);
    Output out;
    for (qsizetype given = 0; given < page.size();) {
        const qsizetype piece =
            draw ? std::min<qsizetype>(1 + (*draw)() % longest, page.size() - given) : page.size();
        if (draw && (*draw)() % 4 == 0) { // a network read may give nothing, even between CR and LF
            visible.feed({});
            taker.feed({});
        }
        visible.feed(page.sliced(given, piece));
        taker.feed(page.sliced(given, piece));
        given += piece;
        FUZZ_CHECK(visible.heldBytes() >= 0 && taker.heldBytes() >= 0 && taker.waitingBytes() >= 0);
        out.text += visible.take();
        while (taker.hasRecord())
            out.records << taker.takeRecord();
    }
    visible.finish();
    taker.finish();
    out.text += visible.take();
    while (taker.hasRecord())
        out.records << taker.takeRecord();
    FUZZ_CHECK(!taker.hasRecord() && taker.waitingBytes() == 0);
    out.notes = taker.notes() + visible.notes();
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input(data, size);
    const uint8_t options = input.byte();
    // A selector from the input when it parses, else one of the list.
    QString problem;
    std::optional<html::SelectorList> selectors =
        html::SelectorList::parse(QString::fromLatin1(input.part()), &problem);
    if (!selectors || options & 1)
        selectors =
            html::SelectorList::parse(kSelectors[(options >> 1) % kSelectors.size()], &problem);
    FUZZ_CHECK(selectors);
    const QByteArrayView page = input.rest();

    const QList<html::Take> &takes = options & 64 ? kTakesAtEnd : kAllTakes;
    const Output whole = run(page, *selectors, takes, nullptr, 0);
    std::minstd_rand draw(uint(qHash(QByteArrayView(data, qsizetype(size)))));
    const qsizetype longest = std::array<qsizetype, 4>{1, 3, 17, 4096}[(options >> 4) % 4];
    const Output cut = run(page, *selectors, takes, &draw, longest);
    FUZZ_CHECK(cut.text == whole.text);
    FUZZ_CHECK(cut.records == whole.records);
    FUZZ_CHECK(cut.notes == whole.notes);
    return 0;
}
