#pragma once

#include "Platform/NetworkExtension/NEVPNStatus.h"
#include "Platform/NetworkExtension/TrafficGuard.h"

#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <optional>

namespace tandrel {

// What the machine needs to know of the saved profile.
struct TunnelConfiguration {
    bool present = false;               // a profile of ours is saved
    QString server{};                   // the server as the user gave it (name or address)
    bool holdBack = false;              // the kill switch
    bool excludeLocalNetworks = false;
    bool onDemand = false;              // on-demand with a connect rule: a drop is reconnected
    QString pinnedAddress{};            // the address the profile reaches the server by now, if pinned
};

enum class TunnelState {
    idle,        // nothing under way (perhaps following a tunnel someone else started)
    resolving,   // the server's name is being looked up, before anything is held back
    guarding,    // the guard is being put in place
    pinning,     // the profile is being made to reach the server by one address
    activating,  // NetworkManager is bringing the tunnel up
    up,
    concluding,  // an attempt ended; the plugin's own reason may still come
    retrying,    // waiting to try a dropped tunnel again
    releasing,   // the user ended it; NetworkManager is taking it down
    serviceGone, // wanted, but NetworkManager is away: waiting for it to come back
};

enum class TunnelTimer { retry, verdict, address, connect };

// One thing that happened, for the machine to decide on.
struct TunnelEvent {
    enum class Kind {
        configured,          // configuration (the profile was found, saved or changed)
        start,
        stop,
        resolved,            // addresses (empty: the name could not be resolved)
        guardSet,            // ticket; text: why the guard could not be set (empty: it holds)
        pinned,              // ticket; text: why the address could not be pinned
        activateAnswered,    // ticket; path, or text: why NetworkManager refused
        deactivateFailed,    // path; text
        adopted,             // path, state: a tunnel of our profile found running at start-up
        vpnState,            // path, state, reason (NMVpnConnectionState, ...StateReason)
        activeState,         // path, state, reason (NMActiveConnectionState)
        pluginFailure,       // state: NMVpnPluginFailure
        timer,               // timer
        networkManagerGone,
        networkManagerBack,  // and our profile was found again
        guardFound,          // policy: what an earlier run left in place (nullopt: nothing)
        removing,            // the profile is about to be removed
        profileRemoved,
    };
    Kind kind = Kind::start;
    TunnelConfiguration configuration{};
    QStringList addresses{};
    quint64 ticket = 0;
    QString path{};
    QString text{};
    uint state = 0;
    uint reason = 0;
    TunnelTimer timer = TunnelTimer::retry;
    std::optional<TrafficGuardPolicy> policy{};
};

// One thing the code around the machine is to do.
struct TunnelCommand {
    enum class Kind {
        setGuard,    // policy (empty: take the guard away); answer with guardSet(ticket)
        resolve,     // text: the name; answer with resolved
        pin,         // text: the address; answer with pinned(ticket)
        activate,    // answer with activateAnswered(ticket)
        deactivate,  // path
        startTimer,  // timer, milliseconds
        stopTimer,   // timer
        report,      // status, text: the reason (may be empty)
    };
    Kind kind = Kind::report;
    TrafficGuardPolicy policy{};
    QString text{};
    QString path{};
    quint64 ticket = 0;
    TunnelTimer timer = TunnelTimer::retry;
    int milliseconds = 0;
    NEVPNStatus status = NEVPNStatus::invalid;

    // One line, e.g. "activate #3", "timer retry 500", "report reasserting: why".
    QString toString() const;
};

// The NetworkManager tunnel's decisions, and nothing else: no D-Bus, no timers, no clock.
// Every event goes through `handle`, which gives back what to do, in order. Answers to
// the machine's own requests carry the ticket they were asked with; an answer to a
// request the machine has since moved on from is stale and changes nothing.
class TunnelMachine {
public:
    // Reconnection after a drop: quick first, then backing off.
    static constexpr int kFirstRetryMs = 500;
    static constexpr int kLongestRetryMs = 30000;
    // How long a failed attempt waits for the plugin's own reason when NetworkManager gave none.
    static constexpr int kVerdictGraceMs = 300;
    // How long one server address may stay silent before the next one is tried.
    static constexpr int kAddressDeadlineMs = 10000;
    // How long a first connect may take before it ends with its reason.
    static constexpr int kConnectDeadlineMs = 25000;

