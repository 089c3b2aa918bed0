#pragma once

#include <QCursor>
#include <QList>
#include <QObject>
#include <QPointer>

#include <optional>

class QWidget;

// A pointer image from a file: a Windows cursor keeps the hotspot written in
// it, any other image is held by its centre. None when it cannot be read.
std::optional<QCursor> loadPointerFile(const QString &path);

// The window's pointer shape and its feedback. A move over a watched control
// applies the shared rule: unless the window holds the busy pointer, the
// window's shape becomes that control's target. Controls with a pointer of
// their own show it in place of the window's, except while the window is busy.
class PointerFeedback : public QObject
{
public:
    // Pointer shapes of the window.
    enum Pointer
    {
        DefaultPointer = 0,
        BusyPointer = 11,
        CustomPointer = 99
    };

    explicit PointerFeedback(QWidget &window);

    int shape() const { return m_shape; }
    void setShape(int shape);
    // The image the custom shape shows; the arrow without one.
    void setCustomPointer(std::optional<QCursor> pointer) { m_custom = std::move(pointer); }

    // Applies the rule with target on moves over control's own surface; moves
    // over its child controls are theirs.
    void watch(QWidget *control, int target);
    void applyRule(int target);
    // Gives control a pointer of its own, or takes it away with nullopt.
    void setOwnPointer(QWidget *control, std::optional<QCursor> pointer);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    struct Watched
    {
        QObject *control;
        int target;
    };
    struct Own
    {
        QPointer<QWidget> control;
        std::optional<QCursor> pointer;
    };

    bool busy() const;
    void show(const Own &own) const;

    QWidget &m_window;
    int m_shape = DefaultPointer;
    std::optional<QCursor> m_custom;
    QList<Watched> m_watched;
    QList<Own> m_own;
    bool m_showingBusy = false;
};
