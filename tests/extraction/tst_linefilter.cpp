#include "extraction/LineFilter.h"

#include <QTest>

class TestLineFilter : public QObject
{
    Q_OBJECT
private slots:
    void decodeAmp_data()
    {
        QTest::addColumn<QString>("in");
        QTest::addColumn<QString>("out");
        QTest::newRow("between words") << "Tom &amp; Jerry"
                                       << "Tom & Jerry";
        QTest::newRow("capitals stay") << "A &AMP; B"
                                       << "A &AMP; B";
        QTest::newRow("one pass") << "&amp;amp;"
                                  << "&amp;";
        QTest::newRow("several") << "&amp;&amp;x&amp;"
                                 << "&&x&";
        QTest::newRow("none") << "plain"
                              << "plain";
        QTest::newRow("cut entity") << "&amp"
                                    << "&amp";
    }
    void decodeAmp()
    {
        QFETCH(QString, in);
        QFETCH(QString, out);
        QCOMPARE(DecodeAmp(in), out);
    }

    void passes_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("rule");
        QTest::addColumn<bool>("with");
        QTest::newRow("capitals in line") << "A FOO here"
                                          << "foo" << true;
        QTest::newRow("capitals in rule") << "a foo"
                                          << "FoO" << true;
        QTest::newRow("longer word") << "football"
                                     << "foot" << true;
        QTest::newRow("trailing blank at end") << "word foo"
                                               << "foo " << false;
        QTest::newRow("punctuation exact") << "a-b"
                                           << "a b" << false;
        QTest::newRow("empty rule in every line") << "x"
                                                  << "" << true;
        QTest::newRow("accented letters") << "CAFÉ"
                                          << "café" << true;
        QTest::newRow("entity text compared literally") << "&amp;"
                                                        << "&amp;" << true;
    }
    void passes()
    {
        QFETCH(QString, line);
        QFETCH(QString, rule);
        QFETCH(bool, with);
        QCOMPARE(LinePasses(Rule::WithText, line, rule), with);
        QCOMPARE(LinePasses(Rule::WithoutText, line, rule), !with);
    }
};

QTEST_GUILESS_MAIN(TestLineFilter)
#include "tst_linefilter.moc"
