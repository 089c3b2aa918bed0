#pragma once

#include "model/UserMessage.h"
#include "results/ResultRow.h"

#include <QByteArray>
#include <QObject>
#include <QStringList>

#include <memory>

class QFileDevice;
class WorkSlice;

// Writes rows to a file a slice at a time, in UTF-8 without a byte-order mark.
// A regular file is written beside the target and replaces it only once every
// byte is written, so a failure or an abandoned job leaves the old file as it
// was; a target that is a device or a pipe is written directly.
class SaveJob : public QObject
{
    Q_OBJECT
public:
    // rows is the snapshot written, whatever happens to the list meanwhile.
    SaveJob(ResultRows rows, SaveFormat format, const QString &path, QObject *parent = nullptr);
    // Destroying an unfinished job discards what it wrote.
    ~SaveJob() override;

    // Writes in slices on the event loop; finished() follows, with why the
    // save failed if it did.
    void start();
    // Writes until the slice expires; true once the job has ended.
    bool advance(const WorkSlice &slice);

    // The result columns of record rows (see RowFormat::begin()).
    void setColumns(const QStringList &columns) { m_columns = columns; }
    // Names what is saved in the failure message; "The results" unless set.
    void setSubject(const QString &subject) { m_subject = subject; }
    QString path() const { return m_path; }
    bool failed() const { return !m_error.isEmpty(); }
    // Why the save failed: the first error met.
    QString error() const { return m_error; }

signals:
    void finished(const UserMessage &message);

private:
    void step();
    bool open();
    bool writeRows(const WorkSlice &slice);
    bool flushBuffer();
    void close();
    void fail(const QString &reason);

    enum class Stage
    {
        Opening,
        Writing,
        Closing,
        Ended
    };

    ResultRows m_rows;
    SaveFormat m_format;
    QStringList m_columns;
    QString m_path;
    QString m_subject = QStringLiteral("The results");
    Stage m_stage = Stage::Opening;
    std::unique_ptr<QFileDevice> m_file;
    bool m_replacing = false; // m_file is a QSaveFile
    qsizetype m_next = 0;
    QByteArray m_buffer;
    QString m_error;
};
