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

// The piece is read in advance(), as the slice allows: one piece may close
// elements whose html is most of the page, each of them a row.
void SelectRule::take(QByteArrayView piece)
{
    if (!m_taker || piece.isEmpty())
        return;
    m_read = true;
    m_piece = piece;
}

// A page with no text at all, as one that failed to come, has no elements:
// not even those a parser would imply.
void SelectRule::endOfPage()
{
    if (m_taker && m_read)
        m_taker->finish();
    m_ended = true;
}

// Fed a few kilobytes at a time, the records made go on at once, while what
// they hold is still in the cache.
bool SelectRule::advance(const WorkSlice &slice)
{
    if (!m_taker)
        return true;
    constexpr qsizetype feedSize = 4096;
    for (;;) {
        if (!takeRecords(slice))
            return false;
        if (m_piece.isEmpty())
            break;
        const qsizetype n = std::min(feedSize, m_piece.size());
        m_taker->feed(m_piece.first(n));
        m_piece = m_piece.sliced(n);
        if (m_taker->waitingBytes() > pageBudget) [[unlikely]]
            return tooLarge();
        if (slice.expired())
            return false;
    }
    // What was cut to stay within its limits is said once the page is read.
    if (m_ended && !std::exchange(m_noted, true)) {
        for (const QString &note : m_taker->notes())
            m_rows.note(note);
    }
    return true;
}

// Rows go in page order, so matches wait for an earlier one still undecided
// (every paragraph behind body in "body, p"), and some for their parent's end
// (every item in "li:nth-last-child(2n)"): past the page budget, the page
// fails, as a line that long does, rather than the memory growing with it.
bool SelectRule::tooLarge()
{
    m_taker.reset();
    m_piece = {};
    m_rows.fail(FetchError::RuleTooLarge,
                QStringLiteral("too large: the matched elements waiting their turn take more "
                               "than %1 MiB")
                    .arg(pageBudget >> 20));
    return true;
}

// The clock is read every few hundred records, and after each large one.
bool SelectRule::takeRecords(const WorkSlice &slice)
{
    constexpr qint64 recordCost = 256, costPerLook = 64 << 10; // in bytes copied
    qint64 cost = 0;
    while (m_taker->hasRecord()) {
        if (cost >= costPerLook) {
            if (slice.expired())
                return false;
            cost = 0;
        }
        const QList<QByteArray> &fields = m_taker->record();
        cost += recordCost;
        for (const QByteArray &field : fields)
            cost += field.size();
        m_rows.hitElement(fields);
        m_taker->dropRecord();
    }
    return true;
}
