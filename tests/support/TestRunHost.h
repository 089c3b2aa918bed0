#pragma once

#include "extraction/RunHost.h"

#include <QStringList>

// The controls a run reads, as plain fields, and what it shows, recorded.
class TestRunHost : public RunHost
{
public:
    QString rule;
    QString start;
    QString end;
    bool keep = true;
    bool include = false;
    bool evenIfNothing = false;

    QStringList statuses;
    bool busy = false;

    QString ruleText(Rule) const override { return rule; }
    QString startText() const override { return start; }
    QString endText() const override { return end; }
    bool keepDuplicates() const override { return keep; }
    bool includeAddress() const override { return include; }
    bool includeAddressIfNothingFound() const override { return evenIfNothing; }
    void setStatus(const QString &status) override { statuses << status; }
    void setBusy(bool value) override { busy = value; }
};
