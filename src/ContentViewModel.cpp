#include "ContentViewModel.h"

#include "Classes/Preferences.h"
#include "Controllers/TandrelController.h"

namespace tandrel {

ContentViewModel::ContentViewModel(QObject* parent) : ObservableObject(parent), state(this, initialState()) {}

ContentViewModel::ProgramState ContentViewModel::initialState()
{
    // A log-out made while the keyring was locked ended that session, whatever the
    // keyring still holds: completed now if it can be, and the login screen either way.
    if (!TandrelController::finishPendingLogout()) {
        return ProgramState::needLogin;
    }
    Keychain& keychain = Preferences::defaultKeychain();
    // A locked keyring holds the session; the main screen says it is locked and waits.
    if (Preferences::isLocked(Preferences::Keys::email) || Preferences::isLocked(Preferences::Keys::token)) {
        const bool present = (keychain[Preferences::Keys::email] || Preferences::isLocked(Preferences::Keys::email)) &&
                             (keychain[Preferences::Keys::token] || Preferences::isLocked(Preferences::Keys::token));
        return present ? ProgramState::loggedIn : ProgramState::needLogin;
    }
    const std::optional<QString> email = keychain[Preferences::Keys::email];
    if (!email) {
        return ProgramState::needLogin;
    }
    const std::optional<QString> token = keychain[Preferences::Keys::token];
    if (!token) {
        return ProgramState::needLogin;
    }
    // No trimming: a value of blanks counts as present.
    return !email->isEmpty() && !token->isEmpty() ? ProgramState::loggedIn : ProgramState::needLogin;
}

}  // namespace tandrel
