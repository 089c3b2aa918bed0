#pragma once

#include "extraction/BetweenMarkers.h"

#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>

// Answers the passes from plain fields; beforePass may change them, as a user
// would between two passes. Rows already in the list are the seen set.
class ScriptedClient : public BetweenClient
{
public:
    QString start;
    QString end;
    bool keep = false;
    QSet<QString> listed;
    QStringList added;
    std::function<void(ScriptedClient &, int)> beforePass;

    QString startText() const override
    {
        // The start marker is read once at the top of every pass.
        if (beforePass)
            beforePass(const_cast<ScriptedClient &>(*this), passes);
        ++passes;
        return start;
    }
    QString endText() const override { return end; }
    bool keepDuplicates() const override { return keep; }
    bool holdsResult(const QString &result) const override { return listed.contains(result); }
    void addResult(const QString &result) override
    {
        listed.insert(result);
        added.append(result);
    }

    mutable int passes = 0;
};

// The passes exactly as the rule states them, copying and folding the whole
// text each time: the reference the engine must agree with.
// Returns the page as the passes leave it.
QString literalPasses(QString page, BetweenClient &client);
