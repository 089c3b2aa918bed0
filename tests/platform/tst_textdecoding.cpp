#include "platform/TextDecoding.h"

#include <QStringDecoder>
#include <QTest>

class TestTextDecoding : public QObject
{
    Q_OBJECT
private slots:
    void decodesLikeBrowsers_data();
    void decodesLikeBrowsers();
    void windows1252AgreesWithQt();
    void legacyCharsetsThroughQt_data();
    void legacyCharsetsThroughQt();
    void utf8FormAgreesOnRandomBodies_data();
    void utf8FormAgreesOnRandomBodies();
};

void TestTextDecoding::decodesLikeBrowsers_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QString>("expected");

    const QByteArray cafeUtf8 = "caf\xC3\xA9";
    const QString cafe = QStringLiteral("caf\u00E9");

    // The Content-Type header.
    QTest::newRow("header utf-8") << cafeUtf8 << QByteArray("text/html; charset=utf-8") << cafe;
    QTest::newRow("header windows-1252")
        << QByteArray("caf\xE9 \x80") << QByteArray("text/html; charset=windows-1252")
        << QStringLiteral("caf\u00E9 \u20AC");
    QTest::newRow("header C1 bytes in windows-1252")
        << QByteArray("\x80\x81\x8A\x8D\x9F\xA0\xFF") << QByteArray("text/plain; charset=cp1252")
        << QStringLiteral("\u20AC\u0081\u0160\u008D\u0178\u00A0\u00FF");
    QTest::newRow("header iso-8859-1 read as windows-1252")
        << QByteArray("\x80\x99") << QByteArray("text/html; charset=ISO-8859-1")
        << QStringLiteral("\u20AC\u2122");
    QTest::newRow("header us-ascii read as windows-1252")
        << QByteArray("\x93q\x94") << QByteArray("text/plain; charset=us-ascii")
        << QStringLiteral("\u201Cq\u201D");
    QTest::newRow("header quoted label with blanks")
        << cafeUtf8 << QByteArray("text/html; charset = \"UTF-8\" ") << cafe;
    QTest::newRow("header charset among other parameters")
        << QByteArray("\xE9") << QByteArray("text/html;a=b; Charset='Latin1' ;c=d")
        << QStringLiteral("\u00E9");
    QTest::newRow("header utf-16le")
        << QByteArray("h\0i\0", 4) << QByteArray("text/plain; charset=utf-16le") << "hi";
    QTest::newRow("header utf-16be")
        << QByteArray("\0h\0i", 4) << QByteArray("text/plain; charset=UTF-16BE") << "hi";
    QTest::newRow("header wins over meta")
        << QByteArray("<meta charset=windows-1252>" + cafeUtf8)
        << QByteArray("text/html; charset=utf-8") << "<meta charset=windows-1252>" + cafe;
    QTest::newRow("header wins over byte-order mark")
        << QByteArray("\xEF\xBB\xBF\x80") << QByteArray("text/html; charset=windows-1252")
        << QStringLiteral("\u00EF\u00BB\u00BF\u20AC");
    QTest::newRow("unknown header label falls back to meta")
        << QByteArray("<meta charset=windows-1252>\x80")
        << QByteArray("text/html; charset=x-no-such-charset")
        << QStringLiteral("<meta charset=windows-1252>\u20AC");
    QTest::newRow("unknown header label falls back to utf-8")
        << cafeUtf8 << QByteArray("text/html; charset=bogus") << cafe;
    QTest::newRow("unknown header label falls back to windows-1252")
        << QByteArray("caf\xE9") << QByteArray("text/html; charset=bogus") << cafe;
    QTest::newRow("empty header label")
        << QByteArray("caf\xE9") << QByteArray("text/html; charset=") << cafe;

    // A byte-order mark, which is dropped.
    QTest::newRow("utf-8 mark") << QByteArray("\xEF\xBB\xBF" + cafeUtf8) << QByteArray("text/html")
                                << cafe;
    QTest::newRow("utf-16le mark") << QByteArray("\xFF\xFEh\0i\0", 6) << QByteArray() << "hi";
    QTest::newRow("utf-16be mark") << QByteArray("\xFE\xFF\0h\0i", 6) << QByteArray() << "hi";
    QTest::newRow("mark wins over meta")
        << QByteArray("\xEF\xBB\xBF<meta charset=windows-1252>" + cafeUtf8) << QByteArray()
        << "<meta charset=windows-1252>" + cafe;

    // A <meta> declaration near the start.
    QTest::newRow("meta charset")
        << QByteArray("<html><head><meta charset=\"windows-1252\"></head>\x80")
        << QByteArray("text/html")
        << QStringLiteral("<html><head><meta charset=\"windows-1252\"></head>\u20AC");
    QTest::newRow("meta charset unquoted in capitals")
        << QByteArray("<META CHARSET=Windows-1252>\x80") << QByteArray()
        << QStringLiteral("<META CHARSET=Windows-1252>\u20AC");
    QTest::newRow("meta charset single-quoted, self-closing")
        << QByteArray("<meta charset='iso-8859-1'/>\xE9") << QByteArray()
        << QStringLiteral("<meta charset='iso-8859-1'/>\u00E9");
    QTest::newRow("meta http-equiv")
        << QByteArray(
               "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=windows-1252\">\x80")
        << QByteArray("text/html")
        << QStringLiteral("<meta http-equiv=\"Content-Type\" content=\"text/html; "
                          "charset=windows-1252\">\u20AC");
    QTest::newRow("meta content before http-equiv")
        << QByteArray(
               "<meta content='text/html;charset=windows-1252' http-equiv='content-type'>\x80")
        << QByteArray()
        << QStringLiteral(
               "<meta content='text/html;charset=windows-1252' http-equiv='content-type'>\u20AC");
    QTest::newRow("meta content without http-equiv is no declaration")
        << QByteArray("<meta name=x content=\"text/html; charset=windows-1252\">" + cafeUtf8)
        << QByteArray() << "<meta name=x content=\"text/html; charset=windows-1252\">" + cafe;
    QTest::newRow("meta past the first 1024 bytes is ignored")
        << QByteArray(1100, ' ') + "<meta charset=windows-1252>" + cafeUtf8 << QByteArray()
        << QString(1100, u' ') + "<meta charset=windows-1252>" + cafe;
    QTest::newRow("meta in a comment is ignored")
        << QByteArray("<!-- <meta charset=windows-1252> -->" + cafeUtf8) << QByteArray()
        << "<!-- <meta charset=windows-1252> -->" + cafe;
    QTest::newRow("meta utf-16 means utf-8") << QByteArray("<meta charset=utf-16>" + cafeUtf8)
                                             << QByteArray() << "<meta charset=utf-16>" + cafe;
    QTest::newRow("unknown meta label falls back to windows-1252")
        << QByteArray("<meta charset=bogus>caf\xE9") << QByteArray()
        << "<meta charset=bogus>" + cafe;

    // No declaration: UTF-8 if valid, else windows-1252.
    QTest::newRow("valid utf-8") << QByteArray("caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80")
                                 << QByteArray("text/html")
                                 << QStringLiteral("caf\u00E9 \u20AC \U0001F600");
    QTest::newRow("invalid utf-8") << QByteArray("\x80 caf\xE9") << QByteArray("text/html")
                                   << QStringLiteral("\u20AC caf\u00E9");
    QTest::newRow("sequence cut at the end")
        << QByteArray("abc\xC3") << QByteArray() << QStringLiteral("abc\u00C3");
    QTest::newRow("overlong encoding")
        << QByteArray("\xC0\xAF") << QByteArray() << QStringLiteral("\u00C0\u00AF");
    QTest::newRow("encoded surrogate")
        << QByteArray("\xED\xA0\x80") << QByteArray() << QStringLiteral("\u00ED\u00A0\u20AC");
    QTest::newRow("empty") << QByteArray() << QByteArray() << QString();
}

