#pragma once

#include "model/BatchedListModel.h"
#include "model/TextList.h"

#include <QStringList>

// The ordered addresses an extraction run visits. Rows are addressed from 0;
// duplicates are allowed and nothing is validated.
class SiteList : public BatchedListModel
{
    Q_OBJECT
public:
    using BatchedListModel::BatchedListModel;

    int count() const { return int(m_rows.size()); }
    QString text(int row) const { return row >= 0 && row < count() ? m_rows.text(row) : QString(); }
    QStringList texts() const;
    // The addresses as they are now; a copy costs nothing until the list changes.
    const TextList &rows() const { return m_rows; }

    void append(const QString &address);
    void append(const QStringList &addresses);
    // The same, taking the addresses over: a million of them cost no copy.
    void append(TextList &&addresses);
    // One row per non-empty line of pasted or dropped text, through AddHttp.
    // Unlike an address file, empty lines and a final line end add nothing.
    void appendLines(const QString &text);
    void setText(int row, const QString &address);
    void removeAt(int row);
    void clear();

    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

protected:
    int storedCount() const override { return int(m_rows.size()); }

private:
    TextList m_rows;
};
