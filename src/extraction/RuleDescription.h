#pragma once

#include "extraction/Rule.h"

#include <QString>
#include <QStringList>

// What is asked of a rule before a run starts: its kind, texts and options as
// the window or the command line has them (see describeRule()).
struct RuleDescription
{
    Rule kind = Rule::WithText;
    QString text; // the with- or without-text, or the pattern to match
    QString start, end;
    bool keepDuplicates = false;
    bool includeAddress = false;
    bool includeAddressIfNothingFound = false;
    // Which texts are regular expressions.
    bool textPattern = false;
    bool startPattern = false;
    bool endPattern = false;
    bool readsText = false;
    QStringList takes;
};
