#pragma once

#include "Platform/NetworkExtension/NEVPNBackend.h"

#include <memory>
#include <optional>

namespace tandrel {

// The system's VPN service on Linux desktops: NetworkManager with its strongSwan plugin,
// over the system D-Bus. The configuration is one private NetworkManager profile; the
// password stays in the keychain and reaches NetworkManager through our secret agent.
// Completions and status changes arrive on the main thread.
//
// The kill switch (on-demand with a connect rule): NetworkManager cannot hold a VPN up by
// itself, so while the tunnel is wanted a drop is answered by reactivating the profile,
// reported as reasserting. Excluded local networks: for as long as the tunnel is wanted,
// each local link gets a routing rule that sends its own subnet to the main table ahead
// of the tunnel's routes (applied to the running link only, never to its stored profile).
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

    NetworkManagerVPNBackend();
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
