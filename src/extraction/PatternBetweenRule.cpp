#include "extraction/PatternBetweenRule.h"

#include "extraction/LineFilter.h"
#include "extraction/Pattern.h"
#include "extraction/RunHost.h"
#include "extraction/SiteRows.h"
#include "html/Bytes.h"
#include "model/WorkSlice.h"
#include "platform/PageFetcher.h"

namespace {

// Text kept before the next pass for what looks back: the longest lookbehind
// PCRE2 takes is 255 characters.
constexpr qsizetype lookBehind = 255;
// Passed text is dropped once there is this much of it and it is half the text.
constexpr qsizetype dropAt = 1 << 16;

} // namespace

PatternBetweenRule::PatternBetweenRule(RunHost &host, SiteRows &rows)
    : m_host(host), m_rows(rows), m_decodeAmp(!host.readsText())
{
}

void PatternBetweenRule::take(QByteArrayView piece)
{
    if (m_finished || piece.isEmpty())
        return;
    // A character cut by the piece waits for the rest of it, so that the
    // text is what decoding the whole page gives.
    QByteArray joined = std::exchange(m_partial, {});
    joined += piece;
    const qsizetype whole = html::bytes::wholeCharacters(joined);
    m_partial = joined.sliced(whole);
    m_text += m_decoder.decode(QByteArrayView(joined).first(whole));
}

void PatternBetweenRule::endOfPage()
{
    if (!m_finished && !m_partial.isEmpty())
        m_text += QString::fromUtf8(std::exchange(m_partial, {}));
    m_ended = true;
}

bool PatternBetweenRule::advance(const WorkSlice &slice)
{
    while (!m_finished) {
        switch (pass()) {
        case Pass::Made:
            break;
        case Pass::Waits:
            dropPassedText();
            return true;
        case Pass::Undecided:
            m_rows.fail(FetchError::PatternLimit, patternLimitReason());
            [[fallthrough]];
        case Pass::Last:
            m_finished = true;
            m_text.clear();
            m_text.squeeze();
            return true;
        }
        if (slice.expired())
            return false;
    }
    return true;
}

PatternBetweenRule::Pass PatternBetweenRule::pass()
{
    if (!m_passOpen) {
        const QString start = m_host.startText();
        const QString end = m_host.endText();
        if (start.isEmpty() || end.isEmpty())
            return Pass::Last;
        m_start = markerPattern(start, m_host.startPattern());
        m_end = markerPattern(end, m_host.endPattern());
        // Made invalid while the run waited: it marks nothing.
        if (!m_start.isValid() || !m_end.isValid())
            return Pass::Last;
        m_passOpen = true;
        m_startFrom = m_next;
        m_startBegin = -1;
    }
    // Until the page has ended, a match that reaches its end may change.
    const auto type =
        m_ended ? QRegularExpression::NormalMatch : QRegularExpression::PartialPreferFirstMatch;
    // Decoded text is valid UTF-16; checking it would cost a scan of the rest
    // of it at every search.
    const auto valid = QRegularExpression::DontCheckSubjectStringMatchOption;
    // A search that more text may change runs again from where its match
    // might begin; waiting until the text there has doubled keeps a match
    // that stays open over a long page from costing a search per piece.
    if (!m_ended && m_text.size() < m_searchWhen)
        return Pass::Waits;
    const auto partial = [this](const QRegularExpressionMatch &found) {
        const qsizetype from = found.hasPartialMatch() ? found.capturedStart() : m_text.size();
        m_searchWhen = m_text.size() + (m_text.size() - from);
        return from;
    };
    if (m_startBegin < 0) {
        const QRegularExpressionMatch start = m_start.match(m_text, m_startFrom, type, valid);
        if (!start.isValid())
            return Pass::Undecided;
        if (!start.hasMatch()) {
            // Nothing before a partial match can match later either.
            m_startFrom = partial(start);
            return m_ended ? Pass::Last : Pass::Waits;
        }
        m_startBegin = start.capturedStart();
        m_startEnd = start.capturedEnd();
        m_endFrom = m_startEnd;
    }
    const QRegularExpressionMatch end = m_end.match(m_text, m_endFrom, type, valid);
    if (!end.isValid())
        return Pass::Undecided;
    if (!end.hasMatch()) {
        m_endFrom = partial(end);
        return m_ended ? Pass::Last : Pass::Waits;
    }
    // Every pass moves on by a character at least, also over two empty matches.
    qsizetype next = end.capturedEnd();
    if (next <= m_startBegin) {
        if (m_startBegin >= m_text.size())
            return m_ended ? Pass::Last : Pass::Waits;
        next = m_startBegin + (m_text[m_startBegin].isHighSurrogate() ? 2 : 1);
    }
    m_next = next;
    m_passOpen = false;
    const qsizetype length = end.capturedStart() - m_startEnd;
    if (length <= 0)
        return Pass::Made;
    const QStringView result = QStringView(m_text).sliced(m_startEnd, length);
    m_rows.hit(m_decodeAmp ? decodeAmp(result) : result.toString());
    return Pass::Made;
}

// Keeps the text from the start of the pass under way, or where the searches
// go on from, and a little before it.
void PatternBetweenRule::dropPassedText()
{
    qsizetype keepFrom = m_passOpen ? (m_startBegin >= 0 ? m_startBegin : m_startFrom) : m_next;
    keepFrom -= lookBehind;
    if (keepFrom < dropAt || keepFrom < m_text.size() / 2)
        return;
    if (m_text[keepFrom].isLowSurrogate())
        --keepFrom;
    m_text.remove(0, keepFrom);
    for (qsizetype *position :
         {&m_next, &m_startFrom, &m_startBegin, &m_startEnd, &m_endFrom, &m_searchWhen}) {
        if (*position >= 0)
            *position -= keepFrom;
    }
}
