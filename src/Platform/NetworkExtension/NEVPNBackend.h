#pragma once

#include "Platform/Error.h"
#include "Platform/NetworkExtension/NEVPNProtocolIKEv2.h"
#include "Platform/NetworkExtension/NEVPNStatus.h"

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace tandrel {

// Everything the system keeps of the application's one VPN configuration.
struct NEVPNConfiguration {
    std::optional<NEVPNProtocolIKEv2> protocolConfiguration;
    std::vector<NEOnDemandRuleConnect> onDemandRules;
    bool isOnDemandEnabled = false;
    QString localizedDescription;
    bool isEnabled = false;

    bool operator==(const NEVPNConfiguration&) const = default;
};

// The VPN daemon behind NEVPNManager. Implementations may call back and report status on
// any thread; status reports and the other completions are passed on unchanged, a load
// is applied to the manager on the main thread.
class NEVPNBackend {
public:
    using Completion = std::function<void(std::optional<Error>)>;
    // nullopt configuration: nothing is saved.
    using LoadCompletion = std::function<void(std::optional<NEVPNConfiguration>, std::optional<Error>)>;
    using StatusHandler = std::function<void(NEVPNStatus status, const QString& reason)>;

    virtual ~NEVPNBackend() = default;

    virtual void load(LoadCompletion completion) = 0;
    virtual void save(const NEVPNConfiguration& configuration, Completion completion) = 0;
    virtual void remove(Completion completion) = 0;
    // Starts the saved configuration, or fails at once.
    virtual std::optional<Error> start() = 0;
    virtual void stop() = 0;
    virtual NEVPNStatus status() const = 0;
    // Called on every status change, with the service's reason when it gave one.
    virtual void setStatusHandler(StatusHandler handler) = 0;

    // The back end the program uses: the one a factory installed gives, else NetworkManager's,
    // else one that says what is missing.
    static std::shared_ptr<NEVPNBackend> makeDefault();
    // Installed before the first use of the shared manager, by a build that links a back end
    // of its own (the stand-in of demo and test builds).
    static void setDefaultFactory(std::function<std::shared_ptr<NEVPNBackend>()> factory);
};

}  // namespace tandrel
