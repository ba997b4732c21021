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
// the traffic guard holds that in the kernel (HelperTrafficGuard: the privileged helper's
// nftables table), never in the links' configuration. A drop is answered by reactivating
// the profile, reported as reasserting. IPv6 outside the tunnel is blocked while the
// tunnel is wanted, whatever the kill switch says. A run asks the guard what is in place:
// kept (and the tunnel brought back) if that tunnel is still wanted, taken away otherwise.
class NetworkManagerVPNBackend : public NEVPNBackend {
public:
    static inline const QString errorDomain = QStringLiteral("NetworkManagerVPNService");
    enum ErrorCode {
        serviceUnavailable = 1,
        noConfiguration = 2,
        notEnabled = 3,
        noServerAddress = 4,
        requestFailed = 5,
        guardUnavailable = 6,
    };

    // Why NetworkManager cannot carry our tunnel on this machine, or nullopt when it can:
    // the system bus must have NetworkManager and the strongSwan plugin must be installed.
    static std::optional<QString> unavailableReason();

    // The guard that holds traffic back while the tunnel is wanted; none: the privileged
    // helper's (HelperTrafficGuard).
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
