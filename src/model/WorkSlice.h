#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <utility>

// Long work runs in short slices and returns to the event loop between them,
// so the window repaints and answers input while it goes on.
class WorkSlice
{
public:
    static constexpr qint64 defaultBudgetNs = 4'000'000;

    explicit WorkSlice(qint64 budgetNs = defaultBudgetNs) : m_budgetNs(budgetNs)
    {
        m_timer.start();
    }
    bool expired() const { return m_timer.nsecsElapsed() >= m_budgetNs; }

private:
    QElapsedTimer m_timer;
    qint64 m_budgetNs;
};

// Runs fn from the event loop once pending events have been handled; dropped
// when context is destroyed first.
template <typename Fn> void continueLater(QObject *context, Fn &&fn)
{
    QTimer::singleShot(0, context, std::forward<Fn>(fn));
}
