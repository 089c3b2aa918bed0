#include "extraction/PageLines.h"

#include "extraction/PageRule.h"
#include "extraction/SiteRows.h"

#include <utility>

void PageLines::take(QByteArrayView piece)
{
    if (piece.isEmpty() || m_stopped)
        return;
    m_pageEmpty = false;
    const qsizetype firstFeed = piece.indexOf('\n');
    if (m_partial.size() + (firstFeed < 0 ? piece.size() : firstFeed) > pageBudget) {
        stop();
        m_rows.fail(FetchError::RuleTooLarge,
                    QStringLiteral("too large: a line longer than %1 MiB").arg(pageBudget >> 20));
        return;
    }
    if (firstFeed < 0) {
        m_partial += piece;
        return;
    }
    // The piece stays as it is until the rule asks for the next.
    const qsizetype lastFeed = piece.lastIndexOf('\n');
    m_lines = std::exchange(m_partial, piece.sliced(lastFeed + 1).toByteArray());
    m_lines += piece.first(firstFeed);
    m_hasRest = lastFeed > firstFeed;
    m_rest = m_hasRest ? piece.sliced(firstFeed + 1, lastFeed - firstFeed - 1) : QByteArrayView();
    m_inRest = false;
    next = 0;
}

void PageLines::endOfPage()
{
    if (m_pageEmpty || m_stopped)
        return;
    m_lines = std::exchange(m_partial, {});
    m_hasRest = m_inRest = false;
    next = 0;
}

bool PageLines::pending()
{
    if (next <= lines().size())
        return true;
    if (m_inRest || !m_hasRest)
        return false;
    m_inRest = true;
    next = 0;
    return true;
}

void PageLines::done()
{
    m_lines.clear();
    m_rest = {};
    m_hasRest = m_inRest = false;
    next = 1;
}

void PageLines::stop()
{
    done();
    m_partial = {};
    m_stopped = true;
}
