#include "ContentViewModel.h"

#include "Classes/Preferences.h"

namespace tandrel {

ContentViewModel::ContentViewModel(QObject* parent) : ObservableObject(parent), state(this, initialState()) {}

ContentViewModel::ProgramState ContentViewModel::initialState()
{
    Keychain& keychain = Preferences::defaultKeychain();
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
