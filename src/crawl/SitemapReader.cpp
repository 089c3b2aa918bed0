#include "crawl/SitemapReader.h"

#include <QXmlStreamReader>

#include <zlib.h>

#include <algorithm>
#include <utility>

namespace {

constexpr qsizetype pieceBytes = 64 * 1024;

} // namespace

struct SitemapReader::State
{
    QByteArray input; // fed, read from inputRead on
    qsizetype inputRead = 0;
    bool finished = false;
    enum
    {
        Undecided,
        Plain,
        Gzip
    } format = Undecided;
    z_stream zlib{};
    bool zlibOpen = false;
    QXmlStreamReader xml;
    qint64 xmlBytes = 0;
    // Fed since the last token: QXmlStreamReader holds a token whole until
    // it ends, so this bounds what it holds.
    qint64 bytesSinceToken = 0;
    int depth = 0;
    bool inEntry = false;
    bool inLoc = false;
    QString loc;
    int count = 0;
    Kind kind = Kind::Unknown;
    QList<QByteArray> out;
    QString error;
    bool done = false;

    void fail(const QString &why)
    {
        if (error.isEmpty())
            error = why;
        done = true;
        input.clear();
        inputRead = 0;
    }
    bool addXml(const QByteArray &bytes);
    void readTokens();
    bool inflateSome(qint64 &budget);
};

bool SitemapReader::State::addXml(const QByteArray &bytes)
{
    xmlBytes += bytes.size();
    if (xmlBytes > maxBytes) {
        fail(QStringLiteral("The sitemap is larger than 50 MB."));
        return false;
    }
    xml.addData(bytes);
    bytesSinceToken += bytes.size();
    readTokens();
    if (!done && bytesSinceToken > maxTokenBytes)
        fail(QStringLiteral("The sitemap holds a text, tag or comment longer than 2 MiB."));
    return !done;
}

void SitemapReader::State::readTokens()
{
    while (!done) {
        const QXmlStreamReader::TokenType token = xml.readNext();
        if (token != QXmlStreamReader::Invalid)
            bytesSinceToken = 0;
        switch (token) {
        case QXmlStreamReader::StartElement: {
            ++depth;
            const QStringView name = xml.name();
            if (depth == 1) {
                if (name == QLatin1String("urlset")) {
                    kind = Kind::Pages;
                } else if (name == QLatin1String("sitemapindex")) {
                    kind = Kind::Sitemaps;
                } else {
                    fail(QStringLiteral("The document is not a sitemap: its root is <%1>.")
                             .arg(xml.qualifiedName()));
                    return;
                }
            } else if (depth == 2) {
                inEntry = name == QLatin1String(kind == Kind::Pages ? "url" : "sitemap");
            } else if (depth == 3 && inEntry && name == QLatin1String("loc")) {
                inLoc = true;
                loc.clear();
            }
            break;
        }
        case QXmlStreamReader::EndElement:
            if (depth-- == 3 && inLoc) {
                inLoc = false;
                const QString address = loc.trimmed();
                loc.clear();
                if (address.isEmpty())
                    break;
                if (++count > maxAddresses) {
                    fail(QStringLiteral("The sitemap lists more than 50,000 addresses."));
                    return;
                }
                out.append(address.toUtf8());
            }
            break;
        case QXmlStreamReader::Characters:
            if (inLoc) {
                loc += xml.text();
                if (loc.size() > maxAddressLength)
                    fail(QStringLiteral(
                        "The sitemap holds an address longer than 2 Mi characters."));
            }
            break;
        case QXmlStreamReader::Invalid:
            if (xml.error() != QXmlStreamReader::PrematureEndOfDocumentError)
                fail(QStringLiteral("The sitemap is not well-formed XML: %1 (line %2).")
                         .arg(xml.errorString())
                         .arg(xml.lineNumber()));
            return;
        default:
            break;
        }
    }
}

bool SitemapReader::State::inflateSome(qint64 &budget)
{
    QByteArray piece(pieceBytes, Qt::Uninitialized);
    zlib.next_in = reinterpret_cast<Bytef *>(input.data() + inputRead);
    zlib.avail_in = uInt(std::min<qsizetype>(input.size() - inputRead, 1 << 30));
    zlib.next_out = reinterpret_cast<Bytef *>(piece.data());
    zlib.avail_out = uInt(piece.size());
    const int status = inflate(&zlib, Z_NO_FLUSH);
    const qsizetype used = reinterpret_cast<char *>(zlib.next_in) - input.constData() - inputRead;
    inputRead += used;
    piece.truncate(piece.size() - zlib.avail_out);
    if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) {
        fail(QStringLiteral("The sitemap's compressed data is damaged."));
        return false;
    }
    if (status == Z_STREAM_END)
        inflateReset(&zlib); // a further gzip member may follow
    budget -= piece.size();
    if (!piece.isEmpty() && !addXml(piece))
        return false;
    return !piece.isEmpty() || used > 0; // else it waits for input
}

SitemapReader::SitemapReader() : d(std::make_unique<State>()) {}

SitemapReader::~SitemapReader()
{
    if (d->zlibOpen)
        inflateEnd(&d->zlib);
}

void SitemapReader::feed(QByteArrayView raw)
{
    if (d->done || d->finished)
        return;
    if (d->inputRead > 0 && d->inputRead >= d->input.size() / 2) {
        d->input.remove(0, d->inputRead);
        d->inputRead = 0;
    }
    d->input.append(raw);
}

void SitemapReader::finish()
{
    d->finished = true;
}

bool SitemapReader::advance(qint64 budget)
{
    State &s = *d;
    if (s.done)
        return false;
    if (s.format == State::Undecided) {
        if (s.input.size() < 2 && !s.finished)
            return false;
        s.format = s.input.startsWith("\x1f\x8b") ? State::Gzip : State::Plain;
        if (s.format == State::Gzip) {
            if (inflateInit2(&s.zlib, 16 + MAX_WBITS) != Z_OK) {
                s.fail(QStringLiteral("The sitemap could not be decompressed."));
                return false;
            }
            s.zlibOpen = true;
        }
    }
    while (budget > 0 && !s.done) {
        if (s.format == State::Gzip) {
            if (!s.inflateSome(budget))
                break;
        } else {
            const qsizetype n =
                std::min<qsizetype>({s.input.size() - s.inputRead, pieceBytes, qsizetype(budget)});
            if (n == 0)
                break;
            budget -= n;
            s.addXml(s.input.mid(s.inputRead, n));
            s.inputRead += n;
        }
    }
    if (s.done)
        return false;
    if (budget <= 0)
        return true;
    if (!s.finished)
        return false;
    // Everything fed has been read: the document must be whole.
    if (s.format == State::Gzip && (s.zlib.total_in > 0 || s.inputRead < s.input.size()))
        s.fail(QStringLiteral("The sitemap's compressed data ends early."));
    else if (s.xmlBytes == 0)
        s.fail(QStringLiteral("The sitemap is empty."));
    else if (s.kind == Kind::Unknown || s.depth > 0)
        s.fail(QStringLiteral("The sitemap ends before its document does."));
    s.done = true;
    return false;
}

QList<QByteArray> SitemapReader::take()
{
    return std::exchange(d->out, {});
}

SitemapReader::Kind SitemapReader::kind() const
{
    return d->kind;
}

bool SitemapReader::isDone() const
{
    return d->done;
}

QString SitemapReader::error() const
{
    return d->error;
}

qsizetype SitemapReader::pendingBytes() const
{
    return d->input.size() - d->inputRead;
}
