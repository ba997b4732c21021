#pragma once

// The NetworkManager back end's session: the state machine of one tunnel (profile, attempt,
// drop and retry), on the main thread. Its parts: NetworkManagerSession.cpp (the session)
// and NetworkManagerTrafficRules.cpp (what the tunnel holds back and lets by). Only the
// back end's own files include this header.

#include "Platform/NetworkExtension/NetworkManagerKillSwitch.h"
#include "Platform/NetworkExtension/NetworkManagerProfile.h"
#include "Platform/NetworkExtension/NetworkManagerSecretAgent.h"
#include "Platform/NetworkExtension/NetworkManagerVPNBackend.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QTimer>

#include <functional>

class QDBusServiceWatcher;

namespace tandrel {

// Lives on the main thread: every D-Bus exchange and every status report happens there.
class NetworkManagerVPNBackend::Session : public QObject {
    Q_OBJECT

public:
    Session();
    ~Session() override { NetworkManagerSecretAgent::shared().setProfile(this, {}); }

    void load(LoadCompletion completion);
    void save(const NEVPNConfiguration& configuration, Completion completion);
    void remove(Completion completion);
    std::optional<Error> startableError() const;
    void start();
    void stop();

    NEVPNStatus status() const { return m_status; }
    void setStatusHandler(StatusHandler handler) { m_handler = std::move(handler); }

private Q_SLOTS:
    void vpnStateChanged(const QDBusMessage& message);
    void activeStateChanged(const QDBusMessage& message);
    void networkManagerAppeared();
    void networkManagerVanished();
    void pluginFailed(const QDBusMessage& message);
    void registerAgent();

private:
    struct Found {
        QString path;
        NMVariantMapMap settings;
    };
    // Our profile among NetworkManager's; `failure` receives why NetworkManager could not be asked.
    std::optional<Found> findProfile(QString* failure) const;
    void adoptProfile(const std::optional<Found>& found);
    void adoptActiveConnection();
    bool isOurActiveConnection(const QString& path);

    void asyncCall(const QDBusMessage& message, int timeoutMs, std::function<void(const QDBusMessage&)> done);
    void activate();
    void applyVpnState(uint state, uint reason);
    void attemptEnded(uint reason, const QString& text);
    void conclude(uint reason, const QString& text, bool dropped);
    void scheduleRetry();
    void setStatus(NEVPNStatus status, const QString& reason = {});
    // On-demand with a connect rule: the tunnel is to be kept up.
    bool onDemandEnabled() const
    {
        return m_configuration && m_configuration->isOnDemandEnabled && !m_configuration->onDemandRules.empty();
    }
    // With no tunnel: disconnected, or invalid once the profile is gone (removed meanwhile).
    NEVPNStatus restingStatus() const
    {
        return m_profilePath.isEmpty() ? NEVPNStatus::invalid : NEVPNStatus::disconnected;
    }

    // What the configuration holds back while the tunnel is wanted, the server's addresses pinned.
    NetworkManagerBlocks blocksFor(const QStringList& serverAddresses) const;
    // Sets the blocks on the links and notes them down, so the next run knows they are ours.
    void holdTraffic(const NetworkManagerBlocks& blocks, std::function<void()> then = {});
    void releaseTraffic() { holdTraffic({}); }
    void activateIfStillWanted();
    // Makes the plugin reach the server by this address, so reconnecting needs no name lookup.
    void pinServerAddress(const QString& address, std::function<void()> then);
    // Blocks an earlier run left behind: kept while its tunnel is still wanted, else removed.
    void recoverBlocks();

    // Reconnection after a drop: quick first, then backing off.
    static constexpr int kFirstRetryMs = 500;
    static constexpr int kLongestRetryMs = 30000;

    QDBusConnection m_bus = QDBusConnection::systemBus();
    NetworkManagerKillSwitch m_killSwitch{QDBusConnection::systemBus()};
    QDBusServiceWatcher* m_watcher = nullptr;
    QTimer m_retryTimer;
    QTimer m_agentTimer;  // asks NetworkManager again to take our secret agent
    int m_agentDelayMs = kFirstRetryMs;

    StatusHandler m_handler;
    QString m_profilePath;
    QString m_profileUuid;
    std::optional<NEVPNConfiguration> m_configuration;
    NEVPNStatus m_status = NEVPNStatus::invalid;
    QString m_activePath;
    QHash<QString, bool> m_knownActive;   // active connection path -> is it ours
    QSet<QString> m_finishedPaths;        // our attempts that have ended
    bool m_wanted = false;                // started by us and not stopped since
    bool m_activating = false;            // an ActivateConnection call is on its way
    bool m_reachedActivated = false;      // the current attempt got the tunnel up
    bool m_afterDrop = false;             // getting a dropped tunnel back
    std::optional<uint> m_pluginFailure;  // the plugin's reason for the current attempt's failure
    bool m_concluding = false;            // an attempt has ended; its reason may still come
    quint64 m_attempt = 0;                // counts starts and activations, to drop stale verdicts
    int m_retryDelayMs = kFirstRetryMs;
    bool m_recovered = false;           // the blocks of an earlier run have been dealt with
    bool m_networkManagerGone = false;  // it left the bus and has not given us our profile again
    NetworkManagerBlocks m_releasedWhileGone;  // blocks taken away while it was gone, still in the kernel
};

}  // namespace tandrel
