#pragma once

#include "Platform/Published.h"

namespace tandrel {

class Updater;

// Mirrors the updater's `canCheckForUpdates`: the current value at once, then every new one.
class CheckForUpdatesViewModel : public ObservableObject {
    Q_OBJECT
public:
    explicit CheckForUpdatesViewModel(Updater& updater, QObject* parent = nullptr);

    Published<bool> canCheckForUpdates{this, false};

private:
    Cancellable m_subscription;
};

}  // namespace tandrel
