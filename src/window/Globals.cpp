#include "window/Globals.h"

#include <QScreen>
#include <QWidget>

void CenterForm(QWidget *window)
{
    QScreen *screen = window->screen();
    if (!screen)
        return;
    const QRect area = screen->geometry();
    const QRect frame = window->frameGeometry();
    // The frame is known only once the window is shown; before that, the client
    // size is the best estimate and the window manager keeps the decoration aside.
    const int left = area.x() + (area.width() - frame.width()) / 2;
    const int top = area.y() + (area.height() - frame.height()) / 2;
    window->move(left, top);
}
