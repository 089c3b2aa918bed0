#pragma once

#include <QByteArray>

#include <functional>
#include <optional>

// This process's memory, for the bounds tests put on it.
namespace ProcessMemory {
#if defined(__SANITIZE_ADDRESS__)
constexpr bool measurable = false; // the sanitizer's shadow and quarantine swamp it
#else
constexpr bool measurable = true;
#endif
// Gives freed memory back and starts a new peak; call before measuring.
void startNewPeak();
qint64 residentKiB();
qint64 peakKiB(); // since the last startNewPeak()
} // namespace ProcessMemory

enum class ChildLimit
{
    Unprivileged, // root's rights given up, so that file permissions bite
    FileSize100   // files may not grow past 100 bytes, as on a full disk
};

// Runs work in a forked child under the limit and returns what it returned,
// or nothing when the child could not run or failed.
std::optional<QByteArray> inChild(ChildLimit limit, const std::function<QByteArray()> &work);
