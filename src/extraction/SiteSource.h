#pragma once

#include "platform/PageReader.h"

#include <QObject>
#include <QString>

#include <memory>
#include <optional>

class SiteList;

// The addresses a run visits, in order from index 0. A source may learn its
// sites as the run goes, from a file being read or a page being harvested:
// until then a site is pending, and moreSites() says when that may have changed.
class SiteSource : public QObject
{
    Q_OBJECT
public:
    enum class Status
    {
        Ready,
        Pending,
        End
    };

    using QObject::QObject;
    // The address of site index. A run asks from its current site to some way
    // ahead, and never again below what it released.
    virtual Status site(qsizetype index, QString &address) = 0;
    // The sites before index are done with.
    virtual void release(qsizetype index) { Q_UNUSED(index) }
    // How many sites there are; -1 while not known.
    virtual qsizetype total() const = 0;
    // A site the source knows to fail without being fetched (robots.txt
    // forbids it), and why; asked for a site that is ready.
    virtual std::optional<FetchResult> failureOf(qsizetype index)
    {
        Q_UNUSED(index)
        return std::nullopt;
    }
    // Who reads the site's page besides the rule, at the site's turn; none
    // but for a source that learns sites from pages.
    virtual std::unique_ptr<PageReader> readerOf(qsizetype index)
    {
        Q_UNUSED(index)
        return nullptr;
    }

signals:
    void moreSites();
};

// The window's site list as one run sees it: as many sites as it had rows
// when the run began, each read at its turn, so that a row changed meanwhile
// counts as it stands, and a list cut short ends the run there.
class SiteListSource : public SiteSource
{
public:
    explicit SiteListSource(const SiteList &list, QObject *parent = nullptr);
    Status site(qsizetype index, QString &address) override;
    qsizetype total() const override { return m_count; }

private:
    const SiteList &m_list;
    const qsizetype m_count;
};
