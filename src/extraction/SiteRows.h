#pragma once

#include "results/ResultSink.h"

#include "platform/PageFetcher.h"

#include <QSet>

#include <deque>
#include <optional>

class RunHost;
class WorkSlice;
struct RuleEntry;

// The rows of the site being worked on: the one place where what a rule
// finds becomes rows. A hit becomes a row with or without the address as
// "Include Website URL in Results" says, unless it is empty or, for a rule
// whose entry honours "Keep Duplicates", equal to a result already listed;
// the address-only row comes where the rule's entry places it. The options
// are read once a slice: nothing the user does can change them before the
// run yields again.
//
// Rows are held back while the page is still arriving: a page that fails
// midway gives no rows, as if it had been fetched whole before the rule saw
// it. Once the page is known to be whole, or has been arriving too long for
// its rows to wait, the rows held go on in order and later ones pass
// straight through. The questions about rows already listed count the held
// ones too.
class SiteRows
{
public:
    explicit SiteRows(ResultSink &results) : m_results(results) {}

    // A new site: nothing held, rows held until release().
    void begin(const QString &site, const RuleEntry &entry, const RunHost &host);
    // The run is about to yield and come back: options are read afresh.
    void newSlice() { m_optionsRead = false; }

    // What the rule found; text given as UTF-8 must be valid UTF-8.
    void hit(QStringView text);
    void hit(const QString &text); // shared, not copied, for the question of duplicates
    void hitUtf8(QByteArrayView text);
    // An element's fields (one a take): a row even when empty, a record row
    // when several.
    void hitElement(const QList<QByteArray> &fields);
    // Something the rule cut or left out of the page, for the user to know.
    void note(const QString &text);
    // The rule tested a line: the address row may follow, for rules whose
    // entry places it after lines. Rules call this after the first line of
    // every call at least; after that, the address shows or the options are
    // off until the run yields.
    void lineTested();
    // The rule is done with the page: the address row may follow, for rules
    // whose entry places it after the page.
    void pageDone();
    // The rule cannot read the page (a line too long to hold, a pattern that
    // could not be decided): the site fails, as a page that could not be
    // fetched, for that reason. The rule then stops.
    void fail(FetchError kind, const QString &reason);
    // The failure the rule met, once; none after it was taken.
    std::optional<FetchResult> takeFailure() { return std::exchange(m_failure, std::nullopt); }

    // The page arrived whole, or is slow to: rows are no longer held.
    void release() { m_passing = true; }
    bool released() const { return m_passing; }
    bool holding() const { return !m_held.empty(); }
    qint64 heldBytes() const { return m_heldBytes; } // about
    // Hands on held rows until the slice expires; true once none is left.
    bool flush(const WorkSlice &slice);
    // The page failed: the rows held are dropped.
    void drop();

private:
    void readOptions();
    void addressRow();
    void hitText(QStringView text, const QString *shared);
    void keep(QByteArrayView text, ResultRow::Kind kind);
    bool showsAddress() const;
    bool holdsResult(const QString &result) const;

    ResultSink &m_results;
    QString m_site;
    const RuleEntry *m_entry = nullptr;
    const RunHost *m_host = nullptr;
    bool m_optionsRead = false;
    bool m_includeAddress = false;
    bool m_addressIfNothing = false;
    bool m_dropDuplicates = false;
    std::optional<FetchResult> m_failure;

    // In batches, so that each goes on whole and a slice still ends in time.
    std::deque<ResultRows> m_held;
    bool m_passing = false;
    qint64 m_heldBytes = 0;
    qsizetype m_showingSite = 0; // held rows that show the site
    // Built on first use: only rules that drop duplicates ask.
    mutable QSet<QString> m_heldResults;
    mutable bool m_indexed = false;
};
