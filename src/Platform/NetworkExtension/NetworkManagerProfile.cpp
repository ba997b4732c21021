#include "Platform/NetworkExtension/NetworkManagerProfile.h"

#include <QDBusArgument>
#include <QDBusMetaType>
#include <QStringList>

namespace tandrel {

namespace {

// vpn.data keys of our own. The plugin ignores keys it does not know.
const QString kMarker = QStringLiteral("tandrel-profile");
const QString kEnabled = QStringLiteral("tandrel-enabled");
const QString kOnDemand = QStringLiteral("tandrel-on-demand");
const QString kOnDemandRules = QStringLiteral("tandrel-on-demand-rules");
const QString kPasswordReference = QStringLiteral("tandrel-password-reference");
const QString kAuthenticationMethod = QStringLiteral("tandrel-authentication-method");
const QString kExtendedAuthentication = QStringLiteral("tandrel-extended-authentication");
const QString kIKEParameters = QStringLiteral("tandrel-ike-sa");
const QString kChildParameters = QStringLiteral("tandrel-child-sa");
const QString kPFS = QStringLiteral("tandrel-pfs");
const QString kDeadPeerDetection = QStringLiteral("tandrel-dead-peer-detection");
const QString kIncludeAllNetworks = QStringLiteral("tandrel-include-all-networks");
const QString kExcludeLocalNetworks = QStringLiteral("tandrel-exclude-local-networks");
const QString kDisconnectOnSleep = QStringLiteral("tandrel-disconnect-on-sleep");

// The plugin's own keys.
const QString kAddress = QStringLiteral("address");
const QString kServerName = QStringLiteral("tandrel-server-name");
const QString kRemoteIdentity = QStringLiteral("remote-identity");
const QString kLocalIdentity = QStringLiteral("local-identity");
const QString kUser = QStringLiteral("user");
const QString kMethod = QStringLiteral("method");

QString yesNo(bool value)
{
    return value ? QStringLiteral("yes") : QStringLiteral("no");
}

bool isYes(const NMStringMap& data, const QString& key)
{
    return data.value(key) == QLatin1String("yes");
}

// Absent or unreadable numbers fall back to the service's default.
int intValue(const QString& text, int fallback)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    return ok ? value : fallback;
}

QString encryptionKeyword(NEVPNIKEv2EncryptionAlgorithm algorithm)
{
    switch (algorithm) {
        case NEVPNIKEv2EncryptionAlgorithm::algorithmDES:
            return QStringLiteral("des");
        case NEVPNIKEv2EncryptionAlgorithm::algorithm3DES:
            return QStringLiteral("3des");
        case NEVPNIKEv2EncryptionAlgorithm::algorithmAES128:
            return QStringLiteral("aes128");
        case NEVPNIKEv2EncryptionAlgorithm::algorithmAES256:
            return QStringLiteral("aes256");
        case NEVPNIKEv2EncryptionAlgorithm::algorithmAES128GCM:
            return QStringLiteral("aes128gcm16");
        case NEVPNIKEv2EncryptionAlgorithm::algorithmAES256GCM:
            return QStringLiteral("aes256gcm16");
        case NEVPNIKEv2EncryptionAlgorithm::algorithmChaCha20Poly1305:
            return QStringLiteral("chacha20poly1305");
    }
    return QStringLiteral("aes256gcm16");
}

bool isAEAD(NEVPNIKEv2EncryptionAlgorithm algorithm)
{
    return algorithm == NEVPNIKEv2EncryptionAlgorithm::algorithmAES128GCM ||
           algorithm == NEVPNIKEv2EncryptionAlgorithm::algorithmAES256GCM ||
           algorithm == NEVPNIKEv2EncryptionAlgorithm::algorithmChaCha20Poly1305;
}

QString hashKeyword(NEVPNIKEv2IntegrityAlgorithm algorithm)
{
    switch (algorithm) {
        case NEVPNIKEv2IntegrityAlgorithm::SHA96:
            return QStringLiteral("sha1");
        case NEVPNIKEv2IntegrityAlgorithm::SHA160:
            return QStringLiteral("sha1_160");
        case NEVPNIKEv2IntegrityAlgorithm::SHA256:
            return QStringLiteral("sha256");
        case NEVPNIKEv2IntegrityAlgorithm::SHA384:
            return QStringLiteral("sha384");
        case NEVPNIKEv2IntegrityAlgorithm::SHA512:
            return QStringLiteral("sha512");
    }
    return QStringLiteral("sha384");
}

QString prfKeyword(NEVPNIKEv2IntegrityAlgorithm algorithm)
{
    return algorithm == NEVPNIKEv2IntegrityAlgorithm::SHA96 || algorithm == NEVPNIKEv2IntegrityAlgorithm::SHA160
               ? QStringLiteral("prfsha1")
               : QStringLiteral("prf") + hashKeyword(algorithm);
}

QString groupKeyword(NEVPNIKEv2DiffieHellmanGroup group)
{
    switch (group) {
        case NEVPNIKEv2DiffieHellmanGroup::group1:
            return QStringLiteral("modp768");
        case NEVPNIKEv2DiffieHellmanGroup::group2:
            return QStringLiteral("modp1024");
        case NEVPNIKEv2DiffieHellmanGroup::group5:
            return QStringLiteral("modp1536");
        case NEVPNIKEv2DiffieHellmanGroup::group14:
            return QStringLiteral("modp2048");
        case NEVPNIKEv2DiffieHellmanGroup::group15:
            return QStringLiteral("modp3072");
        case NEVPNIKEv2DiffieHellmanGroup::group16:
            return QStringLiteral("modp4096");
        case NEVPNIKEv2DiffieHellmanGroup::group17:
            return QStringLiteral("modp6144");
        case NEVPNIKEv2DiffieHellmanGroup::group18:
            return QStringLiteral("modp8192");
        case NEVPNIKEv2DiffieHellmanGroup::group19:
            return QStringLiteral("ecp256");
        case NEVPNIKEv2DiffieHellmanGroup::group20:
            return QStringLiteral("ecp384");
        case NEVPNIKEv2DiffieHellmanGroup::group21:
            return QStringLiteral("ecp521");
        case NEVPNIKEv2DiffieHellmanGroup::group31:
            return QStringLiteral("curve25519");
        case NEVPNIKEv2DiffieHellmanGroup::group32:
            return QStringLiteral("curve448");
        case NEVPNIKEv2DiffieHellmanGroup::groupInvalid:
            break;
    }
    return {};
}

QString encodeParameters(const NEVPNIKEv2SecurityAssociationParameters& parameters)
{
    return QStringLiteral("%1,%2,%3,%4")
        .arg(static_cast<int>(parameters.encryptionAlgorithm))
        .arg(static_cast<int>(parameters.integrityAlgorithm))
        .arg(static_cast<int>(parameters.diffieHellmanGroup))
        .arg(parameters.lifetimeMinutes);
}

NEVPNIKEv2SecurityAssociationParameters decodeParameters(const QString& text)
{
    NEVPNIKEv2SecurityAssociationParameters parameters;
    const QStringList fields = text.split(QLatin1Char(','));
    if (fields.size() != 4) {
        return parameters;
    }
    parameters.encryptionAlgorithm = static_cast<NEVPNIKEv2EncryptionAlgorithm>(
        intValue(fields[0], static_cast<int>(parameters.encryptionAlgorithm)));
    parameters.integrityAlgorithm =
        static_cast<NEVPNIKEv2IntegrityAlgorithm>(intValue(fields[1], static_cast<int>(parameters.integrityAlgorithm)));
    parameters.diffieHellmanGroup =
        static_cast<NEVPNIKEv2DiffieHellmanGroup>(intValue(fields[2], static_cast<int>(parameters.diffieHellmanGroup)));
    parameters.lifetimeMinutes = intValue(fields[3], parameters.lifetimeMinutes);
    return parameters;
}

QString methodFor(const NEVPNProtocolIKEv2& protocol)
{
    if (protocol.useExtendedAuthentication) {
        return QStringLiteral("eap");
    }
    switch (protocol.authenticationMethod) {
        case NEVPNIKEAuthenticationMethod::sharedSecret:
            return QStringLiteral("psk");
        case NEVPNIKEAuthenticationMethod::certificate:
            return QStringLiteral("cert");
        case NEVPNIKEAuthenticationMethod::none:
            break;
    }
    return QStringLiteral("eap");
}

// NetworkManager refuses empty data values; an empty field is an absent key.
void insertText(NMStringMap& data, const QString& key, const QString& value)
{
    if (!value.isEmpty()) {
        data.insert(key, value);
    }
}

}  // namespace

