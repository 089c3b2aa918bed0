#pragma once

#include <QByteArray>

// This process's memory, for the bounds tests put on it.
namespace ProcessMemory {
#if defined(__SANITIZE_ADDRESS__)
constexpr bool measurable = false; // the sanitizer's shadow and quarantine swamp it
#else
constexpr bool measurable = true;
#endif
// Gives freed memory back and starts a new peak; call before measuring.
void startNewPeak();
qint64 peakKiB(); // since the last startNewPeak()
} // namespace ProcessMemory
