#pragma once

#include "Platform/NetworkExtension/NEVPNBackend.h"

#include <chrono>
#include <memory>

namespace tandrel {

// A VPN service that tunnels nothing, for tests and the demo. It keeps the configuration
// in a file, so that it survives a restart as the system's preferences would, checks on
// start what a real daemon would need (an enabled configuration with server, user name and
// a password reference that names a keychain item) and walks the status values a real
// tunnel goes through. Status changes are reported on the main thread; completions run
// later on the main queue, never inside the caller's call.
class StandInVPNBackend : public NEVPNBackend {
public:
    static inline const QString errorDomain = QStringLiteral("StandInVPNService");
    enum ErrorCode {
        configurationUnreadable = 1,
        configurationUnwritable = 2,
        noConfiguration = 3,
        notEnabled = 4,
        noServerAddress = 5,
        noUsername = 6,
        noPasswordReference = 7,
        passwordItemNotFound = 8,
        passwordItemUnreadable = 9,
    };

    // $XDG_DATA_HOME/<bundle id>/vpn-configuration.json
    static QString defaultConfigurationPath();
    // Makes NEVPNBackend::makeDefault() give a stand-in (demo and test builds only).
    static void installAsDefault();

    StandInVPNBackend();
    explicit StandInVPNBackend(const QString& configurationPath);
    ~StandInVPNBackend() override;

    void load(LoadCompletion completion) override;
    void save(const NEVPNConfiguration& configuration, Completion completion) override;
    void remove(Completion completion) override;
    std::optional<Error> start() override;
    void stop() override;
    NEVPNStatus status() const override;
    void setStatusHandler(StatusHandler handler) override;

    // Test controls.
    QString configurationPath() const;
    // What the file holds now; nullopt when nothing is saved or the file is unreadable.
    std::optional<NEVPNConfiguration> savedConfiguration() const;
    // Each operation fails with the given error (and changes nothing) until cleared. A
    // load may first succeed `successesFirst` more times (a chain that loads twice).
    void setLoadError(std::optional<Error> error, int successesFirst = 0);
    void setSaveError(std::optional<Error> error);
    void setRemoveError(std::optional<Error> error);
    void setStartError(std::optional<Error> error);
    // The pause between two steps of a status walk.
    void setStepDelay(std::chrono::milliseconds delay);
    // The walk stops on this status until the hold is released (nullopt).
    void holdStatus(std::optional<NEVPNStatus> status);
    // A connected tunnel drops: reasserting, then connected again or disconnected.
    void dropTunnel(bool recovers, const QString& reason = {});

private:
    struct State;
    std::shared_ptr<State> d;
};

}  // namespace tandrel
