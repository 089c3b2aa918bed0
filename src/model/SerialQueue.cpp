#include "model/SerialQueue.h"

#include "model/WorkSlice.h"

void SerialQueue::enqueue(Make make)
{
    m_pending.push_back(std::move(make));
    if (!m_current)
        startNext();
}

void SerialQueue::stop()
{
    m_pending.clear();
    if (m_current)
        m_current->stop();
}

void SerialQueue::startNext()
{
    if (m_pending.empty()) {
        emit idle();
        return;
    }
    const Make make = std::move(m_pending.front());
    m_pending.pop_front();
    m_current = make();
    connect(m_current, &QueuedJob::finished, this, &SerialQueue::jobFinished);
    m_current->start();
}

void SerialQueue::jobFinished(const UserMessage &message)
{
    m_current.data()->deleteLater(); // it is still emitting
    m_current = nullptr;
    continueLater(this, [this, message] {
        if (!message.text.isEmpty()) {
            const QPointer<SerialQueue> alive(this);
            emit reported(message);
            if (!alive) // the window closed while the message was up
                return;
        }
        if (!m_current)
            startNext();
    });
}
