#include "cli/AddressStream.h"

#include "platform/FileExists.h"
#include "sitelist/ExtractLinks.h"
#include "sitelist/SiteList.h"
#include "sitelist/UrlMon.h"

#include <QSocketNotifier>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr qint64 chunkBytes = 64 * 1024;
} // namespace

AddressStream::AddressStream(const QList<CliOptions::Source> &sources, PageFetcher &fetcher,
                             QObject *parent)
    : SiteSource(parent), m_sources(sources), m_fetcher(fetcher)
{
}

AddressStream::~AddressStream()
{
    restoreInputFlags();
}

void AddressStream::restoreInputFlags()
{
    // The flags belong to the open pipe or terminal, which outlives us.
    if (m_inputFlags != -1)
        fcntl(STDIN_FILENO, F_SETFL, std::exchange(m_inputFlags, -1));
}

void AddressStream::stop()
{
    m_stopped = true;
}

SiteSource::Status AddressStream::site(qsizetype index, QString &address)
{
    while (index >= m_next && !m_ended) {
        if (!readSome())
            return Status::Pending;
    }
    if (index >= m_next)
        return Status::End;
    address = m_buffer[size_t(index - m_first)];
    return Status::Ready;
}

void AddressStream::release(qsizetype index)
{
    while (m_first < index && !m_buffer.empty()) {
        m_buffer.pop_front();
        ++m_first;
    }
}

void AddressStream::push(const QString &address)
{
    m_buffer.push_back(address);
    ++m_next;
}

void AddressStream::nextSource()
{
    m_file.reset();
    m_harvested.reset();
    m_harvestDone = false;
    ++m_source;
}

bool AddressStream::readSome()
{
    if (m_source >= m_sources.size()) {
        m_ended = true;
        return true;
    }
    const CliOptions::Source &source = m_sources[m_source];
    switch (source.kind) {
    case CliOptions::SourceKind::Url:
        push(AddHttp(source.value));
        nextSource();
        return true;
    case CliOptions::SourceKind::Sites:
        return readFile(source.value);
    case CliOptions::SourceKind::LinksOf:
        return harvest(source.value);
    }
    return true;
}

// The file's addresses by the rules of "Load List", a chunk at a time.
bool AddressStream::readFile(const QString &path)
{
    const bool standardInput = path == QLatin1String("-");
    if (!m_file) {
        m_file = std::make_unique<QFile>();
        struct stat info = {};
        const bool pipe =
            standardInput && fstat(STDIN_FILENO, &info) == 0 && !S_ISREG(info.st_mode);
        const bool opened = standardInput
                                ? m_file->open(STDIN_FILENO, QIODevice::ReadOnly)
                                : (m_file->setFileName(path), m_file->open(QIODevice::ReadOnly));
        if (!opened) {
            emit unreadable(QStringLiteral("The file \"%1\" could not be read: %2.")
                                .arg(path, m_file->errorString()));
            m_ended = true;
            return true;
        }
        if (pipe) {
            // A pipe is read as its data comes, never waiting in a read.
            m_inputFlags = fcntl(STDIN_FILENO, F_GETFL);
            fcntl(STDIN_FILENO, F_SETFL, m_inputFlags | O_NONBLOCK);
            m_readable = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
            connect(m_readable, &QSocketNotifier::activated, this, [this] {
                m_readable->setEnabled(false);
                emit moreSites();
            });
        }
    }
    QByteArray chunk(chunkBytes, Qt::Uninitialized);
    const qint64 got = m_readable ? ::read(STDIN_FILENO, chunk.data(), size_t(chunk.size()))
                                  : m_file->read(chunk.data(), chunk.size());
    if (got < 0 && m_readable && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        if (!m_stopped) {
            m_readable->setEnabled(true);
            return false;
        }
        // Stopped: a line the pipe has not finished is not listed.
        const QStringList pieces = m_splitter.takePieces();
        for (const QString &piece : pieces)
            pushLine(piece);
        delete std::exchange(m_readable, nullptr);
        restoreInputFlags();
        nextSource();
        return true;
    }
    if (got > 0)
        m_splitter.feed(QByteArrayView(chunk.constData(), got));
    const QStringList pieces = got > 0 ? m_splitter.takePieces() : m_splitter.finish();
    QString reason;
    if (got < 0)
        reason = m_readable ? QString::fromLocal8Bit(strerror(errno)) : m_file->errorString();
    else if (m_splitter.overlong())
        reason = QStringLiteral("it holds a line longer than %L1 characters")
                     .arg(AddressFileSplitter::maxPieceLength);
    if (!reason.isEmpty()) {
        emit unreadable(QStringLiteral("The file \"%1\" could not be read: %2.")
                            .arg(standardInput ? QStringLiteral("standard input") : path, reason));
        m_ended = true;
        return true;
    }
    for (const QString &piece : pieces)
        pushLine(piece);
    if (got == 0) {
        delete std::exchange(m_readable, nullptr);
        restoreInputFlags();
        nextSource();
    }
    return true;
}

void AddressStream::pushLine(const QString &line)
{
    const QString address = line.left(line.indexOf(u'\t'));
    if (!address.isEmpty())
        push(AddHttp(address));
}

// The page's own address and its links, once the harvest has them all.
bool AddressStream::harvest(const QString &typed)
{
    if (m_stopped && !m_harvestDone) {
        // Its links are not known: a rerun gets the page itself.
        delete m_harvest; // and with it the page file
        ExtractLinks base;
        base.SetBaseUrl(typed);
        push(base.BaseUrl);
        nextSource();
        return true;
    }
    if (!m_harvested) {
        m_harvested = std::make_unique<SiteList>();
        auto *harvest = new LinkHarvest(*m_harvested, m_fetcher, typed, this);
        m_harvest = harvest;
        connect(harvest, &QueuedJob::finished, this,
                [this, harvest, typed](const UserMessage &message) {
                    harvest->deleteLater();
                    m_harvestDone = true;
                    if (!message.text.isEmpty()) {
                        ExtractLinks base;
                        base.SetBaseUrl(typed);
                        emit harvestFailed(base.BaseUrl, harvest->reason(), harvest->failure());
                    }
                    emit moreSites();
                });
        harvest->start();
    }
    if (!m_harvestDone)
        return false;
    qsizetype overlong = 0;
    for (int row = 0; row < m_harvested->count(); ++row) {
        // Like an address line, a link longer than any browser takes is no address.
        const QString link = m_harvested->text(row);
        if (link.size() > AddressFileSplitter::maxPieceLength)
            ++overlong;
        else
            push(link);
    }
    if (overlong > 0)
        emit linksDropped(m_harvested->text(0), overlong);
    nextSource();
    return true;
}
