#include "sitelist/FileToList.h"

#include "model/WorkSlice.h"
#include "sitelist/SiteList.h"
#include "sitelist/UrlMon.h"

#include <QDir>
#include <QFile>
#include <QStringDecoder>

#include <utility>

namespace {

constexpr qsizetype chunkBytes = 1 << 20;

bool isContinuation(uchar byte)
{
    return (byte & 0xC0) == 0x80;
}

// Length of the sequence a lead byte starts; 0 for bytes that start none.
int sequenceLength(uchar byte)
{
    if (byte >= 0xC2 && byte <= 0xDF)
        return 2;
    if (byte >= 0xE0 && byte <= 0xEF)
        return 3;
    if (byte >= 0xF0 && byte <= 0xF4)
        return 4;
    return 0;
}

// Bytes at the end of data that start a sequence the data does not finish.
qsizetype incompleteTail(QByteArrayView data)
{
    for (qsizetype k = 1; k <= 3 && k <= data.size(); ++k) {
        const auto byte = uchar(data[data.size() - k]);
        if (isContinuation(byte))
            continue;
        return sequenceLength(byte) > k ? k : 0;
    }
    return 0;
}

// Qt's stateful decoder drops the byte after an incomplete sequence that a
// chunk boundary splits, so each chunk is decoded whole, with the incomplete
// tail carried over by hand; the result is the same as decoding the file at once.
QString decodeUtf8(QByteArrayView bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom |
                                                     QStringDecoder::Flag::Stateless);
    return decoder.decode(bytes);
}

} // namespace

void AddressFileSplitter::feed(QByteArrayView bytes)
{
    if (bytes.isEmpty() || m_overlong)
        return;
    QByteArray joined;
    if (!m_carry.isEmpty()) {
        joined = std::exchange(m_carry, {});
        joined.append(bytes);
        bytes = joined;
    }
    const qsizetype tail = incompleteTail(bytes);
    m_carry = bytes.last(tail).toByteArray();
    split(decodeUtf8(bytes.first(bytes.size() - tail)));
}

QStringList AddressFileSplitter::finish()
{
    if (!m_carry.isEmpty()) {
        split(decodeUtf8(m_carry));
        m_carry.clear();
    }
    // A line end at the very end starts no further line; an LF there does
    // leave an empty piece.
    if (m_any && !m_atLineStart && !m_overlong)
        m_pieces.append(m_partial);
    m_partial.clear();
    m_any = false;
    m_atLineStart = true;
    m_afterCr = false;
    return std::exchange(m_pieces, {});
}

void AddressFileSplitter::split(QStringView text)
{
    if (text.isEmpty() || m_overlong)
        return;
    m_any = true;
    const QChar *data = text.data();
    const qsizetype size = text.size();
    qsizetype start = 0;
    const auto cut = [&](qsizetype end) {
        if (m_partial.size() + end - start > maxPieceLength)
            m_overlong = true;
        if (m_overlong)
            return;
        if (m_partial.isEmpty()) {
            m_pieces.append(QString(data + start, end - start));
        } else {
            m_partial.append(data + start, end - start);
            m_pieces.append(std::exchange(m_partial, {}));
        }
    };
    for (qsizetype i = 0; i < size; ++i) {
        const char16_t c = data[i].unicode();
        if (c == u'\n' && m_afterCr) {
            start = i + 1;
        } else if (c == u'\r') {
            cut(i);
            start = i + 1;
            m_atLineStart = true;
            m_afterCr = true;
            continue;
        } else if (c == u'\n') {
            cut(i);
            start = i + 1;
            m_atLineStart = false;
        } else {
            m_atLineStart = false;
        }
        m_afterCr = false;
    }
    if (m_partial.size() + size - start > maxPieceLength)
        m_overlong = true;
    if (m_overlong) {
        m_partial.clear();
        m_pieces.clear();
        return;
    }
    m_partial.append(data + start, size - start);
}

AddressFileReader::AddressFileReader(const QString &path)
    : m_file(path), m_chunk(chunkBytes, Qt::Uninitialized)
{
}

bool AddressFileReader::open(QString *error)
{
    if (m_file.open(QIODevice::ReadOnly))
        return true;
    if (error)
        *error = m_file.errorString();
    return false;
}

bool AddressFileReader::step()
{
    const qint64 got = m_file.read(m_chunk.data(), m_chunk.size());
    if (got < 0) {
        m_failed = true;
        return false;
    }
    if (got == 0)
        return false;
    m_splitter.feed(QByteArrayView(m_chunk.constData(), got));
    return !m_splitter.overlong(); // no need to read the rest
}

std::optional<QStringList> AddressFileReader::finish(QString *error)
{
    if (m_failed) {
        if (error)
            *error = m_file.errorString();
        return std::nullopt;
    }
    QStringList pieces = m_splitter.finish();
    if (m_splitter.overlong()) {
        if (error)
            *error = QStringLiteral("it holds a line longer than %L1 characters")
                         .arg(AddressFileSplitter::maxPieceLength);
        return std::nullopt;
    }
    return pieces;
}

AddressFileLoad::AddressFileLoad(SiteList &list, const QString &path, QObject *parent)
    : QueuedJob(parent), m_list(list), m_path(path), m_reader(path)
{
}

AddressFileLoad::~AddressFileLoad() = default;

void AddressFileLoad::start()
{
    QString reason;
    if (!m_reader.open(&reason)) {
        fail(reason);
        return;
    }
    continueLater(this, [this] { advance(); });
}

void AddressFileLoad::stop()
{
    m_stopped = true;
    m_addresses.reset();
    emit finished({});
}

void AddressFileLoad::advance()
{
    if (m_stopped)
        return;
    const WorkSlice slice;
    while (!m_addresses) {
        if (!m_reader.step()) {
            QString reason;
            m_addresses = m_reader.finish(&reason);
            if (!m_addresses) {
                fail(reason);
                return;
            }
        }
        if (slice.expired()) {
            continueLater(this, [this] { advance(); });
            return;
        }
    }
    QStringList &addresses = *m_addresses;
    while (m_normalised < addresses.size()) {
        addresses[m_normalised] = AddHttp(addresses[m_normalised]);
        ++m_normalised;
        if ((m_normalised & 1023) == 0 && slice.expired()) {
            continueLater(this, [this] { advance(); });
            return;
        }
    }
    m_list.append(std::move(addresses));
    m_addresses.reset();
    emit finished({});
}

void AddressFileLoad::fail(const QString &reason)
{
    emit finished({QStringLiteral("The file \"%1\" could not be read: %2.")
                       .arg(QDir::toNativeSeparators(m_path), reason)});
}

AddressFileLoader::AddressFileLoader(SiteList &list, QObject *parent)
    : SerialQueue(parent), m_list(list)
{
}

void AddressFileLoader::enqueue(const QString &path)
{
    SerialQueue::enqueue([this, path] { return new AddressFileLoad(m_list, path, this); });
}
