#include "crawl/RobotsTxt.h"

#include "crawl/WebAddress.h"

#include <algorithm>
#include <cmath>
#include <initializer_list>

namespace {

enum class Key
{
    UserAgent,
    Allow,
    Disallow,
    CrawlDelay,
    Sitemap,
    Other
};

// The keys with the misspellings found in the wild.
Key keyOf(QByteArrayView word)
{
    const auto is = [word](std::initializer_list<const char *> spellings) {
        for (const char *spelling : spellings)
            if (word.compare(QByteArrayView(spelling), Qt::CaseInsensitive) == 0)
                return true;
        return false;
    };
    if (is({"user-agent", "useragent", "user_agent"}))
        return Key::UserAgent;
    if (is({"allow"}))
        return Key::Allow;
    if (is({"disallow", "dissallow", "dissalow", "disalow", "diasllow", "disallaw"}))
        return Key::Disallow;
    if (is({"crawl-delay", "crawldelay"}))
        return Key::CrawlDelay;
    if (is({"sitemap", "site-map"}))
        return Key::Sitemap;
    return Key::Other;
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

QByteArrayView trimmed(QByteArrayView s)
{
    while (!s.isEmpty() && isBlank(s.front()))
        s = s.sliced(1);
    while (!s.isEmpty() && isBlank(s.back()))
        s.chop(1);
    return s;
}

bool isTokenChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' || c == '_';
}

} // namespace

RobotsTxt RobotsTxt::disallowAll()
{
    RobotsTxt robots;
    robots.m_disallowAll = true;
    return robots;
}

RobotsTxt RobotsTxt::fromAnswer(int httpStatus, QByteArrayView body, QByteArrayView productToken)
{
    if (httpStatus >= 200 && httpStatus < 300)
        return parse(body, productToken);
    if (httpStatus >= 300 && httpStatus < 500)
        return allowAll();
    return disallowAll();
}

RobotsTxt RobotsTxt::parse(QByteArrayView body, QByteArrayView productToken)
{
    if (body.size() > maxBytes) { // up to the last whole line
        body = body.first(maxBytes);
        const qsizetype end = std::max(body.lastIndexOf('\n'), body.lastIndexOf('\r'));
        body = body.first(end + 1);
    }
    if (body.startsWith("\xEF\xBB\xBF"))
        body = body.sliced(3);

    struct Chosen
    {
        QList<Rule> rules;
        std::optional<double> crawlDelay;
        bool named = false; // some group names it
    } ours, star;
    bool groupIsOurs = false, groupIsStar = false;
    bool inAgentLines = false;
    RobotsTxt robots;

    for (qsizetype at = 0; at < body.size();) {
        qsizetype end = at;
        while (end < body.size() && body[end] != '\n' && body[end] != '\r')
            ++end;
        QByteArrayView line = body.sliced(at, end - at);
        at = end + 1;
        if (const qsizetype hash = line.indexOf('#'); hash >= 0)
            line = line.first(hash);
        line = trimmed(line);
        // "key: value", or "key value" with the colon missing.
        qsizetype keyEnd = 0;
        while (keyEnd < line.size() && isTokenChar(line[keyEnd]))
            ++keyEnd;
        QByteArrayView value = trimmed(line.sliced(keyEnd));
        if (value.startsWith(':'))
            value = trimmed(value.sliced(1));
        else if (value.size() == line.size() - keyEnd) // neither colon nor blank
            continue;
        const Key key = keyOf(line.first(keyEnd));

        if (key == Key::UserAgent) {
            if (!inAgentLines)
                groupIsOurs = groupIsStar = false;
            inAgentLines = true;
            qsizetype tokenEnd = 0;
            while (tokenEnd < value.size() && isTokenChar(value[tokenEnd]))
                ++tokenEnd;
            if (value.startsWith('*')) {
                groupIsStar = star.named = true;
            } else if (tokenEnd > 0 && QByteArrayView(value.first(tokenEnd))
                                               .compare(productToken, Qt::CaseInsensitive) == 0) {
                groupIsOurs = ours.named = true;
            }
        } else if (key == Key::Sitemap) {
            if (!value.isEmpty())
                robots.m_sitemaps.append(value.toByteArray());
        } else if (key != Key::Other) {
            inAgentLines = false;
            if (!groupIsOurs && !groupIsStar)
                continue;
            if (key == Key::CrawlDelay) {
                bool ok = false;
                const double seconds = value.toByteArray().toDouble(&ok);
                for (Chosen *chosen :
                     {groupIsOurs ? &ours : nullptr, groupIsStar ? &star : nullptr})
                    if (chosen && ok && std::isfinite(seconds) && seconds >= 0 &&
                        !chosen->crawlDelay)
                        chosen->crawlDelay = seconds;
                continue;
            }
            if (value.isEmpty()) // "Disallow:" forbids nothing
                continue;
            Rule rule;
            rule.allow = key == Key::Allow;
            rule.pattern = normaliseEscapes(value);
            if (!value.startsWith('/') && !value.startsWith('*'))
                rule.pattern.prepend('/');
            rule.plain = !rule.pattern.contains('*') && !rule.pattern.endsWith('$');
            rule.literalBytes = rule.pattern.size() - rule.pattern.count('*') -
                                (rule.pattern.endsWith('$') ? 1 : 0);
            if (groupIsOurs)
                ours.rules.append(rule);
            if (groupIsStar)
                star.rules.append(rule);
        }
    }

    Chosen &chosen = ours.named ? ours : star;
    robots.m_rules = std::move(chosen.rules);
    robots.m_crawlDelay = chosen.crawlDelay;
    // Longest first, allow first among equals; a rule repeated is tried once.
    std::sort(robots.m_rules.begin(), robots.m_rules.end(), [](const Rule &a, const Rule &b) {
        if (a.pattern.size() != b.pattern.size())
            return a.pattern.size() > b.pattern.size();
        if (a.allow != b.allow)
            return a.allow;
        return a.pattern < b.pattern;
    });
    robots.m_rules.erase(std::unique(robots.m_rules.begin(), robots.m_rules.end(),
                                     [](const Rule &a, const Rule &b) {
                                         return a.allow == b.allow && a.pattern == b.pattern;
                                     }),
                         robots.m_rules.end());
    for (const Rule &rule : std::as_const(robots.m_rules)) {
        robots.m_wildcardRules += rule.plain ? 0 : 1;
        robots.m_wildcardBytes += rule.plain ? 0 : rule.pattern.size();
    }
    return robots;
}

