#include "platform/ContentDecoder.h"
#include "support/TestHttpServer.h"

#include <QTest>

namespace {

struct Outcome
{
    bool ok = true;
    bool complete = false;
    QByteArray bytes;
};

// Decodes body handed over in pieces of the given size (0: all at once).
Outcome decode(const QByteArray &encoding, const QByteArray &body, qsizetype piece)
{
    Outcome out;
    ContentDecoder decoder;
    if (!decoder.setEncoding(encoding))
        return {false, false, {}};
    const auto sink = [&out](const char *data, qint64 size) {
        out.bytes.append(data, size);
        return true;
    };
    const qsizetype step = piece > 0 ? piece : qMax<qsizetype>(body.size(), 1);
    for (qsizetype at = 0; at < body.size() && out.ok; at += step)
        out.ok = decoder.write(body.constData() + at, qMin(step, body.size() - at), sink);
    out.complete = out.ok && decoder.isComplete();
    return out;
}

const QByteArray text = QByteArray("<p>caf\xC3\xA9 &amp; keep</p>\n").repeated(40);

QByteArray zlibStream(const QByteArray &data)
{
    return qCompress(data).mid(4); // qCompress puts a 4-byte size first
}

QByteArray rawDeflate(const QByteArray &data)
{
    const QByteArray zlib = zlibStream(data);
    return zlib.mid(2, zlib.size() - 6); // without the header and the Adler-32
}

} // namespace

class TestContentDecoder : public QObject
{
    Q_OBJECT
private slots:
    // However the body is cut into pieces, the outcome is the same: a server
    // that sends one byte at a time must not fail where a fast one succeeds.
    void piecesChangeNothing_data()
    {
        QTest::addColumn<QByteArray>("encoding");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("complete");
        QTest::addColumn<QByteArray>("decoded");

        QTest::newRow("gzip") << QByteArray("gzip") << TestHttpServer::gzip(text) << true << text;
        QTest::newRow("gzip of two members")
            << QByteArray("gzip") << TestHttpServer::gzip("a") + TestHttpServer::gzip("b") << true
            << QByteArray("ab");
        QTest::newRow("deflate with its zlib header")
            << QByteArray("deflate") << zlibStream(text) << true << text;
        QTest::newRow("deflate without a header")
            << QByteArray("deflate") << rawDeflate(text) << true << text;
        QTest::newRow("deflate holding gzip")
            << QByteArray("deflate") << TestHttpServer::gzip(text) << true << text;
        QTest::newRow("identity") << QByteArray() << text << true << text;
        QByteArray cut = TestHttpServer::gzip(text);
        cut.chop(4);
        QTest::newRow("gzip without its length")
            << QByteArray("gzip") << cut << false << QByteArray();
        QTest::newRow("deflate of one byte")
            << QByteArray("deflate") << QByteArray(1, '\x78') << false << QByteArray();
    }
    void piecesChangeNothing()
    {
        QFETCH(QByteArray, encoding);
        QFETCH(QByteArray, body);
        QFETCH(bool, complete);
        QFETCH(QByteArray, decoded);
        for (const qsizetype piece : {0, 1, 2, 3, 7, 100}) {
            const Outcome out = decode(encoding, body, piece);
            QVERIFY2(out.complete == complete,
                     qPrintable(QStringLiteral("pieces of %1").arg(piece)));
            if (complete)
                QCOMPARE(out.bytes, decoded);
        }
    }

    // Bytes that are no stream at all fail whatever the pieces, and a refused
    // coding is refused before any byte.
    void corruptBodiesFail_data()
    {
        QTest::addColumn<QByteArray>("encoding");
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("gzip that is text") << QByteArray("gzip") << text;
        QTest::newRow("zlib header, then garbage")
            << QByteArray("deflate") << QByteArray("\x78\x9C\xFF\xFF\xFF\xFF", 6);
        QTest::newRow("brotli") << QByteArray("br") << text;
        QTest::newRow("two codings") << QByteArray("gzip, br") << text;
    }
    void corruptBodiesFail()
    {
        QFETCH(QByteArray, encoding);
        QFETCH(QByteArray, body);
        for (const qsizetype piece : {0, 1, 5})
            QVERIFY(!decode(encoding, body, piece).ok);
    }
};

QTEST_GUILESS_MAIN(TestContentDecoder)
#include "tst_contentdecoder.moc"
