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
    // The tray shown now, if any (its tooltip follows the status line).
    static StatusTray* current();
    // The main screen's status line ("Connected to …"), which the icon's tooltip says; empty
    // when no screen shows a status (the tooltip then names the application). Kept for an
    // icon that appears later.
    static void setStatusLine(const QString& line);

    StatusTray(const QIcon& icon, std::function<void()> showWindow, QObject* parent = nullptr);
    ~StatusTray() override;

    void setIcon(const QIcon& icon);
    QString toolTip() const;
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
