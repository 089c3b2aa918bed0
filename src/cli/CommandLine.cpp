#include "cli/CommandLine.h"

namespace {

bool toCount(const QString &text, int &value)
{
    bool ok = false;
    value = text.toInt(&ok);
    return ok && value >= 0;
}

} // namespace

QString parseArguments(const QStringList &arguments, CliOptions &options)
{
    using Kind = CliOptions::SourceKind;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &option = arguments[i];
        // The values an option takes, or why they are missing.
        const auto values = [&](int count) -> std::optional<QStringList> {
            if (i + count >= arguments.size())
                return std::nullopt;
            const QStringList taken = arguments.mid(i + 1, count);
            i += count;
            return taken;
        };
        const auto rule = [&](Rule chosen, int count) -> QString {
            if (options.rule)
                return QStringLiteral(
                    "Give one rule: --with, --without, --between, --match or --select.");
            const auto texts = values(count);
            if (!texts)
                return option +
                       QStringLiteral(" needs %1.").arg(count == 1 ? "a text" : "two texts");
            options.rule = chosen;
            options.text = options.start = texts->value(0);
            options.end = texts->value(1);
            return {};
        };
        const auto one = [&](QString &into) -> QString {
            const auto value = values(1);
            if (!value)
                return option + QStringLiteral(" needs a value.");
            into = value->first();
            return {};
        };
        const auto count = [&](int &into) -> QString {
            QString text;
            if (QString problem = one(text); !problem.isEmpty())
                return problem;
            return toCount(text, into) ? QString()
                                       : option + QStringLiteral(" needs a whole number.");
        };
        const auto ranged = [&](int &into, int low, int high) -> QString {
            if (QString problem = count(into); !problem.isEmpty())
                return problem;
            if (into >= low && into <= high)
                return {};
            return option + QStringLiteral(" needs a number from %1 to %2.").arg(low).arg(high);
        };
        const auto format = [&]() -> QString {
            QString name;
            if (QString problem = one(name); !problem.isEmpty())
                return problem;
            const auto chosen = RowFormat::named(name);
            if (!chosen)
                return QStringLiteral("--format needs list, commas, csv, tsv or jsonl.");
            options.format = *chosen;
            return {};
        };
        const auto source = [&](Kind kind) -> QString {
            QString value;
            if (QString problem = one(value); !problem.isEmpty())
                return problem;
            options.sources.append({kind, value});
            return {};
        };
        QString problem;
        if (option == QLatin1String("--url"))
            problem = source(Kind::Url);
        else if (option == QLatin1String("--sites"))
            problem = source(Kind::Sites);
        else if (option == QLatin1String("--links-of"))
            problem = source(Kind::LinksOf);
        else if (option == QLatin1String("--with"))
            problem = rule(Rule::WithText, 1);
        else if (option == QLatin1String("--without"))
            problem = rule(Rule::WithoutText, 1);
        else if (option == QLatin1String("--between"))
            problem = rule(Rule::Between, 2);
        else if (option == QLatin1String("--match"))
            problem = rule(Rule::Match, 1);
        else if (option == QLatin1String("--select"))
            problem = rule(Rule::Select, 1);
        else if (option == QLatin1String("--take")) {
            QString take;
            problem = one(take);
            options.takes << take;
        } else if (option == QLatin1String("--text"))
            options.visibleText = true;
        else if (option == QLatin1String("--regex"))
            options.regex = true;
        else if (option == QLatin1String("--keep-duplicates"))
            options.keepDuplicates = true;
        else if (option == QLatin1String("--include-url"))
            options.includeUrl = true;
        else if (option == QLatin1String("--even-if-nothing"))
            options.evenIfNothing = true;
        else if (option == QLatin1String("--format"))
            problem = format();
        else if (option == QLatin1String("--save-list"))
            problem = one(options.saveList);
        else if (option == QLatin1String("--save-commas"))
            problem = one(options.saveCommas);
        else if (option == QLatin1String("--save-csv"))
            problem = one(options.saveCsv);
        else if (option == QLatin1String("--failed"))
            problem = one(options.failedFile);
        else if (option == QLatin1String("--delay"))
            problem = count(options.delayMs);
        else if (option == QLatin1String("--retries"))
            problem = count(options.retries);
        else if (option == QLatin1String("--timeout"))
            problem = count(options.timeoutSeconds);
        else if (option == QLatin1String("--per-host"))
            problem = ranged(options.perHost, 1, 32);
        else if (option == QLatin1String("--connections"))
            problem = ranged(options.connections, 1, 256);
        else if (option == QLatin1String("--quiet"))
            options.quiet = true;
        else if (option == QLatin1String("--help") || option == QLatin1String("-h"))
            options.help = true;
        else if (option == QLatin1String("--version"))
            options.version = true;
        else if (!parseCrawlOption(arguments, i, options, problem))
            problem = QStringLiteral("Unknown option: %1").arg(option);
        if (!problem.isEmpty())
            return problem;
    }
    if (options.help || options.version)
        return {};
    if (!options.rule)
        return QStringLiteral("Give a rule: --with TEXT, --without TEXT, --between START END, "
                              "--match PATTERN or --select SELECTOR.");
    if (!options.takes.isEmpty() && options.rule != Rule::Select)
        return QStringLiteral("--take needs --select.");
    if (options.evenIfNothing && !options.includeUrl)
        return QStringLiteral("--even-if-nothing needs --include-url.");
    return crawlOptionsProblem(options);
}

