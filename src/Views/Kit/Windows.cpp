#include "Views/Kit/Windows.h"

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QKeySequence>
#include <QEvent>
#include <QMainWindow>
#include <QScreen>
#include <QVariantAnimation>
#include <QWidget>
#include <QWindow>

namespace tandrel::Windows {
namespace {

constexpr int kResizeAnimationMs = 200;
constexpr char kNotMainProperty[] = "tandrelNotMain";
constexpr char kAnimationName[] = "tandrelFrameAnimation";

QList<QPointer<QWidget>>& registry()
{
    static QList<QPointer<QWidget>> windows;
    return windows;
}

// Window-manager decorations around the client area (zero before the window is mapped or
// without a window manager, as on the offscreen platform).
QMargins decorations(const QWidget* window)
{
    const QRect outer = window->frameGeometry();
    const QRect inner = window->geometry();
    return {inner.left() - outer.left(), inner.top() - outer.top(), outer.right() - inner.right(),
            outer.bottom() - inner.bottom()};
}

// The usable part of the screen a frame is on (panels and docks left out): the screen
// under the frame's centre, else the window's own, else the primary one.
QRect availableArea(const QWidget* window, const QRect& frame)
{
    QScreen* screen = QGuiApplication::screenAt(frame.center());
    if (!screen) {
        screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    }
    return screen ? screen->availableGeometry() : QRect();
}

// The smallest frame the window takes: its minimum size with the decorations around it.
QSize minimumFrameSize(const QWidget* window)
{
    const QMargins around = decorations(window);
    return window->minimumSize().grownBy(around);
}

// Moves and sizes the window so its outer frame is exactly `frame`. A window is placed
// through its client area, and a platform may shift a client area it finds too close to
// or past a screen edge (the offscreen platform moves one left of its frame margin
// right by that margin, and reports that later): the frame is then put where it was
// asked, by its own position, which the platform takes as given.
void place(QWidget* window, const QRect& frame)
{
    window->setGeometry(frame.marginsRemoved(decorations(window)));
    QWindow* handle = window->windowHandle();
    if (handle && window->isVisible() && handle->frameGeometry().topLeft() != frame.topLeft()) {
        handle->setFramePosition(frame.topLeft());
    }
}

// The zoom-button pass, scheduled at most once per turn of the event loop: any event
// schedules it, and the pass's own call does not schedule another.
class ZoomGuard : public QObject {
public:
    using QObject::QObject;

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (!m_pending && watched != this && event->type() != QEvent::MetaCall) {
            m_pending = true;
            QMetaObject::invokeMethod(
                this, [this] { pass(); }, Qt::QueuedConnection);
        }
        return false;
    }

private:
    void pass()
    {
        m_pending = false;
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (widget->isWindow() && (widget->windowFlags() & Qt::WindowMaximizeButtonHint)) {
                disableZoom(widget);
            }
        }
    }

    bool m_pending = false;
};

}  // namespace

void registerWindow(QWidget* window)
{
    registry().append(window);
}

QList<QWidget*> windowList()
{
    QList<QWidget*> result;
    registry().removeIf([](const QPointer<QWidget>& window) { return window.isNull(); });
    for (const QPointer<QWidget>& window : registry()) {
        result.append(window.data());
    }
    return result;
}

void setCanBecomeMain(QWidget* window, bool canBecomeMain)
{
    window->setProperty(kNotMainProperty, !canBecomeMain);
}

QWidget* mainWindow()
{
    const QList<QWidget*> windows = windowList();
    auto mayBeMain = [](QWidget* window) {
        return window->isVisible() && !window->property(kNotMainProperty).toBool();
    };
    if (QWidget* active = QApplication::activeWindow(); active && windows.contains(active) && mayBeMain(active)) {
        return active;
    }
    for (QWidget* window : windows) {
        if (mayBeMain(window)) {
            return window;
        }
    }
    return nullptr;
}

QRect frame(const QWidget* window)
{
    return window->frameGeometry();
}

QRect fittedFrame(const QRect& frame, const QRect& room)
{
    if (!room.isValid()) {
        return frame;
    }
    QRect fitted(frame.topLeft(), frame.size().boundedTo(room.size()));
    // Right and bottom first, so a frame as large as the room ends at its top-left corner:
    // the title bar is what must stay reachable.
    fitted.moveRight(std::min(fitted.right(), room.right()));
    fitted.moveBottom(std::min(fitted.bottom(), room.bottom()));
    fitted.moveLeft(std::max(fitted.left(), room.left()));
    fitted.moveTop(std::max(fitted.top(), room.top()));
    return fitted;
}

QRect availableArea(const QWidget* window)
{
    return availableArea(window, frame(window));
}

