#include "extraction/RunReport.h"

#include "platform/PageFetcher.h"

#include <QLocale>

namespace {
constexpr qsizetype listedFailures = 20;
} // namespace

void RunReport::begin(qsizetype sites, qsizetype rowsBefore)
{
    *this = {};
    m_sites = sites;
    m_rowsBefore = rowsBefore;
}

void RunReport::siteDone(const QString &address, const FetchResult &fetch, qsizetype rowsNow)
{
    ++m_done;
    // Rows the user removes meanwhile can make the list shorter than it began.
    m_rows = std::max<qsizetype>(0, rowsNow - m_rowsBefore);
    if (!fetch.ok)
        m_failed.append({address, failureReason(fetch)});
}

double RunReport::fraction() const
{
    return m_sites > 0 ? std::min(1.0, double(m_done) / double(m_sites)) : 0.0;
}

QString RunReport::progress() const
{
    const QLocale english(QLocale::English);
    return QStringLiteral("Site %1 of %2 \u00B7 %3 failed \u00B7 %4 rows")
        .arg(english.toString(std::min(m_done + 1, m_sites)), english.toString(m_sites),
             english.toString(m_failed.size()), english.toString(m_rows));
}

QString RunReport::failures() const
{
    if (m_failed.isEmpty())
        return QStringLiteral("Every site was fetched.");
    // A site fails when it cannot be fetched or its page is too much for
    // the rule: the reason says which.
    QStringList lines{m_failed.size() == 1
                          ? QStringLiteral("1 site failed:")
                          : QStringLiteral("%1 sites failed:")
                                .arg(QLocale(QLocale::English).toString(m_failed.size()))};
    for (qsizetype i = 0; i < std::min(listedFailures, m_failed.size()); ++i)
        lines << m_failed[i].address + QStringLiteral(" \u2014 ") + m_failed[i].reason;
    if (m_failed.size() > listedFailures)
        lines << QStringLiteral("and %1 more").arg(m_failed.size() - listedFailures);
    return lines.join(u'\n');
}