void NetworkManagerProfile::registerDBusTypes()
{
    static const bool registered = [] {
        qDBusRegisterMetaType<NMStringMap>();
        qDBusRegisterMetaType<NMVariantMapMap>();
        qDBusRegisterMetaType<QList<QVariantMap>>();
        return true;
    }();
    (void)registered;
}

QString NetworkManagerProfile::ikeProposal(const NEVPNIKEv2SecurityAssociationParameters& parameters)
{
    QStringList parts{encryptionKeyword(parameters.encryptionAlgorithm)};
    parts << (isAEAD(parameters.encryptionAlgorithm) ? prfKeyword(parameters.integrityAlgorithm)
                                                     : hashKeyword(parameters.integrityAlgorithm));
    if (const QString group = groupKeyword(parameters.diffieHellmanGroup); !group.isEmpty()) {
        parts << group;
    }
    return parts.join(QLatin1Char('-'));
}

QString NetworkManagerProfile::espProposal(const NEVPNIKEv2SecurityAssociationParameters& parameters,
                                           bool perfectForwardSecrecy)
{
    QStringList parts{encryptionKeyword(parameters.encryptionAlgorithm)};
    if (!isAEAD(parameters.encryptionAlgorithm)) {
        parts << hashKeyword(parameters.integrityAlgorithm);
    }
    if (perfectForwardSecrecy) {
        if (const QString group = groupKeyword(parameters.diffieHellmanGroup); !group.isEmpty()) {
            parts << group;
        }
    }
    return parts.join(QLatin1Char('-'));
}

