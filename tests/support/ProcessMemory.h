#pragma once

#include <QtGlobal>

// This process's resident memory, for the bounds that tests put on it.
namespace ProcessMemory {

#if defined(__SANITIZE_ADDRESS__)
// ASan's quarantine and shadow memory make resident sizes meaningless.
constexpr bool measurable = false;
#else
constexpr bool measurable = true;
#endif

// Keeps glibc from raising its mmap threshold after each large free, which
// would leave big buffers resident and hide the next allocation's cost.
// Call once, early.
void fixMmapThreshold();
// Hands freed memory back to the system, then starts a new peak.
void startNewPeak();
qint64 residentKiB();
qint64 peakKiB(); // since the last startNewPeak(), or the start

} // namespace ProcessMemory
