#include "support/ProcessMemory.h"

#include <QByteArrayView>
#include <QFile>
#include <QList>

#include <malloc.h>

namespace {

qint64 statusKiB(QByteArrayView field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field) && line.size() > field.size() && line[field.size()] == ':')
            return line.mid(field.size() + 1).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

} // namespace

void ProcessMemory::fixMmapThreshold()
{
    mallopt(M_MMAP_THRESHOLD, 1024 * 1024);
}

void ProcessMemory::startNewPeak()
{
    malloc_trim(0);
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5"); // resets VmHWM to the current resident size
}

qint64 ProcessMemory::residentKiB()
{
    return statusKiB("VmRSS");
}

qint64 ProcessMemory::peakKiB()
{
    return statusKiB("VmHWM");
}
