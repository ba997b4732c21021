#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QRect>
#include <QSize>

class QWidget;

namespace tandrel::Windows {

// The application's windows as the screens see them. A frame is the window's outer
// rectangle (decorations included where the window manager draws them). Its origin is
// the bottom-left corner, as in the design: a frame that "keeps its origin" keeps its
// bottom-left corner where it is and grows or shrinks upwards and to the right.

// Adds a window to the application's window list (in order of creation).
void registerWindow(QWidget* window);
// The application's window list: registered windows still alive, oldest first.
QList<QWidget*> windowList();
// The main window: the active registered window that may be main, else the first
// visible one of those; nullptr when there is none. Windows marked as not main (the
// settings window) never are.
QWidget* mainWindow();
void setCanBecomeMain(QWidget* window, bool canBecomeMain);

QRect frame(const QWidget* window);
// Moves and sizes the window so its frame becomes `frame`, optionally animated, kept within
// the usable area of the screen the frame is on.
void setFrame(QWidget* window, const QRect& frame, bool animate);
// `setFrame` keeping the bottom-left corner of the current frame.
void setFrameSizeKeepingOrigin(QWidget* window, const QSize& size, bool animate);
// Sizes the window so its content (central widget) gets `size`; the top-left stays.
void setContentSize(QWidget* window, const QSize& size);
// The frame size that gives the window's content (its central widget) this size, with
// the menu bar and the decorations it has now around it.
QSize frameSizeForContent(const QWidget* window, const QSize& content);
// The usable part of the window's screen (panels and docks left out).
QRect availableArea(const QWidget* window);
// `frame` moved, and shrunk where it is larger, to lie inside `room`; its top-left corner
// (the title bar) is the part that stays when it cannot fit.
QRect fittedFrame(const QRect& frame, const QRect& room);
// Keeps the window inside its screen's usable area, now and whenever it or the screen
// changes. Its minimum size is what `content` needs without clipping (its minimum size
// hint, with the menu bar and decorations around it), unless the usable area is smaller:
// the screen wins and the content is left to scroll inside the window.
void limitToScreen(QWidget* window, QWidget* content);
// Centres the window on its screen.
void center(QWidget* window);
// Keeps a sheet centred over `over` each time it is shown or resized, moved back inside
// the screen's available area where it would stick out.
void keepCentredOver(QWidget* sheet, QWidget* over);

// Clears the maximize (zoom) button of every window on every pass of the event loop, so
// windows opened later lose it too.
void keepZoomDisabled();
// Removes the zoom button of one window now.
void disableZoom(QWidget* window);

// Lets the application's Quit shortcut work while a sheet or an alert is the active
// window: every dialog shown from now on also carries the windows' Quit action.
void shareQuitWithDialogs();

}  // namespace tandrel::Windows
