#include "extraction/BetweenMarkers.h"

#include "extraction/LineFilter.h"
#include "html/Bytes.h"
#include "model/WorkSlice.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <utility>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

using FoldTable = std::array<char16_t, 0x10000>;

const FoldTable &foldTable()
{
    static const FoldTable table = [] {
        FoldTable t{};
        for (char32_t u = 0; u < 0x10000; ++u) {
            char32_t lower = u;
            if (u < 0x80) {
                if (u >= 'A' && u <= 'Z')
                    lower = u + ('a' - 'A');
            } else if (!QChar::isSurrogate(u)) {
                lower = QChar::toLower(u);
                if (lower > 0xffff || QChar::isSurrogate(lower))
                    lower = u;
            }
            t[u] = char16_t(lower);
        }
        return t;
    }();
    return table;
}

// Pages are mostly ASCII: runs of it are folded eight units at a time,
// stopping at a block that is not all ASCII; how many units were taken.
#ifdef __SSE2__
bool asciiBlock(__m128i units)
{
    const __m128i high = _mm_and_si128(units, _mm_set1_epi16(short(0xFF80)));
    return _mm_movemask_epi8(_mm_cmpeq_epi16(high, _mm_setzero_si128())) == 0xFFFF;
}

qsizetype foldAscii(const QChar *from, QChar *to, qsizetype count)
{
    qsizetype i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i *>(from + i));
        if (!asciiBlock(units))
            break;
        const __m128i upper = _mm_and_si128(_mm_cmpgt_epi16(units, _mm_set1_epi16('A' - 1)),
                                            _mm_cmplt_epi16(units, _mm_set1_epi16('Z' + 1)));
        const __m128i folded = _mm_add_epi16(units, _mm_and_si128(upper, _mm_set1_epi16(32)));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(to + i), folded);
    }
    return i;
}
#else
qsizetype foldAscii(const QChar *, QChar *, qsizetype)
{
    return 0;
}
#endif

void foldInto(const QChar *from, QChar *to, qsizetype count)
{
    const FoldTable &table = foldTable();
    for (qsizetype i = 0; i < count; ++i) {
        i += foldAscii(from + i, to + i, count - i);
        if (i < count)
            to[i] = QChar(table[from[i].unicode()]);
    }
}

bool isLead(char byte)
{
    return (uchar(byte) & 0xC0) != 0x80;
}

char *encodeUnit(char16_t u, char *to)
{
    if (u < 0x80) {
        *to++ = char(u);
    } else if (u < 0x800) {
        *to++ = char(0xC0 | (u >> 6));
        *to++ = char(0x80 | (u & 0x3F));
    } else {
        *to++ = char(0xE0 | (u >> 12));
        *to++ = char(0x80 | ((u >> 6) & 0x3F));
        *to++ = char(0x80 | (u & 0x3F));
    }
    return to;
}

// Appends text in the compact form: UTF-8, each surrogate on its own. Eight
// units at a time: a block of ASCII is narrowed at once, any other is taken
// unit by unit, so that a page with a non-ASCII character on every line
// still goes mostly by blocks.
void encodeInto(QByteArray &out, QStringView text)
{
    const qsizetype old = out.size();
    out.resize(old + 3 * text.size());
    char *to = out.data() + old;
    const char16_t *from = text.utf16();
    const char16_t *const end = from + text.size();
#ifdef __SSE2__
    while (end - from >= 8) {
        const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i *>(from));
        if (asciiBlock(units)) {
            _mm_storel_epi64(reinterpret_cast<__m128i *>(to), _mm_packus_epi16(units, units));
            to += 8;
            from += 8;
            continue;
        }
        for (const char16_t *block = from + 8; from < block; ++from)
            to = encodeUnit(*from, to);
    }
#endif
    for (; from < end; ++from)
        to = encodeUnit(*from, to);
    out.resize(to - out.constData());
}

