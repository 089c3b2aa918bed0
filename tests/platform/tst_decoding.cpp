#include "platform/ContentDecoder.h"
#include "platform/TextDecoding.h"
#include "support/TestServer.h"

#include <QStringDecoder>
#include <QTest>

namespace {

void row(const char *name, const QByteArray &body, const QByteArray &type, const QString &text)
{
    QTest::newRow(name) << body << type << text;
}

struct Decoded
{
    bool ok = true;
    bool complete = false;
    QByteArray bytes;
};

// The body handed to the decoder in pieces of the given size.
Decoded decode(const QByteArray &encoding, const QByteArray &body, qsizetype piece)
{
    Decoded out;
    ContentDecoder decoder;
    if (!decoder.setEncoding(encoding))
        return {false, false, {}};
    const auto sink = [&out](const char *data, qint64 size) {
        out.bytes.append(data, size);
        return true;
    };
    for (qsizetype at = 0; at < body.size() && out.ok; at += piece)
        out.ok = decoder.write(body.constData() + at, std::min(piece, body.size() - at), sink);
    out.complete = out.ok && decoder.isComplete();
    return out;
}

} // namespace

class TestDecoding : public QObject
{
    Q_OBJECT
private slots:
    // The charset of the header, else a byte-order mark, else a <meta> in the
    // first 1024 bytes, else UTF-8 when valid, else windows-1252.
    void pageText_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArray>("type");
        QTest::addColumn<QString>("text");
        const QByteArray cafe = "caf\xC3\xA9";
        const QString café = QStringLiteral("caf\u00E9");
        const QString meta1252 = QStringLiteral("<meta charset=windows-1252>");
        row("header utf-8", cafe, "text/html; charset=utf-8", café);
        row("header C1 bytes", "\x80\x81\x8A\x9F\xFF", "text/plain; charset=cp1252", "\u20AC\u0081\u0160\u0178\u00FF");
        row("header latin1 is windows-1252", "\x80\x99", "text/html; charset=ISO-8859-1", "\u20AC\u2122");
        row("header us-ascii is windows-1252", "\x93q", "text/plain; charset=us-ascii", "\u201Cq");
        row("quoted label with blanks", cafe, "text/html; charset = \"UTF-8\" ", café);
        row("among other parameters", "\xE9", "text/html;a=b; Charset='Latin1' ;c=d", "\u00E9");
        row("header utf-16le", QByteArray("h\0i\0", 4), "text/plain; charset=utf-16le", "hi");
        row("header utf-16be", QByteArray("\0h\0i", 4), "text/plain; charset=UTF-16BE", "hi");
        row("header wins over meta", meta1252.toLatin1() + cafe, "text/html; charset=utf-8", meta1252 + café);
        row("header wins over a mark", "\xEF\xBB\xBF\x80", "text/html; charset=windows-1252", "\u00EF\u00BB\u00BF\u20AC");
        row("unknown header label, then meta", meta1252.toLatin1() + "\x80", "text/html; charset=bogus", meta1252 + "\u20AC");
        row("unknown header label, then utf-8", cafe, "text/html; charset=bogus", café);
        row("empty label, then windows-1252", "caf\xE9", "text/html; charset=", café);
        row("utf-8 mark dropped", "\xEF\xBB\xBF" + cafe, "text/html", café);
        row("utf-16le mark", QByteArray("\xFF\xFEh\0i\0", 6), {}, "hi");
        row("utf-16be mark", QByteArray("\xFE\xFF\0h\0i", 6), {}, "hi");
        row("mark wins over meta", "\xEF\xBB\xBF" + meta1252.toLatin1() + cafe, {}, meta1252 + café);
        row("meta quoted", "<head><meta charset=\"windows-1252\">\x80", {}, "<head><meta charset=\"windows-1252\">\u20AC");
        row("meta in capitals", "<META CHARSET=Windows-1252>\x80", {}, "<META CHARSET=Windows-1252>\u20AC");
        row("meta self-closing", "<meta charset='iso-8859-1'/>\xE9", {}, "<meta charset='iso-8859-1'/>\u00E9");
        const char *equiv = "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=windows-1252\">";
        row("meta http-equiv", QByteArray(equiv) + "\x80", {}, QString::fromLatin1(equiv) + "\u20AC");
        const char *reversed = "<meta content='text/html;charset=windows-1252' http-equiv='content-type'>";
        row("meta content first", QByteArray(reversed) + "\x80", {}, QString::fromLatin1(reversed) + "\u20AC");
        const char *named = "<meta name=x content=\"text/html; charset=windows-1252\">";
        row("meta content alone declares nothing", named + cafe, {}, named + café);
        row("meta past 1024 bytes", QByteArray(1100, ' ') + meta1252.toLatin1() + cafe, {}, QString(1100, u' ') + meta1252 + café);
        row("meta in a comment", "<!-- " + meta1252.toLatin1() + " -->" + cafe, {}, "<!-- " + meta1252 + " -->" + café);
        row("meta utf-16 means utf-8", "<meta charset=utf-16>" + cafe, {}, "<meta charset=utf-16>" + café);
        row("unknown meta label", "<meta charset=bogus>caf\xE9", {}, "<meta charset=bogus>" + café);
        row("valid utf-8", "\xE2\x82\xAC \xF0\x9F\x98\x80", "text/html", QStringLiteral("\u20AC \U0001F600"));
        row("invalid utf-8", "\x80 caf\xE9", "text/html", "\u20AC caf\u00E9");
        row("sequence cut at the end", "abc\xC3", {}, "abc\u00C3");
        row("overlong encoding", "\xC0\xAF", {}, "\u00C0\u00AF");
        row("encoded surrogate", "\xED\xA0\x80", {}, "\u00ED\u00A0\u20AC");
        row("KOI8-R through Qt", "\xF0\xD2\xC9\xD7\xC5\xD4", "text/html; charset=KOI8-R", "\u041F\u0440\u0438\u0432\u0435\u0442");
        row("empty", {}, {}, {});
    }
    void pageText()
    {
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, type);
        QFETCH(QString, text);
        QCOMPARE(decodePageText(body, type), text);
        QCOMPARE(decodePageUtf8(body, type), text.toUtf8());
    }

    void windows1252AgreesWithQt()
    {
        QStringDecoder qt("windows-1252");
        if (!qt.isValid())
            QSKIP("this Qt has no windows-1252 to compare with");
        QByteArray everyByte;
        for (int byte = 0; byte < 256; ++byte)
            everyByte += char(byte);
        QString theirs = qt(everyByte);
        for (const int undefined : {0x81, 0x8D, 0x8F, 0x90, 0x9D}) // C1 controls for browsers
            theirs[undefined] = QChar(undefined);
        QCOMPARE(decodePageText(everyByte, "text/plain; charset=windows-1252"), theirs);
    }

    // However a body is cut into pieces the outcome is the same.
    void contentEncodings_data()
    {
        QTest::addColumn<QByteArray>("encoding");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("complete");
        QTest::addColumn<QByteArray>("decoded");
        const QByteArray text = QByteArray("<p>caf\xC3\xA9 &amp; keep</p>\n").repeated(40);
        const QByteArray gzip = TestServer::gzip(text), zlib = qCompress(text).mid(4);
        const QByteArray raw = zlib.mid(2, zlib.size() - 6);
        const auto add = [](const char *name, const QByteArray &e, const QByteArray &b, bool c, const QByteArray &d) {
            QTest::newRow(name) << e << b << c << d;
        };
        add("gzip", "gzip", gzip, true, text);
        add("gzip of two members", "x-gzip", TestServer::gzip("a") + TestServer::gzip("b"), true, "ab");
        add("deflate, zlib", "deflate", zlib, true, text);
        add("deflate, raw", "Deflate", raw, true, text);
        add("deflate holding gzip", "deflate", gzip, true, text);
        add("identity", "identity", text, true, text);
        add("gzip without its length", "gzip", gzip.chopped(4), false, {});
        add("deflate of one byte", "deflate", "\x78", false, {});
        add("gzip that is text", "gzip", text, false, {});
        add("zlib header, then garbage", "deflate", QByteArray("\x78\x9C\xFF\xFF\xFF\xFF", 6), false, {});
        add("brotli", "br", text, false, {});
        add("two codings", "gzip, br", text, false, {});
    }
    void contentEncodings()
    {
        QFETCH(QByteArray, encoding);
        QFETCH(QByteArray, body);
        QFETCH(bool, complete);
        QFETCH(QByteArray, decoded);
        for (const qsizetype piece : {body.size(), qsizetype(1), qsizetype(2), qsizetype(7)}) {
            const Decoded out = decode(encoding, body, piece);
            QVERIFY2(out.complete == complete, qPrintable(QString::number(piece)));
            if (complete)
                QCOMPARE(out.bytes, decoded);
        }
    }
};

QTEST_GUILESS_MAIN(TestDecoding)
#include "tst_decoding.moc"
