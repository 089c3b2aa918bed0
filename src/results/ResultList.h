#pragma once

#include "model/BatchedListModel.h"
#include "results/ResultSink.h"

#include <QHash>
#include <QStringList>

#include <vector>

// The rows the extraction rules append, in order. Each row remembers how it
// was made (the address it shows, the result it holds) so that "is this
// address already shown" and "is this result already listed" are exact,
// constant-time questions rather than substring scans over every row.
class ResultList : public BatchedListModel, public ResultSink
{
    Q_OBJECT
public:
    using BatchedListModel::BatchedListModel;

    int count() const { return int(m_rows.size()); }
    QString text(int row) const;
    QStringList texts() const;

    void appendResult(const QString &address, const QString &result) override;
    void appendAddress(const QString &address) override;
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
    enum class Kind : quint8
    {
        Result,
        Address
    };
    struct Row
    {
        QString text;
        qint32 addressLength; // -1 when the row shows no address
        Kind kind;
    };
    static QString resultOf(const Row &row);
    void forget(const Row &row);

    std::vector<Row> m_rows;
    QHash<QString, int> m_addressRows;
    // Built on first use: line filters never ask, and a million rows of them
    // should not pay for it.
    mutable QHash<QString, int> m_results;
    mutable bool m_resultsIndexed = false;
};