NMVariantMapMap NetworkManagerProfile::settingsFor(const NEVPNConfiguration& configuration, const QString& uuid,
                                                   const QString& owner)
{
    registerDBusTypes();
    const NEVPNProtocolIKEv2 protocol = configuration.protocolConfiguration.value_or(NEVPNProtocolIKEv2{});

    NMStringMap data;
    insertText(data, kAddress, protocol.serverAddress);
    insertText(data, kRemoteIdentity, protocol.remoteIdentifier);
    insertText(data, kLocalIdentity, protocol.localIdentifier);
    insertText(data, kUser, protocol.username);
    data.insert(kMethod, methodFor(protocol));
    data.insert(QStringLiteral("virtual"), QStringLiteral("yes"));
    data.insert(QStringLiteral("proposal"), QStringLiteral("yes"));
    data.insert(QStringLiteral("ike"), ikeProposal(protocol.IKESecurityAssociationParameters));
    data.insert(QStringLiteral("esp"), espProposal(protocol.childSecurityAssociationParameters, protocol.enablePFS));
    // Agent-owned: NetworkManager keeps no password and asks the running application.
    data.insert(QStringLiteral("password-flags"), QStringLiteral("1"));

    data.insert(kMarker, QStringLiteral("1"));
    data.insert(kEnabled, yesNo(configuration.isEnabled));
    data.insert(kOnDemand, yesNo(configuration.isOnDemandEnabled));
    QStringList rules;
    for (const NEOnDemandRuleConnect& rule : configuration.onDemandRules) {
        rules << QString::number(static_cast<int>(rule.interfaceTypeMatch));
    }
    insertText(data, kOnDemandRules, rules.join(QLatin1Char(',')));
    if (configuration.protocolConfiguration) {
        insertText(data, kPasswordReference, QString::fromLatin1(protocol.passwordReference.toBase64()));
        data.insert(kAuthenticationMethod, QString::number(static_cast<int>(protocol.authenticationMethod)));
        data.insert(kExtendedAuthentication, yesNo(protocol.useExtendedAuthentication));
        data.insert(kIKEParameters, encodeParameters(protocol.IKESecurityAssociationParameters));
        data.insert(kChildParameters, encodeParameters(protocol.childSecurityAssociationParameters));
        data.insert(kPFS, yesNo(protocol.enablePFS));
        data.insert(kDeadPeerDetection, QString::number(static_cast<int>(protocol.deadPeerDetectionRate)));
        data.insert(kIncludeAllNetworks, yesNo(protocol.includeAllNetworks));
        data.insert(kExcludeLocalNetworks, yesNo(protocol.excludeLocalNetworks));
        data.insert(kDisconnectOnSleep, yesNo(protocol.disconnectOnSleep));
    }

    QVariantMap connection{
        {QStringLiteral("id"), configuration.localizedDescription},
        {QStringLiteral("uuid"), uuid},
        {QStringLiteral("type"), QStringLiteral("vpn")},
        // NetworkManager cannot bring a VPN up by itself; reconnection is the application's.
        {QStringLiteral("autoconnect"), false},
    };
    if (!owner.isEmpty()) {
        // A private profile needs no administrator's consent to add or change.
        connection.insert(QStringLiteral("permissions"), QStringList{QStringLiteral("user:%1:").arg(owner)});
    }
    return {
        {QStringLiteral("connection"), connection},
        {QStringLiteral("vpn"), QVariantMap{{QStringLiteral("service-type"), serviceType},
                                            {QStringLiteral("data"), QVariant::fromValue(data)}}},
        {QStringLiteral("ipv4"), QVariantMap{{QStringLiteral("method"), QStringLiteral("auto")}}},
        {QStringLiteral("ipv6"), QVariantMap{{QStringLiteral("method"), QStringLiteral("auto")}}},
    };
}

