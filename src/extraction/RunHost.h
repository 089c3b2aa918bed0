#pragma once

#include "extraction/Rule.h"

#include <QString>
#include <QStringList>

// What a run reads and shows while it works. Every getter reads the control
// afresh, so a change the user makes while the run waits takes effect at the
// next use.
class RunHost
{
public:
    virtual ~RunHost() = default;
    virtual QString
    ruleText(Rule rule) const = 0; // the rule's text box: the text, pattern or selector
    virtual QString startText() const = 0;
    virtual QString endText() const = 0;
    // Whether a text is a regular expression rather than literal text.
    virtual bool rulePattern(Rule) const { return false; }
    virtual bool startPattern() const { return false; }
    virtual bool endPattern() const { return false; }
    virtual bool keepDuplicates() const = 0;
    // Rules read a page's visible text rather than its HTML.
    virtual bool readsText() const { return false; }
    // What the selector rule takes of each element, by name ("text",
    // "attr:href"…): one field each.
    virtual QStringList takes() const { return {QStringLiteral("text")}; }
    virtual bool includeAddress() const = 0;               // "Include Website URL in Results"
    virtual bool includeAddressIfNothingFound() const = 0; // "... Even If Nothing Found"
    virtual void setStatus(const QString &status) = 0;
    // Something a rule cut or left out of a site's page (a capture past its limit).
    virtual void note(const QString &site, const QString &text) const
    {
        Q_UNUSED(site)
        Q_UNUSED(text)
    }
    virtual void setBusy(bool busy) = 0;
};
