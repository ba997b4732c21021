#include "Platform/NetworkExtension/NetworkManagerFailure.h"

#include <QtGlobal>

#include <array>

namespace tandrel {

namespace {

// NMVpnPluginFailure
constexpr uint kPluginLoginFailed = 0;
constexpr uint kPluginConnectFailed = 1;
constexpr uint kPluginBadIPConfig = 2;

const char* const kLoginOrIdentity = QT_TRANSLATE_NOOP(
    "ConnectFailure", "The VPN server refused the login, or this computer does not trust the server's certificate.");
const char* const kUnreachable = QT_TRANSLATE_NOOP("ConnectFailure", "The VPN server could not be reached.");
const char* const kPluginMissing =
    QT_TRANSLATE_NOOP("ConnectFailure", "The system's strongSwan VPN plugin is missing or did not start.");
const char* const kNoPassword =
    QT_TRANSLATE_NOOP("ConnectFailure", "The tunnel password could not be read from the keychain.");
const char* const kBadIPConfiguration =
    QT_TRANSLATE_NOOP("ConnectFailure", "The VPN server sent an unusable network configuration.");
const char* const kServerDidNotAnswer = QT_TRANSLATE_NOOP("ConnectFailure", "The VPN server did not answer.");
const char* const kNameNotResolved =
    QT_TRANSLATE_NOOP("ConnectFailure", "The VPN server's name could not be resolved.");
const char* const kNetworkManagerDidNotAnswer =
    QT_TRANSLATE_NOOP("ConnectFailure", "NetworkManager did not answer.");

}  // namespace

NetworkManagerFailure NetworkManagerFailure::describe(uint vpnStateReason, const QString& givenText,
                                                      std::optional<uint> pluginFailure)
{
    using enum Kind;
    uint reason = vpnStateReason;
    // NetworkManager often ends the attempt without a reason of its own; the plugin's
    // failure signal then says what happened.
    if ((reason == reasonUnknown || reason == reasonNone) && pluginFailure) {
        if (*pluginFailure == kPluginLoginFailed) {
            reason = reasonLoginFailed;
        } else if (*pluginFailure == kPluginBadIPConfig) {
            reason = reasonIPConfigInvalid;
        } else if (*pluginFailure == kPluginConnectFailed) {
            return {serverUnreachable, reason, QString::fromLatin1(kUnreachable)};
        }
    }
    switch (reason) {
        case reasonLoginFailed:
            return {loginOrServerIdentity, reason, QString::fromLatin1(kLoginOrIdentity)};
        case reasonConnectTimeout:
            return {serverUnreachable, reason, QString::fromLatin1(kUnreachable)};
        case reasonServiceStartTimeout:
        case reasonServiceStartFailed:
            return {pluginMissing, reason, QString::fromLatin1(kPluginMissing)};
        case reasonNoSecrets:
            return {noPassword, reason, QString::fromLatin1(kNoPassword)};
        case reasonIPConfigInvalid:
            return {badIPConfiguration, reason, QString::fromLatin1(kBadIPConfiguration)};
        default:
            return {other, reason, givenText};
    }
}

QStringList NetworkManagerFailure::sentences()
{
    return {QString::fromLatin1(kLoginOrIdentity), QString::fromLatin1(kUnreachable),
            QString::fromLatin1(kPluginMissing), QString::fromLatin1(kNoPassword),
            QString::fromLatin1(kBadIPConfiguration), serverDidNotAnswer(), nameNotResolved(),
            networkManagerDidNotAnswer()};
}

QString NetworkManagerFailure::serverDidNotAnswer()
{
    return QString::fromLatin1(kServerDidNotAnswer);
}

QString NetworkManagerFailure::nameNotResolved()
{
    return QString::fromLatin1(kNameNotResolved);
}

QString NetworkManagerFailure::networkManagerDidNotAnswer()
{
    return QString::fromLatin1(kNetworkManagerDidNotAnswer);
}

QString NetworkManagerFailure::reasonText(uint reason)
{
    // Indexed by NMVpnConnectionStateReason.
    static constexpr std::array<const char*, 15> texts{
        "unknown reason",
        "no reason given",
        "disconnected by the user",
        "the network connection under the VPN went down",
        "the VPN service stopped unexpectedly",
        "the VPN service returned an invalid IP configuration",
        "the connection attempt timed out",
        "the VPN service did not start in time",
        "the VPN service failed to start",
        "no password was available",
        "the server refused the login",
        "the VPN configuration was removed",
        "a connection it depends on failed",
        "the VPN's network device could not be created",
        "the VPN's network device disappeared",
    };
    return QString::fromLatin1(texts[reason < texts.size() ? reason : 0]);
}

}  // namespace tandrel