// The units of whole characters of the compact form; how many.
qsizetype decodeInto(const char *bytes, qsizetype size, QChar *to)
{
    const auto *from = reinterpret_cast<const uchar *>(bytes);
    const uchar *end = from + size;
    const QChar *first = to;
    while (from < end) {
        const uchar lead = *from++;
        if (lead < 0x80) {
            *to++ = QChar(lead);
        } else if (lead < 0xE0) {
            *to++ = QChar(char16_t(((lead & 0x1F) << 6) | (from[0] & 0x3F)));
            from += 1;
        } else {
            *to++ =
                QChar(char16_t(((lead & 0x0F) << 12) | ((from[0] & 0x3F) << 6) | (from[1] & 0x3F)));
            from += 2;
        }
    }
    return to - first;
}

// The gap is closed once it is at least this large and half the buffer.
constexpr qsizetype compactAt = 1 << 16;

} // namespace

QString foldCase(QStringView text)
{
    QString out(text.size(), Qt::Uninitialized);
    foldInto(text.data(), out.data(), text.size());
    return out;
}

namespace {

// How many units fold to each unit.
const std::array<quint8, 0x10000> &formCounts()
{
    static const std::array<quint8, 0x10000> counts = [] {
        std::array<quint8, 0x10000> c{};
        for (const char16_t folded : foldTable())
            c[folded] = quint8(std::min(c[folded] + 1, 255));
        return c;
    }();
    return counts;
}

} // namespace

MarkerNeedle::MarkerNeedle(const QString &text, bool folded) : m_text(text), m_folded(folded)
{
    if (!folded || text.isEmpty())
        return;
    // The unit fewest forms fold to makes the fewest candidates: punctuation
    // has one, most letters two.
    const auto &counts = formCounts();
    for (qsizetype i = 1; i < text.size(); ++i) {
        if (counts[text[i].unicode()] < counts[text[m_anchor].unicode()])
            m_anchor = i;
    }
    const char16_t anchor = text[m_anchor].unicode();
    if (counts[anchor] > int(std::size(m_forms)))
        return; // every position is a candidate
    const FoldTable &table = foldTable();
    for (char32_t u = 0; u < 0x10000; ++u) {
        if (table[u] == anchor)
            m_forms[m_formCount++] = char16_t(u);
    }
    // Unused slots repeat a form, so the scan always compares with four.
    for (int i = m_formCount; i < int(std::size(m_forms)); ++i)
        m_forms[i] = m_forms[0];
}

bool MarkerNeedle::unitMatches(qsizetype i, QChar u) const
{
    return (m_folded ? QChar(foldTable()[u.unicode()]) : u) == m_text[i];
}

qsizetype MarkerNeedle::indexIn(QStringView text, qsizetype from) const
{
    if (!m_folded)
        return text.indexOf(m_text, from);
    const qsizetype n = m_text.size();
    const qsizetype end = text.size() - n + 1 + m_anchor; // past the last anchor position
    const auto *units = reinterpret_cast<const char16_t *>(text.data());
    const char16_t *needle = reinterpret_cast<const char16_t *>(m_text.constData());
    const FoldTable &table = foldTable();
    for (qsizetype k = from + m_anchor; k < end; ++k) {
        if (m_formCount > 0) {
#ifdef __SSE2__
            const __m128i f0 = _mm_set1_epi16(short(m_forms[0]));
            const __m128i f1 = _mm_set1_epi16(short(m_forms[1]));
            const __m128i f2 = _mm_set1_epi16(short(m_forms[2]));
            const __m128i f3 = _mm_set1_epi16(short(m_forms[3]));
            for (; k + 8 <= end; k += 8) {
                const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(units + k));
                const __m128i hit =
                    _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi16(v, f0), _mm_cmpeq_epi16(v, f1)),
                                 _mm_or_si128(_mm_cmpeq_epi16(v, f2), _mm_cmpeq_epi16(v, f3)));
                if (const int mask = _mm_movemask_epi8(hit)) {
                    k += std::countr_zero(unsigned(mask)) / 2;
                    break;
                }
            }
            if (k >= end)
                return -1;
