#pragma once

#include <QString>

// Prints the summary of a results file: one line per scenario and tool with
// the median time, peak memory, longest stall and page faults, then
// Quillora's ratio to each peer. Lines of the file are tab-separated:
// scenario, tool, seconds, peak KiB, longest stall in ms ("-" for peers),
// minor page faults.
bool printTable(const QString &path);

// The median of one column (seconds, peakKiB, stallMs or faults) for a scenario and
// tool, or a negative number when there is none.
double medianOf(const QString &path, const QString &scenario, const QString &tool,
                const QString &column);
