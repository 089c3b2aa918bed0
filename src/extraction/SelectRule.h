#pragma once

#include "extraction/PageRule.h"
#include "html/ElementTaker.h"

#include <QString>

#include <optional>

class RunHost;
class SiteRows;
struct RuleDescription;

// Every element of the page that matches a CSS selector list, in page order,
// each a hit of its takes' fields. The page is read as a document, as it
// arrives; the selector and takes are settled as the page begins.
class SelectRule : public PageRule
{
public:
    SelectRule(RunHost &host, SiteRows &rows);

    static QString problem(const RuleDescription &rule, qsizetype siteCount);

    void take(QByteArrayView piece) override;
    void endOfPage() override;
    bool advance(const WorkSlice &slice) override;
    qint64 heldBytes() const override { return m_taker ? m_taker->heldBytes() : 0; }

private:
    bool takeRecords(const WorkSlice &slice);
    bool tooLarge();

    SiteRows &m_rows;
    std::optional<html::ElementTaker> m_taker; // none for a selector made invalid meanwhile,
                                               // or once the page held too much
    QByteArrayView m_piece;                    // of the page, not yet read
    bool m_read = false;                       // any text came
    bool m_ended = false;
    bool m_noted = false;
};
