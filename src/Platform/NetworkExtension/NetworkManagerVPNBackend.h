#pragma once

#include "Platform/NetworkExtension/NEVPNBackend.h"
#include "Platform/NetworkExtension/TrafficGuard.h"

#include <memory>
#include <optional>

namespace tandrel {

// The system's VPN service on Linux desktops: NetworkManager with its strongSwan plugin,
// over the system D-Bus. The configuration is one private NetworkManager profile; the
// password stays in the keychain and reaches NetworkManager through our secret agent.
// It is called on the main thread, and its completions and status changes arrive there
// (NetworkManager's D-Bus replies and signals are delivered on that thread), so its
// state takes no lock.
//
// The kill switch (include all networks, on-demand with a connect rule): while the tunnel
// is wanted, nothing leaves outside it but IKE/ESP to the server (and the local subnets
// where they are excluded), also while it is down, reconnecting, or this program is gone;
// NetworkManagerKillSwitch holds that in the links' running configuration. A drop is
// answered by reactivating the profile, reported as reasserting. IPv6 outside the tunnel
// is blocked while the tunnel is wanted, whatever the kill switch says. A run that finds
// blocks of an earlier one keeps them (and reconnects) if that tunnel was still wanted,
// and removes them otherwise.
class NetworkManagerVPNBackend : public NEVPNBackend {
public:
    static inline const QString errorDomain = QStringLiteral("NetworkManagerVPNService");
    enum ErrorCode {
        serviceUnavailable = 1,
        noConfiguration = 2,
        notEnabled = 3,
        noServerAddress = 4,
        requestFailed = 5,
    };

    // Why NetworkManager cannot carry our tunnel on this machine, or nullopt when it can:
    // the system bus must have NetworkManager and the strongSwan plugin must be installed.
    static std::optional<QString> unavailableReason();

    // The guard that holds traffic back while the tunnel is wanted; none: NetworkManager's
    // routing rules (NetworkManagerTrafficGuard).
    explicit NetworkManagerVPNBackend(std::unique_ptr<TrafficGuard> guard = {});
    ~NetworkManagerVPNBackend() override;

    void load(LoadCompletion completion) override;
    void save(const NEVPNConfiguration& configuration, Completion completion) override;
    void remove(Completion completion) override;
    std::optional<Error> start() override;
    void stop() override;
    NEVPNStatus status() const override;
    void setStatusHandler(StatusHandler handler) override;

    // NetworkManager's VPN connection states (NMVpnConnectionState) as our status; after
    // a drop of a wanted tunnel, getting it back up is reasserting.
    static std::optional<NEVPNStatus> statusForVpnState(uint vpnState, bool afterDrop);
    // NetworkManager's reason for a VPN state change (NMVpnConnectionStateReason), as text.
    static QString reasonText(uint reason);

    class Session;

private:
    std::shared_ptr<Session> d;
};

}  // namespace tandrel
