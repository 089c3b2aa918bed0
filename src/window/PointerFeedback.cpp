#include "window/PointerFeedback.h"

#include <QFile>
#include <QImageReader>
#include <QMouseEvent>
#include <QPixmap>
#include <QWidget>

namespace {

// The hotspot a cursor file records for its first image, if it is one.
std::optional<QPoint> cursorHotspot(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray head = file.read(6 + 16); // directory, first entry
    const auto word = [&head](int at) {
        return int(quint8(head[at])) | int(quint8(head[at + 1])) << 8;
    };
    constexpr int cursorType = 2;
    if (head.size() < 6 + 16 || word(0) != 0 || word(2) != cursorType || word(4) < 1)
        return std::nullopt;
    return QPoint(word(10), word(12));
}

} // namespace

std::optional<QCursor> loadPointerFile(const QString &path)
{
    QImageReader reader(path);
    const QImage image = reader.read();
    if (image.isNull())
        return std::nullopt;
    const QPixmap pixmap = QPixmap::fromImage(image);
    const std::optional<QPoint> hotspot = cursorHotspot(path);
    if (hotspot && pixmap.rect().contains(*hotspot))
        return QCursor(pixmap, hotspot->x(), hotspot->y());
    return QCursor(pixmap);
}

PointerFeedback::PointerFeedback(QWidget &window) : QObject(&window), m_window(window)
{
    // The window's shape changes through its cursor; that is the moment the
    // controls with pointers of their own take up or give back the busy one.
    m_window.installEventFilter(this);
}

void PointerFeedback::watch(QWidget *control, int target)
{
    // Moves without a pressed button reach only widgets that track the mouse.
    control->setMouseTracking(true);
    if (control != &m_window)
        control->installEventFilter(this);
    m_watched.append({control, target});
}

void PointerFeedback::setShape(int shape)
{
    m_shape = shape;
    switch (shape) {
    case BusyPointer:
        m_window.setCursor(Qt::WaitCursor);
        break;
    case CustomPointer:
        m_window.setCursor(m_custom.value_or(QCursor(Qt::ArrowCursor)));
        break;
    default:
        m_window.setCursor(Qt::ArrowCursor);
        break;
    }
}

void PointerFeedback::applyRule(int target)
{
    // Setting the shape it already has would change nothing on screen, only
    // rebuild the window's cursor on every move.
    if (!busy() && m_shape != target)
        setShape(target);
}

void PointerFeedback::setOwnPointer(QWidget *control, std::optional<QCursor> pointer)
{
    for (Own &own : m_own) {
        if (own.control == control) {
            own.pointer = std::move(pointer);
            show(own);
            return;
        }
    }
    m_own.append({control, std::move(pointer)});
    show(m_own.last());
}

bool PointerFeedback::busy() const
{
    return m_shape == BusyPointer;
}

void PointerFeedback::show(const Own &own) const
{
    if (!own.control)
        return;
    if (busy())
        own.control->setCursor(Qt::WaitCursor);
    else if (own.pointer)
        own.control->setCursor(*own.pointer);
    else
        own.control->unsetCursor();
}

bool PointerFeedback::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::CursorChange && watched == &m_window) {
        if (busy() != m_showingBusy) {
            m_showingBusy = busy();
            for (const Own &own : std::as_const(m_own))
                show(own);
        }
    } else if (event->type() == QEvent::MouseMove) {
        for (const Watched &w : std::as_const(m_watched)) {
            if (w.control != watched)
                continue;
            // A move a child control did not take travels up to its parent;
            // it is not a move over the parent's own surface.
            const auto *control = static_cast<QWidget *>(watched);
            const auto *move = static_cast<QMouseEvent *>(event);
            if (!control->childAt(move->position().toPoint()))
                applyRule(w.target);
            break;
        }
    }
    return QObject::eventFilter(watched, event);
}
