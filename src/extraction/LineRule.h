#pragma once

#include "extraction/PageRule.h"

#include <QByteArray>

// The with-text and without-text filters: every line of the page is tested as
// it completes, and the address row may follow any line. The text is literal,
// or a regular expression while the host says so, read at every call.
class LineRule : public PageRule
{
public:
    LineRule(Rule kind, const QString &address, RunHost &host, ResultSink &results);

    static QString problem(const RuleDescription &rule, qsizetype siteCount);

    void take(QByteArrayView piece) override;
    void endOfPage() override;
    bool advance(const WorkSlice &slice) override;

protected:
    // Bytes tested between two looks at the clock: small enough that a slice
    // of many hits overruns its budget by little.
    static constexpr qsizetype bytesPerCheck = 32 * 1024;

    bool advancePattern(const WorkSlice &slice);
    // The address row after the first piece of a call: what the rule and
    // the options say then decides it for the rest of the call.
    void addAddressRow();

    Rule m_kind;
    QString m_address;
    RunHost &m_host;
    ResultSink &m_results;

    QByteArrayView lines() const { return m_inRest ? m_rest : QByteArrayView(m_lines); }
    bool moveToRest();
    void linesDone();

    // Whole lines without their last line feed, tested from m_next on: first
    // the line a piece completed, then (m_inRest) the piece's later whole
    // lines, read where they are. None are left once m_next is past the end.
    QByteArray m_lines;
    QByteArrayView m_rest;
    bool m_hasRest = false;
    bool m_inRest = false;
    qsizetype m_next = 1;
    QByteArray m_partial; // the line the last piece ended in
    bool m_pageEmpty = true;
};
