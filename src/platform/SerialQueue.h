#pragma once

#include <QObject>

#include <deque>
#include <functional>

// Runs jobs one at a time, in the order asked: a job asked for while another
// is under way starts once that one has finished, from the event loop rather
// than from inside the one that just finished.
class SerialQueue : public QObject
{
    Q_OBJECT
public:
    // Called by a job's object once it has finished; the queue deletes it.
    using Finished = std::function<void(QObject *job)>;
    // Creates a job's object, wires its end to finished, and starts it.
    using Job = std::function<void(const Finished &finished)>;

    using QObject::QObject;

    void enqueue(Job job);
    bool isRunning() const { return m_running; }

signals:
    void idle();

private:
    void startNext();

    bool m_running = false;
    std::deque<Job> m_pending;
};
