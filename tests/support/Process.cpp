#include "support/Process.h"

#include <QFile>
#include <QList>

#include <csignal>
#include <grp.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

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

qint64 ProcessMemory::residentKiB()
{
    return statusKiB("VmRSS:");
}

qint64 ProcessMemory::peakKiB()
{
    return statusKiB("VmHWM:");
}

std::optional<QByteArray> inChild(ChildLimit limit, const std::function<QByteArray()> &work)
{
    int channel[2];
    if (pipe(channel) != 0)
        return std::nullopt;
    const pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        bool ready = true;
        if (limit == ChildLimit::FileSize100) {
            signal(SIGXFSZ, SIG_IGN); // a write past the limit fails instead of killing
            const rlimit small{100, 100};
            ready = setrlimit(RLIMIT_FSIZE, &small) == 0;
        } else if (geteuid() == 0) {
            ready = setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0;
        }
        const QByteArray said = ready ? work() : QByteArray();
        const bool written = write(channel[1], said.constData(), size_t(said.size())) == said.size();
        _exit(ready && written ? 0 : 3); // the parent's state is not the child's to tear down
    }
    close(channel[1]);
    QByteArray said;
    char buffer[4096];
    for (ssize_t got; (got = read(channel[0], buffer, sizeof buffer)) > 0;)
        said.append(buffer, got);
    close(channel[0]);
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        return std::nullopt;
    return said;
}
