#include "extraction/LineRule.h"

#include "extraction/LineFilter.h"
#include "extraction/Pattern.h"
#include "extraction/Utf8LineFilter.h"
#include "model/WorkSlice.h"
#include "results/ResultSink.h"

LineRule::LineRule(Rule kind, const QString &address, RunHost &host, ResultSink &results)
    : m_kind(kind), m_address(address), m_host(host), m_results(results)
{
}

QString LineRule::problem(const RuleDescription &rule, qsizetype siteCount)
{
    if (rule.text.isEmpty())
        return rule.kind == Rule::WithoutText
                   ? QStringLiteral("Fill out text to use to skip lines.")
                   : QStringLiteral("Fill out text to use to extract lines.");
    if (rule.textPattern) {
        if (QString problem = patternProblem(rule.text); !problem.isEmpty())
            return problem;
    }
    if (siteCount == 0)
        return QStringLiteral("No sites added.");
    return {};
}

void LineRule::take(QByteArrayView piece)
{
    if (piece.isEmpty())
        return;
    m_pageEmpty = false;
    const qsizetype firstFeed = piece.indexOf('\n');
    if (firstFeed < 0) {
        m_partial += piece;
        return;
    }
    // Only the line that spans pieces is copied: the piece stays as it is
    // until the rule asks for the next.
    const qsizetype lastFeed = piece.lastIndexOf('\n');
    m_lines = std::exchange(m_partial, piece.sliced(lastFeed + 1).toByteArray());
    m_lines += piece.first(firstFeed);
    m_hasRest = lastFeed > firstFeed;
    m_rest = m_hasRest ? piece.sliced(firstFeed + 1, lastFeed - firstFeed - 1) : QByteArrayView();
    m_inRest = false;
    m_next = 0;
}

bool LineRule::moveToRest()
{
    if (m_inRest || !m_hasRest)
        return false;
    m_inRest = true;
    m_next = 0;
    return true;
}

void LineRule::endOfPage()
{
    // The piece after the last line feed is a line too, even an empty one.
    if (m_pageEmpty)
        return;
    m_lines = std::exchange(m_partial, {});
    m_hasRest = m_inRest = false;
    m_next = 0;
}

bool LineRule::advance(const WorkSlice &slice)
{
    if (m_next > lines().size() && !moveToRest())
        return true;
    if (m_host.rulePattern(m_kind))
        return advancePattern(slice);
    // Nothing the rule reads can change before it yields again, so one reading
    // of the text and the options serves the whole call.
    const Utf8LineFilter filter(m_kind, m_host.ruleText(m_kind));
    const auto kind =
        m_host.includeAddress() ? ResultRow::Kind::ResultWithAddress : ResultRow::Kind::Result;
    const auto hit = [&](QString &&line) {
        m_results.append({m_address, std::move(line), kind});
    };
    // The address row follows a line; after the first one of a call the
    // address is shown (or the options are off) until the next yield, so the
    // row can only come here.
    m_next = filter.scan(lines(), m_next, 0, hit);
    addAddressRow();
    while (m_next <= lines().size() || moveToRest()) {
        if (slice.expired())
            return false;
        m_next = filter.scan(lines(), m_next, bytesPerCheck, hit);
    }
    linesDone();
    return true;
}

void LineRule::linesDone()
{
    m_lines.clear();
    m_rest = {};
    m_hasRest = m_inRest = false;
    m_next = 1;
}

void LineRule::addAddressRow()
{
    AddAddressRow(m_results, m_address, m_host.includeAddress(),
                  m_host.includeAddressIfNothingFound());
}

// The same lines as the literal filter, tested by the pattern. The with-text
// rule reads only the lines the pattern may match; the without-text rule
// decodes every line, as most become rows.
bool LineRule::advancePattern(const WorkSlice &slice)
{
    const QString text = m_host.ruleText(m_kind);
    const QRegularExpression pattern = compiledPattern(text);
    const bool keepMatching = m_kind == Rule::WithText;
    const auto kind =
        m_host.includeAddress() ? ResultRow::Kind::ResultWithAddress : ResultRow::Kind::Result;
    const auto hit = [&](QString &&line) {
        m_results.append({m_address, std::move(line), kind});
    };
    QString decoded;
    for (qsizetype minBytes = 0; m_next <= lines().size() || moveToRest();
         minBytes = bytesPerCheck) {
        if (minBytes > 0 && slice.expired())
            return false;
        if (keepMatching) {
            m_next = matchingLines(lines(), m_next, minBytes, pattern, text, hit);
        } else {
            m_next = decodeLines(lines(), m_next, minBytes, &decoded);
            // A text made invalid while the run waited matches nothing.
            if (pattern.isValid()) {
                matchLines(decoded, pattern, text, true, [&](QStringView line, bool matches) {
                    if (!matches)
                        hit(line.toString());
                });
            }
        }
        if (minBytes == 0)
            addAddressRow();
    }
    linesDone();
    return true;
}
