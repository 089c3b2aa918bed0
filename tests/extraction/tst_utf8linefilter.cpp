#include "extraction/LineFilter.h"
#include "extraction/Utf8LineFilter.h"

#include <QTest>

namespace {

// The rule as written: cut the text at line feeds, skip empty pieces, decode
// "&amp;", test each line with LinePasses.
QStringList straightforwardRows(Rule rule, const QString &text, const QString &ruleText)
{
    QStringList rows;
    if (text.isEmpty())
        return rows;
    for (const QString &piece : text.split(u'\n')) {
        if (piece.isEmpty())
            continue;
        const QString line = DecodeAmp(piece);
        if (LinePasses(rule, line, ruleText))
            rows << line;
    }
    return rows;
}

// The fast path as a run drives it, in steps of at least minBytes.
QStringList fastRows(Rule rule, const QByteArray &page, const QString &ruleText, qsizetype minBytes)
{
    QStringList rows;
    if (page.isEmpty())
        return rows;
    const Utf8LineFilter filter(rule, ruleText);
    qsizetype next = 0;
    int steps = 0;
    while (next <= page.size()) {
        const qsizetype from = next;
        next = filter.scan(page, next, minBytes, [&](QString &&line) { rows << line; });
        if (next <= from || ++steps > page.size() + 2) {
            qWarning("scan did not advance");
            return {};
        }
    }
    return rows;
}

const QString kelvin = QStringLiteral("\u212A");
const QString longS = QStringLiteral("\u017F");

} // namespace

class TestUtf8LineFilter : public QObject
{
    Q_OBJECT
private slots:
    void knownPages_data();
    void knownPages();
    void agreesWithStraightforwardOnRandomPages_data();
    void agreesWithStraightforwardOnRandomPages();
    void decodesAmpLikeDecodeAmp_data();
    void decodesAmpLikeDecodeAmp();
};

void TestUtf8LineFilter::knownPages_data()
{
    QTest::addColumn<QString>("page");
    QTest::addColumn<bool>("without");
    QTest::addColumn<QString>("ruleText");
    QTest::addColumn<QStringList>("rows");

    QTest::newRow("mixed case") << "Foo bar\nnothing\nxFOOx" << false << "foo"
                                << QStringList{"Foo bar", "xFOOx"};
    QTest::newRow("without keeps the rest")
        << "Foo bar\nnothing\nxFOOx" << true << "foo" << QStringList{"nothing"};
    QTest::newRow("CR LF keeps CR") << "a\r\nb\r\n" << false << "b" << QStringList{"b\r"};
    QTest::newRow("blank CR line passes without")
        << "a\r\n\r\nb" << true << "a" << QStringList{"\r", "b"};
    QTest::newRow("&amp; decoded before the test")
        << "x &amp; y\nx & y" << false << "x & y" << QStringList{"x & y", "x & y"};
    QTest::newRow("&amp; in the rule matches capitals")
        << "a &amp; b\nc &AMP; d\ne &amp;amp; f" << false << "&amp;"
        << QStringList{"c &AMP; d", "e &amp; f"};
    QTest::newRow("decoding breaks a raw match") << "p&amp;q" << false << "amp;" << QStringList{};
    QTest::newRow("Kelvin sign folds to k") << "o" + kelvin + "ay\nokay\nobay" << false << "KAY"
                                            << QStringList{"o" + kelvin + "ay", "okay"};
    QTest::newRow("long s folds to s")
        << "ca" + longS + "e\ncase" << true << "case" << QStringList{};
    QTest::newRow("dotted capital I does not fold to i")
        << QStringLiteral("\u0130x\nix") << false << "ix" << QStringList{"ix"};
    QTest::newRow("accented text")
        << QStringLiteral("CAF\u00C9 au lait\ncafe") << false << QStringLiteral("caf\u00E9")
        << QStringList{QStringLiteral("CAF\u00C9 au lait")};
    QTest::newRow("match at the very end, no final line feed")
        << "one\ntwo marigold" << false << "MARIGOLD" << QStringList{"two marigold"};
    QTest::newRow("empty rule text keeps every non-empty line")
        << "a\n\nb\n"
        << false << "" << QStringList{"a", "b"};
    QTest::newRow("empty rule text drops every line") << "a\n\nb\n" << true << "" << QStringList{};
    QTest::newRow("rule text with a trailing blank")
        << "end foo\nfoo bar" << false << "foo " << QStringList{"foo bar"};
    QTest::newRow("rule text longer than a line")
        << "ab\nabc" << false << "abc" << QStringList{"abc"};
    QTest::newRow("two matches on one line give one row")
        << "foo foo\n"
        << false << "foo" << QStringList{"foo foo"};
    QTest::newRow("empty page") << "" << true << "x" << QStringList{};
}

