#pragma once

#include "Classes/ConnectFailure.h"
#include "Network/JSON.h"
#include "Platform/Error.h"
#include "Platform/NetworkExtension/NEVPNManager.h"

#include <QObject>

#include <functional>
#include <optional>

namespace tandrel {

// Turns a connect request for the selected region into the system's IKEv2 configuration.
class VPNHelper : public QObject {
    Q_OBJECT
public:
    static VPNHelper& shared();

    NEVPNStatus currentStatus();
    void connectIPSecIKEv2();
    void disconnectVPN();
    void removeVPNProfile(std::function<void(std::optional<Error>)> completion);

    NEVPNManager& manager;

Q_SIGNALS:
    // Each connect chain ends with this, on the main thread: with the failure when the
    // chain stopped short of starting the tunnel, with nothing when it started the tunnel
    // (the status reports take over from there) or when the stop is told another way.
    void connectAttemptEnded(const std::optional<tandrel::ConnectFailure>& failure);
    // Every status the VPN service reports, with its reason, in order, on the main thread:
    // what the controller publishes and the status icon shows.
    void statusDidChange(tandrel::NEVPNStatus status, const QString& reason);

private:
    // The steps of a connect chain, in order.
    void configurationArrived(quint64 session, const std::optional<Error>& error, const std::optional<JSON>& json);
    void configureTunnel(quint64 session, const JSON& json);
    void saveAndStartTunnel(quint64 session);
    void endAttempt(std::optional<ConnectFailure> failure);

    VPNHelper();
};

}  // namespace tandrel
