#include "Views/Updater/CheckForUpdatesViewModel.h"

#include "Platform/Updater.h"

namespace tandrel {

CheckForUpdatesViewModel::CheckForUpdatesViewModel(Updater& updater, QObject* parent) : ObservableObject(parent)
{
    m_subscription = updater.canCheckForUpdates.sink([this](bool value) { canCheckForUpdates = value; });
}

}  // namespace tandrel
