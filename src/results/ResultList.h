#pragma once

#include "model/BatchedListModel.h"
#include "results/ResultSink.h"

#include <QHash>
#include <QStringList>

// The rows the extraction rules append, in order. Each row knows its site, its
// result and whether it shows the address, so that "is this address already
// shown" and "is this result already listed" are exact, constant-time
// questions rather than substring scans over every row.
class ResultList : public BatchedListModel, public ResultSink
{
    Q_OBJECT
public:
    using BatchedListModel::BatchedListModel;

    int count() const { return int(m_rows.size()); }
    QString text(int row) const;
    QStringList texts() const;
    // The rows as they are now; a copy costs nothing until the list changes.
    const ResultRows &rows() const { return m_rows; }

    using ResultSink::append;
    void append(const QString &site, QByteArrayView text, ResultRow::Kind kind) override;
    void appendRows(ResultRows &&rows) override;
    void removeAt(int row);
    void clear();
    bool showsAddress(const QString &address) const override
    {
        return m_addressRows.value(address) > 0;
    }
    bool holdsResult(const QString &result) const override;

    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

protected:
    int storedCount() const override { return int(m_rows.size()); }

private:
    void forget(qsizetype row);

    ResultRows m_rows;
    QHash<QString, int> m_addressRows;
    // Built on first use: line filters never ask, and a million rows of them
    // should not pay for it.
    mutable QHash<QString, int> m_results;
    mutable bool m_resultsIndexed = false;
};
