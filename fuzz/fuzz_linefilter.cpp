// A whole line-filter run over one page, and the rule given the page cut
// anywhere, against the run read literally: the page cut at every line feed,
// "&amp;" replaced from the left, both texts folded to one case, and the
// address row after any piece while no row shows the address. Then the text
// as a regular expression, matched against each line alone; and so are
// patterns drawn at random (seeded by the input), with groups, classes,
// alternations and escapes that the required-text shortcut and the one search
// over many lines must read right, some costly enough to reach the match limit.
#include "FuzzCheck.h"
#include "extraction/Pattern.h"
#include "platform/Utf8Validation.h"
#include "support/Fakes.h"

#include <QCoreApplication>
#include <QHash>

#include <random>

namespace {

const QString address = QStringLiteral("http://site.test/page");

// Lines the match limit leaves undecided give no row and set *undecided.
QStringList literalRun(Rule rule, const QString &page, const TestRunHost &host,
                       bool *undecided = nullptr)
{
    const QRegularExpression pattern("(*LIMIT_MATCH=1000000)" + host.rule,
                                     QRegularExpression::CaseInsensitiveOption |
                                         QRegularExpression::MultilineOption);
    QStringList rows;
    bool shown = false;
    for (const QString &piece : page.isEmpty() ? QStringList() : page.split(u'\n')) {
        const QString line = QString(piece).replace(QLatin1String("&amp;"), QLatin1String("&"));
        bool found = line.toCaseFolded().contains(host.rule.toCaseFolded()), decided = true;
        if (host.pattern) {
            const QRegularExpressionMatch match = pattern.match(line);
            found = match.hasMatch();
            decided = match.isValid();
            // A line that matches holds the text the shortcut looks for.
            FUZZ_CHECK(!found || line.contains(requiredText(host.rule), Qt::CaseInsensitive));
            if (undecided)
                *undecided = *undecided || !decided;
        }
        if (!piece.isEmpty() && decided && found == (rule == Rule::WithText)) {
            rows << (host.include ? address + u',' + line : line);
            shown = shown || host.include;
        }
        if (host.include && host.evenIfNothing && !shown) {
            rows << address;
            shown = true;
        }
    }
    return rows;
}

// A pattern drawn at random, and a text it likely matches.
void drawPattern(std::minstd_rand &draw, QString &pattern, QString &sample, int depth = 0)
{
    // Atoms and a text each matches: literals, classes, escapes, a costly group,
    // and a few that look around the match or past a line.
    // clang-format off
    static const char *const atoms[][2] = {
        {"a", "A"}, {"keep", "KeEp"}, {"&", "&amp;"}, {"-", "-"}, {"}", "}"}, {"x{", "x{"},
        {"\xc3\xa9", "\xc3\x89"}, {"\xf0\x9d\x92\x9c", "\xf0\x9d\x92\x9c"}, {".", "x"},
        {"[ab]", "B"}, {"[]a]", "]"}, {"[a\\]]", "]"}, {"[a-c]", "b"}, {"[(|)]", ")"},
        {"[^a]", "z"}, {"[^]a]", "b"}, {"[\\t-~]", "t"}, {"[[:alpha:]]", "q"},
        {"\\d", "4"}, {"\\w", "w"}, {"\\s", " "}, {"\\b", ""}, {"\\.", "."}, {"\\)", ")"},
        {"\\x41", "a"}, {"\\K", ""}, {"(a+)+", "aaaaaaaaaaaaaaaaaaaaaa"},
        {"(?=a)", ""}, {"(?<=c)", ""}, {"\\A", ""}, {"\\z", ""}, {"\\G", ""}, {"\\n", "\n"}};
    // clang-format on
    static const char *const quantifiers[][2] = {
        {"*", "2"}, {"+", "1"}, {"?", "0"}, {"{2}", "2"}, {"{1,3}", "1"}, {"*?", "1"}, {"++", "1"}};
    for (int count = 1 + draw() % 4; count > 0; --count) {
        const uint choice = draw();
        QString atom, text;
        if (choice % 8 == 7 && depth < 2) {
            atom = choice & 8 ? QStringLiteral("(?:") : QStringLiteral("(");
            drawPattern(draw, atom, text, depth + 1);
            if (choice & 16) {
                QString other;
                atom += u'|';
                drawPattern(draw, atom, other, depth + 1);
            }
            atom += u')';
        } else {
            // Plain text often enough that the shortcut has some to look for.
            const auto &[a, t] = atoms[choice % 8 == 6 ? 1 : draw() % std::size(atoms)];
            atom = QString::fromUtf8(a);
            text = QString::fromUtf8(t);
        }
        if (const uint q = (choice >> 4) & 15; q < std::size(quantifiers)) {
            atom += QLatin1String(quantifiers[q][0]);
            text = text.repeated(quantifiers[q][1][0] - '0');
        }
        pattern += atom;
        sample += text;
    }
}

// Drawn patterns over lines made from their texts: as they are, in capitals,
// one character changed, cut short, broken in two by a line feed.
void checkDrawnPatterns(std::minstd_rand &draw)
{
    for (int round = 0; round < 3; ++round) {
        const uint flags = draw();
        QString pattern = flags & 1 ? QStringLiteral("^") : QString(), sample;
        if (flags & 2)
            pattern.prepend(QStringLiteral("(*CR)"));
        drawPattern(draw, pattern, sample);
        if (flags & 4)
            pattern += u'$';
        if (!patternProblem(pattern).isEmpty())
            continue;
        QStringList lines{sample, sample.toUpper(), "x" + sample};
        if (!sample.isEmpty()) {
            const qsizetype at = draw() % sample.size();
            lines << QString(sample).replace(at, 1, QLatin1Char("!\r"[(flags >> 3) & 1]))
                  << sample.chopped(1) << sample.first(at) + u'\n' + sample.sliced(at);
        }
        // A line cut inside a surrogate pair as a decoded page would show it.
        const QByteArray utf8 = lines.join(u'\n').toUtf8();
        const QString page = QString::fromUtf8(utf8);
        QList<QByteArrayView> pieces;
        for (qsizetype at = 0, piece = 0; at < utf8.size(); at += piece) {
            piece = std::min<qsizetype>(1 + draw() % 40, utf8.size() - at);
            pieces << QByteArrayView(utf8).sliced(at, piece);
        }
        TestRunHost host;
        host.keep = host.pattern = true;
        host.rule = pattern;
        for (const Rule rule : {Rule::WithText, Rule::WithoutText}) {
            bool undecided = false;
            const QStringList expected = literalRun(rule, page, host, &undecided);
            const QStringList rows = ruleRows(rule, address, pieces, host);
            // The shortcut leaves unsearched a line it knows cannot match.
            if (rows == QStringList{"!" + address})
                FUZZ_CHECK(undecided);
            else
                FUZZ_CHECK(rows == expected && (rule == Rule::WithText || !undecided));
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    new QCoreApplication(*argc, *argv); // lives as long as the process
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView raw(data, qsizetype(size));
    FUZZ_CHECK(isValidUtf8(raw) == raw.isValidUtf8());
    FuzzInput input(data, size);
    const uint8_t options = input.byte();
    const Rule rule = options & 1 ? Rule::WithoutText : Rule::WithText;
    TestRunHost host;
    host.keep = true;
    host.include = options & 2;
    host.evenIfNothing = host.include && (options & 4);
    // Decoded pages and typed texts never hold a lone surrogate.
    host.rule = QString::fromUtf8(text(input.part(), options & 8).toUtf8());
    const QString page = QString::fromUtf8(text(input.rest(), options & 8).toUtf8());
    if (host.rule.isEmpty())
        return 0; // refused before a run starts

    FakeFetcher fetcher;
    fetcher.pages.insert(address, page.toUtf8());
    // Cuts drawn from the input itself, so that a failure replays.
    std::minstd_rand draw(uint(qHash(QByteArrayView(data, qsizetype(size)))));
    const QByteArray utf8 = page.toUtf8();
    const qsizetype longest = draw() % 2 ? 2 : utf8.size() / 3 + 1;
    QList<QByteArrayView> pieces;
    for (qsizetype at = 0, piece = 0; at < utf8.size(); at += piece) {
        piece = std::min<qsizetype>(draw() % (longest + 1), utf8.size() - at);
        pieces << QByteArrayView(utf8).sliced(at, piece);
    }
    for (const bool pattern : {false, true}) {
        host.pattern = pattern;
        if (pattern && !patternProblem(host.rule).isEmpty())
            break;
        const QStringList expected = literalRun(rule, page, host);
        FUZZ_CHECK(runRows(rule, fetcher, {address}, host) == expected);
        FUZZ_CHECK(ruleRows(rule, address, pieces, host) == expected);
    }
    checkDrawnPatterns(draw);
    return 0;
}
