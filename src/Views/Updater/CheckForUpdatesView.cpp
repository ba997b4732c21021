#include "Views/Updater/CheckForUpdatesView.h"

#include "Platform/Updater.h"
#include "Views/Updater/CheckForUpdatesViewModel.h"

#include <QAction>
#include <QCoreApplication>

namespace tandrel {

CheckForUpdatesView::CheckForUpdatesView(Updater& updater, QObject* parent)
    : QObject(parent),
      m_updater(updater),
      m_viewModel(new CheckForUpdatesViewModel(updater, this)),
      m_action(new QAction(QCoreApplication::translate("Tandrel", "Check for Updates…"), this))
{
    m_action->setObjectName(QStringLiteral("checkForUpdatesAction"));
    m_action->setMenuRole(QAction::ApplicationSpecificRole);
    connect(m_action, &QAction::triggered, this, [this] { m_updater.checkForUpdates(); });
    m_enabledSubscription = m_viewModel->canCheckForUpdates.sink([this](bool value) { m_action->setEnabled(value); });
}

}  // namespace tandrel
