#pragma once

#include "platform/PageFetcher.h"
#include "results/ResultSink.h"

#include <QObject>
#include <QSet>
#include <QStringList>

#include <cstdio>

// The rows of a command-line run, written to a stream as they come, each
// whole, in the format asked for; the stream is flushed once per turn of the
// event loop. It remembers only what the rules will ask of earlier rows, and
// the rows themselves only when they are to be saved.
class StreamedResults : public QObject, public ResultSink
{
    Q_OBJECT
public:
    struct Memory
    {
        bool results = false;   // for dropping duplicates
        bool addresses = false; // for address rows
        bool rows = false;      // for saving
    };
    StreamedResults(std::FILE *out, Memory memory, SaveFormat format, QObject *parent = nullptr);
    ~StreamedResults() override;

    // The result columns of record rows (see RowFormat::begin()).
    void setColumns(const QStringList &columns) { m_columns = columns; }
    // Where the rows that follow, those of one site, come from.
    void setPage(const QString &site, const FetchResult &fetch);
    // A site that failed, for the formats that list failures among the rows.
    void siteFailed(const QString &site, const QString &reason, FetchError kind);
    // What ends the output, once the last row is written.
    void close();
    // No row is written, nor kept, from now on.
    void stopRows() { m_rowsStopped = true; }

    using ResultSink::append;
    void append(const QString &site, QByteArrayView text, ResultRow::Kind kind) override;
    bool showsAddress(const QString &address) const override
    {
        return m_addresses.contains(address);
    }
    bool holdsResult(const QString &result) const override { return m_results.contains(result); }

    qsizetype count() const { return m_count; }
    const ResultRows &rows() const { return m_rows; }
    bool writeFailed() const { return m_writeFailed; }

signals:
    // The first failed write or flush, with its errno; nothing more is written.
    void outputFailed(int error);

private:
    void write(QByteArrayView bytes);
    QByteArray &pending();
    void written();
    void drain();
    void flush();
    void failed();

    std::FILE *m_out;
    Memory m_memory;
    SaveFormat m_format;
    QStringList m_columns;
    FetchResult m_page;
    QString m_site; // of the last row, and as UTF-8
    QByteArray m_siteUtf8;
    static constexpr qsizetype kPendingLimit = 64 << 10;
    QByteArray m_pending; // whole rows not yet handed to the stream
    bool m_begun = false; // what comes before the first row is written
    ResultRows m_rows;
    QSet<QString> m_addresses;
    QSet<QString> m_results;
    qsizetype m_count = 0;
    bool m_flushQueued = false;
    bool m_writeFailed = false;
    bool m_rowsStopped = false;
};
