#include "window/SiteListDragView.h"

#include "window/PointerFeedback.h"

#include <QMouseEvent>
#include <QTreeView>

SiteListDragView::SiteListDragView(QTreeView *list, SiteList &sites, PointerFeedback &feedback,
                                   const QString &programFolder, QObject *parent)
    : QObject(parent), ListView1(list), m_drag(sites), m_feedback(feedback),
      m_programFolder(programFolder)
{
    // Rows are reordered by swapping texts; no data leaves or enters the list.
    ListView1->setDragDropMode(QAbstractItemView::NoDragDrop);
    m_viewport = ListView1->viewport();
    ListView1->viewport()->setMouseTracking(true);
    ListView1->viewport()->installEventFilter(this);
    // The view selects the pressed row before it reports the press, so the
    // click handler finds the clicked row selected.
    connect(ListView1, &QAbstractItemView::pressed, this, &SiteListDragView::ListView1_ItemClick);
}

bool SiteListDragView::eventFilter(QObject *watched, QEvent *event)
{
    // Compares addresses only: while the window is torn down the view may be
    // half destroyed and must not be called.
    if (watched != m_viewport)
        return false;
    switch (event->type()) {
    case QEvent::MouseButtonPress:
        ListView1_MouseDown();
        break;
    case QEvent::MouseMove:
        return ListView1_MouseMove(static_cast<QMouseEvent *>(event));
    case QEvent::MouseButtonRelease:
        ListView1_MouseUp();
        break;
    default:
        break;
    }
    return false;
}

void SiteListDragView::ListView1_MouseDown()
{
    m_drag.press();
}

void SiteListDragView::ListView1_ItemClick()
{
    // Read anew at every click, so a replaced image shows without a restart.
    const std::optional<QCursor> image =
        loadPointerFile(m_programFolder + QStringLiteral("/drag.ico"));
    m_feedback.setOwnPointer(ListView1, image.value_or(QCursor(Qt::ArrowCursor)));
    const QModelIndexList selected = ListView1->selectionModel()->selectedRows();
    m_drag.pick(selected.isEmpty() ? -1 : selected.first().row());
}

bool SiteListDragView::ListView1_MouseMove(const QMouseEvent *event)
{
    m_feedback.applyRule(PointerFeedback::DefaultPointer);
    if (!m_drag.armed())
        return false;

    const QPoint at = event->position().toPoint();
    const QModelIndex hover = ListView1->indexAt(at);
    SiteListDrag::Edge edge = SiteListDrag::Edge::None;
    if (hover.isValid()) {
        // Within one row of the list's own edges, wherever the window is.
        const int rowHeight = ListView1->visualRect(hover).height();
        if (at.y() < rowHeight)
            edge = SiteListDrag::Edge::NearTop;
        else if (at.y() >= ListView1->viewport()->height() - rowHeight)
            edge = SiteListDrag::Edge::NearBottom;
    }
    const SiteListDrag::Move done = m_drag.move(hover.isValid() ? hover.row() : -1, edge);
    QAbstractItemModel *model = ListView1->model();
    if (done.select >= 0)
        ListView1->selectionModel()->setCurrentIndex(model->index(done.select, 0),
                                                     QItemSelectionModel::ClearAndSelect |
                                                         QItemSelectionModel::Rows);
    if (done.scrollTo >= 0)
        ListView1->scrollTo(model->index(done.scrollTo, 0));
    // The view's own drag-selection would fight the swaps (and scroll on a
    // timer of its own), so it never sees a move while the drag is armed.
    return event->buttons() != Qt::NoButton;
}

void SiteListDragView::ListView1_MouseUp()
{
    m_drag.release();
    m_feedback.setOwnPointer(ListView1, QCursor(Qt::ArrowCursor));
}
