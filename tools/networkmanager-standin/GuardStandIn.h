#pragma once

#include "Platform/NetworkExtension/TrafficGuard.h"

#include <QTimer>

namespace tandrel {

// A traffic guard held in memory, for tests and benchmarks against the stand-in
// NetworkManager: it answers on the next turn of the event loop, as the helper's client
// does, and holds nothing in the kernel.
class GuardStandIn : public TrafficGuard {
public:
    void set(const TrafficGuardPolicy& policy, Completion done) override
    {
        m_policy = policy;
        QTimer::singleShot(0, [done = std::move(done)] { done(std::nullopt); });
    }
    void query(QueryCompletion done) override
    {
        const std::optional<TrafficGuardPolicy> held =
            m_policy.isEmpty() ? std::nullopt : std::optional<TrafficGuardPolicy>(m_policy);
        QTimer::singleShot(0, [done = std::move(done), held] { done(held, std::nullopt); });
    }
    std::optional<QString> unavailableReason() const override { return std::nullopt; }

    const TrafficGuardPolicy& policy() const { return m_policy; }

private:
    TrafficGuardPolicy m_policy;
};

}  // namespace tandrel
