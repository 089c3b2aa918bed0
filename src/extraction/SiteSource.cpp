#include "extraction/SiteSource.h"

#include "sitelist/SiteList.h"

SiteListSource::SiteListSource(const SiteList &list, QObject *parent)
    : SiteSource(parent), m_list(list), m_count(list.count())
{
}

SiteSource::Status SiteListSource::site(qsizetype index, QString &address)
{
    if (index >= m_count || index >= m_list.count())
        return Status::End;
    address = m_list.text(int(index));
    return Status::Ready;
}
