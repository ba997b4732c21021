#pragma once

#include "Platform/Error.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace tandrel {

// What the tunnel holds back outside itself while it is wanted.
struct TrafficGuardPolicy {
    bool holdBack = false;              // the kill switch: nothing leaves outside the tunnel ...
    QStringList serverAddresses;        // ... but IKE/ESP to the VPN server (every address, pinned)
    bool blockIPv6 = false;             // IPv6 fails outside the tunnel (the tunnel carries none)
    bool excludeLocalNetworks = false;  // the local subnets stay reachable outside the tunnel, DNS to them never

    bool isEmpty() const { return !holdBack && !blockIPv6 && !excludeLocalNetworks; }
    bool operator==(const TrafficGuardPolicy&) const = default;
};

// Whatever keeps traffic from leaving outside the tunnel. The tunnel's state machine asks
// for a policy and waits for the answer before it lets anything go further; every call
// answers on the main thread, never blocking it.
class TrafficGuard {
public:
    using Completion = std::function<void(std::optional<Error>)>;
    using QueryCompletion = std::function<void(std::optional<TrafficGuardPolicy>, std::optional<Error>)>;

    virtual ~TrafficGuard() = default;

    // Replaces whatever guard is in place by this policy; an empty policy takes it away.
    // `done` runs once the policy holds, or with why it could not be put in place (the
    // guard is then left as it was).
    virtual void set(const TrafficGuardPolicy& policy, Completion done) = 0;
    // What is in place now, perhaps left by an earlier run: nullopt when nothing is.
    virtual void query(QueryCompletion done) = 0;
    // Why this guard cannot hold traffic on this machine, or nullopt when it can.
    virtual std::optional<QString> unavailableReason() const = 0;
};

}  // namespace tandrel
