#pragma once

#include "Platform/Keychain.h"
#include "Platform/Result.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace tandrel {

enum class VPNProtocol { Optimal, IKEv2, OpenVPNudp, OpenVPNtcp, Wireguard };
QString rawValue(VPNProtocol protocol);
// The case whose stored text matches exactly, else nullopt.
std::optional<VPNProtocol> vpnProtocolFromRawValue(const QString& text);

// Settings in the user defaults and credentials in the keychain. Static members only.
class Preferences {
public:
    Preferences() = delete;

    // Settings (user defaults). A read of an absent key gives the default; nothing is written.
    static bool killSwitch();
    static void setKillSwitch(bool value);
    static bool excludeLocalNetworks();
    static void setExcludeLocalNetworks(bool value);
    static VPNProtocol vpnProtocol();
    static void setVpnProtocol(VPNProtocol value);
    static VPNProtocol connectedProtocol();
    static void setConnectedProtocol(VPNProtocol value);
    static QString countryConnected();
    static void setCountryConnected(const QString& value);
    static bool compactView();
    static void setCompactView(bool value);
    static bool onboardingShown();
    static void setOnboardingShown(bool value);
    static bool termsShown();
    static void setTermsShown(bool value);
    static bool updated();
    static void setUpdated(bool value);
    static qint64 configId();
    static void setConfigId(qint64 value);

    // Keychain items: the text, or nullopt when absent or unreadable. Setting nullopt
    // removes the item. A failed write or removal prints "Keychain error for …".
    static std::optional<QString> token();
    static void setToken(const std::optional<QString>& value);
    static std::optional<QString> email();
    static void setEmail(const std::optional<QString>& value);
    static std::optional<QString> password();
    static void setPassword(const std::optional<QString>& value);
    static std::optional<QString> server();
    static void setServer(const std::optional<QString>& value);
    static std::optional<QString> vpnUsername();
    static void setVpnUsername(const std::optional<QString>& value);
    static std::optional<QString> vpnPassword();
    static void setVpnPassword(const std::optional<QString>& value);
    // The device identifier (derived once, then kept in the keychain item "uid").
    static std::optional<QString> uid();

    // Whether the keychain holds the item but is locked, so its value cannot be read now:
    // "locked", unlike "absent", keeps the session.
    static bool isLocked(const QString& key);

    static Keychain& defaultKeychain();
    static const QString keychainGroupName;
    static std::optional<QString> macSerialNumber();

    struct Keys {
        static inline const QString onboardingShown = QStringLiteral("onboardingShown");
        static inline const QString termsShown = QStringLiteral("termsShown");
        static inline const QString reconnect = QStringLiteral("reconnect");
        static inline const QString token = QStringLiteral("token");
        static inline const QString email = QStringLiteral("email");
        static inline const QString uid = QStringLiteral("uid");
        static inline const QString server = QStringLiteral("server");
        static inline const QString password = QStringLiteral("password");
        static inline const QString vpnProtocol = QStringLiteral("vpnProtocol");
        static inline const QString vpnPassword = QStringLiteral("vpnPassword");
        static inline const QString vpnUsername = QStringLiteral("vpnUsername");
        static inline const QString sharedSecret = QStringLiteral("sharedSecret");
        static inline const QString updated = QStringLiteral("updated");
        static inline const QString configId = QStringLiteral("configId");
    };

private:
    static void setKeychainValue(const std::optional<QString>& value, const QString& key);
};

// The tunnel password handed to the system by reference.
class VPNKeychain {
public:
    VPNKeychain() = delete;
    // The item's persistent reference, or the status error (NSOSStatusErrorDomain).
    static Result<QByteArray> persistentReferenceFor(const QString& service, const QString& account,
                                                     const QByteArray& password);
};

}  // namespace tandrel
