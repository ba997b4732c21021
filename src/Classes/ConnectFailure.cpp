#include "Classes/ConnectFailure.h"

#include "Network/Client.h"
#include "Platform/Keychain.h"
#include "Platform/NetworkExtension/NetworkManagerFailure.h"

#include <QCoreApplication>

namespace tandrel {

namespace {

const char* const kContext = "ConnectFailure";

// The service domains whose errors mean there is no VPN service to talk to at all.
bool serviceIsMissing(const Error& error)
{
    return error.domain() == QLatin1String("VPNServiceUnavailable") ||
           (error.domain() == QLatin1String("NetworkManagerVPNService") && error.code() == 1);
}

ConnectFailure serviceUnavailable(const Error& error)
{
    return {QT_TRANSLATE_NOOP("ConnectFailure", "The system's VPN service is not available."),
            error.localizedDescription()};
}

}  // namespace

std::optional<ConnectFailure> ConnectFailure::fromConfigurationError(const std::optional<Error>& error)
{
    if (error && error->domain() == QLatin1String("ClientError")) {
        return std::nullopt;
    }
    if (error && error->domain() == kOSStatusErrorDomain && error->code() == KeychainStatus::interactionNotAllowed) {
        // The request never went out: without its token the backend would end the session.
        return keyringLocked();
    }
    if (!error) {
        return unusableConfiguration();
    }
    switch (Client::failureKind(*error)) {
        case Client::FailureKind::network:
            if (error->code() == -1001) {
                return ConnectFailure{
                    QT_TRANSLATE_NOOP("ConnectFailure", "The server did not answer in time. Please try again."), {}};
            }
            return ConnectFailure{
                QT_TRANSLATE_NOOP("ConnectFailure",
                                  "Could not reach the server. Check your internet connection and try again."),
                {}};
        case Client::FailureKind::serverError:
            return ConnectFailure{
                QT_TRANSLATE_NOOP("ConnectFailure", "The server answered with an error. Please try again later."), {}};
        case Client::FailureKind::tooLarge:
            return ConnectFailure{QT_TRANSLATE_NOOP("ConnectFailure",
                                                    "The server's answer was too large to read. Please try again later."),
                                  {}};
        case Client::FailureKind::notUnderstood:
        case Client::FailureKind::other:
            break;
    }
    return unusableConfiguration();
}

ConnectFailure ConnectFailure::keyringLocked()
{
    return {QT_TRANSLATE_NOOP("ConnectFailure", "Your keyring is locked. Unlock it, then connect again."), {}};
}

ConnectFailure ConnectFailure::unusableConfiguration()
{
    return {QT_TRANSLATE_NOOP("ConnectFailure", "The server sent no usable VPN configuration. Please try again later."),
            {}};
}

ConnectFailure ConnectFailure::vpnSettingsUnreadable(const Error& error)
{
    if (serviceIsMissing(error)) {
        return serviceUnavailable(error);
    }
    return {QT_TRANSLATE_NOOP("ConnectFailure", "The system's VPN settings could not be read."),
            error.localizedDescription()};
}

ConnectFailure ConnectFailure::passwordNotStored(const Error& error)
{
    return {QT_TRANSLATE_NOOP("ConnectFailure", "The tunnel password could not be kept in the keychain."),
            error.localizedDescription()};
}

ConnectFailure ConnectFailure::saveFailed(const Error& error)
{
    if (serviceIsMissing(error)) {
        return serviceUnavailable(error);
    }
    return {QT_TRANSLATE_NOOP("ConnectFailure", "The VPN configuration could not be saved."),
            error.localizedDescription()};
}

ConnectFailure ConnectFailure::startFailed(const Error& error)
{
    if (serviceIsMissing(error)) {
        return serviceUnavailable(error);
    }
    return {QT_TRANSLATE_NOOP("ConnectFailure", "The VPN could not be started."), error.localizedDescription()};
}

ConnectFailure ConnectFailure::tunnelFailed(const QString& serviceReason)
{
    // The NetworkManager service words the reasons it knows as sentences for the user; any
    // other reason is the service's own word, shown under a general sentence.
    if (NetworkManagerFailure::sentences().contains(serviceReason)) {
        return {serviceReason, {}};
    }
    return {QT_TRANSLATE_NOOP("ConnectFailure", "The VPN connection failed."), serviceReason};
}

QString ConnectFailure::text() const
{
    const QString sentence = QCoreApplication::translate(kContext, reason.toUtf8().constData());
    return detail.isEmpty() ? sentence : sentence + QLatin1Char('\n') + detail;
}

}  // namespace tandrel
