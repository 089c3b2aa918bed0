#pragma once

#include "extraction/Rule.h"

#include <QString>

// What a run reads and shows while it works. Every getter reads the control
// afresh, so a change the user makes while the run waits takes effect at the
// next use.
class RunHost
{
public:
    virtual ~RunHost() = default;
    virtual QString ruleText(Rule rule) const = 0; // the with- or without-text box
    virtual QString startText() const = 0;
    virtual QString endText() const = 0;
    // Whether a text is a regular expression rather than literal text.
    virtual bool rulePattern(Rule) const { return false; }
    virtual bool startPattern() const { return false; }
    virtual bool endPattern() const { return false; }
    virtual bool keepDuplicates() const = 0;
    virtual bool includeAddress() const = 0;               // "Include Website URL in Results"
    virtual bool includeAddressIfNothingFound() const = 0; // "... Even If Nothing Found"
    virtual void setStatus(const QString &status) = 0;
    virtual void setBusy(bool busy) = 0;
};
