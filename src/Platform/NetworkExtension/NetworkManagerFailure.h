#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace tandrel {

// NMVpnConnectionStateReason: what NetworkManager gives as the reason a VPN attempt ended.
enum NMVpnStateReason : uint {
    reasonUnknown = 0,
    reasonNone = 1,
    reasonUserDisconnected = 2,
    reasonServiceStopped = 4,
    reasonIPConfigInvalid = 5,
    reasonConnectTimeout = 6,
    reasonServiceStartTimeout = 7,
    reasonServiceStartFailed = 8,
    reasonNoSecrets = 9,
    reasonLoginFailed = 10,
    reasonConnectionRemoved = 11,
};

// Why a NetworkManager VPN attempt ended, from what NetworkManager and its strongSwan
// plugin say about it: the VPN state reason (NMVpnConnectionStateReason) and the plugin's
// last failure signal (NMVpnPluginFailure: 0 login failed, 1 connect failed, 2 bad IP
// configuration). charon-nm reports a refused EAP login and a server certificate that
// no trusted CA signed alike (connect failed twice, then login failed, then the state
// failed with reason 0), so one sentence covers both.
struct NetworkManagerFailure {
    enum class Kind {
        loginOrServerIdentity,  // refused login, or a server this computer does not trust
        serverUnreachable,      // no answer from the server, or the attempt timed out
        pluginMissing,          // the strongSwan plugin did not start
        noPassword,
        badIPConfiguration,
        other,
    };

    Kind kind = Kind::other;
    uint reason = 0;  // the state reason after taking the plugin's word into account
    QString text;     // one sentence for the user; the key of its translation

    // `givenText` is the text for a reason outside the table (NetworkManager's own words).
    static NetworkManagerFailure describe(uint vpnStateReason, const QString& givenText,
                                          std::optional<uint> pluginFailure);
    // Every sentence `describe` can give besides `givenText`, and those below.
    static QStringList sentences();
    // NetworkManager's reason for a VPN state change (NMVpnConnectionStateReason), as text.
    static QString reasonText(uint reason);

    // What the tunnel itself says when an attempt ends without NetworkManager's word.
    static QString serverDidNotAnswer();
    static QString nameNotResolved();
    static QString networkManagerDidNotAnswer();
};

}  // namespace tandrel
