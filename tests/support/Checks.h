#pragma once

#include <QDir>
#include <QFile>

#include <sys/resource.h>

inline QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

inline QString writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

// Hidden files too: a leftover temporary file must show.
inline QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
}

// The most memory this process has held so far, in MiB; 0 under the address
// sanitizer, whose shadow and quarantine swamp it.
inline qint64 peakMiB()
{
#ifdef __SANITIZE_ADDRESS__
    return 0;
#else
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
#endif
}

// The most memory this process has held since the last call, in MiB: the
// kernel's high-water mark, brought down to what is held now by each call.
// 0 under the address sanitizer.
inline qint64 peakMiBSinceLast()
{
#ifdef __SANITIZE_ADDRESS__
    return 0;
#else
    const QByteArray status = readAll(QStringLiteral("/proc/self/status"));
    const qsizetype at = status.indexOf("VmHWM:");
    const qint64 kib =
        at < 0 ? 0 : status.mid(at + 6, 20).trimmed().split(' ').first().toLongLong();
    writeFile(QStringLiteral("/proc/self/clear_refs"), "5");
    return kib / 1024;
#endif
}
