#include "sitelist/SiteListDrag.h"

#include "sitelist/SiteList.h"

SiteListDrag::SiteListDrag(SiteList &sites) : m_sites(sites) {}

void SiteListDrag::press()
{
    DragArmed = true;
}

void SiteListDrag::pick(int row)
{
    // Only rows the views show can be clicked; anything else picks nothing.
    DragItem = row >= 0 && row < m_sites.rowCount() ? QPersistentModelIndex(m_sites.index(row))
                                                    : QPersistentModelIndex();
}

SiteListDrag::Move SiteListDrag::move(int hoverRow, Edge edge)
{
    Move result;
    if (!DragArmed)
        return result;
    HoverItem = hoverRow >= 0 && hoverRow < m_sites.rowCount() ? hoverRow : -1;
    const int dragRow = this->dragRow();
    if (HoverItem >= 0 && dragRow >= 0 && m_sites.text(HoverItem) != m_sites.text(dragRow)) {
        const QString dragged = m_sites.text(dragRow);
        m_sites.setText(dragRow, m_sites.text(HoverItem));
        m_sites.setText(HoverItem, dragged);
        DragItem = m_sites.index(HoverItem);
        result.select = HoverItem;
        if (edge == Edge::NearTop && HoverItem > 0)
            result.scrollTo = HoverItem - 1;
        else if (edge == Edge::NearBottom && HoverItem + 1 < m_sites.rowCount())
            result.scrollTo = HoverItem + 1;
    }
    HoverItem = -1;
    return result;
}

void SiteListDrag::release()
{
    DragArmed = false;
}