    QList<TunnelCommand> handle(const TunnelEvent& event);

    TunnelState state() const { return m_state; }
    NEVPNStatus status() const { return m_status; }
    bool wanted() const { return m_wanted; }
    const QString& activePath() const { return m_activePath; }
    const QStringList& addresses() const { return m_addresses; }
    const TunnelConfiguration& configuration() const { return m_configuration; }

    // What the guard holds while the tunnel is wanted, the server reachable by these addresses.
    TrafficGuardPolicy policyFor(const QStringList& serverAddresses) const;

    static QString stateName(TunnelState state);

private:
    void start();
    void stop();
    void resolved(const QStringList& addresses);
    void guardSet(const TunnelEvent& event);
    void pinned(const TunnelEvent& event);
    void activateAnswered(const TunnelEvent& event);
    void vpnState(const QString& path, uint state, uint reason);
    void timerFired(TunnelTimer timer);
    void networkManagerBack();
    void guardFound(const std::optional<TrafficGuardPolicy>& left);
    void configured(const TunnelConfiguration& configuration);

    // The next step towards a tunnel with the addresses known: pin, or activate at once.
    void pinOrActivate();
    void activate();
    void tryNextAddress();
    // Ends the running attempt (NetworkManager's reason); `text` is its words for it.
    void attemptEnded(uint reason, const QString& text);
    void conclude(uint reason, const QString& text, std::optional<bool> droppedOverride = std::nullopt);
    // The attempt gives up with this sentence, whatever NetworkManager says later.
    void giveUp(const QString& sentence);
    void scheduleRetry();
    void release(const QString& reason);
    void finishActivePath();
    void requestDeactivation(const QString& path);
    // Leaves the running attempt: NetworkManager is asked to take it down, and its answers are ignored.
    void abandonAttempt();

    void setGuard(const TrafficGuardPolicy& policy);
    void report(NEVPNStatus status, const QString& reason = {});
    void startTimer(TunnelTimer timer, int milliseconds);
    void stopTimer(TunnelTimer timer);
    NEVPNStatus liveStatus() const { return m_recovering ? NEVPNStatus::reasserting : NEVPNStatus::connecting; }
    NEVPNStatus restingStatus() const
    {
        return m_configuration.present ? NEVPNStatus::disconnected : NEVPNStatus::invalid;
    }
    static uint bit(TunnelTimer timer) { return 1u << static_cast<uint>(timer); }
    bool awaits(const TunnelEvent& event) const { return event.ticket != 0 && event.ticket == m_ticket; }
    quint64 nextTicket() { return m_ticket = ++m_tickets; }

    TunnelState m_state = TunnelState::idle;
    NEVPNStatus m_status = NEVPNStatus::invalid;
    TunnelConfiguration m_configuration;
    bool m_wanted = false;      // the user's intent: started and not stopped since
    bool m_recovering = false;  // getting a tunnel back that was up (the status says reasserting)
    bool m_networkManagerPresent = true;
    QStringList m_addresses;    // every address of the server, in the resolver's order
    int m_addressIndex = 0;     // the one being tried
    QString m_pinned;           // the address the profile holds
    std::optional<uint> m_pluginFailure;
    struct Verdict {
        uint reason = 0;
        QString text;
        bool dropped = false;
    };
    Verdict m_verdict;          // while concluding: the ended attempt's, until the plugin has spoken
    int m_retryDelayMs = kFirstRetryMs;
    QString m_activePath;       // NetworkManager's active connection of the running attempt
    QSet<QString> m_finishedPaths;
    TrafficGuardPolicy m_guard;  // what was last asked of the guard
    quint64 m_tickets = 0;
    quint64 m_ticket = 0;  // the request the machine waits on
    uint m_timers = 0;     // the running ones, a bit each
    QList<TunnelCommand> m_out;
};

}  // namespace tandrel
