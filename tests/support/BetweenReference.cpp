#include "support/BetweenReference.h"

#include "extraction/Extract1.h"
#include "extraction/LineFilter.h"

QString literalPasses(QString page, BetweenClient &client)
{
    for (;;) {
        const QString start = client.startText();
        const QString end = client.endText();
        if (start.isEmpty() || end.isEmpty())
            break;
        const QString foldedStart = FoldCase(start);
        const QString foldedEnd = FoldCase(end);
        const QString folded = FoldCase(page);
        if (!folded.contains(foldedStart) || !folded.contains(foldedEnd))
            break;
        // 1-based positions, as the rule counts them.
        const qsizetype p = folded.indexOf(foldedStart) + 1;
        const QString remainder = page.mid(p);
        const qsizetype q = FoldCase(remainder).indexOf(foldedEnd) + 1;
        QString result;
        if (q >= start.size())
            result = page.mid(p - 1 + start.size(), q - start.size());
        const qsizetype sectionLength = q > 0 ? q + end.size() : end.size();
        page = ReplaceFirst(page, page.mid(p - 1, sectionLength), QString());
        if (result.isEmpty())
            continue;
        result = DecodeAmp(result);
        if (!client.keepDuplicates() && client.holdsResult(result))
            continue;
        client.addResult(result);
    }
    return page;
}