void setFrame(QWidget* window, const QRect& asked, bool animate)
{
    // Never below the window's minimum, never beyond the screen's usable area (which wins
    // over the minimum, see limitToScreen).
    const QRect frame = fittedFrame(QRect(asked.topLeft(), asked.size().expandedTo(minimumFrameSize(window))),
                                    availableArea(window, asked));
    auto* running = window->findChild<QVariantAnimation*>(QLatin1String(kAnimationName), Qt::FindDirectChildrenOnly);
    if (running) {
        running->stop();
        delete running;
    }
    if (!animate || !window->isVisible()) {
        place(window, frame);
        return;
    }
    // The steps go from frame to frame, each placed like the last: the bottom-left corner
    // holds on every one of them, whatever the platform did to the one before.
    auto* animation = new QVariantAnimation(window);
    animation->setObjectName(QLatin1String(kAnimationName));
    animation->setDuration(kResizeAnimationMs);
    animation->setEasingCurve(QEasingCurve::InOutQuad);
    animation->setStartValue(Windows::frame(window));
    animation->setEndValue(frame);
    QObject::connect(animation, &QVariantAnimation::valueChanged, window,
                     [window](const QVariant& step) { place(window, step.toRect()); });
    animation->start(QAbstractAnimation::DeleteWhenStopped);
}

void setFrameSizeKeepingOrigin(QWidget* window, const QSize& asked, bool animate)
{
    const QRect current = frame(window);
    // The size the window will really take, so the corner kept is the one asked for.
    QSize size = asked.expandedTo(minimumFrameSize(window));
    if (const QRect room = availableArea(window); room.isValid()) {
        size = size.boundedTo(room.size());
    }
    // Bottom-left stays: the new top edge is the old bottom edge minus the new height.
    const QPoint topLeft(current.left(), current.top() + current.height() - size.height());
    setFrame(window, QRect(topLeft, size), animate);
}

void setContentSize(QWidget* window, const QSize& size)
{
    QSize extra(0, 0);
    if (auto* main = qobject_cast<QMainWindow*>(window); main && main->centralWidget()) {
        extra = window->size() - main->centralWidget()->size();
        if (main->menuWidget() && !main->menuWidget()->isVisible()) {
            extra = QSize(0, 0);
        }
        if (extra.width() < 0 || extra.height() < 0 || !main->isVisible()) {
            // Before the first layout pass the difference is not known yet; the menu bar's
            // height is.
            extra = QSize(
                0, main->menuWidget() && !main->menuWidget()->isHidden() ? main->menuWidget()->sizeHint().height() : 0);
        }
    }
    const QRect room = availableArea(window);
    QSize wanted = size + extra;
    if (room.isValid()) {
        const QMargins around = decorations(window);
        wanted = wanted.boundedTo(room.size().shrunkBy(around));
    }
    window->resize(wanted);
}

QSize frameSizeForContent(const QWidget* window, const QSize& content)
{
    const auto* main = qobject_cast<const QMainWindow*>(window);
    const QWidget* inside = main && main->centralWidget() ? main->centralWidget() : window;
    QSize around = frame(window).size() - inside->size();
    if (around.width() < 0 || around.height() < 0 || !window->isVisible()) {
        around = QSize(0, main && main->menuWidget() && !main->menuWidget()->isHidden()
                              ? main->menuWidget()->sizeHint().height()
                              : 0);
    }
    return content + around;
}

namespace {

class SheetPlacer : public QObject {
public:
    SheetPlacer(QWidget* sheet, QWidget* over) : QObject(sheet), m_sheet(sheet), m_over(over)
    {
        sheet->installEventFilter(this);
        // The window it covers may still be placed (the first window is centred one turn
        // of the event loop after it shows) or be moved later: the sheet goes with it.
        if (over) {
            over->installEventFilter(this);
        }
    }

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        const QEvent::Type type = event->type();
        const bool sheetChanged = watched == m_sheet && (type == QEvent::Show || type == QEvent::Resize);
        const bool overMoved = watched == m_over && (type == QEvent::Move || type == QEvent::Resize);
        if ((sheetChanged || overMoved) && m_sheet && m_sheet->isVisible()) {
            place();
        }
        return false;
    }

private:
    void place() const
    {
        if (!m_over || !m_sheet->isWindow()) {
            return;
        }
        QRect outer = frame(m_sheet);
        outer.moveCenter(frame(m_over).center());
        outer = fittedFrame(outer, Windows::availableArea(m_over));
        if (outer != frame(m_sheet)) {
            Windows::place(m_sheet, outer);
        }
    }

    QPointer<QWidget> m_sheet;
    QPointer<QWidget> m_over;
};

}  // namespace

void keepCentredOver(QWidget* sheet, QWidget* over)
{
    new SheetPlacer(sheet, over);
}

