#include "Controllers/LoginController.h"

#include "Classes/Preferences.h"
#include "Classes/Session.h"
#include "Controllers/TandrelController.h"
#include "Network/Client.h"
#include "Platform/Diagnostics.h"
#include "Platform/MainQueue.h"

#include <QPointer>

#include <unicode/brkiter.h>
#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <memory>

namespace tandrel {

namespace {

// The address pattern in ICU regular-expression syntax, the engine it was written for.
// Labels before the last dot allow only lower-case ASCII inside; that is deliberate, keep it.
const char16_t* const kEmailPattern =
    uR"pattern((?:[\p{L}0-9!#$%\&'*+/=?\^_`{|}~-]+(?:\.[\p{L}0-9!#$%\&'*+/=?\^_`{|}~-]+)*|"(?:[\x01-\x08\x0b\x0c\x0e-\x1f\x21\x23-\x5b\x5d-\x7f]|\\[\x01-\x09\x0b\x0c\x0e-\x7f])*")@(?:(?:[\p{L}0-9](?:[a-z0-9-]*[\p{L}0-9])?\.)+[\p{L}0-9](?:[\p{L}0-9-]*[\p{L}0-9])?|\[(?:(?:25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)\.){3}(?:25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?|[\p{L}0-9-]*[\p{L}0-9]:(?:[\x01-\x08\x0b\x0c\x0e-\x1f\x21-\x5a\x53-\x7f]|\\[\x01-\x09\x0b\x0c\x0e-\x7f])+)\]))pattern";

constexpr int kMinimumPasswordLength = 6;

icu::UnicodeString toIcu(const QString& text)
{
    return icu::UnicodeString(reinterpret_cast<const UChar*>(text.utf16()), static_cast<int32_t>(text.size()));
}

// Compiled once; a pattern may hand out matchers to any number of callers.
const icu::RegexPattern* emailPattern()
{
    static const std::unique_ptr<icu::RegexPattern> pattern = [] {
        UErrorCode status = U_ZERO_ERROR;
        UParseError parseError;
        std::unique_ptr<icu::RegexPattern> compiled(
            icu::RegexPattern::compile(icu::UnicodeString(kEmailPattern), 0, parseError, status));
        return U_SUCCESS(status) ? std::move(compiled) : nullptr;
    }();
    return pattern.get();
}

// Counts user-perceived characters (extended grapheme clusters), up to `limit`.
int graphemeCountUpTo(const QString& text, int limit)
{
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> breaks(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status) || !breaks) {
        return static_cast<int>(std::min<qsizetype>(text.size(), limit));
    }
    const icu::UnicodeString icuText = toIcu(text);
    breaks->setText(icuText);
    int count = 0;
    breaks->first();
    while (count < limit && breaks->next() != icu::BreakIterator::DONE) {
        ++count;
    }
    return count;
}

bool isShortPassword(const QString& password)
{
    return graphemeCountUpTo(password, kMinimumPasswordLength) < kMinimumPasswordLength;
}

}  // namespace

LoginController::LoginController(QObject* parent) : ObservableObject(parent)
{
    printLine(QStringLiteral("LoginController init"));
}

bool LoginController::isValidEmailAddr(const QString& strToValidate) const
{
    const icu::RegexPattern* pattern = emailPattern();
    if (!pattern) {
        return false;
    }
    UErrorCode status = U_ZERO_ERROR;
    const icu::UnicodeString input = toIcu(strToValidate);
    std::unique_ptr<icu::RegexMatcher> matcher(pattern->matcher(input, status));
    if (U_FAILURE(status) || !matcher) {
        return false;
    }
    // MATCHES: the pattern must cover the whole input.
    const bool matched = matcher->matches(status);
    return U_SUCCESS(status) && matched;
}

void LoginController::recordFailure(const QString& message, Status status)
{
    // The text first, so it is in place when the flag raises the screen's alert.
    loginErrorMsg = message;
    loginError = true;
    loginResult = status;
}

namespace {

// The attempt whose answer may still be stored: one at a time in the whole program. An
// answer of an earlier attempt, or one that a log-out overtook, arrives for nobody.
quint64 latestAttempt = 0;

// Stores the account's credentials and reads them back: a session the keyring did not
// keep would show as logged in and then bounce back to the login screen without a word.
bool keepCredentials(const QString& token, const QString& email, const QString& password)
{
    Preferences::setToken(token);
    Preferences::setEmail(email);
    Preferences::setPassword(password);
    if (Preferences::token() && Preferences::email()) {
        return true;
    }
    Preferences::setToken(std::nullopt);
    Preferences::setEmail(std::nullopt);
    Preferences::setPassword(std::nullopt);
    return false;
}

}  // namespace

LoginController::Attempt LoginController::startAttempt()
{
    m_attempt = ++latestAttempt;
    requestPending = true;
    return {m_attempt, Session::current()};
}

bool LoginController::isLatest(const Attempt& attempt)
{
    return attempt.number == latestAttempt && Session::isCurrent(attempt.session);
}

void LoginController::finish(const QPointer<LoginController>& controller, const Attempt& attempt,
                             const std::function<void(LoginController&)>& report)
{
    if (controller && controller->m_attempt == attempt.number) {
        controller->requestPending = false;
        report(*controller);
    }
}

