#include "model/BatchedListModel.h"

#include <QTimer>

namespace {
// Views lay out every row again on each insert, which costs tens of
// milliseconds at a million rows: once a list is long, let new rows gather.
constexpr int longList = 20000;
constexpr int longListDelayMs = 100;
} // namespace

int BatchedListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_published;
}

void BatchedListModel::rowsStored()
{
    if (m_flushQueued)
        return;
    m_flushQueued = true;
    QTimer::singleShot(m_published < longList ? 0 : longListDelayMs, this,
                       &BatchedListModel::publishPending);
}

void BatchedListModel::publishPending()
{
    m_flushQueued = false;
    const int stored = storedCount();
    if (stored <= m_published)
        return;
    beginInsertRows({}, m_published, stored - 1);
    m_published = stored;
    endInsertRows();
}
