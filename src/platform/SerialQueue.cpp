#include "platform/SerialQueue.h"

#include "platform/WorkSlice.h"

void SerialQueue::enqueue(Job job)
{
    m_pending.push_back(std::move(job));
    if (!m_running)
        startNext();
}

void SerialQueue::startNext()
{
    if (m_pending.empty()) {
        emit idle();
        return;
    }
    const Job job = std::move(m_pending.front());
    m_pending.pop_front();
    m_running = true;
    job([this](QObject *finished) {
        finished->deleteLater();
        m_running = false;
        continueLater(this, [this] {
            if (!m_running)
                startNext();
        });
    });
}