#endif
            const char16_t u = units[k];
            if (u != m_forms[0] && u != m_forms[1] && u != m_forms[2] && u != m_forms[3])
                continue;
        }
        const qsizetype at = k - m_anchor;
        qsizetype i = 0;
        while (i < n && table[units[at + i]] == needle[i])
            ++i;
        if (i == n)
            return at;
    }
    return -1;
}

BetweenMarkers::BetweenMarkers(BetweenClient &client, qsizetype step, bool decodeAmp)
    : m_client(client), m_step(std::max<qsizetype>(step, 1)), m_decodeAmp(decodeAmp)
{
}

void BetweenMarkers::append(QByteArrayView utf8)
{
    if (m_finished || utf8.isEmpty())
        return;
    // A character cut by the piece waits for the rest of it, so that the
    // text is what decoding the whole page gives.
    QByteArray joined;
    if (!m_partial.isEmpty()) {
        joined = std::exchange(m_partial, {});
        joined += utf8;
        utf8 = joined;
    }
    const QByteArrayView whole = utf8.first(html::bytes::wholeCharacters(utf8));
    m_partial = utf8.sliced(whole.size()).toByteArray();
    commit();
    compact();
    const qsizetype old = m_text.size();
    m_text.resize(old + m_decoder.requiredSpace(whole.size()));
    const QChar *end = m_decoder.appendToBuffer(m_text.data() + old, whole);
    m_text.resize(end - m_text.constData());
}

void BetweenMarkers::endOfText()
{
    if (!m_finished && !m_partial.isEmpty()) {
        m_text.append(QString::fromUtf8(std::exchange(m_partial, {})));
    }
    m_ended = true;
}

qint64 BetweenMarkers::heldBytes() const
{
    // What the buffers take, room to grow included.
    return m_compact.capacity() + 2 * qint64(m_text.capacity());
}

// Moves the open text that the passes will not read again while the markers
// stay the same into the compact part: all before where a start match may
// be, less the start marker's length that a deletion there may join to it.
void BetweenMarkers::commit()
{
    const qsizetype count = m_noStartBefore - m_start.size() - m_compactSize;
    if (count < m_step)
        return;
    const QStringView text(m_text);
    encodeInto(m_compact, text.first(std::min(count, m_gap)));
    qsizetype removed = count;
    if (count <= m_gap) {
        m_gap -= count;
        m_gapEnd -= count;
    } else {
        encodeInto(m_compact, text.sliced(m_gapEnd, count - m_gap));
        removed = m_gapEnd + count - m_gap;
        m_gap = m_gapEnd = 0;
    }
    m_text.remove(0, removed);
    if (m_text.capacity() > 4 * m_text.size() + m_step)
        m_text.squeeze();
    m_compactSize += count;
    shiftMemos(-removed);
}

// Brings the compact text from pos on back into the open part, in steps
// large enough that passes creeping back pay for few of them.
void BetweenMarkers::reopen(qsizetype pos)
{
    const qsizetype to = std::max<qsizetype>(0, std::min(pos, m_compactSize - m_step));
    const char *bytes = m_compact.constData();
    qsizetype at = m_compact.size();
    qsizetype units = 0;
    while (m_compactSize - units > to)
        units += isLead(bytes[--at]);
    QString text(units, Qt::Uninitialized);
    decodeInto(bytes + at, m_compact.size() - at, text.data());
    m_text.prepend(text);
    m_compact.truncate(at);
    m_compactSize -= units;
    m_gap += units;
    m_gapEnd += units;
    shiftMemos(units);
}

// The open buffer gained or lost delta units at its front.
void BetweenMarkers::shiftMemos(qsizetype delta)
{
    for (SearchMemo *memo : {&m_startMemo, &m_endMemo}) {
        if (memo->match >= 0 && memo->match + delta < 0)
            memo->valid = false;
        memo->from = std::max<qsizetype>(memo->from + delta, 0);
        if (memo->match >= 0)
            memo->match += delta;
        memo->clearTo = std::max<qsizetype>(memo->clearTo + delta, 0);
    }
}