void TestTextDecoding::decodesLikeBrowsers()
{
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, contentType);
    QFETCH(QString, expected);

    QCOMPARE(decodePageText(body, contentType), expected);
    QCOMPARE(decodePageUtf8(body, contentType), expected.toUtf8());
}

void TestTextDecoding::windows1252AgreesWithQt()
{
    QStringDecoder qtDecoder("windows-1252");
    if (!qtDecoder.isValid())
        QSKIP("This Qt has no windows-1252 decoder to compare with");
    QByteArray everyByte;
    for (int byte = 0; byte < 256; ++byte)
        everyByte += char(byte);

    const QString ours = decodePageText(everyByte, "text/plain; charset=windows-1252");
    const QString theirs = qtDecoder(everyByte);
    QCOMPARE(ours.size(), 256);
    for (int byte = 0; byte < 256; ++byte) {
        // Qt has no character for these five bytes; browsers map them to C1 controls.
        if (byte == 0x81 || byte == 0x8D || byte == 0x8F || byte == 0x90 || byte == 0x9D)
            QCOMPARE(ours.at(byte).unicode(), char16_t(byte));
        else
            QCOMPARE(ours.at(byte), theirs.at(byte));
    }
}

void TestTextDecoding::legacyCharsetsThroughQt_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("contentType");

    // "Привет" in KOI8-R.
    const QByteArray privet = "\xF0\xD2\xC9\xD7\xC5\xD4";
    QTest::newRow("header") << privet << QByteArray("text/html; charset=KOI8-R");
    QTest::newRow("meta") << "<meta charset=\"koi8-r\">" + privet << QByteArray("text/html");
}

