#pragma once

#include <QString>

namespace tandrel {

enum class NEVPNStatus : int {
    invalid = 0,  // no configuration
    disconnected = 1,
    connecting = 2,
    connected = 3,
    reasserting = 4,
    disconnecting = 5,
};

// Posted on every status change; the object is the NEVPNConnection whose status changed.
// The user information may hold "reason" (text) when the VPN service gave one.
inline const QString NEVPNStatusDidChangeNotification = QStringLiteral("NEVPNStatusDidChangeNotification");
inline const QString NEVPNStatusReasonKey = QStringLiteral("reason");

}  // namespace tandrel