// Deleted sections pile up in the gap: once it is half the buffer, the text
// after it moves down, and what the searches remembered moves with it.
void BetweenMarkers::compact()
{
    const qsizetype gap = m_gapEnd - m_gap;
    if (gap < compactAt || gap < m_text.size() / 2)
        return;
    m_text.remove(m_gap, gap);
    m_text.squeeze();
    m_gapEnd = m_gap;
    for (SearchMemo *memo : {&m_startMemo, &m_endMemo}) {
        if (memo->match >= 0 && memo->match < m_gap + gap)
            memo->valid = false;
        memo->from = std::max(memo->from - gap, m_gap);
        if (memo->match >= 0)
            memo->match -= gap;
        memo->clearTo = std::max(memo->clearTo - gap, m_gap);
    }
}

bool BetweenMarkers::advance(const WorkSlice &slice)
{
    // Reading the clock costs more than a short pass: it is read every few.
    constexpr int passesPerCheck = 16;
    for (int passes = 1; !m_finished; ++passes) {
        switch (pass()) {
        case Pass::Made:
            break;
        case Pass::Waits:
            return true;
        case Pass::Last:
            m_finished = true;
            m_text = QString();
            m_compact = QByteArray();
            m_gap = m_gapEnd = m_compactSize = 0;
            return true;
        }
        if (passes % passesPerCheck == 0 && slice.expired())
            return false;
    }
    return true;
}

void BetweenMarkers::useMarkers(const QString &start, const QString &end)
{
    if (start == m_start && end == m_end)
        return;
    // What the searches remembered holds for the old markers only.
    m_start = start;
    m_end = end;
    m_foldedStart = MarkerNeedle(foldCase(start), true);
    m_foldedEnd = MarkerNeedle(foldCase(end), true);
    m_startMemo = {};
    m_endMemo = {};
    m_noStartBefore = 0;
    m_noEndBefore = 0;
    m_firstEnd = -1;
}

// One pass, or as much of it as the text so far decides.
BetweenMarkers::Pass BetweenMarkers::pass()
{
    if (!m_passOpen) {
        const QString start = m_client.startText();
        const QString end = m_client.endText();
        // An emptied marker marks nothing: the passes of this page end.
        if (start.isEmpty() || end.isEmpty())
            return Pass::Last;
        useMarkers(start, end);
        m_passOpen = true;
    }
    const qsizetype startLength = m_start.size();
    const qsizetype endLength = m_end.size();

    // No text to come can hold an earlier match of either marker than one
    // found in the text so far.
    const qsizetype p = findText(m_foldedStart, m_noStartBefore, size(), &m_startMemo);
    if (p < 0) {
        m_noStartBefore = std::max(m_noStartBefore, size() - startLength + 1);
        return m_ended ? Pass::Last : Pass::Waits;
    }
    if (p < m_compactSize)
        reopen(p);
    m_noStartBefore = p;

    // The end search starts at the second character of the start match, so an
    // end marker inside the start match is found. q is its offset from p.
    const qsizetype endAt = findText(m_foldedEnd, p + 1, size(), &m_endMemo);
    if (endAt < 0 && !m_ended)
        return Pass::Waits;
    if (endAt < 0 && !endOccursUpTo(p))
        return Pass::Last;
    m_passOpen = false;
    const qsizetype q = endAt < 0 ? 0 : endAt - p;

    QString result;
    const bool tookResult = q >= startLength;
    if (tookResult)
        result = mid(p + startLength - m_compactSize, q - startLength);

    const qsizetype sectionLength = q > 0 ? q + endLength : std::min(endLength, size() - p);
    erase(sectionAt(p, sectionLength), sectionLength);

    if (!tookResult || result.isEmpty())
        return Pass::Made;
    m_client.addResult(m_decodeAmp ? decodeAmp(result) : result);
    return Pass::Made;
}

