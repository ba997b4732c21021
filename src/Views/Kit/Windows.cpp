#include "Views/Kit/Windows.h"

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QKeySequence>
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

void setFrame(QWidget* window, const QRect& frame, bool animate)
{
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

void setFrameSizeKeepingOrigin(QWidget* window, const QSize& size, bool animate)
{
    const QRect current = frame(window);
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
    window->resize(size + extra);
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
    SheetPlacer(QWidget* sheet, QWidget* over) : QObject(sheet), m_over(over) {}

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Show || event->type() == QEvent::Resize) {
            place(static_cast<QWidget*>(watched));
        }
        return false;
    }

private:
    void place(QWidget* sheet) const
    {
        if (!m_over || !sheet->isWindow()) {
            return;
        }
        QRect outer = frame(sheet);
        outer.moveCenter(frame(m_over).center());
        const QScreen* screen = m_over->screen() ? m_over->screen() : QGuiApplication::primaryScreen();
        if (screen) {
            const QRect room = screen->availableGeometry();
            outer.moveRight(std::min(outer.right(), room.right()));
            outer.moveBottom(std::min(outer.bottom(), room.bottom()));
            outer.moveLeft(std::max(outer.left(), room.left()));
            outer.moveTop(std::max(outer.top(), room.top()));
        }
        if (outer.topLeft() != frame(sheet).topLeft()) {
            sheet->move(outer.topLeft());
        }
    }

    QPointer<QWidget> m_over;
};

}  // namespace

void keepCentredOver(QWidget* sheet, QWidget* over)
{
    sheet->installEventFilter(new SheetPlacer(sheet, over));
}

void center(QWidget* window)
{
    QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    if (!screen) {
        return;
    }
    QRect outer = frame(window);
    outer.moveCenter(screen->availableGeometry().center());
    window->move(outer.topLeft());
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
