#include "Platform/NetworkExtension/NetworkManagerFailure.h"

#include <QtGlobal>

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
            QString::fromLatin1(kBadIPConfiguration)};
}

}  // namespace tandrel
