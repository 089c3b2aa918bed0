#include "extraction/BetweenMarkers.h"

#include "extraction/LineFilter.h"
#include "model/WorkSlice.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

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

void foldInto(const QChar *from, QChar *to, qsizetype count)
{
    const FoldTable &table = foldTable();
    for (qsizetype i = 0; i < count; ++i)
        to[i] = QChar(table[from[i].unicode()]);
}

// The start of the last character in bytes, if that character is cut short;
// else bytes.size().
qsizetype cutCharacter(QByteArrayView bytes)
{
    const qsizetype size = bytes.size();
    for (qsizetype back = 1; back <= 4 && back <= size; ++back) {
        const auto byte = uchar(bytes[size - back]);
        if ((byte & 0xC0) == 0x80)
            continue; // a continuation byte: the lead is further back
        const qsizetype length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
        return length > back ? size - back : size;
    }
    return size;
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

BetweenMarkers::BetweenMarkers(BetweenClient &client) : m_client(client) {}

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
    const qsizetype whole = cutCharacter(utf8);
    m_partial = utf8.sliced(whole).toByteArray();
    const QString text = m_decoder.decode(utf8.first(whole));
    compact();
    m_text.append(text);
    m_folded.resize(m_text.size());
    foldInto(text.constData(), m_folded.data() + m_folded.size() - text.size(), text.size());
}

void BetweenMarkers::endOfText()
{
    if (!m_finished && !m_partial.isEmpty()) {
        const QString rest = QString::fromUtf8(std::exchange(m_partial, {}));
        m_text.append(rest);
        m_folded.append(foldCase(rest));
    }
    m_ended = true;
}

// Deleted sections pile up in the gap: once it is half the buffer, the text
// after it moves down, and what the searches remembered moves with it.
void BetweenMarkers::compact()
{
    const qsizetype gap = m_gapEnd - m_gap;
    if (gap < compactAt || gap < m_text.size() / 2)
        return;
    m_text.remove(m_gap, gap);
    m_folded.remove(m_gap, gap);
    m_text.squeeze();
    m_folded.squeeze();
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
    while (!m_finished) {
        switch (pass()) {
        case Pass::Made:
            break;
        case Pass::Waits:
            return true;
        case Pass::Last:
            m_finished = true;
            m_text = m_folded = QString();
            m_gap = m_gapEnd = 0;
            return true;
        }
        if (slice.expired())
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
    m_foldedStart = foldCase(start);
    m_foldedEnd = foldCase(end);
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
    const qsizetype p = find(m_folded, m_foldedStart, m_noStartBefore, size(), &m_startMemo);
    if (p < 0)
        return m_ended ? Pass::Last : Pass::Waits;
    m_noStartBefore = p;

    // The end search starts at the second character of the start match, so an
    // end marker inside the start match is found. q is its offset from p.
    const qsizetype endAt = find(m_folded, m_foldedEnd, p + 1, size(), &m_endMemo);
    if (endAt < 0 && !m_ended)
        return Pass::Waits;
    if (endAt < 0 && !endOccursUpTo(p))
        return Pass::Last;
    m_passOpen = false;
    const qsizetype q = endAt < 0 ? 0 : endAt - p;

    QString result;
    const bool tookResult = q >= startLength;
    if (tookResult)
        result = mid(p + startLength, q - startLength);

    const qsizetype sectionLength = q > 0 ? q + endLength : std::min(endLength, size() - p);
    erase(sectionAt(p, sectionLength), sectionLength);

    if (!tookResult || result.isEmpty())
        return Pass::Made;
    result = decodeAmp(result);
    if (!m_client.keepDuplicates() && m_client.holdsResult(result))
        return Pass::Made;
    m_client.addResult(result);
    return Pass::Made;
}

// Whether an end match starts at or before last, anywhere from the beginning.
bool BetweenMarkers::endOccursUpTo(qsizetype last)
{
    if (m_firstEnd >= 0)
        return m_firstEnd <= last;
    const qsizetype at = find(m_folded, m_foldedEnd, m_noEndBefore, last, nullptr);
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
    const QString section = mid(start, length);
    if (section != m_section) {
        m_section = section;
        m_noSectionBefore = 0;
    }
    const qsizetype at = find(m_text, m_section, m_noSectionBefore, start, nullptr);
    Q_ASSERT(at >= 0 && at <= start);
    m_noSectionBefore = at;
    return at;
}

// First start position in [from, last] of needle in the remaining text, or -1.
qsizetype BetweenMarkers::find(const QString &buffer, QStringView needle, qsizetype from,
                               qsizetype last, SearchMemo *memo) const
{
    const qsizetype n = needle.size();
    last = std::min(last, size() - n);
    if (from > last)
        return -1;
    if (from < m_gap) {
        // Wholly before the gap.
        const qsizetype beforeLast = std::min(m_gap - n, last);
        if (from <= beforeLast) {
            const qsizetype at = QStringView(buffer).first(beforeLast + n).indexOf(needle, from);
            if (at >= 0)
                return at;
        }
        // Across the gap.
        const qsizetype lo = std::max(from, m_gap - n + 1);
        const qsizetype hi = std::min(m_gap - 1, last);
        if (lo <= hi) {
            QString window = buffer.mid(lo, m_gap - lo);
            window.append(QStringView(buffer).sliced(m_gapEnd, hi + n - m_gap));
            const qsizetype at = window.indexOf(needle);
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
    const qsizetype at = QStringView(buffer).first(bufferLast + n).indexOf(needle, searchFrom);
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
    moveGap(pos);
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
    QChar *folded = m_folded.data();
    if (pos > m_gap) {
        const qsizetype count = pos - m_gap;
        std::memmove(text + m_gap, text + m_gapEnd, size_t(count) * sizeof(QChar));
        std::memmove(folded + m_gap, folded + m_gapEnd, size_t(count) * sizeof(QChar));
        m_gap += count;
        m_gapEnd += count;
    } else if (pos < m_gap) {
        // Text moves back behind the gap: what the searches remembered about
        // that part of the buffer no longer describes it.
        const qsizetype count = m_gap - pos;
        std::memmove(text + m_gapEnd - count, text + pos, size_t(count) * sizeof(QChar));
        std::memmove(folded + m_gapEnd - count, folded + pos, size_t(count) * sizeof(QChar));
        if (m_startMemo.from < m_gapEnd)
            m_startMemo.valid = false;
        if (m_endMemo.from < m_gapEnd)
            m_endMemo.valid = false;
        m_gap -= count;
        m_gapEnd -= count;
    }
}