namespace {

class ScreenLimiter : public QObject {
public:
    ScreenLimiter(QWidget* window, QWidget* content) : QObject(window), m_window(window), m_content(content)
    {
        window->installEventFilter(this);
        content->installEventFilter(this);
    }

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        const QEvent::Type type = event->type();
        if (watched == m_window && type == QEvent::Show) {
            followScreen();
            // After the platform has mapped the window: its decorations are known then.
            scheduleLimit();
        }
        // A screen's content changes its needs (the login screen gives way to the main one).
        if (watched == m_content && type == QEvent::LayoutRequest) {
            scheduleLimit();
        }
        return false;
    }

private:
    void scheduleLimit()
    {
        if (!m_pending) {
            m_pending = true;
            QMetaObject::invokeMethod(
                this,
                [this] {
                    m_pending = false;
                    limit();
                },
                Qt::QueuedConnection);
        }
    }

    void followScreen()
    {
        QWindow* handle = m_window->windowHandle();
        if (!handle || m_followed == handle) {
            return;
        }
        m_followed = handle;
        connect(handle, &QWindow::screenChanged, this, [this](QScreen* screen) { watchScreen(screen); });
        watchScreen(handle->screen());
    }

    void watchScreen(QScreen* screen)
    {
        disconnect(m_screenConnection);
        if (screen) {
            m_screenConnection = connect(screen, &QScreen::availableGeometryChanged, this, [this] { limit(); });
        }
        limit();
    }

    void limit()
    {
        if (!m_window || !m_content) {
            return;
        }
        const QRect room = Windows::availableArea(m_window);
        if (!room.isValid()) {
            return;
        }
        const QMargins outside = decorations(m_window);
        // What the window adds around its content: the menu bar, and a scroll area's frame.
        QSize around = m_window->size() - m_content->parentWidget()->size();
        if (auto* main = qobject_cast<QMainWindow*>(m_window.data()); main && main->centralWidget()) {
            around = m_window->size() - main->centralWidget()->size();
            if (around.width() < 0 || around.height() < 0 || !m_window->isVisible()) {
                around = QSize(0, main->menuWidget() && !main->menuWidget()->isHidden()
                                      ? main->menuWidget()->sizeHint().height()
                                      : 0);
            }
        }
        const QSize needed = m_content->minimumSizeHint().expandedTo(m_content->minimumSize()) + around;
        m_window->setMinimumSize(needed.boundedTo(room.size().shrunkBy(outside)));
        const QRect current = frame(m_window);
        if (m_window->isVisible() && fittedFrame(current, room) != current) {
            setFrame(m_window, current, false);
        }
    }

    QPointer<QWidget> m_window;
    QPointer<QWidget> m_content;
    QPointer<QWindow> m_followed;
    QMetaObject::Connection m_screenConnection;
    bool m_pending = false;
};

}  // namespace

void limitToScreen(QWidget* window, QWidget* content)
{
    new ScreenLimiter(window, content);
}

void center(QWidget* window)
{
    QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    if (!screen) {
        return;
    }
    QRect outer = frame(window);
    outer.moveCenter(screen->availableGeometry().center());
    // A window larger than the usable area keeps its title bar on screen.
    outer = fittedFrame(outer, screen->availableGeometry());
    if (outer.size() == frame(window).size()) {
        window->move(outer.topLeft());
    } else {
        place(window, outer);
    }
}

void disableZoom(QWidget* window)
{
    const bool wasVisible = window->isVisible();
    Qt::WindowFlags flags = window->windowFlags();
    if (!(flags & Qt::WindowMaximizeButtonHint)) {
        return;
    }
    // Without CustomizeWindowHint the platform adds the default buttons back.
    flags |= Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    if (window->windowType() == Qt::Window) {
        flags |= Qt::WindowMinimizeButtonHint;
    }
    flags &= ~Qt::WindowMaximizeButtonHint;
    const QRect geometry = window->geometry();
    window->setWindowFlags(flags);
    if (wasVisible) {
        // Changing the flags of a shown window hides it.
        window->setGeometry(geometry);
        window->show();
    }
}

namespace {

class QuitSharer : public QObject {
public:
    using QObject::QObject;

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Show) {
            if (auto* dialog = qobject_cast<QDialog*>(watched)) {
                for (QWidget* window : windowList()) {
                    for (QAction* action : window->findChildren<QAction*>()) {
                        const bool quits = action->objectName() == QLatin1String("quitAction") ||
                                           action->shortcuts().contains(QKeySequence(QKeySequence::Quit));
                        if (quits && !dialog->actions().contains(action)) {
                            dialog->addAction(action);
                        }
                    }
                }
            }
        }
        return false;
    }
};

}  // namespace

void shareQuitWithDialogs()
{
    static QuitSharer* sharer = nullptr;
    if (!sharer && qApp) {
        sharer = new QuitSharer(qApp);
        qApp->installEventFilter(sharer);
    }
}

void keepZoomDisabled()
{
    static ZoomGuard* guard = nullptr;
    if (!guard && qApp) {
        guard = new ZoomGuard(qApp);
        qApp->installEventFilter(guard);
    }
}

}  // namespace tandrel::Windows
