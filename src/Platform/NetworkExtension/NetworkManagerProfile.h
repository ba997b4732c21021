#pragma once

#include "Platform/NetworkExtension/NEVPNBackend.h"

#include <QMap>
#include <QString>
#include <QVariantMap>

#include <optional>

namespace tandrel {

// A connection's settings as NetworkManager passes them over D-Bus (a{sa{sv}}), and the
// string dictionary (a{ss}) of a VPN setting's data and secrets.
using NMVariantMapMap = QMap<QString, QVariantMap>;
using NMStringMap = QMap<QString, QString>;

// The application's VPN configuration as one NetworkManager profile for the strongSwan
// plugin. What the plugin reads (server, identities, EAP user, proposals) is written in
// its own keys; the fields it has no place for ride along in the same vpn.data under
// keys of ours, so that a load gives back exactly what was saved. The password is never
// in the profile: it is agent-owned, and the item its persistent reference names is read
// from the keychain when NetworkManager asks.
class NetworkManagerProfile {
public:
    static inline const QString serviceType = QStringLiteral("org.freedesktop.NetworkManager.strongswan");
    // Registers the D-Bus types the profile and the secret agent travel in (idempotent).
    static void registerDBusTypes();

    // Settings for AddConnection / Update. `owner` is the login name the profile is kept
    // private to (empty: visible to every user).
    static NMVariantMapMap settingsFor(const NEVPNConfiguration& configuration, const QString& uuid,
                                       const QString& owner);
    // The configuration a profile of ours holds; nullopt for any other profile.
    static std::optional<NEVPNConfiguration> configurationFrom(const NMVariantMapMap& settings);
    static bool isOurs(const NMVariantMapMap& settings);
    static QString uuidOf(const NMVariantMapMap& settings);

    // The plugin's proposal strings, e.g. "aes256gcm16-prfsha384-curve25519".
    static QString ikeProposal(const NEVPNIKEv2SecurityAssociationParameters& parameters);
    static QString espProposal(const NEVPNIKEv2SecurityAssociationParameters& parameters, bool perfectForwardSecrecy);

    // Puts the server's address, resolved once, where the plugin reads the server (so a
    // reconnect needs no name lookup, which the kill switch may hold back); the name stays
    // the configuration's server. False when there is nothing to change or no remote
    // identity to check the server against.
    static bool pinServerAddress(NMVariantMapMap& settings, const QString& address);
    // The address a profile reaches its server by, when pinned; empty when it holds the name.
    static QString pinnedAddress(const NMVariantMapMap& settings);

    // The vpn.data dictionary of a settings map, whatever form D-Bus delivered it in.
    static NMStringMap vpnData(const NMVariantMapMap& settings);
    static NMStringMap stringMap(const QVariant& value);
};

}  // namespace tandrel
