#pragma once

#include <QAbstractListModel>

// A one-column list model whose appends reach the views in batches: rows are
// stored at once, and the views learn of all new rows together on the next
// turn of the event loop. A million single-row inserts would otherwise cost a
// million layout requests.
class BatchedListModel : public QAbstractListModel
{
    Q_OBJECT
public:
    using QAbstractListModel::QAbstractListModel;

    int rowCount(const QModelIndex &parent = {}) const final;
    // Tells the views about every stored row now.
    void publishPending();

protected:
    // Number of rows held, published or not.
    virtual int storedCount() const = 0;
    // Call after appending to the storage.
    void rowsStored();
    // Wrap a removal of stored row `row`; the callback erases it from storage.
    template <typename Erase> void removeStored(int row, Erase erase)
    {
        if (row < m_published) {
            beginRemoveRows({}, row, row);
            erase();
            --m_published;
            endRemoveRows();
        } else {
            erase();
        }
    }
    template <typename Erase> void resetStored(Erase erase)
    {
        beginResetModel();
        erase();
        m_published = storedCount();
        endResetModel();
    }

private:
    int m_published = 0;
    bool m_flushQueued = false;
};
