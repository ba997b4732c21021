#include "Platform/NetworkExtension/NetworkManagerSecretAgent.h"

#include "BuildConfig.h"
#include "Platform/Keychain.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QTimer>

namespace tandrel {

namespace {

const QString kNetworkManagerService = QStringLiteral("org.freedesktop.NetworkManager");
const QString kAgentManagerPath = QStringLiteral("/org/freedesktop/NetworkManager/AgentManager");
const QString kAgentManagerInterface = QStringLiteral("org.freedesktop.NetworkManager.AgentManager");
const QString kErrorPrefix = QStringLiteral("org.freedesktop.NetworkManager.SecretAgent.");
// The account the tunnel set-up keeps the tunnel password under, in this application's service.
const QString kTunnelPasswordAccount = QStringLiteral("vpnPassword");

}  // namespace

NetworkManagerSecretAgent& NetworkManagerSecretAgent::shared()
{
    static NetworkManagerSecretAgent* const agent = new NetworkManagerSecretAgent(QDBusConnection::systemBus());
    return *agent;
}

NetworkManagerSecretAgent::NetworkManagerSecretAgent(QDBusConnection bus) : m_bus(std::move(bus))
{
    NetworkManagerProfile::registerDBusTypes();
}

void NetworkManagerSecretAgent::setProfile(const void* owner, const QString& uuid)
{
    if (uuid.isEmpty()) {
        m_profiles.remove(owner);
    } else {
        m_profiles.insert(owner, uuid);
    }
}

void NetworkManagerSecretAgent::registerWithNetworkManager(QObject* context, std::function<void(bool)> done)
{
    if (!m_exported) {
        m_exported = m_bus.registerVirtualObject(objectPath, this);
        if (!m_exported) {
            QTimer::singleShot(0, context, [done = std::move(done)] { done(false); });
            return;
        }
    }
    QDBusMessage request = QDBusMessage::createMethodCall(kNetworkManagerService, kAgentManagerPath,
                                                          kAgentManagerInterface, QStringLiteral("Register"));
    request << QString::fromUtf8(BuildConfig::bundleIdentifier);
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(request, 5000), context);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, context, [watcher, done = std::move(done)] {
        watcher->deleteLater();
        const QDBusMessage reply = watcher->reply();
        // A second back end in the same process finds the agent registered already.
        done(reply.type() == QDBusMessage::ReplyMessage ||
             reply.errorName() == kAgentManagerInterface + QStringLiteral(".PermissionDenied"));
    });
}

QString NetworkManagerSecretAgent::introspect(const QString&) const
{
    return QStringLiteral(
        "<interface name=\"org.freedesktop.NetworkManager.SecretAgent\">"
        "<method name=\"GetSecrets\"><arg name=\"connection\" type=\"a{sa{sv}}\" direction=\"in\"/>"
        "<arg name=\"connection_path\" type=\"o\" direction=\"in\"/>"
        "<arg name=\"setting_name\" type=\"s\" direction=\"in\"/>"
        "<arg name=\"hints\" type=\"as\" direction=\"in\"/><arg name=\"flags\" type=\"u\" direction=\"in\"/>"
        "<arg name=\"secrets\" type=\"a{sa{sv}}\" direction=\"out\"/></method>"
        "<method name=\"CancelGetSecrets\"><arg name=\"connection_path\" type=\"o\" direction=\"in\"/>"
        "<arg name=\"setting_name\" type=\"s\" direction=\"in\"/></method>"
        "<method name=\"SaveSecrets\"><arg name=\"connection\" type=\"a{sa{sv}}\" direction=\"in\"/>"
        "<arg name=\"connection_path\" type=\"o\" direction=\"in\"/></method>"
        "<method name=\"DeleteSecrets\"><arg name=\"connection\" type=\"a{sa{sv}}\" direction=\"in\"/>"
        "<arg name=\"connection_path\" type=\"o\" direction=\"in\"/></method>"
        "</interface>");
}

