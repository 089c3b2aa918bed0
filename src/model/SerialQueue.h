#pragma once

#include "model/UserMessage.h"

#include <QObject>
#include <QPointer>

#include <deque>
#include <functional>

// A piece of work that a SerialQueue runs: it starts when told, advances on
// the event loop, and says once, by finished(), that it is done, with what it
// has to tell the user, if anything.
class QueuedJob : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    virtual void start() = 0;
    // Ends the job soon, keeping what it has done; finished() follows.
    virtual void stop() = 0;

signals:
    void finished(const UserMessage &message);
};

// Runs jobs one at a time, in the order asked: a job asked for while another
// is under way starts once that one has finished, from the event loop rather
// than from inside the one that just finished. What a job has to tell the user
// is passed on by reported() once the job is gone, before the next one starts.
class SerialQueue : public QObject
{
    Q_OBJECT
public:
    // Makes a job, a child of the queue, when its turn comes.
    using Make = std::function<QueuedJob *()>;

    using QObject::QObject;

    void enqueue(Make make);
    // Drops the jobs waiting their turn and stops the one under way.
    void stop();
    // A job under way or waiting its turn.
    bool isRunning() const { return m_current || !m_pending.empty(); }

signals:
    void reported(const UserMessage &message);
    void idle();

private:
    void startNext();
    void jobFinished(const UserMessage &message);

    QPointer<QueuedJob> m_current;
    std::deque<Make> m_pending;
};