void TestTextDecoding::legacyCharsetsThroughQt()
{
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, contentType);
    if (!QStringDecoder("koi8-r").isValid())
        QSKIP("This Qt cannot decode KOI8-R");

    QVERIFY(decodePageText(body, contentType)
                .endsWith(QStringLiteral("\u041F\u0440\u0438\u0432\u0435\u0442")));
}

void TestTextDecoding::utf8FormAgreesOnRandomBodies_data()
{
    QTest::addColumn<QByteArray>("contentType");
    QTest::newRow("no label") << QByteArray("text/html");
    QTest::newRow("utf-8 label") << QByteArray("text/html; charset=utf-8");
    QTest::newRow("windows-1252 label") << QByteArray("text/html; charset=windows-1252");
    QTest::newRow("utf-16le label") << QByteArray("text/plain; charset=utf-16le");
}

// Bodies mostly of UTF-8 pieces with stray bytes, byte-order marks and cut
// sequences among them, so that both the as-is path and every conversion run.
void TestTextDecoding::utf8FormAgreesOnRandomBodies()
{
    QFETCH(QByteArray, contentType);
    const QList<QByteArray> pieces{
        "a",    "Z",    "\n",           "\xC3\xA9",     "\xE2\x82\xAC",
        "\x80", "\xC3", "\xEF\xBB\xBF", "\xED\xA0\x80", "\xF0\x9F\x98\x80",
        "\xFF", "&amp;"};
    quint32 state = 2024;
    const auto next = [&state](quint32 below) {
        state = state * 1664525u + 1013904223u;
        return (state >> 8) % below;
    };
    for (int round = 0; round < 500; ++round) {
        QByteArray body;
        const quint32 length = next(12);
        const bool clean = next(2) == 0; // half of them valid UTF-8 throughout
        for (quint32 i = 0; i < length; ++i)
            body += pieces[qsizetype(next(clean ? 5 : quint32(pieces.size())))];
        QCOMPARE(decodePageUtf8(body, contentType), decodePageText(body, contentType).toUtf8());
    }
}

QTEST_GUILESS_MAIN(TestTextDecoding)
#include "tst_textdecoding.moc"
