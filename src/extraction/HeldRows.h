#pragma once

#include "results/ResultSink.h"

#include <QSet>

#include <deque>

class WorkSlice;

// The rows of the site being worked on, held back while its page is still
// arriving: a page that fails midway gives no rows, as if it had been fetched
// whole before the rule saw it. Once the page is known to be whole, or has
// been arriving too long for its rows to wait, the rows held go on in order
// and later ones pass straight through. The questions a
// rule asks about rows already listed count the held ones too.
class HeldRows : public ResultSink
{
public:
    explicit HeldRows(ResultSink &results) : m_results(results) {}

    // A new site: nothing held, rows held until release().
    void begin(const QString &site);
    // The page arrived whole, or is slow to: rows are no longer held.
    void release() { m_passing = true; }
    bool released() const { return m_passing; }
    bool holding() const { return !m_held.empty(); }
    // Hands on held rows until the slice expires; true once none is left.
    bool flush(const WorkSlice &slice);
    // The page failed: the rows held are dropped.
    void drop();

    void append(ResultRow row) override;
    bool showsAddress(const QString &address) const override;
    bool holdsResult(const QString &result) const override;

private:
    ResultSink &m_results;
    QString m_site;
    // In batches, so that each goes on whole and a slice still ends in time.
    std::deque<ResultRows> m_held;
    bool m_passing = false;
    qsizetype m_showingSite = 0; // held rows that show the site
    // Built on first use: only the between rule asks, and only to drop duplicates.
    mutable QSet<QString> m_heldResults;
    mutable bool m_indexed = false;
};
