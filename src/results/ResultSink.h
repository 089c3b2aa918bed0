#pragma once

#include <QString>

// Where a run's rows go, and what it asks of the rows already there. Both
// questions are exact: an equal address or result, not a substring of a row.
class ResultSink
{
public:
    virtual ~ResultSink() = default;
    // A hit row: the result alone, or "address,result" when address is not null.
    virtual void appendResult(const QString &address, const QString &result) = 0;
    // The address-only row.
    virtual void appendAddress(const QString &address) = 0;
    // Whether a row shows exactly this address: its address-only row or a
    // result row made with it in front.
    virtual bool showsAddress(const QString &address) const = 0;
    // Whether a row holds exactly this result, whatever address it carries.
    virtual bool holdsResult(const QString &result) const = 0;
};
