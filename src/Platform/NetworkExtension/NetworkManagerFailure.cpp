#include "Platform/NetworkExtension/NetworkManagerFailure.h"

#include <QtGlobal>

namespace tandrel {

namespace {

// NMVpnConnectionStateReason
constexpr uint kUnknown = 0;
constexpr uint kNone = 1;
constexpr uint kIPConfigInvalid = 5;
constexpr uint kConnectTimeout = 6;
constexpr uint kServiceStartTimeout = 7;
constexpr uint kServiceStartFailed = 8;
constexpr uint kNoSecrets = 9;
constexpr uint kLoginFailed = 10;

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
    if ((reason == kUnknown || reason == kNone) && pluginFailure) {
        if (*pluginFailure == kPluginLoginFailed) {
            reason = kLoginFailed;
        } else if (*pluginFailure == kPluginBadIPConfig) {
            reason = kIPConfigInvalid;
        } else if (*pluginFailure == kPluginConnectFailed) {
            return {serverUnreachable, reason, QString::fromLatin1(kUnreachable)};
        }
    }
    switch (reason) {
        case kLoginFailed:
            return {loginOrServerIdentity, reason, QString::fromLatin1(kLoginOrIdentity)};
        case kConnectTimeout:
            return {serverUnreachable, reason, QString::fromLatin1(kUnreachable)};
        case kServiceStartTimeout:
        case kServiceStartFailed:
            return {pluginMissing, reason, QString::fromLatin1(kPluginMissing)};
        case kNoSecrets:
            return {noPassword, reason, QString::fromLatin1(kNoPassword)};
        case kIPConfigInvalid:
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
