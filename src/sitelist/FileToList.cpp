#include "sitelist/FileToList.h"

#include "model/WorkSlice.h"
#include "platform/Utf8Validation.h"
#include "sitelist/SiteList.h"

#include <QDir>
#include <QSocketNotifier>
#include <QStringDecoder>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr QByteArrayView scheme("http://");

// A character takes at most three bytes a UTF-16 unit: a piece of more bytes
// is too long whatever it holds.
constexpr qsizetype maxPieceBytes = 3 * AddressFileSplitter::maxPieceLength;

qsizetype utf16Length(QByteArrayView utf8)
{
    if (!isValidUtf8(utf8)) {
        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom |
                                                         QStringDecoder::Flag::Stateless);
        return QString(decoder.decode(utf8)).size();
    }
    qsizetype units = 0;
    for (const char byte : utf8)
        units += ((uchar(byte) & 0xC0) != 0x80) + (uchar(byte) >= 0xF0);
    return units;
}

} // namespace

bool AddressFileSplitter::fits(QByteArrayView piece)
{
    if (piece.size() <= maxPieceLength)
        return true;
    m_overlong = piece.size() > maxPieceBytes || utf16Length(piece) > maxPieceLength;
    return !m_overlong;
}

void AddressFileSplitter::feed(QByteArrayView bytes)
{
    if (bytes.isEmpty() || m_overlong)
        return;
    m_any = true;
    const char *data = bytes.data();
    const qsizetype size = bytes.size();
    for (qsizetype at = 0; at < size;) {
        qsizetype lineEnd = at;
        while (lineEnd < size && data[lineEnd] != '\r' && data[lineEnd] != '\n')
            ++lineEnd;
        if (lineEnd > at)
            m_atLineStart = m_afterCr = false;
        if (lineEnd == size) {
            m_partial.append(data + at, size - at);
            if (m_partial.size() > maxPieceBytes) {
                m_overlong = true;
                m_partial.clear();
                m_addresses.clear();
            }
            return;
        }
        const bool cr = data[lineEnd] == '\r';
        // An LF right after a CR ends nothing more.
        if (cr || !std::exchange(m_afterCr, false)) {
            if (m_partial.isEmpty()) {
                cut(QByteArrayView(data + at, lineEnd - at));
            } else {
                m_partial.append(data + at, lineEnd - at);
                cut(std::exchange(m_partial, {}));
            }
            if (m_overlong)
                return;
            m_atLineStart = cr;
            m_afterCr = cr;
        }
        at = lineEnd + 1;
    }
}

TextList AddressFileSplitter::finish()
{
    // A line end at the very end starts no further line; an LF there does
    // leave an empty piece.
    if (m_any && !m_atLineStart && !m_overlong)
        cut(std::exchange(m_partial, {}));
    m_partial.clear();
    m_any = false;
    m_atLineStart = true;
    m_afterCr = false;
    return m_overlong ? TextList() : std::exchange(m_addresses, {});
}

void AddressFileSplitter::cut(QByteArrayView piece)
{
    if (!fits(piece)) {
        m_partial.clear();
        m_addresses.clear();
        return;
    }
    QByteArray decoded;
    if (!isValidUtf8(piece)) {
        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom |
                                                         QStringDecoder::Flag::Stateless);
        decoded = QString(decoder.decode(piece)).toUtf8();
        piece = decoded;
    }
    if (m_lines == Lines::Sites) {
        if (const qsizetype tab = piece.indexOf('\t'); tab >= 0)
            piece = piece.first(tab);
        if (piece.isEmpty())
            return;
    }
    // AddHttp, without a copy of the piece.
    if (piece.indexOf(scheme) >= 0)
        m_addresses.append(piece);
    else
        m_addresses.append(scheme, piece);
}

AddressFile::AddressFile(const QString &path, AddressFileSplitter::Lines lines,
                         qsizetype chunkBytes, QObject *parent)
    : AddressSource(parent), m_path(path), m_standardInput(path == QLatin1String("-")),
      m_splitter(lines), m_chunk(chunkBytes, Qt::Uninitialized)
{
}

AddressFile::~AddressFile()
{
    restoreInputFlags();
}

void AddressFile::restoreInputFlags()
{
    // The flags belong to the open pipe or terminal, which outlives us.
    if (m_inputFlags != -1)
        fcntl(STDIN_FILENO, F_SETFL, std::exchange(m_inputFlags, -1));
    delete std::exchange(m_readable, nullptr);
}

UserMessage AddressFile::message() const
{
    const QString name =
        m_standardInput ? QStringLiteral("standard input") : QDir::toNativeSeparators(m_path);
    return {QStringLiteral("The file \"%1\" could not be read: %2.").arg(name, failure().reason)};
}

AddressSource::State AddressFile::failWith(const QString &reason)
{
    restoreInputFlags();
    return fail({reason, FetchError::FileError, {}});
}

bool AddressFile::open()
{
    if (!m_standardInput) {
        m_file.setFileName(m_path);
        return m_file.open(QIODevice::ReadOnly);
    }
    struct stat info = {};
    if (fstat(STDIN_FILENO, &info) == 0 && !S_ISREG(info.st_mode)) {
        m_inputFlags = fcntl(STDIN_FILENO, F_GETFL);
        fcntl(STDIN_FILENO, F_SETFL, m_inputFlags | O_NONBLOCK);
        m_readable = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
        connect(m_readable, &QSocketNotifier::activated, this, [this] {
            m_readable->setEnabled(false);
            emit ready();
        });
    }
    return m_file.open(STDIN_FILENO, QIODevice::ReadOnly);
}

AddressSource::State AddressFile::produce(TextList &out, const WorkSlice &)
{
    if (!std::exchange(m_opened, true) && !open())
        return failWith(m_file.errorString());
    const qint64 got = m_readable ? ::read(STDIN_FILENO, m_chunk.data(), size_t(m_chunk.size()))
                                  : m_file.read(m_chunk.data(), m_chunk.size());
    if (got < 0 && m_readable && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        if (!m_noWaiting) {
            m_readable->setEnabled(true);
            return State::Waiting;
        }
        // Without waiting, a line the pipe has not finished is not listed.
        return end(out, m_splitter.takeAddresses());
    }
    if (got < 0)
        return failWith(m_readable ? QString::fromLocal8Bit(std::strerror(errno))
                                   : m_file.errorString());
    if (got == 0)
        return end(out, m_splitter.finish());
    m_splitter.feed(QByteArrayView(m_chunk.constData(), got));
    if (m_splitter.overlong())
        return failWith(QStringLiteral("it holds a line longer than %L1 characters")
                            .arg(AddressFileSplitter::maxPieceLength));
    out.append(m_splitter.takeAddresses());
    return State::More;
}

AddressSource::State AddressFile::end(TextList &out, TextList addresses)
{
    if (m_splitter.overlong())
        return failWith(QStringLiteral("it holds a line longer than %L1 characters")
                            .arg(AddressFileSplitter::maxPieceLength));
    restoreInputFlags();
    out.append(std::move(addresses));
    return State::Ended;
}

AddressFileLoader::AddressFileLoader(SiteList &list, QObject *parent)
    : SerialQueue(parent), m_list(list)
{
}

void AddressFileLoader::enqueue(const QString &path)
{
    SerialQueue::enqueue([this, path] {
        return new SiteListFill(
            m_list,
            std::make_unique<AddressFile>(path, AddressFileSplitter::Lines::Every, 256 * 1024),
            SiteListFill::Arrival::Together, this);
    });
}
