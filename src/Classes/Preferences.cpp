#include "Classes/Preferences.h"

#include "BuildConfig.h"
#include "Extensions/UserDefaultsKey.h"
#include "Platform/Diagnostics.h"
#include "Platform/Host.h"
#include "Platform/UserDefaults.h"

#include <QCryptographicHash>
#include <QMessageAuthenticationCode>
#include <QUuid>

#include <array>
#include <utility>

namespace tandrel {

namespace {

constexpr std::array<std::pair<VPNProtocol, const char*>, 5> kProtocolTexts = {{
    {VPNProtocol::Optimal, "Optimal"},
    {VPNProtocol::IKEv2, "IPSecIKEv2"},
    {VPNProtocol::OpenVPNudp, "OpenVPN® UDP"},
    {VPNProtocol::OpenVPNtcp, "OpenVPN® TCP"},
    {VPNProtocol::Wireguard, "Wireguard®"},
}};

UserDefaults& defaults()
{
    return UserDefaults::standard();
}

VPNProtocol protocolSetting(const QString& key)
{
    const std::optional<QString> stored = defaults().string(key);
    if (!stored) {
        return VPNProtocol::Optimal;
    }
    return vpnProtocolFromRawValue(*stored).value_or(VPNProtocol::Optimal);
}

// The 16 bytes as the standard UUID text, upper case, without touching version or variant.
QString uuidText(const QByteArray& bytes)
{
    const QString hex = QString::fromLatin1(bytes.left(16).toHex()).toUpper();
    return hex.mid(0, 8) + QLatin1Char('-') + hex.mid(8, 4) + QLatin1Char('-') + hex.mid(12, 4) + QLatin1Char('-') +
           hex.mid(16, 4) + QLatin1Char('-') + hex.mid(20, 12);
}

}  // namespace

QString rawValue(VPNProtocol protocol)
{
    for (const auto& [value, text] : kProtocolTexts) {
        if (value == protocol) {
            return QString::fromUtf8(text);
        }
    }
    return QString();
}

std::optional<VPNProtocol> vpnProtocolFromRawValue(const QString& text)
{
    for (const auto& [value, stored] : kProtocolTexts) {
        if (text == QString::fromUtf8(stored)) {
            return value;
        }
    }
    return std::nullopt;
}

const QString Preferences::keychainGroupName = QString::fromUtf8(BuildConfig::bundleIdentifier);

bool Preferences::killSwitch()
{
    return defaults().boolValue(kKillSwitchKey, true);
}

void Preferences::setKillSwitch(bool value)
{
    defaults().set(value, kKillSwitchKey);
}

bool Preferences::excludeLocalNetworks()
{
    return defaults().boolValue(kExcludeLocalNetworksKey, true);
}

void Preferences::setExcludeLocalNetworks(bool value)
{
    defaults().set(value, kExcludeLocalNetworksKey);
}

VPNProtocol Preferences::vpnProtocol()
{
    return protocolSetting(kVPNProtocolKey);
}

void Preferences::setVpnProtocol(VPNProtocol value)
{
    defaults().set(rawValue(value), kVPNProtocolKey);
}

VPNProtocol Preferences::connectedProtocol()
{
    return protocolSetting(kConnectedVPNProtocolKey);
}

void Preferences::setConnectedProtocol(VPNProtocol value)
{
    defaults().set(rawValue(value), kConnectedVPNProtocolKey);
}

QString Preferences::countryConnected()
{
    return defaults().stringValue(kCountryConnectedKey, QStringLiteral("VPN"));
}

void Preferences::setCountryConnected(const QString& value)
{
    defaults().set(value, kCountryConnectedKey);
}

bool Preferences::compactView()
{
    return defaults().boolValue(kCompactViewKey, true);
}

void Preferences::setCompactView(bool value)
{
    defaults().set(value, kCompactViewKey);
}

bool Preferences::onboardingShown()
{
    return defaults().boolValue(Keys::onboardingShown, false);
}

void Preferences::setOnboardingShown(bool value)
{
    defaults().set(value, Keys::onboardingShown);
}

bool Preferences::termsShown()
{
    return defaults().boolValue(Keys::termsShown, false);
}

void Preferences::setTermsShown(bool value)
{
    defaults().set(value, Keys::termsShown);
}

bool Preferences::updated()
{
    return defaults().boolValue(Keys::updated, false);
}

void Preferences::setUpdated(bool value)
{
    defaults().set(value, Keys::updated);
}

qint64 Preferences::configId()
{
    return defaults().integerValue(Keys::configId, 0);
}

void Preferences::setConfigId(qint64 value)
{
    defaults().set(value, Keys::configId);
}

std::optional<QString> Preferences::token()
{
    return defaultKeychain()[Keys::token];
}

void Preferences::setToken(const std::optional<QString>& value)
{
    setKeychainValue(value, Keys::token);
}

std::optional<QString> Preferences::email()
{
    return defaultKeychain()[Keys::email];
}

void Preferences::setEmail(const std::optional<QString>& value)
{
    setKeychainValue(value, Keys::email);
}

std::optional<QString> Preferences::password()
{
    return defaultKeychain()[Keys::password];
}

void Preferences::setPassword(const std::optional<QString>& value)
{
    setKeychainValue(value, Keys::password);
}

std::optional<QString> Preferences::server()
{
    return defaultKeychain()[Keys::server];
}

void Preferences::setServer(const std::optional<QString>& value)
{
    setKeychainValue(value, Keys::server);
}

std::optional<QString> Preferences::vpnUsername()
{
    return defaultKeychain()[Keys::vpnUsername];
}

void Preferences::setVpnUsername(const std::optional<QString>& value)
{
    setKeychainValue(value, Keys::vpnUsername);
}

std::optional<QString> Preferences::vpnPassword()
{
    return defaultKeychain()[Keys::vpnPassword];
}

void Preferences::setVpnPassword(const std::optional<QString>& value)
{
    setKeychainValue(value, Keys::vpnPassword);
}

std::optional<QString> Preferences::uid()
{
    const QString& account = Keys::uid;
    if (defaultKeychain()[account]) {
        return defaultKeychain()[account];
    }

    QString identifier;
    const std::optional<QString> serial = macSerialNumber();
    if (serial && !serial->isEmpty()) {
        // An application-specific keyed hash, as machine-id(5) asks: stable for this machine
        // and program, but it cannot be matched with what other programs derive from the
        // same /etc/machine-id (or serial), nor turned back into it.
        const QByteArray digest = QMessageAuthenticationCode::hash(
            serial->toUtf8(), QByteArray(BuildConfig::bundleIdentifier), QCryptographicHash::Sha256);
        identifier = uuidText(digest);
        printLine(QStringLiteral("Your UUID is ") + identifier);
    } else {
        identifier = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    }
    // A failed write is dropped: a serial-derived identifier comes out the same next time.
    defaultKeychain().set(identifier, account);
    return identifier;
}

bool Preferences::isLocked(const QString& key)
{
    std::optional<Error> error;
    defaultKeychain().get(key, &error);
    return error && error->code() == KeychainStatus::interactionNotAllowed;
}

Keychain& Preferences::defaultKeychain()
{
    // No store of its own: every call goes to the system store of that moment.
    static Keychain keychain(QString::fromUtf8(BuildConfig::bundleIdentifier));
    return keychain;
}

std::optional<QString> Preferences::macSerialNumber()
{
    return Host::platformSerialNumber();
}

void Preferences::setKeychainValue(const std::optional<QString>& value, const QString& key)
{
    const std::optional<Error> failure = value ? defaultKeychain().set(*value, key) : defaultKeychain().remove(key);
    if (failure) {
        printLine(QStringLiteral("Keychain error for ") + key + QStringLiteral(": ") + failure->description());
    }
}

Result<QByteArray> VPNKeychain::persistentReferenceFor(const QString& service, const QString& account,
                                                       const QByteArray& password)
{
    KeychainStore& store = KeychainStore::system();
    KeychainItem item;
    const int lookup = store.copyMatching(service, account, &item);
    if (lookup == KeychainStatus::itemNotFound) {
        QByteArray reference;
        const int added = store.add(service, account, password, &reference);
        if (added != KeychainStatus::success) {
            return keychainError(added);
        }
        if (reference.isEmpty()) {
            // The tunnel cannot name the password without it.
            return keychainError(KeychainStatus::decode);
        }
        return reference;
    }
    if (lookup != KeychainStatus::success) {
        return keychainError(lookup);
    }
    if (item.persistentReference.isEmpty()) {
        return keychainError(KeychainStatus::decode);
    }
    if (item.data != password) {
        const int updated = store.update(service, account, password);
        if (updated != KeychainStatus::success) {
            return keychainError(updated);
        }
    }
    return item.persistentReference;
}

}  // namespace tandrel
