#include "Views/App/StatusTray.h"

#include "Platform/SessionBus.h"

#include <QApplication>
#include <QMenu>
#include <QSystemTrayIcon>

namespace tandrel {

bool StatusTray::isAvailable()
{
    return sessionBusAvailable() && QSystemTrayIcon::isSystemTrayAvailable();
}

StatusTray::StatusTray(const QIcon& icon, std::function<void()> showWindow, QObject* parent)
    : QObject(parent), m_menu(std::make_unique<QMenu>())
{
    m_menu->setObjectName(QStringLiteral("statusTrayMenu"));
    m_showAction = m_menu->addAction(QCoreApplication::translate("Tandrel", "Show Tandrel"));
    m_showAction->setObjectName(QStringLiteral("showTandrelAction"));
    connect(m_showAction, &QAction::triggered, this, showWindow);
    m_menu->addSeparator();
    m_quitAction = m_menu->addAction(QCoreApplication::translate("Tandrel", "Quit"));
    m_quitAction->setObjectName(QStringLiteral("trayQuitAction"));
    // Quits as the menu bar's Quit does: nothing asked, the tunnel left as the system holds it.
    connect(m_quitAction, &QAction::triggered, qApp, &QCoreApplication::quit, Qt::QueuedConnection);

    m_trayIcon = new QSystemTrayIcon(icon, this);
    m_trayIcon->setObjectName(QStringLiteral("statusTrayIcon"));
    m_trayIcon->setToolTip(QStringLiteral("Tandrel"));
    m_trayIcon->setContextMenu(m_menu.get());
    connect(m_trayIcon, &QSystemTrayIcon::activated, this, [showWindow](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) {
            showWindow();
        }
    });
    m_trayIcon->show();
}

StatusTray::~StatusTray()
{
    m_trayIcon->hide();
}

void StatusTray::setIcon(const QIcon& icon)
{
    m_trayIcon->setIcon(icon);
}

}  // namespace tandrel
