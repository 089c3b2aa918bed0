#pragma once

#include <QList>
#include <QString>

struct FetchResult;

// How far a run has got and which sites failed, in words for the window's
// status line.
class RunReport
{
public:
    void begin(qsizetype sites, qsizetype rowsBefore);
    void siteDone(const QString &address, const FetchResult &fetch, qsizetype rowsNow);

    // The share of the sites done, 0 to 1.
    double fraction() const;
    // "Site 37 of 200 · 2 failed · 1,204 rows"
    QString progress() const;
    // The failed sites with their reasons, the first 20 of them, or that every site was fetched.
    QString failures() const;

private:
    struct Failure
    {
        QString address;
        QString reason;
    };
    qsizetype m_sites = 0;
    qsizetype m_done = 0;
    qsizetype m_rowsBefore = 0;
    qsizetype m_rows = 0;
    QList<Failure> m_failed;
};
