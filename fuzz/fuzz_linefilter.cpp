// A whole line-filter run over one page, and the rule given the page cut
// anywhere, against the run read literally: the page cut at every line feed,
// "&amp;" replaced from the left, both texts folded to one case, and the
// address row after any piece while no row shows the address. Then the text
// as a regular expression, matched against each line alone.
#include "FuzzCheck.h"
#include "extraction/Pattern.h"
#include "platform/Utf8Validation.h"
#include "support/Fakes.h"

#include <QCoreApplication>
#include <QHash>

#include <random>

namespace {

const QString address = QStringLiteral("http://site.test/page");

QStringList literalRun(Rule rule, const QString &page, const TestRunHost &host)
{
    const QRegularExpression pattern(host.rule, QRegularExpression::CaseInsensitiveOption |
                                                    QRegularExpression::MultilineOption);
    QStringList rows;
    bool shown = false;
    for (const QString &piece : page.isEmpty() ? QStringList() : page.split(u'\n')) {
        const QString line = QString(piece).replace(QLatin1String("&amp;"), QLatin1String("&"));
        const bool found = host.pattern ? pattern.match(line).hasMatch()
                                        : line.toCaseFolded().contains(host.rule.toCaseFolded());
        if (!piece.isEmpty() && found == (rule == Rule::WithText)) {
            rows << (host.include ? address + u',' + line : line);
            shown = shown || host.include;
        }
        if (host.include && host.evenIfNothing && !shown) {
            rows << address;
            shown = true;
        }
    }
    return rows;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    new QCoreApplication(*argc, *argv); // lives as long as the process
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView raw(data, qsizetype(size));
    FUZZ_CHECK(isValidUtf8(raw) == raw.isValidUtf8());
    FuzzInput input(data, size);
    const uint8_t options = input.byte();
    const Rule rule = options & 1 ? Rule::WithoutText : Rule::WithText;
    TestRunHost host;
    host.keep = true;
    host.include = options & 2;
    host.evenIfNothing = host.include && (options & 4);
    // Decoded pages and typed texts never hold a lone surrogate.
    host.rule = QString::fromUtf8(text(input.part(), options & 8).toUtf8());
    const QString page = QString::fromUtf8(text(input.rest(), options & 8).toUtf8());
    if (host.rule.isEmpty())
        return 0; // refused before a run starts

    FakeFetcher fetcher;
    fetcher.pages.insert(address, page.toUtf8());
    // Cuts drawn from the input itself, so that a failure replays.
    std::minstd_rand draw(uint(qHash(QByteArrayView(data, qsizetype(size)))));
    const QByteArray utf8 = page.toUtf8();
    const qsizetype longest = draw() % 2 ? 2 : utf8.size() / 3 + 1;
    QList<QByteArrayView> pieces;
    for (qsizetype at = 0, piece = 0; at < utf8.size(); at += piece) {
        piece = std::min<qsizetype>(draw() % (longest + 1), utf8.size() - at);
        pieces << QByteArrayView(utf8).sliced(at, piece);
    }
    for (const bool pattern : {false, true}) {
        host.pattern = pattern;
        if (pattern && !patternProblem(host.rule).isEmpty())
            break;
        const QStringList expected = literalRun(rule, page, host);
        FUZZ_CHECK(runRows(rule, fetcher, {address}, host) == expected);
        FUZZ_CHECK(ruleRows(rule, address, pieces, host) == expected);
    }
    return 0;
}