// Whether an end match starts at or before last, anywhere from the beginning.
bool BetweenMarkers::endOccursUpTo(qsizetype last)
{
    if (m_firstEnd >= 0)
        return m_firstEnd <= last;
    const qsizetype at = findText(m_foldedEnd, m_noEndBefore, last, nullptr);
    if (at < 0) {
        m_noEndBefore = last + 1;
        return false;
    }
    m_firstEnd = at;
    m_noEndBefore = at;
    return true;
}

// Where the section at start first occurs exactly. A section at least as long
// as the start marker cannot occur earlier: its first characters would fold
// to the start marker before its first match.
qsizetype BetweenMarkers::sectionAt(qsizetype start, qsizetype length)
{
    if (length >= m_start.size())
        return start;
    const QString section = mid(start - m_compactSize, length);
    if (section != m_section.text()) {
        m_section = MarkerNeedle(section, false);
        m_noSectionBefore = 0;
    }
    const qsizetype at = findText(m_section, m_noSectionBefore, start, nullptr);
    Q_ASSERT(at >= 0 && at <= start);
    if (at < m_compactSize)
        reopen(at);
    m_noSectionBefore = at;
    return at;
}

qsizetype BetweenMarkers::findText(const MarkerNeedle &needle, qsizetype from, qsizetype last,
                                   SearchMemo *memo) const
{
    if (from < m_compactSize) {
        const qsizetype at = findCompact(needle, from, last);
        if (at >= 0)
            return at;
        from = m_compactSize;
    }
    const qsizetype at = find(needle, from - m_compactSize, last - m_compactSize, memo);
    return at < 0 ? -1 : at + m_compactSize;
}

// First match in [from, last] that starts in the compact part, or -1; it is
// decoded piece by piece, each piece searched with the end of the one before.
qsizetype BetweenMarkers::findCompact(const MarkerNeedle &needle, qsizetype from,
                                      qsizetype last) const
{
    last = std::min(last, m_compactSize - 1);
    if (from > last)
        return -1;
    const char *bytes = m_compact.constData();
    const qsizetype total = m_compact.size();
    qsizetype offset = 0;
    for (qsizetype units = 0;; ++offset) {
        if (isLead(bytes[offset]) && units++ == from)
            break;
    }
    const qsizetype overlap = needle.size() - 1;
    QString window;
    qsizetype windowAt = from;
    while (offset < total && windowAt <= last) {
        qsizetype end = std::min(offset + m_step, total);
        while (end < total && !isLead(bytes[end]))
            ++end;
        const qsizetype old = window.size();
        window.resize(old + end - offset);
        const qsizetype units = decodeInto(bytes + offset, end - offset, window.data() + old);
        window.resize(old + units);
        if (end == total) // matches running on into the open part
            window.append(mid(0, std::min(overlap, openSize())));
        const qsizetype at = needle.indexIn(window);
        if (at >= 0)
            return windowAt + at <= last ? windowAt + at : -1;
        const qsizetype keep = std::min(overlap, window.size());
        windowAt += window.size() - keep;
        window.remove(0, window.size() - keep);
        offset = end;
    }
    return -1;
}