// Only "*" is a wildcard, so matching each piece between stars at its first
// place after the one before finds a match whenever there is one.
bool RobotsTxt::matches(const Rule &rule, QByteArrayView path)
{
    if (path.size() < rule.literalBytes)
        return false;
    if (rule.plain)
        return path.startsWith(rule.pattern);
    QByteArrayView pattern = rule.pattern;
    const bool anchored = pattern.endsWith('$');
    if (anchored)
        pattern.chop(1);
    qsizetype star = pattern.indexOf('*');
    const QByteArrayView first = star < 0 ? pattern : pattern.first(star);
    if (!path.startsWith(first))
        return false;
    if (star < 0)
        return !anchored || path.size() == first.size();
    qsizetype at = first.size();
    for (;;) {
        const qsizetype next = pattern.indexOf('*', star + 1);
        const QByteArrayView piece =
            pattern.sliced(star + 1, (next < 0 ? pattern.size() : next) - star - 1);
        if (next < 0) {
            if (anchored)
                return path.size() - at >= piece.size() && path.endsWith(piece);
            return piece.isEmpty() || path.indexOf(piece, at) >= 0;
        }
        if (!piece.isEmpty()) {
            const qsizetype found = path.indexOf(piece, at);
            if (found < 0)
                return false;
            at = found + piece.size();
        }
        star = next;
    }
}

RobotsTxt::Verdict RobotsTxt::verdict(QByteArrayView pathAndQuery) const
{
    QByteArray path = normaliseEscapes(pathAndQuery);
    if (path.isEmpty() || path.startsWith('?'))
        path.prepend('/');
    if (path == "/robots.txt")
        return Allowed;
    if (m_disallowAll)
        return Disallowed;
    if (m_wildcardRules * path.size() + m_wildcardBytes > maxMatchSteps)
        return TooComplex;
    for (const Rule &rule : m_rules)
        if (matches(rule, path))
            return rule.allow ? Allowed : Disallowed;
    return Allowed;
}

bool RobotsTxt::allows(const WebAddress &address) const
{
    return verdict(address.pathAndQuery()) == Allowed;
}