NMStringMap NetworkManagerProfile::stringMap(const QVariant& value)
{
    if (value.canConvert<QDBusArgument>()) {
        const QDBusArgument argument = value.value<QDBusArgument>();
        if (argument.currentSignature() != QLatin1String("a{ss}")) {
            return {};
        }
        return qdbus_cast<NMStringMap>(argument);
    }
    return value.value<NMStringMap>();
}

bool NetworkManagerProfile::pinServerAddress(NMVariantMapMap& settings, const QString& address)
{
    NMStringMap data = vpnData(settings);
    // The server's identity is checked against the remote identity: without one the
    // address is the identity, and an address in its place would fail the check.
    if (data.value(kRemoteIdentity).isEmpty() || data.value(kAddress) == address) {
        return false;
    }
    data.insert(kServerName, data.value(kServerName, data.value(kAddress)));
    data.insert(kAddress, address);
    QVariantMap vpn = settings.value(QStringLiteral("vpn"));
    vpn.insert(QStringLiteral("data"), QVariant::fromValue(data));
    settings.insert(QStringLiteral("vpn"), vpn);
    return true;
}

QString NetworkManagerProfile::pinnedAddress(const NMVariantMapMap& settings)
{
    const NMStringMap data = vpnData(settings);
    return data.contains(kServerName) ? data.value(kAddress) : QString();
}

NMStringMap NetworkManagerProfile::vpnData(const NMVariantMapMap& settings)
{
    return stringMap(settings.value(QStringLiteral("vpn")).value(QStringLiteral("data")));
}

QString NetworkManagerProfile::uuidOf(const NMVariantMapMap& settings)
{
    return settings.value(QStringLiteral("connection")).value(QStringLiteral("uuid")).toString();
}

bool NetworkManagerProfile::isOurs(const NMVariantMapMap& settings)
{
    const QVariantMap vpn = settings.value(QStringLiteral("vpn"));
    return vpn.value(QStringLiteral("service-type")).toString() == serviceType && vpnData(settings).contains(kMarker);
}

std::optional<NEVPNConfiguration> NetworkManagerProfile::configurationFrom(const NMVariantMapMap& settings)
{
    if (!isOurs(settings)) {
        return std::nullopt;
    }
    const NMStringMap data = vpnData(settings);
    NEVPNConfiguration configuration;
    configuration.localizedDescription =
        settings.value(QStringLiteral("connection")).value(QStringLiteral("id")).toString();
    configuration.isEnabled = isYes(data, kEnabled);
    configuration.isOnDemandEnabled = isYes(data, kOnDemand);
    for (const QString& rule : data.value(kOnDemandRules).split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        configuration.onDemandRules.push_back(
            NEOnDemandRuleConnect{static_cast<NEOnDemandRuleInterfaceType>(intValue(rule, 0))});
    }
    if (!data.contains(kAuthenticationMethod)) {
        return configuration;  // saved without a protocol
    }

    NEVPNProtocolIKEv2 protocol;
    protocol.serverAddress = data.value(kServerName, data.value(kAddress));
    protocol.remoteIdentifier = data.value(kRemoteIdentity);
    protocol.localIdentifier = data.value(kLocalIdentity);
    protocol.username = data.value(kUser);
    protocol.passwordReference = QByteArray::fromBase64(data.value(kPasswordReference).toLatin1());
    protocol.authenticationMethod = static_cast<NEVPNIKEAuthenticationMethod>(
        intValue(data.value(kAuthenticationMethod), static_cast<int>(protocol.authenticationMethod)));
    protocol.useExtendedAuthentication = isYes(data, kExtendedAuthentication);
    protocol.IKESecurityAssociationParameters = decodeParameters(data.value(kIKEParameters));
    protocol.childSecurityAssociationParameters = decodeParameters(data.value(kChildParameters));
    protocol.enablePFS = isYes(data, kPFS);
    protocol.deadPeerDetectionRate = static_cast<NEVPNIKEv2DeadPeerDetectionRate>(
        intValue(data.value(kDeadPeerDetection), static_cast<int>(protocol.deadPeerDetectionRate)));
    protocol.includeAllNetworks = isYes(data, kIncludeAllNetworks);
    protocol.excludeLocalNetworks = isYes(data, kExcludeLocalNetworks);
    protocol.disconnectOnSleep = isYes(data, kDisconnectOnSleep);
    configuration.protocolConfiguration = protocol;
    return configuration;
}

}  // namespace tandrel
