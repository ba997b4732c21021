#pragma once

#include "Platform/NetworkExtension/NEVPNBackend.h"

#include <memory>
#include <mutex>

namespace tandrel {

class NEVPNManager;

class NEVPNConnection {
public:
    NEVPNStatus status() const;
    // Fails at once (the error) or starts; progress comes as status notifications.
    std::optional<Error> startVPNTunnel();
    void stopVPNTunnel();

private:
    friend class NEVPNManager;
    explicit NEVPNConnection(NEVPNManager& manager) : m_manager(manager) {}
    NEVPNManager& m_manager;
};

// The application's one VPN configuration in the system's VPN service.
class NEVPNManager {
public:
    using Completion = NEVPNBackend::Completion;

    static NEVPNManager& shared();
    // Told every status the back end reports, with its reason, in the order reported and on
    // the reporting thread, before the status notification is posted.
    void setStatusObserver(NEVPNBackend::StatusHandler observer);
    // Puts another back end behind the shared manager (tests); clears the loaded fields.
    void setBackend(std::shared_ptr<NEVPNBackend> backend);

    void loadFromPreferences(Completion completion);
    void saveToPreferences(Completion completion);
    void removeFromPreferences(Completion completion);

    // The configuration fields; load replaces them, save stores them. They belong to the
    // main thread: a load answered elsewhere is applied, and completes, on the main queue.
    std::optional<NEVPNProtocolIKEv2> protocolConfiguration;
    std::vector<NEOnDemandRuleConnect> onDemandRules;
    bool isOnDemandEnabled = false;
    QString localizedDescription;
    bool isEnabled = false;

    NEVPNConnection& connection() { return m_connection; }

private:
    friend class NEVPNConnection;
    NEVPNManager();
    std::shared_ptr<NEVPNBackend> backend() const;
    void attach(const std::shared_ptr<NEVPNBackend>& backend);

    // Guards only which back end is ours and who observes it: a service may report a status
    // from its own thread, and that report reads both. The configuration
    // fields above belong to the main thread (loads land there) and take no lock.
    mutable std::mutex m_lock;
    std::shared_ptr<NEVPNBackend> m_backend;
    NEVPNBackend::StatusHandler m_statusObserver;
    NEVPNConnection m_connection{*this};
};

}  // namespace tandrel
