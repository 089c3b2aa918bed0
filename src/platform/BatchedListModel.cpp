#include "platform/BatchedListModel.h"

#include <QMetaObject>

int BatchedListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_published;
}

void BatchedListModel::rowsStored()
{
    if (m_flushQueued)
        return;
    m_flushQueued = true;
    QMetaObject::invokeMethod(this, &BatchedListModel::publishPending, Qt::QueuedConnection);
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