QString usage()
{
    return QStringLiteral(R"(Usage: quillora-cli RULE SITES... [OPTIONS]

Fetches every site, in the order given, and writes each hit of the rule to
standard output, one row per line.

Sites (any number, in order):
  --url ADDRESS        one address ("http://" is put in front when it lacks it)
  --sites FILE         every non-empty line of an address file, up to a tab if
                       it has one (so a --failed file is one); "-" reads
                       standard input
  --links-of ADDRESS   the page itself, then every href="..." link in it
)") + crawlUsage() +
           QStringLiteral(R"(
Rules (one):
  --with TEXT          lines that contain TEXT, letter case ignored
  --without TEXT       lines that do not contain TEXT
  --between START END  every piece between START and END, again and again
  --match PATTERN      every match of the regular expression PATTERN in every
                       line (its first group when it has one), letter case
                       ignored
  --select SELECTOR    every element matching the CSS selector list, in page
                       order, each match a row (duplicates kept)
  --take WHAT          what --select takes of each element: text (its
                       visible text, the default), raw (its text as written),
                       html (the element), inner (its content) or attr:NAME;
                       repeatable: several give a record a match, a field each
  --keep-duplicates    with --between or --match: keep pieces already found
  --regex              the texts of --with, --without and --between are
                       regular expressions (Perl's), letter case ignored
  --text               the rules read each page's visible text, as a browser
                       shows it, rather than its HTML ("&amp;" is then not
                       decoded again); a page served as plain text is its own

Rows:
  --include-url        put the site's address and a comma before each row
  --even-if-nothing    with --include-url: a row of the address alone for a
                       site that gave nothing
  --format FORMAT      how rows are written to standard output:
                         list    one row a line (the default)
                         commas  the rows joined by commas on one line
                         csv     a header "site,result", then a record a row,
                                 quoted as RFC 4180 has it, lines ending in CR LF
                         tsv     a header "site<TAB>result", then a line a row;
                                 tab, CR, LF and backslash written \t \r \n \\
                         jsonl   a JSON object a line: "site", "url" (after
                                 redirects), "status" and "result"; a failed
                                 site gives "site", "error" and "kind" instead
                       An address row (--even-if-nothing) has an empty result.
  --save-list FILE     also save the rows, one per line
  --save-commas FILE   also save the rows joined by commas
  --save-csv FILE      also save the rows as csv; the saves keep their own
                       format whatever --format says

Fetching:
  --delay MS           wait at least MS between two requests to one host
  --retries N          try an answer 429 or 503, a reset or a timeout again, N
                       times at most, after what Retry-After says (60 s at most)
                       or else after 1 s, doubling
  --timeout SECONDS    give each page this long (120 by default)
  --per-host N         connections at once to one host that speaks HTTP/1.1,
                       1 to 32 (6 by default, as browsers keep to)
  --connections N      connections at once in all, 1 to 256 (16 by default)

Reporting:
  --failed FILE        write "address<TAB>reason" of every failed site to FILE
                       as well as to standard error, and after an interrupt
                       every site not done; FILE may be the --sites list
  --quiet              no progress line on standard error
  --help, --version

Control characters in an address on standard error or in FILE are written
as %XX. Ctrl-C (SIGINT) or SIGTERM stops the run at once: no row after it, the
rows so far written and saved, every site not done listed in FILE with the
reason "not done" (the one under way "stopped after N rows shown" if it
showed some), so that --sites FILE resumes the run; a second one ends it
without waiting, saving what was found and recorded so far; a third ends the
program at once.

Exit status: 0 when every site was fetched, 1 when any failed, 2 when the
command was wrong, a file could not be read or written, standard input was
closed or standard output could not be written, 130 after SIGINT, 143 after
SIGTERM, 141 when standard output was a pipe its reader closed (as `head`).
)");
}