// The answer of a log-in or sign-up. Credentials are stored even when the controller has
// gone meanwhile (an accepted sign-up has made the account), but only for the latest
// attempt of a session that still runs.
void LoginController::handleAnswer(const QPointer<LoginController>& controller, const Attempt& attempt,
                                   const QString& email, const QString& password, const std::optional<Error>& error,
                                   const std::optional<JSON>& json, Status success, Status failure)
{
    if (!isLatest(attempt)) {
        printLine(QStringLiteral("Dropped the answer of an abandoned log-in"));
        finish(controller, attempt, [failure](LoginController& self) { self.loginResult = failure; });
        return;
    }
    if (!json) {
        const QString message = error ? error->localizedDescription() : unknownErrorMessage;
        finish(controller, attempt, [&](LoginController& self) { self.recordFailure(message, failure); });
        return;
    }
    if ((*json)[Client::Keys::errors].exists()) {
        const std::optional<QString> text = (*json)[Client::Keys::message].string();
        const QString message = text ? JSON::shortened(*text) : unknownErrorMessage;
        finish(controller, attempt, [&](LoginController& self) { self.recordFailure(message, failure); });
        return;
    }
    // An accepted log-in carries its token; without one the stored session would only
    // bounce back here after the first request.
    const std::optional<QString> token = (*json)[Client::Keys::accesToken].string();
    if (!token || token->trimmed().isEmpty() || token->size() > maximumTokenLength) {
        finish(controller, attempt, [failure](LoginController& self) { self.recordFailure(noTokenMessage, failure); });
        return;
    }
    // A log-out the locked keyring held back goes first, or it would take this log-in.
    TandrelController::finishPendingLogout();
    if (keepCredentials(*token, email, password)) {
        finish(controller, attempt, [success](LoginController& self) { self.loginResult = success; });
        return;
    }
    // The keyring is locked, or there is none yet: its own prompt asks the person, and the
    // credentials are kept once it answers.
    KeychainStore::system().requestAccess([=, token = *token](int status) {
        if (!isLatest(attempt)) {
            finish(controller, attempt, [failure](LoginController& self) { self.loginResult = failure; });
            return;
        }
        if (status == KeychainStatus::noDefaultKeychain) {
            // Declined making a keyring: the credentials go to the file store, which the
            // main screen then names.
            KeychainStore::useFileStore();
        }
        TandrelController::finishPendingLogout();
        if (keepCredentials(token, email, password)) {
            finish(controller, attempt, [success](LoginController& self) { self.loginResult = success; });
            return;
        }
        // A created account can still be logged in to, once the keyring is unlocked.
        const QString message = failure == Status::signUpFalse ? accountCreatedButNotKeptMessage
                                                               : keychainWriteFailedMessage;
        finish(controller, attempt, [&](LoginController& self) { self.recordFailure(message, failure); });
    });
}

std::optional<QString> LoginController::inputFailure(const QString& email, const QString& password) const
{
    if (!isValidEmailAddr(email)) {
        return invalidEmailMessage;
    }
    if (isShortPassword(password)) {
        return shortPasswordMessage;
    }
    return std::nullopt;
}

void LoginController::loginPressed(const QString& email, const QString& password)
{
    if (requestPending()) {
        return;  // one attempt at a time: the button is off until it is answered
    }
    if (const std::optional<QString> failure = inputFailure(email, password)) {
        recordFailure(*failure, Status::logInFalse);
        return;
    }
    QPointer<LoginController> self(this);
    const Attempt attempt = startAttempt();
    Client::shared().loginWithEmail(
        email, password,
        [self, attempt, email, password](std::optional<Error> error, std::optional<JSON> json, std::optional<int>) {
            // Handled on a later turn of the main loop than the client's completion.
            MainQueue::async([self, attempt, email, password, error = std::move(error), json = std::move(json)] {
                handleAnswer(self, attempt, email, password, error, json, Status::logInTrue, Status::logInFalse);
            });
        });
}

void LoginController::signupPressed(const QString& email, const QString& password, const QString& repeatPassword)
{
    if (requestPending()) {
        return;
    }
    if (const std::optional<QString> failure = inputFailure(email, password)) {
        recordFailure(*failure, Status::signUpFalse);
        return;
    }
    // Canonically equivalent texts are equal.
    if (repeatPassword.normalized(QString::NormalizationForm_C) != password.normalized(QString::NormalizationForm_C)) {
        recordFailure(passwordMismatchMessage, Status::signUpFalse);
        return;
    }
    const std::optional<QString> uid = Preferences::uid();
    if (!uid) {
        recordFailure(noDeviceIdentifierMessage, Status::signUpFalse);
        return;
    }
    QPointer<LoginController> self(this);
    const Attempt attempt = startAttempt();
    Client::shared().associateUserWithEmail(
        email, password, *uid,
        [self, attempt, email, password](std::optional<Error> error, std::optional<JSON> json, std::optional<int>) {
            handleAnswer(self, attempt, email, password, error, json, Status::signUpTrue, Status::signUpFalse);
        });
}

}  // namespace tandrel
