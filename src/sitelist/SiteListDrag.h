#pragma once

#include <QPersistentModelIndex>

class SiteList;

// The drag state of the site list. A press arms it, a click on a row picks
// that row up, and while it is armed every row the pointer passes over trades
// texts with the picked-up row, so the picked-up text travels with the pointer.
// Rows are told apart by their texts: passing over an equal text does nothing.
class SiteListDrag
{
public:
    // Where the pointer is relative to the list's visible rows.
    enum class Edge
    {
        None,
        NearTop,
        NearBottom
    };

    // What the view has to do after a move; -1 means nothing.
    struct Move
    {
        int select = -1;   // the row that now holds the dragged text
        int scrollTo = -1; // the row to bring into view
    };

    explicit SiteListDrag(SiteList &sites);

    void press();
    void pick(int row);
    Move move(int hoverRow, Edge edge);
    void release();

    bool armed() const { return DragArmed; }
    // The row picked up last, moved along by the swaps; -1 once that row is
    // removed or the list cleared.
    int dragRow() const { return DragItem.isValid() ? DragItem.row() : -1; }

private:
    SiteList &m_sites;
    bool DragArmed = false;
    QPersistentModelIndex DragItem;
    int HoverItem = -1; // only during a move
};
