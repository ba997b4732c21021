#pragma once

#include <QIcon>
#include <QObject>
#include <QPointer>

#include <functional>

class QAction;
class QMenu;
class QSystemTrayIcon;

namespace tandrel {

// The application's icon in the desktop's status area (a StatusNotifierItem, or an XEmbed
// tray icon): it shows the same status image as the application icon, a click shows the
// window, and its menu offers "Show Tandrel" and "Quit".
class StatusTray : public QObject {
    Q_OBJECT
public:
    // Whether the desktop has a status area. It is asked only where a session bus is
    // named in the environment, since asking connects to the bus and a connection without
    // one could start a bus of its own.
    static bool isAvailable();

    StatusTray(const QIcon& icon, std::function<void()> showWindow, QObject* parent = nullptr);
    ~StatusTray() override;

    void setIcon(const QIcon& icon);
    QSystemTrayIcon* trayIcon() const { return m_trayIcon; }
    QMenu* menu() const { return m_menu.get(); }
    QAction* showAction() const { return m_showAction; }
    QAction* quitAction() const { return m_quitAction; }

private:
    std::unique_ptr<QMenu> m_menu;
    QSystemTrayIcon* m_trayIcon = nullptr;
    QAction* m_showAction = nullptr;
    QAction* m_quitAction = nullptr;
};

}  // namespace tandrel
