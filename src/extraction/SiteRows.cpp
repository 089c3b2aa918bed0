#include "extraction/SiteRows.h"

#include "extraction/RuleTable.h"
#include "extraction/RunHost.h"
#include "model/WorkSlice.h"

namespace {
// Rows handed on at once: a batch goes on in well under a millisecond.
constexpr qsizetype batchRows = 32 * 1024;
} // namespace

void SiteRows::begin(const QString &site, const RuleEntry &entry, const RunHost &host)
{
    m_site = site;
    m_entry = &entry;
    m_host = &host;
    m_optionsRead = false;
    m_passing = false;
    m_failure.reset();
    drop();
}

void SiteRows::readOptions()
{
    if (std::exchange(m_optionsRead, true))
        return;
    m_includeAddress = m_host->includeAddress();
    m_addressIfNothing = m_host->includeAddressIfNothingFound();
    m_dropDuplicates = m_entry->honoursKeepDuplicates && !m_host->keepDuplicates();
}

void SiteRows::hit(QStringView text)
{
    hitText(text, nullptr);
}

void SiteRows::hit(const QString &text)
{
    hitText(text, &text);
}

void SiteRows::hitText(QStringView text, const QString *shared)
{
    if (text.isEmpty())
        return;
    readOptions();
    if (m_dropDuplicates && holdsResult(shared ? *shared : text.toString()))
        return;
    keep(text.toUtf8(),
         m_includeAddress ? ResultRow::Kind::ResultWithAddress : ResultRow::Kind::Result);
}

void SiteRows::hitUtf8(QByteArrayView text)
{
    if (text.isEmpty())
        return;
    readOptions();
    if (m_dropDuplicates && holdsResult(textOfUtf8(text)))
        return;
    keep(text, m_includeAddress ? ResultRow::Kind::ResultWithAddress : ResultRow::Kind::Result);
}

void SiteRows::hitElement(const QList<QByteArray> &fields)
{
    readOptions();
    using Kind = ResultRow::Kind;
    if (fields.size() == 1)
        keep(fields.first(), m_includeAddress ? Kind::ResultWithAddress : Kind::Result);
    else
        keep(RowFormat::record(fields), m_includeAddress ? Kind::RecordWithAddress : Kind::Record);
}

void SiteRows::note(const QString &text)
{
    m_host->note(m_site, text);
}

void SiteRows::lineTested()
{
    if (m_entry->addressRow == RuleEntry::AddressRow::AfterEveryLine)
        addressRow();
}

void SiteRows::pageDone()
{
    if (m_entry->addressRow == RuleEntry::AddressRow::AfterPage)
        addressRow();
}

void SiteRows::fail(FetchError kind, const QString &reason)
{
    FetchResult failure;
    failure.kind = kind;
    failure.error = reason;
    m_failure = failure;
}

// The address alone, for a site that shows it in no row yet.
void SiteRows::addressRow()
{
    readOptions();
    if (m_includeAddress && m_addressIfNothing && !showsAddress())
        keep({}, ResultRow::Kind::Address);
}

void SiteRows::keep(QByteArrayView text, ResultRow::Kind kind)
{
    if (m_passing && m_held.empty()) {
        m_results.append(m_site, text, kind);
        return;
    }
    if (ResultRow::showsAddress(kind))
        ++m_showingSite;
    if (m_indexed && ResultRow::holdsResult(kind))
        m_heldResults.insert(textOfUtf8(text));
    if (m_held.empty() || m_held.back().size() >= batchRows)
        m_held.emplace_back();
    m_heldBytes += text.size() + 8; // and an entry
    m_held.back().append(m_site, text, kind);
}

bool SiteRows::flush(const WorkSlice &slice)
{
    while (!m_held.empty()) {
        m_results.appendRows(std::move(m_held.front()));
        m_held.pop_front();
        if (!m_held.empty() && slice.expired())
            return false;
    }
    m_showingSite = 0;
    m_heldBytes = 0;
    m_heldResults.clear();
    m_indexed = false;
    return true;
}

void SiteRows::drop()
{
    m_held.clear();
    m_heldBytes = 0;
    m_showingSite = 0;
    m_heldResults.clear();
    m_indexed = false;
}

bool SiteRows::showsAddress() const
{
    return m_showingSite > 0 || m_results.showsAddress(m_site);
}

// Only an equal result counts as a duplicate, from any site or rule; a row
// the user removed no longer does.
bool SiteRows::holdsResult(const QString &result) const
{
    if (!m_indexed) {
        for (const ResultRows &rows : m_held) {
            for (qsizetype row = 0; row < rows.size(); ++row) {
                if (ResultRow::holdsResult(rows.kindAt(row)))
                    m_heldResults.insert(rows.textAt(row));
            }
        }
        m_indexed = true;
    }
    // The page's own rows first: a page repeats its own results most.
    return m_heldResults.contains(result) || m_results.holdsResult(result);
}
