#pragma once

#include "Platform/Error.h"

#include <QString>

#include <optional>

namespace tandrel {

// Why a connect attempt did not bring the tunnel up, in words for the user. `reason` is
// one English sentence and the key of its translation (context "ConnectFailure");
// `detail` is the VPN service's own word on it, shown as it is (it may be empty).
struct ConnectFailure {
    QString reason;
    QString detail;

    // The backend's answer to the configuration request failed. Nothing when the failure
    // is told elsewhere already: an expired session logs out, a full account raises the
    // device-limit alert. A locked keyring kept the request from going out.
    static std::optional<ConnectFailure> fromConfigurationError(const std::optional<Error>& error);
    // The keyring held the token back, so the request never went out.
    static ConnectFailure keyringLocked();
    // The answer arrived but carries no configuration (an error page, an empty object).
    static ConnectFailure unusableConfiguration();
    static ConnectFailure vpnSettingsUnreadable(const Error& error);
    static ConnectFailure passwordNotStored(const Error& error);
    // The system VPN service refused to store or to start the configuration.
    static ConnectFailure saveFailed(const Error& error);
    static ConnectFailure startFailed(const Error& error);
    // The status change that ended an attempt, with the service's reason for it.
    static ConnectFailure tunnelFailed(const QString& serviceReason);

    // The sentence in the interface's language, then the detail on its own line.
    QString text() const;

    bool operator==(const ConnectFailure&) const = default;
};

}  // namespace tandrel
