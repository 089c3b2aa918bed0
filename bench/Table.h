#pragma once

#include <QString>

// Prints the summary of a results file: one line per scenario and tool with
// the median time, the median peak memory and the longest stall, then
// Quillora's ratio to each peer. Lines of the file are tab-separated:
// scenario, tool, seconds, peak KiB, longest stall in ms ("-" for peers).
bool printTable(const QString &path);

// The median of one column (seconds, peakKiB or stallMs) for a scenario and
// tool, or a negative number when there is none.
double medianOf(const QString &path, const QString &scenario, const QString &tool,
                const QString &column);
