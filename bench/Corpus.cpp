#include "Corpus.h"

#include <QDir>
#include <QFile>

#include <array>
#include <cstdio>

namespace {

// Small fixed generator: the corpus must not depend on the library's PRNG.
class Random
{
public:
    explicit Random(quint64 seed) : m_state(seed * 0x9E3779B97F4A7C15ull + 1) {}
    quint32 next()
    {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 7;
        m_state ^= m_state << 17;
        return quint32(m_state >> 11);
    }
    int below(int n) { return int(next() % quint32(n)); }

private:
    quint64 m_state;
};

constexpr std::array vocabulary{
    "the",    "garden",  "of",      "a",       "window",  "river",   "stone", "light",
    "and",    "seed",    "<p>",     "</p>",    "<span>",  "</span>", "class", "north",
    "summer", "letter",  "paper",   "engine",  "table",   "data",    "value", "orange",
    "to",     "in",      "with",    "under",   "between", "page",    "index", "market",
    "report", "harbour", "Village", "Council", "Street",  "Monday",  "price", "list",
    "is",     "was",     "for",     "on",      "that",    "by",      "from",  "at",
    "café",   "naïve",   "Zürich",  "résumé",  "—",       "ложка",   "東京",  "€5"};

constexpr std::array wordForms{"marigold", "MARIGOLD", "Marigold",
                               "mariGold", "mARIGOLD", "MariGOLD"};

// One line of filler text, about width bytes, ending in '\n'.
QByteArray fillerLine(Random &random, int width, bool withWord)
{
    QByteArray line;
    line.reserve(width + 16);
    const int wordAt = withWord ? random.below(8) : -1;
    const auto word = [&] {
        return wordForms[random.below(int(wordForms.size()))];
    };
    bool placed = false;
    for (int i = 0; line.size() < width; ++i) {
        if (i > 0)
            line += ' ';
        if (i == wordAt) {
            line += word();
            placed = true;
        } else if (random.below(40) == 0)
            line += "&amp;";
        else
            line += vocabulary[random.below(int(vocabulary.size()))];
    }
    if (withWord && !placed)
        line += QByteArray(" ") + word();
    line += '\n';
    return line;
}

// Lines of filler until size bytes; one line in hitEvery holds the word.
QByteArray textPage(Random &random, qint64 size, int hitEvery)
{
    QByteArray page;
    page.reserve(size + 256);
    page += "<html><head><title>bench</title></head><body>\n";
    while (page.size() < size)
        page += fillerLine(random, 40 + random.below(80), random.below(hitEvery) == 0);
    return page;
}

// The same text as textPage, each line a paragraph: a page whose visible
// text keeps its lines.
QByteArray paragraphsPage(Random &random, qint64 size, int hitEvery)
{
    QByteArray page;
    page.reserve(size + 256);
    page += "<html><head><title>bench</title></head><body>\n";
    while (page.size() < size)
        page += "<p>" +
                fillerLine(random, 40 + random.below(80), random.below(hitEvery) == 0).chopped(1) +
                "</p>\n";
    return page;
}

// size bytes holding pairs <b>...</b>; the values repeat (values distinct ones).
QByteArray betweenPage(Random &random, qint64 size, int pairs, int values)
{
    QByteArray page;
    page.reserve(size + 256);
    const qint64 perPair = size / pairs;
    for (int i = 0; i < pairs; ++i) {
        const qint64 pairEnd = page.size() + perPair;
        page += "<b>item-" + QByteArray::number(random.below(values)) + "</b>";
        while (page.size() < pairEnd)
            page += fillerLine(random, int(qMin<qint64>(70, pairEnd - page.size())), false);
    }
    return page;
}

QByteArray linksPage(Random &random, qint64 size, int links)
{
    QByteArray page;
    page.reserve(size + 256);
    const qint64 perLink = size / links;
    for (int i = 0; i < links; ++i) {
        const qint64 linkEnd = page.size() + perLink;
        switch (random.below(4)) {
        case 0:
            page += "<a href=\"/docs/page-" + QByteArray::number(i) + ".html\">";
            break;
        case 1:
            page += "<a href=\"http://example.test/item?id=" + QByteArray::number(i) + "\">";
            break;
        case 2:
            page += "<a class=\"nav\" href=\"section/" + QByteArray::number(i) + "/\">";
            break;
        default:
            page += "<a href=\"#anchor-" + QByteArray::number(i) + "\">";
            break;
        }
        page += "link</a>\n";
        while (page.size() < linkEnd)
            page += fillerLine(random, int(qMin<qint64>(70, linkEnd - page.size())), false);
    }
    return page;
}

// Short lines, every one holding the word: each becomes a result row.
QByteArray rowsPage(int rows)
{
    QByteArray page;
    page.reserve(qsizetype(rows) * 24);
    for (int i = 0; i < rows; ++i)
        page += "row " + QByteArray::number(i) + " marigold\n";
    return page;
}

QByteArray addressFile(int lines)
{
    QByteArray file;
    file.reserve(qsizetype(lines) * 40);
    for (int i = 0; i < lines; ++i)
        file += "www.site-" + QByteArray::number(i) + ".example/path/index.html\r\n";
    return file;
}

bool save(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

} // namespace

bool writeCorpus(const QString &folder)
{
    const auto path = [&](const char *name) {
        return folder + u'/' + QLatin1String(name);
    };
    bool ok = true;
    for (int i = 0; i < 100 && ok; ++i) {
        Random random(100 + i);
        ok = save(folder + QStringLiteral("/s1/page-%1.html").arg(i, 3, 10, QLatin1Char('0')),
                  textPage(random, 200 * 1024, 20));
    }
    for (int i = 0; i < 200 && ok; ++i) {
        Random random(1000 + i);
        ok = save(folder + QStringLiteral("/s2/page-%1.html").arg(i, 3, 10, QLatin1Char('0')),
                  textPage(random, 4 * 1024, 20));
    }
    Random random(7);
    ok = ok && save(path("s3/between-1m.html"), betweenPage(random, 1'000'000, 10'000, 500));
    ok = ok && save(path("s3/between-10m.html"), betweenPage(random, 10'000'000, 100'000, 5000));
    ok = ok && save(path("s4/links-5m.html"), linksPage(random, 5'000'000, 50'000));
    ok = ok && save(path("s5/rows-1m.html"), rowsPage(1'000'000));
    ok = ok && save(path("s5/addresses-1m.txt"), addressFile(1'000'000));
    ok = ok && save(path("s6/big-100m.html"), textPage(random, 100'000'000, 100));
    ok = ok && save(path("s6/paragraphs-100m.html"), paragraphsPage(random, 100'000'000, 100));
    ok = ok && save(path("s8/text-40m.html"), textPage(random, 40'000'000, 100));
    ok = ok && save(path("s8/between-40m.html"), betweenPage(random, 40'000'000, 400'000, 5000));
    return ok;
}
