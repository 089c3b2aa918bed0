#pragma once

#include <QObject>

class QSocketNotifier;

// Standard streams a shell may have closed would otherwise be taken by the
// next descriptor opened, Qt's own among them: each is opened on /dev/null.
// Call first, before anything opens a file. Whether standard input was closed.
bool openClosedStreams();

// Turns SIGINT and SIGTERM into a signal on the event loop (the handler only
// writes to a pipe), so the run can stop like a press of Escape, and a second
// one can hurry its end. A third ends the process at once, with the stream
// flags put back. The flags of the
// standard streams as they were at construction are put back on destruction.
class StopSignals : public QObject
{
    Q_OBJECT
public:
    explicit StopSignals(QObject *parent = nullptr);
    ~StopSignals() override;

signals:
    // The signal number; 128 plus it is the exit status.
    void stopAsked(int signal);

private:
    QSocketNotifier *m_notifier = nullptr;
};
