#include "extraction/Utf8LineFilter.h"

#include "model/TextList.h"

#include <algorithm>
#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr QByteArrayView amp("&amp;");

constexpr char foldAscii(char c)
{
    return (c >= 'A' && c <= 'Z') ? char(c | 0x20) : c;
}

qsizetype find(QByteArrayView text, QByteArrayView what, qsizetype from)
{
    // Also keeps an empty line, which may have no bytes at all, from memmem.
    if (text.size() - from < what.size())
        return -1;
    const void *at =
        memmem(text.data() + from, size_t(text.size() - from), what.data(), size_t(what.size()));
    return at ? static_cast<const char *>(at) - text.data() : -1;
}

qsizetype findByte(QByteArrayView text, char byte, qsizetype from, qsizetype to)
{
    if (from >= to)
        return -1;
    const void *at = memchr(text.data() + from, byte, size_t(to - from));
    return at ? static_cast<const char *>(at) - text.data() : -1;
}

// How common a byte is in web pages, roughly: the rarest byte of the rule text
// is the one searched for, so that few false starts need checking.
int commonness(char c)
{
    static constexpr char letters[] = "zqjxkvbpygfwmucldrhsnioate"; // rarest first
    if (c == ' ')
        return 40;
    if (const char *at = std::strchr(letters, c); at && c != '\0')
        return 5 + int(at - letters);
    if (c >= '0' && c <= '9')
        return 15;
    if (std::strchr("<>/\"=.,-_:;", c))
        return 20;
    return 2;
}

// The characters beyond ASCII that Qt's case folding turns into an ASCII
// letter (the Kelvin sign and the long s), as UTF-8 with that letter. Asked of
// Qt's tables once rather than written down; no character beyond the BMP folds
// into the BMP, so the search stops there.
struct FoldTrap
{
    QByteArray utf8;
    char folded;
};

const std::vector<FoldTrap> &foldTraps()
{
    static const std::vector<FoldTrap> traps = [] {
        std::vector<FoldTrap> found;
        for (char32_t c = 0x80; c <= 0xFFFF; ++c) {
            if (c >= 0xD800 && c < 0xE000)
                continue;
            const char32_t folded = QChar::toCaseFolded(c);
            if (folded < 0x80)
                found.push_back({QString::fromUcs4(&c, 1).toUtf8(), char(folded)});
        }
        return found;
    }();
    return traps;
}

} // namespace

QByteArray decodeAmpUtf8(QByteArrayView text)
{
    QByteArray out;
    out.reserve(text.size());
    qsizetype from = 0;
    for (qsizetype at = find(text, amp, 0); at >= 0; at = find(text, amp, from)) {
        out.append(text.sliced(from, at - from));
        out.append('&');
        from = at + amp.size();
    }
    out.append(text.sliced(from));
    return out;
}

Utf8LineFilter::Utf8LineFilter(Rule rule, const QString &ruleText, bool decodeAmp)
    : m_rule(rule), m_text(ruleText), m_decodeAmp(decodeAmp),
      m_ascii(
          std::all_of(ruleText.begin(), ruleText.end(), [](QChar c) { return c.unicode() < 0x80; }))
{
    if (!m_ascii)
        return;
    m_folded = ruleText.toLatin1();
    for (char &c : m_folded)
        c = foldAscii(c);
    for (qsizetype i = 1; i < m_folded.size(); ++i) {
        if (commonness(m_folded[i]) < commonness(m_folded[m_anchor]))
            m_anchor = i;
    }
    m_second = m_anchor;
    for (qsizetype i = 0; i < m_folded.size(); ++i) {
        if (i != m_anchor &&
            (m_second == m_anchor || commonness(m_folded[i]) < commonness(m_folded[m_second])))
            m_second = i;
    }
    m_needsAmp = decodeAmp && m_folded.contains('&');
    for (const FoldTrap &trap : foldTraps()) {
        if (m_folded.contains(trap.folded))
            m_foldTraps.push_back(trap.utf8);
    }
}

// The first position at or after from where the text matches, ASCII letters
// compared without case; -1 when there is none.
qsizetype Utf8LineFilter::findFolded(QByteArrayView text, qsizetype from) const
{
    const qsizetype length = m_folded.size();
    if (length == 0)
        return from <= text.size() ? from : -1;
    const char *const data = text.data();
    const auto matchesAt = [&](qsizetype start) {
        for (qsizetype i = 0; i < length; ++i) {
            if (foldAscii(data[start + i]) != m_folded[i])
                return false;
        }
        return true;
    };
    qsizetype start = from;
#if defined(__SSE2__)
    // Sixteen starts at a time: the two rarest bytes of the text must both be
    // in place before a start is checked in full. OR-ing 0x20 folds a letter
    // of either case to its small form and nothing else onto a small letter.
    const auto foldMask = [](char c) {
        return _mm_set1_epi8(c >= 'a' && c <= 'z' ? 0x20 : 0);
    };
    const __m128i wantFirst = _mm_set1_epi8(m_folded[m_anchor]);
    const __m128i foldFirst = foldMask(m_folded[m_anchor]);
    const __m128i wantSecond = _mm_set1_epi8(m_folded[m_second]);
    const __m128i foldSecond = foldMask(m_folded[m_second]);
    for (; start + length - 1 + 16 <= text.size(); start += 16) {
        const __m128i first = _mm_or_si128(
            _mm_loadu_si128(reinterpret_cast<const __m128i *>(data + start + m_anchor)), foldFirst);
        const __m128i second = _mm_or_si128(
            _mm_loadu_si128(reinterpret_cast<const __m128i *>(data + start + m_second)),
            foldSecond);
        auto candidates = unsigned(_mm_movemask_epi8(
            _mm_and_si128(_mm_cmpeq_epi8(first, wantFirst), _mm_cmpeq_epi8(second, wantSecond))));
        for (; candidates != 0; candidates &= candidates - 1) {
            const qsizetype at = start + std::countr_zero(candidates);
            if (matchesAt(at))
                return at;
        }
    }
#endif
    for (; start + length <= text.size(); ++start) {
        if (matchesAt(start))
            return start;
    }
    return -1;
}

