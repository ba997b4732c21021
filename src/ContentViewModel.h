#pragma once

#include "Platform/Published.h"

namespace tandrel {

// The program state: whether the user must log in or is logged in. The root view owns
// the one model and hands it to every screen below it.
class ContentViewModel : public ObservableObject {
    Q_OBJECT
public:
    enum class ProgramState { needLogin, loggedIn };

    // The first screen follows the keychain: logged in when it holds a non-empty "email"
    // and "token"; nothing else (the backend, the tunnel) is asked.
    explicit ContentViewModel(QObject* parent = nullptr);

    Published<ProgramState> state;
    // The user was logged out because the session expired or was revoked; the login
    // screen says so until the next log-in.
    Published<bool> sessionExpired{this, false};

private:
    static ProgramState initialState();
};

}  // namespace tandrel
