#include "Views/App/StatusTray.h"

#include <QApplication>
#include <QMenu>
#include <QSystemTrayIcon>

namespace tandrel {
namespace {
QPointer<StatusTray>& shown()
{
    static QPointer<StatusTray> tray;
    return tray;
}

QString& statusLine()
{
    static QString line;
    return line;
}

QString toolTipFor(const QString& line)
{
    return line.isEmpty() ? QStringLiteral("Tandrel") : line;
}

}  // namespace

void StatusTray::setStatusLine(const QString& line)
{
    if (statusLine() == line) {
        return;
    }
    statusLine() = line;
    if (StatusTray* tray = current()) {
        tray->m_trayIcon->setToolTip(toolTipFor(line));
    }
}

QString StatusTray::toolTip() const
{
    return m_trayIcon->toolTip();
}

StatusTray* StatusTray::current()
{
    return shown();
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
    m_trayIcon->setToolTip(toolTipFor(statusLine()));
    m_trayIcon->setContextMenu(m_menu.get());
    connect(m_trayIcon, &QSystemTrayIcon::activated, this, [showWindow](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) {
            showWindow();
        }
    });
    m_trayIcon->show();
    shown() = this;
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
