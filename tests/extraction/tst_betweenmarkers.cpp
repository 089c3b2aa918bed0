#include "extraction/BetweenMarkers.h"
#include "extraction/Extract1.h"
#include "extraction/LineFilter.h"
#include "platform/WorkSlice.h"
#include "support/BetweenReference.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QSet>
#include <QTest>

#include <functional>

namespace {

// Runs the engine; with resume, it returns to the caller after every step.
QString runEngine(const QString &page, BetweenClient &client, bool resume)
{
    BetweenMarkers engine(page, client);
    if (!resume) {
        const WorkSlice unlimited(std::numeric_limits<qint64>::max());
        if (!engine.advance(unlimited))
            return QStringLiteral("<unfinished>");
    } else {
        int steps = 0;
        while (!engine.advance(WorkSlice(0))) {
            if (++steps > 1'000'000)
                return QStringLiteral("<unfinished>");
        }
    }
    return engine.remainingText();
}

QString randomText(QRandomGenerator &random, QStringView alphabet, int minLength, int maxLength)
{
    const int length = minLength + int(random.bounded(maxLength - minLength + 1));
    QString out;
    for (int i = 0; i < length; ++i) {
        // Now and then an entity, so that decoding is part of the comparison.
        if (random.bounded(40) == 0)
            out += QStringLiteral("&amp;");
        else
            out += alphabet[random.bounded(alphabet.size())];
    }
    return out;
}

// A marker from the alphabet, or often one taken from the page itself with its
// letters' case switched, so that markers do occur, overlap and repeat.
QString randomMarker(QRandomGenerator &random, const QString &page, QStringView alphabet,
                     int maxLength)
{
    const int length = 1 + int(random.bounded(maxLength));
    if (page.size() < length || random.bounded(3) == 0) {
        QString marker;
        for (int i = 0; i < length; ++i)
            marker += alphabet[random.bounded(alphabet.size())];
        return marker;
    }
    QString marker = page.mid(random.bounded(page.size() - length + 1), length);
    for (QChar &c : marker) {
        if (random.bounded(2))
            c = c.isUpper() ? c.toLower() : c.toUpper();
    }
    return marker;
}

struct Shape
{
    QString alphabet;
    int maxPage;
    int maxStart;
    int maxEnd;
};

struct Case
{
    QString page;
    QString start;
    QString end;
    bool keep;
    QSet<QString> listed;
};

Case randomCase(QRandomGenerator &random, const Shape &shape)
{
    Case c;
    c.page = randomText(random, shape.alphabet, 0, shape.maxPage);
    c.start = randomMarker(random, c.page, shape.alphabet, shape.maxStart);
    c.end = randomMarker(random, c.page, shape.alphabet, shape.maxEnd);
    c.keep = random.bounded(2);
    // Rows from earlier runs that a dropped duplicate may equal.
    for (int i = int(random.bounded(3)); i > 0; --i)
        c.listed.insert(randomText(random, u"ab", 1, 2));
    return c;
}

QString describe(const Case &c)
{
    return QStringLiteral("page '%1' start '%2' end '%3' keep %4")
        .arg(c.page, c.start, c.end)
        .arg(c.keep);
}

} // namespace

