#pragma once

#include "Platform/Published.h"

#include <QObject>

class QAction;

namespace tandrel {

class CheckForUpdatesViewModel;
class Updater;

// The menu item "Check for Updates…": starts a user-initiated check, and is greyed out
// whenever the updater says no check can start.
class CheckForUpdatesView : public QObject {
    Q_OBJECT
public:
    CheckForUpdatesView(Updater& updater, QObject* parent = nullptr);

    QAction* action() const { return m_action; }
    CheckForUpdatesViewModel& checkForUpdatesViewModel() const { return *m_viewModel; }

private:
    Updater& m_updater;
    CheckForUpdatesViewModel* m_viewModel;
    QAction* m_action;
    Cancellable m_enabledSubscription;
};

}  // namespace tandrel