bool NetworkManagerSecretAgent::handleMessage(const QDBusMessage& message, const QDBusConnection& connection)
{
    if (message.type() != QDBusMessage::MethodCallMessage || message.interface() != interfaceName) {
        return false;
    }
    const QString member = message.member();
    if (member == QLatin1String("GetSecrets")) {
        connection.send(secretsReply(message));
    } else if (member == QLatin1String("CancelGetSecrets") || member == QLatin1String("SaveSecrets") ||
               member == QLatin1String("DeleteSecrets")) {
        // Every request is answered at once, so there is none to cancel; the keychain holds
        // the password, so NetworkManager is never asked to keep or forget one.
        connection.send(message.createReply());
    } else {
        return false;
    }
    return true;
}

bool NetworkManagerSecretAgent::callerIsNetworkManager(const QDBusMessage& message) const
{
    // Any process on the system bus could call us; only NetworkManager may learn a password.
    const QDBusReply<QString> owner = m_bus.interface()->serviceOwner(kNetworkManagerService);
    return owner.isValid() && !owner.value().isEmpty() && owner.value() == message.service();
}

QDBusMessage NetworkManagerSecretAgent::secretsReply(const QDBusMessage& message) const
{
    if (!callerIsNetworkManager(message)) {
        return message.createErrorReply(kErrorPrefix + QStringLiteral("PermissionDenied"),
                                        QStringLiteral("Only NetworkManager may ask."));
    }
    const QVariantList arguments = message.arguments();
    if (arguments.size() != 5 || message.signature() != QLatin1String("a{sa{sv}}osasu")) {
        return message.createErrorReply(kErrorPrefix + QStringLiteral("InvalidConnection"),
                                        QStringLiteral("Unexpected arguments."));
    }
    const NMVariantMapMap connection = qdbus_cast<NMVariantMapMap>(arguments[0].value<QDBusArgument>());
    const QString settingName = arguments[2].toString();
    const QString uuid = NetworkManagerProfile::uuidOf(connection);
    if (settingName != QLatin1String("vpn") || !NetworkManagerProfile::isOurs(connection) || uuid.isEmpty() ||
        !m_profiles.values().contains(uuid)) {
        return message.createErrorReply(kErrorPrefix + QStringLiteral("NoSecrets"),
                                        QStringLiteral("Not a profile of this application."));
    }
    const std::optional<NEVPNConfiguration> configuration = NetworkManagerProfile::configurationFrom(connection);
    const QByteArray reference = configuration && configuration->protocolConfiguration
                                     ? configuration->protocolConfiguration->passwordReference
                                     : QByteArray();
    KeychainItem item;
    int status =
        reference.isEmpty() ? KeychainStatus::itemNotFound : KeychainStore::system().copyByReference(reference, &item);
    if (status == KeychainStatus::itemNotFound) {
        // The items were moved since the profile was saved (out of the private file into the
        // keyring, or from an earlier application id): the reference names the old place, but
        // the password is still ours. Without this a reconnect under the kill switch would
        // hold traffic back until the user connected again by hand.
        status = KeychainStore::system().copyMatching(QString::fromUtf8(BuildConfig::bundleIdentifier),
                                                      kTunnelPasswordAccount, &item);
    }
    if (status != KeychainStatus::success) {
        return message.createErrorReply(kErrorPrefix + QStringLiteral("NoSecrets"),
                                        QStringLiteral("The tunnel password is not in the keychain (%1).").arg(status));
    }
    const NMStringMap secrets{{QStringLiteral("password"), QString::fromUtf8(item.data)}};
    const NMVariantMapMap answer{
        {QStringLiteral("vpn"), QVariantMap{{QStringLiteral("secrets"), QVariant::fromValue(secrets)}}}};
    return message.createReply(QVariant::fromValue(answer));
}

}  // namespace tandrel
