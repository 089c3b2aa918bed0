// The between-markers engine, in slices of any size and with the markers and
// "Keep Duplicates" changing between passes, against the literal pass-by-pass
// reference the unit tests use.
#include "FuzzCheck.h"
#include "extraction/BetweenMarkers.h"
#include "platform/WorkSlice.h"
#include "support/BetweenReference.h"

#include <limits>

namespace {

// Latin-1 reaches the markup characters easily; raw UTF-16 reaches every unit.
QString text(QByteArrayView bytes, bool wide)
{
    return wide ? utf16(bytes) : QString::fromLatin1(bytes);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input(data, size);
    const uint8_t options = input.byte();
    const bool wide = options & 1;
    const bool resume = options & 2;
    const int switchAt = options >> 4; // 15 and above: never
    ScriptedClient expected;
    expected.keep = options & 4;
    expected.start = text(input.part(), wide);
    expected.end = text(input.part(), wide);
    const QString otherStart = text(input.part(), wide);
    const QString otherEnd = text(input.part(), wide);
    const QString listed = text(input.part(), wide);
    if (!listed.isEmpty())
        expected.listed.insert(listed);
    const QString page = text(input.rest(), wide);
    expected.beforePass = [&](ScriptedClient &client, int pass) {
        if (pass != switchAt)
            return;
        client.start = otherStart;
        client.end = otherEnd;
        client.keep = !client.keep;
    };
    ScriptedClient actual = expected;

    const QString expectedRest = literalPasses(page, expected);
    BetweenMarkers engine(page, actual);
    if (resume) {
        int steps = 0;
        while (!engine.advance(WorkSlice(0)))
            FUZZ_CHECK(++steps <= 4 * page.size() + 16);
    } else {
        FUZZ_CHECK(engine.advance(WorkSlice(std::numeric_limits<qint64>::max())));
    }
    FUZZ_CHECK(engine.finished());
    FUZZ_CHECK(actual.added == expected.added);
    FUZZ_CHECK(engine.remainingText() == expectedRest);
    return 0;
}
