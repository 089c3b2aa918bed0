// The between-markers engine, given the page as UTF-8 cut anywhere, in slices
// of any size and with the markers and "Keep Duplicates" switched between
// passes, against the passes read literally over the whole page.
#include "FuzzCheck.h"
#include "extraction/BetweenMarkers.h"
#include "extraction/LineFilter.h"
#include "model/WorkSlice.h"

#include <QHash>
#include <QSet>
#include <QStringList>

#include <array>
#include <limits>
#include <random>

namespace {

// Answers the passes from fields that switch before pass switchAt.
struct Client : BetweenClient
{
    QString start, end, otherStart, otherEnd;
    bool keep = false;
    int switchAt = -1;
    mutable int passes = 0;
    QSet<QString> listed;
    QStringList added;

    QString startText() const override // read first in every pass
    {
        if (passes++ == switchAt) {
            auto &self = const_cast<Client &>(*this);
            self.start = otherStart;
            self.end = otherEnd;
            self.keep = !keep;
        }
        return start;
    }
    QString endText() const override { return end; }
    // What the site's rows do with a result: drop it when already listed.
    void addResult(const QString &result) override
    {
        if (!keep && listed.contains(result))
            return;
        listed.insert(result);
        added << result;
    }
};

// Every pass as the rule states it, with 1-based positions: the whole text
// folded and searched afresh, the section deleted where it first occurs.
void literalPasses(QString page, Client &client)
{
    for (;;) {
        const QString start = client.startText(), end = client.endText();
        const QString folded = foldCase(page), foldedStart = foldCase(start);
        if (start.isEmpty() || end.isEmpty() || !folded.contains(foldedStart) ||
            !folded.contains(foldCase(end)))
            return;
        const qsizetype p = folded.indexOf(foldedStart) + 1;
        const qsizetype q = foldCase(page.mid(p)).indexOf(foldCase(end)) + 1;
        const QString result =
            q >= start.size() ? page.mid(p - 1 + start.size(), q - start.size()) : QString();
        const QString section = page.mid(p - 1, q > 0 ? q + end.size() : end.size());
        page.remove(page.indexOf(section), section.size());
        if (const QString decoded = decodeAmp(result); !decoded.isEmpty())
            client.addResult(decoded);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input(data, size);
    const uint8_t options = input.byte();
    const bool wide = options & 1;
    Client expected;
    expected.keep = options & 4;
    expected.switchAt = options >> 4;
    expected.start = text(input.part(), wide);
    expected.end = text(input.part(), wide);
    expected.otherStart = text(input.part(), wide);
    expected.otherEnd = text(input.part(), wide);
    if (const QString listed = text(input.part(), wide); !listed.isEmpty())
        expected.listed.insert(listed);
    // Decoded pages never hold a lone surrogate.
    const QString page = QString::fromUtf8(text(input.rest(), wide).toUtf8());
    const QByteArray utf8 = page.toUtf8();
    Client actual = expected;
    literalPasses(page, expected);

    // Cuts drawn from the input itself, so that a failure replays.
    std::minstd_rand draw(uint(qHash(QByteArrayView(data, qsizetype(size)))));
    const qsizetype longest = std::array<qsizetype, 4>{1, 3, 17, qsizetype(size)}[draw() % 4];
    // Tiny steps put text behind the passes from the first pieces on.
    BetweenMarkers engine(actual, options & 8 ? 1 << 16 : 1 + qsizetype(size % 5));
    qsizetype given = 0;
    bool ended = false;
    for (int steps = 0;;) {
        if (!engine.advance(WorkSlice(options & 2 ? 0 : std::numeric_limits<qint64>::max()))) {
            FUZZ_CHECK(options & 2 && ++steps <= 4 * page.size() + 16);
        } else if (given < utf8.size()) {
            const qsizetype piece =
                std::min<qsizetype>(draw() % (longest + 1), utf8.size() - given);
            engine.append(utf8.sliced(given, piece));
            given += piece;
        } else if (!std::exchange(ended, true)) {
            engine.endOfText();
        } else {
            break;
        }
    }
    FUZZ_CHECK(engine.finished());
    FUZZ_CHECK(actual.added == expected.added);
    return 0;
}