void TestUtf8LineFilter::knownPages()
{
    QFETCH(QString, page);
    QFETCH(bool, without);
    QFETCH(QString, ruleText);
    QFETCH(QStringList, rows);
    const Rule rule = without ? Rule::WithoutText : Rule::WithText;

    QCOMPARE(straightforwardRows(rule, page, ruleText), rows);
    for (const qsizetype minBytes : {0, 1, 5, 1 << 20})
        QCOMPARE(fastRows(rule, page.toUtf8(), ruleText, minBytes), rows);
}

void TestUtf8LineFilter::agreesWithStraightforwardOnRandomPages_data()
{
    QTest::addColumn<bool>("without");
    QTest::addColumn<int>("seed");
    for (int seed = 1; seed <= 4; ++seed) {
        QTest::addRow("with, seed %d", seed) << false << seed;
        QTest::addRow("without, seed %d", seed) << true << seed;
    }
}

// Pages and rule texts drawn from pieces that stress every shortcut: letters in
// both cases, characters that fold into ASCII letters or almost do, entities
// whole and broken, line ends of both kinds.
void TestUtf8LineFilter::agreesWithStraightforwardOnRandomPages()
{
    QFETCH(bool, without);
    QFETCH(int, seed);
    const Rule rule = without ? Rule::WithoutText : Rule::WithText;
    const QStringList pieces{"a",
                             "A",
                             "s",
                             "S",
                             "k",
                             "K",
                             "m",
                             "p",
                             ";",
                             " ",
                             "&",
                             "&amp;",
                             "&AMP;",
                             "amp;",
                             "\n",
                             "\r\n",
                             kelvin,
                             longS,
                             QStringLiteral("\u00E9"),
                             QStringLiteral("\u00C9"),
                             QStringLiteral("\u00DF"),
                             QStringLiteral("\u0130"),
                             QStringLiteral("\u0131"),
                             QStringLiteral("\u6771"),
                             QStringLiteral("\U0001F600")};
    quint32 state = quint32(seed) * 2654435761u;
    const auto next = [&state](qsizetype below) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return qsizetype(state % quint32(below));
    };
    const auto draw = [&](qsizetype count) {
        QString text;
        for (qsizetype i = 0; i < count; ++i)
            text += pieces[next(pieces.size())];
        return text;
    };
    for (int round = 0; round < 400; ++round) {
        const QString page = draw(next(60));
        QString ruleText = draw(1 + next(3));
        ruleText.remove(u'\n'); // a text box holds one line
        const QStringList expected = straightforwardRows(rule, page, ruleText);
        for (const qsizetype minBytes : {0, 3, 64}) {
            const QStringList actual = fastRows(rule, page.toUtf8(), ruleText, minBytes);
            if (actual != expected)
                qWarning() << "page" << page << "rule text" << ruleText << "step" << minBytes;
            QCOMPARE(actual, expected);
        }
    }
}

void TestUtf8LineFilter::decodesAmpLikeDecodeAmp_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("none") << "plain";
    QTest::newRow("one") << "a &amp; b";
    QTest::newRow("capitals stay") << "a &AMP; b";
    QTest::newRow("one pass") << "&amp;amp;";
    QTest::newRow("adjacent") << "&amp;&amp;";
    QTest::newRow("cut") << "&amp";
    QTest::newRow("non-ASCII around") << QStringLiteral("\u00E9&amp;\u6771");
}

void TestUtf8LineFilter::decodesAmpLikeDecodeAmp()
{
    QFETCH(QString, text);
    QCOMPARE(QString::fromUtf8(DecodeAmpUtf8(text.toUtf8())), DecodeAmp(text));
}

QTEST_GUILESS_MAIN(TestUtf8LineFilter)
#include "tst_utf8linefilter.moc"
