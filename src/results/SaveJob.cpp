#include "results/SaveJob.h"

#include "model/WorkSlice.h"

#include <QFileInfo>
#include <QSaveFile>

namespace {
// Bytes gathered before each write: few system calls, little memory.
constexpr qsizetype bufferBytes = 1 << 20;
} // namespace

SaveJob::SaveJob(ResultRows rows, SaveFormat format, const QString &path, QObject *parent)
    : QObject(parent), m_rows(std::move(rows)), m_format(format), m_path(path)
{
}

SaveJob::~SaveJob() = default;

void SaveJob::start()
{
    continueLater(this, [this] { step(); });
}

void SaveJob::step()
{
    if (!advance(WorkSlice()))
        continueLater(this, [this] { step(); });
    else if (failed())
        emit finished(
            {QStringLiteral("%1 could not be saved to %2.\n%3").arg(m_subject, m_path, m_error)});
    else
        emit finished({});
}

bool SaveJob::advance(const WorkSlice &slice)
{
    switch (m_stage) {
    case Stage::Opening:
        if (!open())
            break;
        // One block, kept for the whole save: a fresh one at each write would
        // cost its page faults again every megabyte.
        m_buffer.reserve(bufferBytes + 64 * 1024);
        m_buffer += RowFormat::begin(m_format, m_columns);
        m_stage = Stage::Writing;
        [[fallthrough]];
    case Stage::Writing:
        if (!writeRows(slice))
            return m_stage == Stage::Ended;
        m_stage = Stage::Closing;
        [[fallthrough]];
    case Stage::Closing:
        close();
        break;
    case Stage::Ended:
        break;
    }
    m_stage = Stage::Ended;
    m_file.reset();
    return true;
}

bool SaveJob::open()
{
    const QFileInfo target(m_path);
    // A device or a pipe cannot be replaced by renaming a file over it.
    m_replacing = !target.exists() || target.isFile();
    if (m_replacing)
        m_file = std::make_unique<QSaveFile>(m_path);
    else
        m_file = std::make_unique<QFile>(m_path);
    // Unbuffered: our own buffer is large, and a failing write reports its
    // cause at once rather than at a later flush that only knows it failed.
    if (!m_file->open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        fail(m_file->errorString());
        return false;
    }
    return true;
}

// False while rows are left or once it failed.
bool SaveJob::writeRows(const WorkSlice &slice)
{
    while (m_next < m_rows.size()) {
        RowFormat::append(m_buffer, m_rows.siteUtf8At(m_next), m_rows.textUtf8At(m_next),
                          m_rows.kindAt(m_next), m_format, nullptr, m_columns);
        ++m_next;
        if (m_buffer.size() >= bufferBytes && !flushBuffer())
            return false;
        if (slice.expired() && m_next < m_rows.size())
            return false;
    }
    m_buffer += RowFormat::end(m_format);
    return flushBuffer();
}

bool SaveJob::flushBuffer()
{
    // A short write is followed by another, which names the cause (a full
    // disk, a size limit) if there is one.
    qsizetype done = 0;
    while (done < m_buffer.size()) {
        const qint64 written = m_file->write(m_buffer.constData() + done, m_buffer.size() - done);
        if (written <= 0) {
            fail(m_file->errorString());
            m_stage = Stage::Ended;
            m_file.reset();
            return false;
        }
        done += written;
    }
    m_buffer.resize(0); // keeps its block
    return true;
}

void SaveJob::close()
{
    if (m_replacing) {
        auto *file = static_cast<QSaveFile *>(m_file.get());
        if (!file->commit())
            fail(file->errorString());
        return;
    }
    m_file->close();
    if (m_file->error() != QFileDevice::NoError)
        fail(m_file->errorString());
}

void SaveJob::fail(const QString &reason)
{
    if (m_error.isEmpty())
        m_error = reason.isEmpty() ? QStringLiteral("Unknown error") : reason;
}
