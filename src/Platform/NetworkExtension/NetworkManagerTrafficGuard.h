#pragma once

#include "Platform/NetworkExtension/NetworkManagerKillSwitch.h"
#include "Platform/NetworkExtension/TrafficGuard.h"

#include <QDBusConnection>
#include <QObject>

namespace tandrel {

// The guard as NetworkManager's routing rules (NetworkManagerKillSwitch). The rules live
// in the links' running configuration and say nothing of the tunnel they were set for,
// so what was set is also noted in a file, for the next run (after a crash) to tell a
// tunnel still wanted from one the user had ended.
class NetworkManagerTrafficGuard : public QObject, public TrafficGuard {
    Q_OBJECT

public:
    explicit NetworkManagerTrafficGuard(QDBusConnection bus, QObject* parent = nullptr);

    void set(const TrafficGuardPolicy& policy, Completion done) override;
    void query(QueryCompletion done) override;
    std::optional<QString> unavailableReason() const override { return std::nullopt; }

private:
    void networkManagerAppeared();
    void networkManagerVanished();
    void setAgainOnceReady(int delayMs);

    QDBusConnection m_bus;
    NetworkManagerKillSwitch m_killSwitch;
    bool m_networkManagerGone = false;
    TrafficGuardPolicy m_releasedWhileGone;  // taken away while it was gone, still in the kernel
};

}  // namespace tandrel
