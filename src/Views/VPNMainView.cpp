#include "Views/VPNMainView.h"

#include "Classes/Preferences.h"
#include "ContentViewModel.h"
#include "Platform/MainQueue.h"
#include "Platform/NotificationCenter.h"
#include "Views/Platform/Windows.h"

#include <QCoreApplication>
#include <QPointer>
#include <QPushButton>
#include <QShowEvent>
#include <QVBoxLayout>

namespace tandrel {

VPNMainView::VPNMainView(ContentViewModel& vm, QWidget* parent)
    : QWidget(parent),
      m_vm(vm),
      m_logOutButton(new QPushButton(QCoreApplication::translate("Tandrel", "Log out"), this))
{
    setObjectName(QStringLiteral("vpnMainView"));
    m_logOutButton->setObjectName(QStringLiteral("logOutButton"));
    m_logOutButton->setAccessibleName(m_logOutButton->text());
    auto* layout = new QVBoxLayout(this);
    layout->addStretch();
    layout->addWidget(m_logOutButton, 0, Qt::AlignHCenter);
    layout->addStretch();
    connect(m_logOutButton, &QPushButton::clicked, this, &VPNMainView::logOut);
}

QSize VPNMainView::windowSize()
{
    return {Preferences::compactView() ? 300 : 900, 700};
}

void VPNMainView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (event->spontaneous()) {
        return;
    }
    MainQueue::async([] {
        if (QWidget* window = Windows::mainWindow()) {
            Windows::setFrameSizeKeepingOrigin(window, windowSize(), true);
        }
    });
}

void VPNMainView::logOut()
{
    // The post runs the log-out handlers first; only then does this screen switch.
    NotificationCenter::defaultCenter().post(QStringLiteral("logout"));
    m_vm.state = ContentViewModel::ProgramState::needLogin;
}

}  // namespace tandrel