class TestBetweenMarkers : public QObject
{
    Q_OBJECT
private slots:
    void replaceFirst_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("find");
        QTest::addColumn<QString>("replacement");
        QTest::addColumn<QString>("out");
        QTest::newRow("first of two") << "abcabc"
                                      << "bc"
                                      << "X"
                                      << "aXabc";
        QTest::newRow("case matters") << "ABab"
                                      << "ab"
                                      << ""
                                      << "AB";
        QTest::newRow("absent") << "abc"
                                << "x"
                                << "Y"
                                << "abc";
        QTest::newRow("at start") << "abc"
                                  << "ab"
                                  << ""
                                  << "c";
        QTest::newRow("at end") << "abc"
                                << "bc"
                                << ""
                                << "a";
        QTest::newRow("whole text") << "abc"
                                    << "abc"
                                    << ""
                                    << "";
        QTest::newRow("longer replacement") << "a-b"
                                            << "-"
                                            << "--"
                                            << "a--b";
        QTest::newRow("overlapping candidates") << "aaa"
                                                << "aa"
                                                << ""
                                                << "a";
    }
    void replaceFirst()
    {
        QFETCH(QString, text);
        QFETCH(QString, find);
        QFETCH(QString, replacement);
        QFETCH(QString, out);
        QCOMPARE(ReplaceFirst(text, find, replacement), out);
    }

    void foldCase_data()
    {
        QTest::addColumn<QString>("in");
        QTest::addColumn<QString>("out");
        QTest::newRow("ascii") << "AbC<B>"
                               << "abc<b>";
        QTest::newRow("latin-1") << "ÄÖÜß"
                                 << "äöüß";
        QTest::newRow("greek") << "ΣΑ"
                               << "σα";
        // Its lower case is two characters, so it is left as it is.
        QTest::newRow("dotted capital I") << "İX"
                                          << "İx";
        QTest::newRow("surrogates stay")
            << QString::fromUcs4(U"\U00010400A") << QString::fromUcs4(U"\U00010400a");
    }
    void foldCase()
    {
        QFETCH(QString, in);
        QFETCH(QString, out);
        QCOMPARE(FoldCase(in), out);
        QCOMPARE(FoldCase(in).size(), in.size());
    }

    void passes_data()
    {
        QTest::addColumn<QString>("page");
        QTest::addColumn<QString>("start");
        QTest::addColumn<QString>("end");
        QTest::addColumn<bool>("keep");
        QTest::addColumn<QStringList>("listed");
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<QString>("remaining");
        const QStringList none;

        QTest::newRow("nested start") << "<b><b>x</b></b>"
                                      << "<b>"
                                      << "</b>" << false << none << QStringList{"<b>x"} << "</b>";
        QTest::newRow("in page order") << "a<b>x</b>c<b>y</b>d"
                                       << "<b>"
                                       << "</b>" << false << none << QStringList{"x", "y"} << "acd";
        QTest::newRow("marker case ignored, page letters kept")
            << "a<b>Xy</B>"
            << "<B>"
            << "</b>" << false << none << QStringList{"Xy"} << "a";
        QTest::newRow("empty result") << "<b></b>z"
                                      << "<b>"
                                      << "</b>" << false << none << none << "z";
        QTest::newRow("end inside start") << "xaby"
                                          << "ab"
                                          << "b" << false << none << none << "xy";
        QTest::newRow("end only before start") << "</b> ... <b>xyz"
                                               << "<b>"
                                               << "</b>" << false << none << none << "</b> ... yz";
        QTest::newRow("line break kept")
            << "<b>one\r\ntwo</b>"
            << "<b>"
            << "</b>" << false << none << QStringList{"one\r\ntwo"} << "";
        QTest::newRow("longer row does not hide a result")
            << "[b]"
            << "["
            << "]" << false << QStringList{"ab", "http://b"} << QStringList{"b"} << "";
        QTest::newRow("equal earlier row drops it")
            << "[b][c]"
            << "["
            << "]" << false << QStringList{"b"} << QStringList{"c"} << "";
        QTest::newRow("entities") << "[a&amp;b][&AMP;][&amp;amp;]"
                                  << "["
                                  << "]" << false << none << QStringList{"a&b", "&AMP;", "&amp;"}
                                  << "";
        QTest::newRow("duplicate after decoding") << "[&amp;][&]"
                                                  << "["
                                                  << "]" << false << none << QStringList{"&"} << "";
        QTest::newRow("end far beyond 16 bits")
            << "<b>" + QString(40000, u'x') + "</b>."
            << "<b>"
            << "</b>" << false << none << QStringList{QString(40000, u'x')} << ".";
        QTest::newRow("no end at all") << "<b>x"
                                       << "<b>"
                                       << "</b>" << false << none << none << "<b>x";
        // The section 'ab' is deleted where it first occurs exactly, before
        // the start match; the capitals do not count as an occurrence.
        QTest::newRow("short section deleted earlier") << "AB ab_abc"
                                                       << "abc"
                                                       << "b" << false << none << none << "AB _c";
        QTest::newRow("repeated marker") << "aaaa"
                                         << "aa"
                                         << "aa" << false << none << none << "a";
        QTest::newRow("non-ASCII markers")
            << "..ÄRGER..Ä1ö.."
            << "ä"
            << "Ö" << false << none << QStringList{"RGER..Ä1"} << "....";
    }
    void passes()
    {
        QFETCH(QString, page);
        QFETCH(QString, start);
        QFETCH(QString, end);
        QFETCH(bool, keep);
        QFETCH(QStringList, listed);
        QFETCH(QStringList, rows);
        QFETCH(QString, remaining);
        for (const bool resume : {false, true}) {
            ScriptedClient client;
            client.start = start;
            client.end = end;
            client.keep = keep;
            client.listed = QSet<QString>(listed.begin(), listed.end());
            QCOMPARE(runEngine(page, client, resume), remaining);
            QCOMPARE(client.added, rows);
        }
    }

    // The engine against the literal passes on many small random pages; the
    // tiny alphabet makes overlapping, repeated and short markers common.
    void agreesWithLiteralPasses_data()
    {
        QTest::addColumn<int>("cases");
        QTest::addColumn<QString>("alphabet");
        QTest::addColumn<int>("maxPage");
        QTest::addColumn<int>("maxStart");
        QTest::addColumn<int>("maxEnd");
        QTest::addColumn<bool>("resume");
        const QString markup = QStringLiteral("aAbB<>/ ");
        QTest::newRow("small pages") << 20000 << markup << 24 << 4 << 4 << false;
        QTest::newRow("small pages, resumed after every pass")
            << 20000 << markup << 24 << 4 << 4 << true;
        QTest::newRow("longer pages") << 600 << markup << 1500 << 4 << 4 << false;
        QTest::newRow("longer pages, resumed") << 300 << markup << 1500 << 4 << 4 << true;
        // Long start markers over two letters: sections shorter than the start
        // marker, deleted before it, then matches across the deletion.
        QTest::newRow("early deletions") << 4000 << "aAb" << 300 << 6 << 2 << false;
        QTest::newRow("early deletions, resumed") << 2000 << "aAb" << 300 << 6 << 2 << true;
    }
    void agreesWithLiteralPasses()
    {
        QFETCH(int, cases);
        QFETCH(QString, alphabet);
        QFETCH(int, maxPage);
        QFETCH(int, maxStart);
        QFETCH(int, maxEnd);
        QFETCH(bool, resume);
        const Shape shape{alphabet, maxPage, maxStart, maxEnd};
        QRandomGenerator random(quint32(cases * 31 + maxPage + resume));
        for (int i = 0; i < cases; ++i) {
            const Case c = randomCase(random, shape);
            ScriptedClient expected;
            expected.start = c.start;
            expected.end = c.end;
            expected.keep = c.keep;
            expected.listed = c.listed;
            ScriptedClient actual = expected;
            const QString expectedRest = literalPasses(c.page, expected);
            const QString actualRest = runEngine(c.page, actual, resume);
            if (actual.added != expected.added || actualRest != expectedRest) {
                qInfo().noquote() << describe(c);
                QCOMPARE(actual.added, expected.added);
                QCOMPARE(actualRest, expectedRest);
            }
        }
    }

    // Markers and "Keep Duplicates" change between passes: each pass uses the
    // inputs as they stand when it begins.
    void followsInputsChangedBetweenPasses()
    {
        QRandomGenerator random(7);
        const Shape shape{QStringLiteral("aAbB<>/ "), 60, 3, 3};
        for (int i = 0; i < 3000; ++i) {
            const Case c = randomCase(random, shape);
            const Case other = randomCase(random, shape);
            const int switchAt = int(random.bounded(6));
            const auto change = [&](ScriptedClient &client, int pass) {
                if (pass == switchAt) {
                    client.start = randomMarker(random, c.page, shape.alphabet, 3);
                    client.end = other.end;
                    client.keep = !client.keep;
                }
            };
            ScriptedClient expected;
            expected.start = c.start;
            expected.end = c.end;
            expected.keep = c.keep;
            ScriptedClient actual = expected;
            const quint32 seed = random.generate();
            random.seed(seed);
            expected.beforePass = change;
            const QString expectedRest = literalPasses(c.page, expected);
            random.seed(seed);
            actual.beforePass = change;
            const QString actualRest = runEngine(c.page, actual, true);
            if (actual.added != expected.added || actualRest != expectedRest) {
                qInfo().noquote() << describe(c) << "switch at" << switchAt;
                QCOMPARE(actual.added, expected.added);
                QCOMPARE(actualRest, expectedRest);
            }
        }
    }

    void emptiedMarkerEndsPasses()
    {
        ScriptedClient client;
        client.start = QStringLiteral("[");
        client.end = QStringLiteral("]");
        client.beforePass = [](ScriptedClient &c, int pass) {
            if (pass == 1)
                c.end.clear();
        };
        QCOMPARE(runEngine(QStringLiteral("[a][b][c]"), client, false), QStringLiteral("[b][c]"));
        QCOMPARE(client.added, QStringList{"a"});
    }

    // Many pairs on a large page: the passes must not copy or rescan the page
    // each time. The bound only catches a run that effectively hangs.
    void largePageFinishes()
    {
        const int pairs = 40000;
        QString page;
        page.reserve(pairs * 110);
        for (int i = 0; i < pairs; ++i)
            page += QString(80, u'.') + QStringLiteral("<TD>item %1</td>").arg(i % 1000);
        ScriptedClient client;
        client.start = QStringLiteral("<td>");
        client.end = QStringLiteral("</TD>");
        QElapsedTimer timer;
        timer.start();
        const QString rest = runEngine(page, client, false);
        QVERIFY2(timer.elapsed() < 60000, "the passes took far too long");
        QCOMPARE(client.added.size(), 1000);
        QCOMPARE(client.added.last(), QStringLiteral("item 999"));
        QCOMPARE(rest, QString(pairs * 80, u'.'));
    }
};

QTEST_GUILESS_MAIN(TestBetweenMarkers)
#include "tst_betweenmarkers.moc"
