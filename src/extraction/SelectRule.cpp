#include "extraction/SelectRule.h"

#include "extraction/RuleDescription.h"
#include "extraction/RunHost.h"
#include "extraction/SiteRows.h"
#include "model/WorkSlice.h"

namespace {

std::optional<QList<html::Take>> parseTakes(const QStringList &names, QString *problem)
{
    QList<html::Take> takes;
    for (const QString &name : names) {
        std::optional<html::Take> take = html::Take::parse(name, problem);
        if (!take)
            return std::nullopt;
        takes << *take;
    }
    return takes;
}

} // namespace

SelectRule::SelectRule(RunHost &host, SiteRows &rows) : m_rows(rows)
{
    QString problem;
    const auto selectors = html::SelectorList::parse(host.ruleText(Rule::Select), &problem);
    const auto takes = parseTakes(host.takes(), &problem);
    if (selectors && takes)
        m_taker.emplace(*selectors, *takes);
}

QString SelectRule::problem(const RuleDescription &rule, qsizetype siteCount)
{
    if (rule.text.trimmed().isEmpty())
        return QStringLiteral("Fill out a selector of the elements to extract.");
    QString problem;
    if (!html::SelectorList::parse(rule.text, &problem) || !parseTakes(rule.takes, &problem))
        return problem;
    if (siteCount == 0)
        return QStringLiteral("No sites added.");
    return {};
}

// Fed a few kilobytes at a time, the records made go on at once, while what
// they hold is still in the cache.
void SelectRule::take(QByteArrayView piece)
{
    if (!m_taker || piece.isEmpty())
        return;
    m_read = true;
    constexpr qsizetype feedSize = 4096;
    while (!piece.isEmpty()) {
        const qsizetype n = std::min(feedSize, piece.size());
        m_taker->feed(piece.first(n));
        piece = piece.sliced(n);
        for (; m_taker->hasRecord(); m_taker->dropRecord())
            m_rows.hitElement(m_taker->record());
    }
}

// A page with no text at all, as one that failed to come, has no elements:
// not even those a parser would imply.
void SelectRule::endOfPage()
{
    if (m_taker && m_read)
        m_taker->finish();
    m_ended = true;
}

bool SelectRule::advance(const WorkSlice &slice)
{
    if (!m_taker)
        return true;
    for (int taken = 0; m_taker->hasRecord(); ++taken) {
        if (taken % 256 == 255 && slice.expired())
            return false;
        m_rows.hitElement(m_taker->record());
        m_taker->dropRecord();
    }
    // What was cut to stay within its limits is said once the page is read.
    if (m_ended && !std::exchange(m_noted, true)) {
        for (const QString &note : m_taker->notes())
            m_rows.note(note);
    }
    return true;
}