bool Utf8LineFilter::holdsFoldTrap(QByteArrayView text) const
{
    for (const QByteArray &trap : m_foldTraps) {
        if (find(text, trap, 0) >= 0)
            return true;
    }
    return false;
}

bool Utf8LineFilter::passes(QByteArrayView piece, const Hit &hit) const
{
    if (piece.isEmpty())
        return false;
    QByteArray decoded;
    QByteArrayView text = piece;
    if (m_decodeAmp && find(piece, amp, 0) >= 0) {
        decoded = decodeAmpUtf8(piece);
        text = decoded;
    }
    // Bytes decide only where they must agree with Qt's comparison of the
    // characters: an ASCII text, and no character that folds into one of its letters.
    const bool found = m_ascii && !holdsFoldTrap(text)
                           ? findFolded(text, 0) >= 0
                           : textOfUtf8(text).contains(m_text, Qt::CaseInsensitive);
    const bool pass = m_rule == Rule::WithoutText ? !found : found;
    if (pass && hit)
        hit(text);
    return pass;
}

qsizetype Utf8LineFilter::scan(QByteArrayView page, qsizetype from, qsizetype minBytes,
                               const Hit &hit) const
{
    qsizetype end = page.size() + 1;
    if (const qsizetype nl = findByte(page, '\n', from + minBytes, page.size()); nl >= 0)
        end = nl + 1;
    if (m_rule == Rule::WithText && m_ascii && !m_folded.isEmpty())
        scanAroundMatches(page, from, end, hit);
    else
        scanEveryPiece(page, from, end, hit);
    return end;
}

void Utf8LineFilter::scanEveryPiece(QByteArrayView page, qsizetype from, qsizetype end,
                                    const Hit &hit) const
{
    const qsizetype textEnd = qMin(end, page.size());
    for (qsizetype start = from; start < end;) {
        qsizetype pieceEnd = findByte(page, '\n', start, textEnd);
        if (pieceEnd < 0)
            pieceEnd = page.size();
        passes(page.sliced(start, pieceEnd - start), hit);
        start = pieceEnd + 1;
    }
}

// The with-text rule: only a line holding a byte-level match, a character that
// folds into the text, or (for a text with "&") an "&amp;" can pass; the rest
// are skipped unseen.
void Utf8LineFilter::scanAroundMatches(QByteArrayView page, qsizetype from, qsizetype end,
                                       const Hit &hit) const
{
    const QByteArrayView region = page.first(qMin(end, page.size()));
    // Next position of each kind of candidate; -2 until looked for, -1 for none.
    qsizetype nextMatch = -2;
    qsizetype nextAmp = m_needsAmp ? -2 : -1;
    std::vector<qsizetype> nextTrap(m_foldTraps.size(), -2);
    for (qsizetype start = from; start < end;) {
        if (nextMatch != -1 && nextMatch < start)
            nextMatch = findFolded(region, start);
        if (nextAmp != -1 && nextAmp < start)
            nextAmp = find(region, amp, start);
        qsizetype candidate = nextMatch;
        const auto consider = [&candidate](qsizetype at) {
            if (at >= 0 && (candidate < 0 || at < candidate))
                candidate = at;
        };
        consider(nextAmp);
        for (size_t i = 0; i < m_foldTraps.size(); ++i) {
            if (nextTrap[i] != -1 && nextTrap[i] < start)
                nextTrap[i] = find(region, m_foldTraps[i], start);
            consider(nextTrap[i]);
        }
        if (candidate < 0)
            return;
        const void *before = memrchr(region.data() + start, '\n', size_t(candidate - start));
        const qsizetype lineStart =
            before ? static_cast<const char *>(before) - region.data() + 1 : start;
        qsizetype lineEnd = findByte(region, '\n', candidate, region.size());
        if (lineEnd < 0)
            lineEnd = region.size();
        const QByteArrayView piece = region.sliced(lineStart, lineEnd - lineStart);
        // A match of the bytes that lies inside a line with no "&" to decode
        // is a match of its text, whatever else the line holds.
        if (candidate == nextMatch && nextMatch + m_folded.size() <= lineEnd &&
            (!m_decodeAmp || !piece.contains('&')))
            hit(piece);
        else
            passes(piece, hit);
        start = lineEnd + 1;
    }
}
