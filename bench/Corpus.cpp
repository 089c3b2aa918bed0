#include "Corpus.h"

#include <QDir>
#include <QFile>

#include <zlib.h>

#include <array>
#include <cstdio>
#include <vector>

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

// The crawl's site: pages in levels 0 (the start) to 5, every page of a level
// linked from one of the level before, so that its depth is its level; level
// 5 lies past a crawl of depth 4. Each page links to 30 others: a child or two,
// then pages of levels up to its own plus one, many of them under another
// spelling of the same address, and now and then outside the start's folder.
// Every tenth page lives under private/, which robots.txt disallows; no page
// there is the one link of another to its level.
constexpr std::array crawlLevels{1, 30, 600, 3600, 5269, 500};

QByteArray crawlPath(int page)
{
    const QByteArray name = "p" + QByteArray::number(page).rightJustified(5, '0') + ".html";
    return page % 10 == 7 ? "private/" + name : name;
}

// The same page as a link written in one of the ways pages write them; "@HOST@"
// is the bench server's own host and port.
QByteArray crawlLink(Random &random, int page)
{
    const QByteArray path = crawlPath(page);
    switch (random.below(12)) {
    case 0:
        return "./" + path;
    case 1:
        return "/s11/" + path;
    case 2:
        return path + "#part-" + QByteArray::number(random.below(5));
    case 3:
        return "HTTP://@HOST@/s11/" + path;
    case 4:
        return "//@HOST@/s11/" + path;
    case 5:
        return "sub/../" + path;
    case 6:
        return "/s11/./" + path;
    case 7: // an unreserved character escaped
        return path.left(path.size() - 11) + "%70" + path.right(10);
    case 8:
        return "../s11/" + path;
    default:
        return path;
    }
}

void writeCrawlSite(const QString &folder, bool &ok)
{
    std::vector<int> levelStart{0};
    for (const int size : crawlLevels)
        levelStart.push_back(levelStart.back() + size);
    const int pages = levelStart.back();
    std::vector<int> levelOf(static_cast<size_t>(pages));
    std::vector<std::vector<int>> children(static_cast<size_t>(pages));
    Random random(11);
    for (size_t level = 0; level < crawlLevels.size(); ++level) {
        for (int page = levelStart[level]; page < levelStart[level + 1]; ++page) {
            levelOf[size_t(page)] = int(level);
            if (level == 0)
                continue;
            int parent;
            do
                parent = levelStart[level - 1] + random.below(crawlLevels[level - 1]);
            while (parent % 10 == 7 && crawlLevels[level - 1] > 1);
            children[size_t(parent)].push_back(page);
        }
    }
    for (int page = 0; page < pages && ok; ++page) {
        // The start page, the parent of every page of level 1, is allowed.
        const int level = levelOf[size_t(page)];
        QByteArray body = "<!DOCTYPE html>\n<html><head><title>Page " + QByteArray::number(page) +
                          "</title></head><body>\n";
        const auto link = [&](const QByteArray &href) {
            body += "<p><a href=\"" + href + "\">page</a></p>\n";
        };
        for (const int child : children[size_t(page)])
            link(crawlLink(random, child));
        const int reach = levelStart[size_t(std::min<int>(level + 2, int(crawlLevels.size())))];
        for (int i = int(children[size_t(page)].size()); i < 30; ++i) {
            if (random.below(40) == 0)
                link(random.below(2) ? "../s1/page-001.html" : "/index.html");
            else
                link(crawlLink(random, random.below(reach)));
        }
        for (int line = 0; line < 20; ++line)
            body += fillerLine(random, 60 + random.below(60), random.below(10) == 0);
        body += "</body></html>\n";
        ok = save(folder + "/s11/" + QString::fromLatin1(crawlPath(page)), body);
    }
}

QByteArray gzipped(const QByteArray &data)
{
    z_stream zlib{};
    deflateInit2(&zlib, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
    QByteArray out(qsizetype(deflateBound(&zlib, uLong(data.size()))), Qt::Uninitialized);
    zlib.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
    zlib.avail_in = uInt(data.size());
    zlib.next_out = reinterpret_cast<Bytef *>(out.data());
    zlib.avail_out = uInt(out.size());
    deflate(&zlib, Z_FINISH);
    out.truncate(qsizetype(zlib.total_out));
    deflateEnd(&zlib);
    return out;
}

// A sitemap index of 20 sitemaps of 50,000 pages each, every other one
// gzip-compressed, all naming a host nobody listens on.
void writeSitemaps(const QString &folder, bool &ok)
{
    QByteArray index = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                       "<sitemapindex xmlns=\"http://www.sitemaps.org/schemas/sitemap/0.9\">\n";
    for (int file = 0; file < 20 && ok; ++file) {
        const QByteArray name =
            "sitemap-" + QByteArray::number(file) + (file % 2 ? ".xml.gz" : ".xml");
        index += "<sitemap><loc>http://@HOST@/s12/" + name + "</loc></sitemap>\n";
        QByteArray sitemap = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                             "<urlset xmlns=\"http://www.sitemaps.org/schemas/sitemap/0.9\">\n";
        for (int page = 0; page < 50'000; ++page)
            sitemap += "<url><loc>http://127.0.0.1:1/s12/" + QByteArray::number(file) + "/" +
                       QByteArray::number(page) + ".html</loc></url>\n";
        sitemap += "</urlset>\n";
        ok = save(folder + "/s12/" + QString::fromLatin1(name),
                  file % 2 ? gzipped(sitemap) : sitemap);
    }
    index += "</sitemapindex>\n";
    ok = ok && save(folder + "/s12/index.xml", index);
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
    if (ok)
        writeCrawlSite(folder, ok);
    ok = ok && save(path("robots.txt"), "User-agent: *\nDisallow: /s11/private/\n");
    if (ok)
        writeSitemaps(folder, ok);
    return ok;
}
