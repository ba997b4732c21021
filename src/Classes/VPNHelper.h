#pragma once

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
    // A connect that cannot go on for a reason of its own making, after its printed line:
    // the backend's configuration lacks the server, the user name or the password.
    void connectFailed(const tandrel::Error& error);

private:
    VPNHelper();
};

}  // namespace tandrel
