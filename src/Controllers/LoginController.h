#pragma once

#include "Network/JSON.h"
#include "Platform/Error.h"
#include "Platform/Published.h"

#include <QPointer>

#include <QString>

#include <functional>
#include <optional>

namespace tandrel {

// The outcome of the last log-in or sign-up attempt.
enum class Status { none, logInTrue, logInFalse, signUpTrue, signUpFalse };

// The login screen's model: checks what was typed, sends the log-in or sign-up request,
// stores the account's credentials on success and publishes the outcome.
class LoginController : public ObservableObject {
    Q_OBJECT
public:
    explicit LoginController(QObject* parent = nullptr);

    // Nothing reads or writes these three after construction; the screen keeps its own texts.
    Published<QString> email{this};
    Published<QString> password{this};
    Published<QString> repeatPassword{this};
    // Raised by every failure; the screen's alert lowers it again.
    Published<bool> loginError{this, false};
    // The text of the last failure.
    Published<QString> loginErrorMsg{this, QStringLiteral("NotLoggedIn")};
    // Never set back to `none`; every outcome is announced, a repeated one too.
    Published<Status> loginResult{this, Status::none};
    // A log-in or sign-up is under way (its answer, or the keyring's prompt, is awaited);
    // no other starts meanwhile.
    Published<bool> requestPending{this, false};

    // True when the whole text is an acceptable e-mail address.
    bool isValidEmailAddr(const QString& strToValidate) const;
    // Start an attempt and return at once; the outcome arrives through the published
    // properties on a later turn of the main loop.
    void loginPressed(const QString& email, const QString& password);
    void signupPressed(const QString& email, const QString& password, const QString& repeatPassword);

    // Failure texts.
    static inline const QString invalidEmailMessage = QStringLiteral("Please enter valid email");
    static inline const QString shortPasswordMessage = QStringLiteral("Password should be 6 chars at least");
    static inline const QString passwordMismatchMessage = QStringLiteral("Passwords are not the same");
    static inline const QString unknownErrorMessage = QStringLiteral("Unknown Error");
    static inline const QString keychainWriteFailedMessage = QStringLiteral(
        "Your login could not be kept in the keyring. Unlock the keyring (or make it writable) and log in "
        "again.");
    static inline const QString accountCreatedButNotKeptMessage = QStringLiteral(
        "Your account was created, but your login could not be kept in the keyring. Unlock the keyring and log "
        "in with your e-mail and password.");
    static inline const QString noDeviceIdentifierMessage =
        QStringLiteral("This device could not be identified. Please try again.");
    static inline const QString noTokenMessage =
        QStringLiteral("The server's answer was not understood: it holds no usable session token.");
    // A longer "access_token" is no token of this backend's but a fault; cut, it would be wrong.
    static constexpr qsizetype maximumTokenLength = 8192;

private:
    // The first check that the typed e-mail and password fail, in order.
    std::optional<QString> inputFailure(const QString& email, const QString& password) const;
    void recordFailure(const QString& message, Status status);
    struct Attempt {
        quint64 number = 0;
        quint64 session = 0;  // Session::current() when it started
    };
    Attempt startAttempt();
    static bool isLatest(const Attempt& attempt);
    // Ends the controller's pending attempt (when the controller is still there and this is
    // its attempt) and reports on it.
    static void finish(const QPointer<LoginController>& controller, const Attempt& attempt,
                       const std::function<void(LoginController&)>& report);
    static void handleAnswer(const QPointer<LoginController>& controller, const Attempt& attempt,
                             const QString& email, const QString& password, const std::optional<Error>& error,
                             const std::optional<JSON>& json, Status success, Status failure);

    quint64 m_attempt = 0;
};

}  // namespace tandrel
