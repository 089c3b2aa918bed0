#pragma once

#include "extraction/RunHost.h"

#include <QByteArrayView>
#include <QString>

#include <memory>

class ResultSink;
class WorkSlice;

// One rule over one site's page. The page comes as UTF-8 pieces cut anywhere,
// even inside a character; the rule keeps only what the pieces after it still
// need (a partial line, the text the passes may still read), and reads its
// texts and options afresh as it goes.
class PageRule
{
public:
    virtual ~PageRule() = default;

    // The next piece of the page; given only once advance() asked for more,
    // and left as it is until advance() asks again.
    virtual void take(QByteArrayView piece) = 0;
    // The page has ended, told as a piece is; a page that failed to come is
    // an empty one.
    virtual void endOfPage() = 0;
    // Works until the slice expires. True once it did all it can with what it
    // was given: then it asks for the next piece or, after endOfPage(), the
    // site is done, its address row included.
    virtual bool advance(const WorkSlice &slice) = 0;
    // Bytes the rule holds of the page, counted against the run's page budget.
    virtual qint64 heldBytes() const { return 0; }
};

// What is asked of a rule before a run starts: its kind, texts and options as
// the window or the command line has them.
struct RuleDescription
{
    Rule kind = Rule::WithText;
    QString text; // the with- or without-text
    QString start, end;
    bool keepDuplicates = false;
    bool includeAddress = false;
    bool includeAddressIfNothingFound = false;
    // Which texts are regular expressions.
    bool textPattern = false;
    bool startPattern = false;
    bool endPattern = false;

    // The controls of a host as they are now.
    static RuleDescription read(Rule kind, const RunHost &host);
    // The message that refuses a run before it starts, or an empty text.
    QString problem(qsizetype siteCount) const;
    // Whether a row equal to one already listed is dropped.
    bool dropsDuplicates() const;
};

// A rule's entry: the run asks it everything that differs between rules.
struct RuleEntry
{
    Rule kind;
    QString (*problem)(const RuleDescription &rule, qsizetype siteCount);
    std::unique_ptr<PageRule> (*make)(Rule kind, const QString &address, RunHost &host,
                                      ResultSink &results);
    bool honoursKeepDuplicates;
    // "Done." and the idle pointer after every site rather than after the run.
    bool doneAfterEverySite;
};

const RuleEntry &ruleEntry(Rule kind);
