#pragma once

// The NetworkManager back end's session: it carries out what the tunnel's state machine
// (TunnelMachine) decides, and turns what NetworkManager says into the machine's events.
// Only the back end's own files include this header.

#include "Platform/NetworkExtension/NetworkManagerProfile.h"
#include "Platform/NetworkExtension/NetworkManagerSecretAgent.h"
#include "Platform/NetworkExtension/NetworkManagerVPNBackend.h"
#include "Platform/NetworkExtension/TrafficGuard.h"
#include "Platform/NetworkExtension/TunnelMachine.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QTimer>

#include <array>
#include <functional>
#include <memory>

namespace tandrel {

// Lives on the main thread: every D-Bus exchange and every status report happens there,
// and nothing waits there: each call to NetworkManager is asked without blocking, with a
// deadline whose expiry is an answer like any other.
class NetworkManagerVPNBackend::Session : public QObject {
    Q_OBJECT

public:
    explicit Session(std::unique_ptr<TrafficGuard> guard);
    ~Session() override;

    void load(LoadCompletion completion);
    void save(const NEVPNConfiguration& configuration, Completion completion);
    void remove(Completion completion);
    std::optional<Error> startableError() const;
    void start() { handle({.kind = TunnelEvent::Kind::start}); }
    void stop() { handle({.kind = TunnelEvent::Kind::stop}); }

    NEVPNStatus status() const { return m_machine.status(); }
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
    using FindCompletion = std::function<void(std::optional<Found> found, const QString& failure)>;
    // Our profile among NetworkManager's; `failure` says why NetworkManager could not be asked.
    void findProfile(FindCompletion done);
    void adoptProfile(const std::optional<Found>& found);
    void adoptActiveConnection(std::function<void()> then);
    // Whether an active connection is of our profile; asks NetworkManager once per path.
    void checkOurs(const QString& path, std::function<void(bool)> done);
    void recoverGuard();

    // Asks NetworkManager without waiting; `done` gets the reply, or an error reply once
    // the deadline has passed.
    void ask(const QDBusMessage& message, int deadlineMs, std::function<void(const QDBusMessage&)> done);
    void readProperty(const QString& path, const QString& interface, const QString& name,
                      std::function<void(const QVariant&)> done);

    void handle(const TunnelEvent& event);
    void carryOut(const TunnelCommand& command);
    void pin(const QString& address, quint64 ticket);
    void activate(quint64 ticket);

    // Every answer of NetworkManager is due within this; a change may wait on the user's consent.
    static constexpr int kAnswerDeadlineMs = 10000;
    static constexpr int kChangeDeadlineMs = 120000;

    QDBusConnection m_bus = QDBusConnection::systemBus();
    std::unique_ptr<TrafficGuard> m_guard;
    TunnelMachine m_machine;
    std::array<QTimer, 4> m_timers;  // by TunnelTimer
    QTimer m_agentTimer;             // asks NetworkManager again to take our secret agent
    int m_agentDelayMs = TunnelMachine::kFirstRetryMs;
    bool m_handling = false;
    QList<TunnelEvent> m_queued;  // events that arrive while the machine's commands are carried out

    StatusHandler m_handler;
    QString m_profilePath;
    std::optional<NEVPNConfiguration> m_configuration;  // the saved profile's, as read or written
    bool m_networkManagerRegistered = true;  // as far as the bus has told us
    bool m_networkManagerGone = false;       // it left the bus and has not given us our profile again
    bool m_recovered = false;                // what an earlier run left has been dealt with
    QHash<QString, bool> m_knownActive;      // active connection path -> is it ours
    QHash<QString, QList<QDBusMessage>> m_unchecked;  // signals of paths still being checked
    QSet<QString> m_heardFrom;                        // paths whose state came by signal
};

}  // namespace tandrel
