#include "support/Process.h"

#include <QFile>

#include <malloc.h>

namespace {
qint64 statusKiB(QByteArrayView field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(field.size()).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}
} // namespace

void ProcessMemory::startNewPeak()
{
    // Large blocks are mapped, so that freeing them gives them back at once.
    mallopt(M_MMAP_THRESHOLD, 1024 * 1024);
    malloc_trim(0);
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5"); // the peak starts again from the current size
}

qint64 ProcessMemory::peakKiB()
{
    return statusKiB("VmHWM:");
}
