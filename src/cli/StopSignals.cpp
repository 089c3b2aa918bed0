#include "cli/StopSignals.h"

#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

int s_pipe[2] = {-1, -1};
int s_streamFlags[3] = {-1, -1, -1};
volatile sig_atomic_t s_signals = 0;

void restoreStreamFlags()
{
    for (int fd = 0; fd < 3; ++fd) {
        if (s_streamFlags[fd] != -1)
            fcntl(fd, F_SETFL, s_streamFlags[fd]);
    }
}

// Only async-signal-safe calls here. The first two go to the event loop, which
// stops the run, then hurries it; a third, should the loop not answer, ends
// the process at once.
extern "C" void onStopSignal(int signal)
{
    const sig_atomic_t before = s_signals;
    s_signals = before + 1;
    if (before > 1) {
        restoreStreamFlags();
        _exit(128 + signal);
    }
    const int saved = errno;
    const char number = char(signal);
    [[maybe_unused]] const ssize_t written = write(s_pipe[1], &number, 1);
    errno = saved;
}

} // namespace

bool openClosedStreams()
{
    bool inputClosed = false;
    for (int fd = 0; fd < 3; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        inputClosed = inputClosed || fd == 0;
        // The lowest free descriptor is the one just found closed.
        const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened != fd && opened >= 0)
            close(opened);
    }
    return inputClosed;
}

StopSignals::StopSignals(QObject *parent) : QObject(parent)
{
    for (int fd = 0; fd < 3; ++fd)
        s_streamFlags[fd] = fcntl(fd, F_GETFL);
    if (pipe2(s_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    m_notifier = new QSocketNotifier(s_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        char number = 0;
        while (read(s_pipe[0], &number, 1) == 1)
            emit stopAsked(number);
    });
    struct sigaction action
    {
    };
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

StopSignals::~StopSignals()
{
    struct sigaction action
    {
    };
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    restoreStreamFlags();
}
