#pragma once

#include "Platform/NetworkExtension/NEVPNBackend.h"

namespace tandrel {

// The VPN service of a build whose VPN daemon cannot be reached: nothing is stored, the
// status stays invalid and every start fails at once, saying what is missing. It never
// pretends to tunnel.
class UnavailableVPNBackend : public NEVPNBackend {
public:
    static inline const QString errorDomain = QStringLiteral("VPNServiceUnavailable");

    explicit UnavailableVPNBackend(
        QString reason = QStringLiteral("NetworkManager with the strongSwan plugin is not available."));

    void load(LoadCompletion completion) override;
    void save(const NEVPNConfiguration& configuration, Completion completion) override;
    void remove(Completion completion) override;
    std::optional<Error> start() override;
    void stop() override {}
    NEVPNStatus status() const override { return NEVPNStatus::invalid; }
    void setStatusHandler(StatusHandler) override {}

    Error error() const;

private:
    QString m_reason;
};

}  // namespace tandrel