// First start position in [from, last] of needle in the remaining text, or -1.
qsizetype BetweenMarkers::find(const MarkerNeedle &needle, qsizetype from, qsizetype last,
                               SearchMemo *memo) const
{
    const QString &buffer = m_text;
    const qsizetype n = needle.size();
    last = std::min(last, openSize() - n);
    if (from > last)
        return -1;
    if (from < m_gap) {
        // Wholly before the gap.
        const qsizetype beforeLast = std::min(m_gap - n, last);
        if (from <= beforeLast) {
            const qsizetype at = needle.indexIn(QStringView(buffer).first(beforeLast + n), from);
            if (at >= 0)
                return at;
        }
        // Across the gap.
        const qsizetype lo = std::max(from, m_gap - n + 1);
        const qsizetype hi = std::min(m_gap - 1, last);
        // A short needle is compared in place: this runs at every pass.
        for (qsizetype at = lo; at <= hi && n <= 64; ++at) {
            const qsizetype before = m_gap - at;
            qsizetype i = 0;
            while (i < n &&
                   needle.unitMatches(i, buffer[i < before ? at + i : m_gapEnd + i - before]))
                ++i;
            if (i == n)
                return at;
        }
        if (lo <= hi && n > 64) {
            QString window = buffer.mid(lo, m_gap - lo);
            window.append(QStringView(buffer).sliced(m_gapEnd, hi + n - m_gap));
            const qsizetype at = needle.indexIn(window);
            if (at >= 0)
                return lo + at;
        }
        from = m_gap;
        if (from > last)
            return -1;
    }
    // Wholly after the gap.
    const qsizetype shift = m_gapEnd - m_gap;
    const qsizetype bufferFrom = from + shift;
    const qsizetype bufferLast = last + shift;
    qsizetype searchFrom = bufferFrom;
    qsizetype memoFrom = bufferFrom;
    if (memo && memo->valid && memo->from <= bufferFrom) {
        if (memo->match >= 0 && bufferFrom <= memo->match)
            return memo->match > bufferLast ? -1 : memo->match - shift;
        if (memo->match < 0 && bufferFrom < memo->clearTo) {
            // Known clear up to clearTo; text that came since is searched.
            if (bufferLast < memo->clearTo)
                return -1;
            searchFrom = memo->clearTo;
            memoFrom = memo->from;
        }
    }
    const qsizetype at = needle.indexIn(QStringView(buffer).first(bufferLast + n), searchFrom);
    if (memo)
        *memo = {true, memoFrom, at, at < 0 ? bufferLast + 1 : 0};
    return at < 0 ? -1 : at - shift;
}

QString BetweenMarkers::mid(qsizetype pos, qsizetype length) const
{
    const QStringView text(m_text);
    if (pos + length <= m_gap)
        return text.sliced(pos, length).toString();
    if (pos >= m_gap)
        return text.sliced(pos + m_gapEnd - m_gap, length).toString();
    QString out;
    out.reserve(length);
    out.append(text.sliced(pos, m_gap - pos));
    out.append(text.sliced(m_gapEnd, length - (m_gap - pos)));
    return out;
}

void BetweenMarkers::erase(qsizetype pos, qsizetype length)
{
    moveGap(pos - m_compactSize);
    m_gapEnd += length;
    // Positions before the deletion kept their text, so whatever was known
    // about matches that end before it still holds; a match may now start a
    // marker's length before it at the earliest.
    m_noStartBefore = std::max<qsizetype>(0, pos - m_start.size() + 1);
    if (m_firstEnd < 0 || m_firstEnd + m_end.size() > pos) {
        const qsizetype known = m_firstEnd >= 0 ? m_firstEnd : m_noEndBefore;
        m_noEndBefore = std::max<qsizetype>(0, std::min(known, pos - m_end.size() + 1));
        m_firstEnd = -1;
    }
    m_noSectionBefore =
        std::max<qsizetype>(0, std::min(m_noSectionBefore, pos - m_section.size() + 1));
}

void BetweenMarkers::moveGap(qsizetype pos)
{
    QChar *text = m_text.data();
    if (pos > m_gap) {
        const qsizetype count = pos - m_gap;
        std::memmove(text + m_gap, text + m_gapEnd, size_t(count) * sizeof(QChar));
        m_gap += count;
        m_gapEnd += count;
    } else if (pos < m_gap) {
        // Text moves back behind the gap: what the searches remembered about
        // that part of the buffer no longer describes it.
        const qsizetype count = m_gap - pos;
        std::memmove(text + m_gapEnd - count, text + pos, size_t(count) * sizeof(QChar));
        if (m_startMemo.from < m_gapEnd)
            m_startMemo.valid = false;
        if (m_endMemo.from < m_gapEnd)
            m_endMemo.valid = false;
        m_gap -= count;
        m_gapEnd -= count;
    }
}
