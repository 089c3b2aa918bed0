#pragma once

#include "sitelist/SiteListDrag.h"

#include <QObject>
#include <QString>

class PointerFeedback;
class QModelIndex;
class QMouseEvent;
class QTreeView;

// Drives the site list's drag state from the mouse events of its view, and
// gives the view its own pointer: the drag image from a click on a row until
// the release, then the arrow.
class SiteListDragView : public QObject
{
public:
    SiteListDragView(QTreeView *list, SiteList &sites, PointerFeedback &feedback,
                     const QString &programFolder, QObject *parent = nullptr);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void ListView1_MouseDown();
    void ListView1_ItemClick();
    bool ListView1_MouseMove(const QMouseEvent *event);
    void ListView1_MouseUp();

    QTreeView *ListView1;
    QObject *m_viewport;
    SiteListDrag m_drag;
    PointerFeedback &m_feedback;
    QString m_programFolder;
};
