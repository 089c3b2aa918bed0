#pragma once

#include "results/ResultRow.h"

// Where a run's rows go, and what it asks of the rows already there. Both
// questions are exact: an equal address or result, not a substring of a row.
class ResultSink
{
public:
    virtual ~ResultSink() = default;
    // One row, its text as UTF-8 (empty for an address row).
    virtual void append(const QString &site, QByteArrayView text, ResultRow::Kind kind) = 0;
    void append(const ResultRow &row) { append(row.site, row.text.toUtf8(), row.kind); }
    // Rows in order, as append() would take them one by one; rows is emptied.
    virtual void appendRows(ResultRows &&rows)
    {
        for (qsizetype index = 0; index < rows.size(); ++index)
            append(rows.siteAt(index), rows.textUtf8At(index), rows.kindAt(index));
        rows.clear();
    }
    // Whether a row shows exactly this address: its address-only row or a
    // result row made with it in front.
    virtual bool showsAddress(const QString &address) const = 0;
    // Whether a row holds exactly this result, whatever address it carries.
    virtual bool holdsResult(const QString &result) const = 0;
};
