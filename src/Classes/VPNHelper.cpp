#include "Classes/VPNHelper.h"

#include "Classes/Preferences.h"
#include "Classes/Session.h"
#include "Extensions/NotificationName.h"
#include "Network/Client.h"
#include "Platform/Diagnostics.h"
#include "Platform/MainQueue.h"
#include "Platform/NotificationCenter.h"

#include <QHostAddress>
#include <QRegularExpression>

#include <algorithm>
#include <tuple>

namespace tandrel {

namespace {

const QString kConfigurationDescription = QStringLiteral("Tandrel");

// The tunnel's proposal for both the IKE and the child security association.
NEVPNIKEv2SecurityAssociationParameters tunnelSecurityAssociation()
{
    NEVPNIKEv2SecurityAssociationParameters parameters;
    parameters.encryptionAlgorithm = NEVPNIKEv2EncryptionAlgorithm::algorithmAES256GCM;
    parameters.integrityAlgorithm = NEVPNIKEv2IntegrityAlgorithm::SHA384;
    parameters.diffieHellmanGroup = NEVPNIKEv2DiffieHellmanGroup::group31;
    return parameters;
}

// A connect step that finds the session it started in ended (logged out) goes no further:
// it stores nothing and starts nothing.
bool sessionEnded(quint64 session)
{
    if (Session::isCurrent(session)) {
        return false;
    }
    printLine(QStringLiteral("Connect stopped: logged out"));
    return true;
}

// The tunnel's user name and password go to the VPN service and the keychain as they are:
// a longer one is not a credential but a fault, and cutting it would make it wrong.
constexpr qsizetype kMaximumCredentialLength = 4096;
// A DNS name is at most 253 characters.
constexpr qsizetype kMaximumServerLength = 253;

bool hasControlCharacter(const QString& text)
{
    return std::any_of(text.begin(), text.end(), [](QChar c) { return c.category() == QChar::Other_Control; });
}

bool usableCredential(const QString& text)
{
    return !text.trimmed().isEmpty() && text.size() <= kMaximumCredentialLength && !hasControlCharacter(text);
}

// A host name or an address, nothing else: a URL, a path, a blank or a line break would
// reach the VPN service's configuration as they are.
bool usableServer(const QString& text)
{
    static const QRegularExpression hostName(QStringLiteral("^[A-Za-z0-9](?:[A-Za-z0-9.-]*[A-Za-z0-9])?$"));
    if (text.isEmpty() || text.size() > kMaximumServerLength) {
        return false;
    }
    return hostName.match(text).hasMatch() || QHostAddress(text).protocol() == QAbstractSocket::IPv6Protocol;
}

// The tunnel cannot work without all three; an answer lacking one (absent, not a text,
// blank, malformed or too long) must not replace good credentials with it.
std::optional<Error> incompleteConfiguration(const JSON& json)
{
    QStringList missing;
    const std::tuple<const char*, const char*, bool (*)(const QString&)> required[] = {
        {"radius_login", "user name", usableCredential},
        {"radius_password", "password", usableCredential},
        {"server_domain", "server", usableServer}};
    for (const auto& [key, meaning, usable] : required) {
        const std::optional<QString> value = json[key].string();
        if (!value || value->isEmpty()) {
            missing << QStringLiteral("no %1 (%2)").arg(QLatin1String(meaning), QLatin1String(key));
        } else if (!usable(*value)) {
            missing << QStringLiteral("no usable %1 (%2)").arg(QLatin1String(meaning), QLatin1String(key));
        }
    }
    if (missing.isEmpty()) {
        return std::nullopt;
    }
    return Error::withDescription(
        QStringLiteral("VPNConfigurationError"), 1,
        QStringLiteral("The server sent an incomplete VPN configuration: %1; nothing was saved.")
            .arg(missing.join(QStringLiteral(", "))));
}

}  // namespace

VPNHelper& VPNHelper::shared()
{
    // Lives for the whole process: late completions may still reach it during shutdown.
    static VPNHelper* const helper = new VPNHelper;
    return *helper;
}

VPNHelper::VPNHelper() : manager(NEVPNManager::shared())
{
    manager.setStatusObserver([this](NEVPNStatus status, const QString& reason) {
        if (MainQueue::isMainThread()) {
            emit statusDidChange(status, reason);
            return;
        }
        // Queued behind the service's earlier reports, so they still arrive in order.
        QMetaObject::invokeMethod(this, [this, status, reason] { emit statusDidChange(status, reason); },
                                  Qt::QueuedConnection);
    });
}

NEVPNStatus VPNHelper::currentStatus()
{
    return manager.connection().status();
}

void VPNHelper::connectIPSecIKEv2()
{
    assertMainThread();  // the manager's fields are written here without a lock
    const quint64 session = Session::current();
    manager.loadFromPreferences([this, session](std::optional<Error> error) {
        if (error) {
            printLine(QStringLiteral("Error loading VPN preferences: ") + error->localizedDescription());
            endAttempt(ConnectFailure::vpnSettingsUnreadable(*error));
            return;
        }
        if (sessionEnded(session)) {
            return;
        }
        Client::shared().IPSecConfiguration(QString::number(Preferences::configId()),
                                            [this, session](std::optional<Error> error, std::optional<JSON> json) {
                                                if (!sessionEnded(session)) {
                                                    configurationArrived(session, error, json);
                                                }
                                            });
    });
}

// The backend's answer: a usable configuration goes on to the tunnel; anything else ends
// the attempt with its reason.
void VPNHelper::configurationArrived(quint64 session, const std::optional<Error>& error,
                                     const std::optional<JSON>& json)
{
    if (!json) {
        printLine(QStringLiteral("Failed to retrieve IPSec configuration: ") +
                  (error ? error->localizedDescription() : QStringLiteral("Unknown error")));
        endAttempt(ConnectFailure::fromConfigurationError(error));
        return;
    }
    if ((*json)["code"].stringValue() == QLatin1String("E0121")) {
        printLine(QStringLiteral("Plan not found (404, E0121). Showing subscription expired alert."));
        MainQueue::async([] { NotificationCenter::defaultCenter().post(kShowSubscriptionExpiredAlertNotification); });
        endAttempt(std::nullopt);
        return;
    }
    if (const std::optional<Error> incomplete = incompleteConfiguration(*json)) {
        printLine(QStringLiteral("Invalid IPSec configuration: ") + incomplete->localizedDescription());
        endAttempt(ConnectFailure::unusableConfiguration());
        return;
    }
    configureTunnel(session, *json);
}

// Stores the tunnel's credentials and builds the IKEv2 configuration from them.
void VPNHelper::configureTunnel(quint64 session, const JSON& json)
{
    const QString radiusPassword = json["radius_password"].stringValue();
    Preferences::setVpnUsername(json["radius_login"].stringValue());
    Preferences::setVpnPassword(radiusPassword);
    Preferences::setServer(json["server_domain"].stringValue());

    NEVPNProtocolIKEv2 protocol;
    protocol.authenticationMethod = NEVPNIKEAuthenticationMethod::none;
    protocol.useExtendedAuthentication = true;
    // Read back from the keychain: what the system will use is what was stored.
    if (const std::optional<QString> server = Preferences::server()) {
        protocol.serverAddress = *server;
        protocol.remoteIdentifier = *server;
    }
    if (const std::optional<QString> username = Preferences::vpnUsername()) {
        protocol.username = *username;
    }

    const Result<QByteArray> reference = VPNKeychain::persistentReferenceFor(
        Preferences::defaultKeychain().service(), Preferences::Keys::vpnPassword, radiusPassword.toUtf8());
    if (!reference) {
        printLine(QStringLiteral("Error setting up password reference: ") + reference.error().description());
        endAttempt(ConnectFailure::passwordNotStored(reference.error()));
        return;
    }
    protocol.passwordReference = reference.value();

    protocol.IKESecurityAssociationParameters = tunnelSecurityAssociation();
    protocol.childSecurityAssociationParameters = tunnelSecurityAssociation();
    protocol.enablePFS = true;

    const bool killSwitch = Preferences::killSwitch();
    manager.onDemandRules = {NEOnDemandRuleConnect{NEOnDemandRuleInterfaceType::any}};
    manager.isOnDemandEnabled = killSwitch;
    protocol.includeAllNetworks = killSwitch;
    protocol.excludeLocalNetworks = Preferences::excludeLocalNetworks();
    manager.protocolConfiguration = protocol;
    manager.localizedDescription = kConfigurationDescription;
    manager.isEnabled = true;

    printLine(QStringLiteral("Attempting to connect to server: ") +
              Preferences::server().value_or(QStringLiteral("Unknown")));
    saveAndStartTunnel(session);
}

// Saves the configuration, reads it back as the system keeps it, then starts the tunnel.
void VPNHelper::saveAndStartTunnel(quint64 session)
{
    manager.saveToPreferences([this, session](std::optional<Error> error) {
        if (error) {
            // Two printed items, joined by one space after the label's own.
            printLine(QStringLiteral("Save Error:  ") + error->description());
            endAttempt(ConnectFailure::saveFailed(*error));
            return;
        }
        if (sessionEnded(session)) {
            return;
        }
        printLine(QStringLiteral("CALL LOAD TO PREFERENCES AGAIN..."));
        manager.loadFromPreferences([this, session](std::optional<Error> error) {
            if (error) {
                printLine(QStringLiteral("VPN Preferences error: 2 - Optional(") + error->description() +
                          QLatin1Char(')'));
                endAttempt(ConnectFailure::vpnSettingsUnreadable(*error));
                return;
            }
            if (sessionEnded(session)) {
                return;
            }
            if (const std::optional<Error> startError = manager.connection().startVPNTunnel()) {
                printLine(QStringLiteral("Error starting VPN Tunnel: ") + startError->description());
                endAttempt(ConnectFailure::startFailed(*startError));
            } else {
                printLine(QStringLiteral("Start VPN"));
                endAttempt(std::nullopt);
            }
        });
    });
}

void VPNHelper::endAttempt(std::optional<ConnectFailure> failure)
{
    if (MainQueue::isMainThread()) {
        emit connectAttemptEnded(failure);
        return;
    }
    MainQueue::async([this, failure = std::move(failure)] { emit connectAttemptEnded(failure); });
}

void VPNHelper::disconnectVPN()
{
    // Off first, so the connect rule cannot bring the tunnel straight back.
    manager.isOnDemandEnabled = false;
    manager.saveToPreferences([this](std::optional<Error>) { manager.connection().stopVPNTunnel(); });
}

void VPNHelper::removeVPNProfile(std::function<void(std::optional<Error>)> completion)
{
    manager.loadFromPreferences([this, completion = std::move(completion)](std::optional<Error> error) {
        if (error) {
            if (completion) {
                completion(error);
            }
            return;
        }
        manager.removeFromPreferences(completion);
    });
}

}  // namespace tandrel
