#include "Platform/NetworkExtension/TunnelMachine.h"

#include "Platform/NetworkExtension/NetworkManagerFailure.h"

#include <QHostAddress>

#include <utility>

namespace tandrel {

namespace {

// NMVpnConnectionState
constexpr uint kVpnPrepare = 1;
constexpr uint kVpnIPConfigGet = 4;
constexpr uint kVpnActivated = 5;
constexpr uint kVpnFailed = 6;
constexpr uint kVpnDisconnected = 7;
// NMActiveConnectionState
constexpr uint kActiveDeactivating = 3;
constexpr uint kActiveDeactivated = 4;
// NMVpnPluginFailure: a refused login, reported after the plugin's connect failure, is the cause.
constexpr uint kPluginLoginFailed = 0;

bool isAddress(const QString& server)
{
    return !QHostAddress(server).isNull();
}

QString timerName(TunnelTimer timer)
{
    switch (timer) {
        case TunnelTimer::retry:
            return QStringLiteral("retry");
        case TunnelTimer::verdict:
            return QStringLiteral("verdict");
        case TunnelTimer::address:
            return QStringLiteral("address");
        case TunnelTimer::connect:
            return QStringLiteral("connect");
    }
    return {};
}

QString statusName(NEVPNStatus status)
{
    static const char* const names[] = {"invalid",   "disconnected", "connecting",
                                        "connected", "reasserting",  "disconnecting"};
    return QString::fromLatin1(names[static_cast<int>(status)]);
}

}  // namespace

QString TunnelCommand::toString() const
{
    switch (kind) {
        case Kind::setGuard: {
            if (policy.isEmpty()) {
                return QStringLiteral("guard off");
            }
            QStringList parts{QStringLiteral("guard")};
            if (policy.holdBack) {
                parts << QStringLiteral("hold") << policy.serverAddresses;
            }
            if (policy.excludeLocalNetworks) {
                parts << QStringLiteral("lan");
            }
            return parts.join(QLatin1Char(' '));
        }
        case Kind::resolve:
            return QStringLiteral("resolve ") + text;
        case Kind::pin:
            return QStringLiteral("pin ") + text;
        case Kind::activate:
            return QStringLiteral("activate");
        case Kind::deactivate:
            return QStringLiteral("deactivate ") + path;
        case Kind::startTimer:
            return QStringLiteral("timer %1 %2").arg(timerName(timer)).arg(milliseconds);
        case Kind::stopTimer:
            return QStringLiteral("stop %1").arg(timerName(timer));
        case Kind::report:
            return QStringLiteral("report ") + statusName(status) + (text.isEmpty() ? QString() : QStringLiteral(": ") + text);
    }
    return {};
}

QString TunnelMachine::stateName(TunnelState state)
{
    static const char* const names[] = {"idle",       "resolving", "guarding", "pinning",   "activating",
                                        "up",         "concluding", "retrying", "releasing", "serviceGone"};
    return QString::fromLatin1(names[static_cast<int>(state)]);
}

TrafficGuardPolicy TunnelMachine::policyFor(const QStringList& serverAddresses) const
{
    // The kill switch holds everything back but the server; IPv6 fails outside the tunnel
    // whatever it says, as the tunnel carries none.
    TrafficGuardPolicy policy;
    policy.holdBack = m_configuration.holdBack;
    policy.serverAddresses = policy.holdBack ? serverAddresses : QStringList{};
    policy.blockIPv6 = true;
    policy.excludeLocalNetworks = m_configuration.excludeLocalNetworks;
    return policy;
}

QList<TunnelCommand> TunnelMachine::handle(const TunnelEvent& event)
{
    using Kind = TunnelEvent::Kind;
    switch (event.kind) {
        case Kind::configured:
            configured(event.configuration);
            break;
        case Kind::start:
            start();
            break;
        case Kind::stop:
            stop();
            break;
        case Kind::resolved:
            if (m_state == TunnelState::resolving) {
                resolved(event.addresses);
            } else if (m_wanted && m_guard.isEmpty() && (m_state == TunnelState::activating || m_state == TunnelState::up)) {
                m_addresses = event.addresses;  // a tunnel taken over while it was up or on its way
                setGuard(policyFor(m_addresses));
            }
            break;
        case Kind::guardSet:
            guardSet(event);
            break;
        case Kind::pinned:
            pinned(event);
            break;
        case Kind::activateAnswered:
            activateAnswered(event);
            break;
        case Kind::deactivateFailed:
            if (!event.path.isEmpty() && event.path == m_activePath) {
                // NetworkManager knows no such connection: it is down already.
                attemptEnded(reasonUserDisconnected, event.text);
            }
            break;
        case Kind::adopted:
            if (m_activePath.isEmpty() && m_state == TunnelState::idle && !m_finishedPaths.contains(event.path)) {
                // A tunnel that is up under the kill switch stays wanted across our restarts.
                m_wanted = event.state >= kVpnPrepare && event.state <= kVpnActivated && m_configuration.onDemand;
                vpnState(event.path, event.state, 0);
            }
            break;
        case Kind::vpnState:
            vpnState(event.path, event.state, event.reason);
            break;
        case Kind::activeState:
            if (!event.path.isEmpty() && event.path == m_activePath) {
                if (event.state == kActiveDeactivating && !m_wanted) {
                    report(NEVPNStatus::disconnecting);
                } else if (event.state == kActiveDeactivated) {
                    // Normally the VPN state has said so already; this catches a connection
                    // torn down before its VPN part ever spoke.
                    attemptEnded(event.reason, event.text);
                }
            }
            break;
        case Kind::pluginFailure:
            if (m_state == TunnelState::activating || m_state == TunnelState::up ||
                m_state == TunnelState::concluding) {
                if (!m_pluginFailure || *m_pluginFailure != kPluginLoginFailed) {
                    m_pluginFailure = event.state;
                }
            }
            break;
        case Kind::timer:
            if (m_timers & bit(event.timer)) {  // else stopped meanwhile
                m_timers &= ~bit(event.timer);
                timerFired(event.timer);
            }
            break;
        case Kind::networkManagerGone:
            // Its object paths go with it, and with them the profile as far as we can tell
            // ("invalid" at rest) until it is found again; the rest is kept for getting back.
            m_networkManagerPresent = false;
            m_configuration.present = false;
            m_finishedPaths.clear();
            if (!m_activePath.isEmpty() || m_state == TunnelState::activating || m_state == TunnelState::pinning) {
                m_ticket = 0;
                attemptEnded(reasonServiceStopped, QStringLiteral("NetworkManager stopped"));
            }
            break;
        case Kind::networkManagerBack:
            networkManagerBack();
            break;
        case Kind::guardFound:
            guardFound(event.policy);
            break;
        case Kind::removing:
            // Removing the profile takes a running tunnel down; that is no drop to come back from.
            m_wanted = false;
            m_recovering = false;
            stopTimer(TunnelTimer::retry);
            break;
        case Kind::profileRemoved:
            finishActivePath();
            release({});
            m_configuration = {};
            report(NEVPNStatus::invalid);
            break;
    }
    return std::exchange(m_out, {});
}

void TunnelMachine::configured(const TunnelConfiguration& configuration)
{
    m_configuration = configuration;
    m_pinned = configuration.pinnedAddress;
    if (!configuration.present) {
        if (!m_wanted) {
            report(NEVPNStatus::invalid);
        }
    } else if (m_status == NEVPNStatus::invalid) {
        report(NEVPNStatus::disconnected);
    }
}

void TunnelMachine::start()
{
    if (m_state == TunnelState::releasing) {
        return;  // taken down on the user's word; a start now would be undone by it
    }
    if (m_state != TunnelState::idle) {
        // Up or on its way (perhaps started by another tool): from now on it is ours to keep.
        m_wanted = true;
        if (!m_guard.isEmpty()) {
            return;
        }
        if (!m_pinned.isEmpty() || isAddress(m_configuration.server)) {
            m_addresses = {m_pinned.isEmpty() ? m_configuration.server : m_pinned};
            setGuard(policyFor(m_addresses));
        } else {
            // It reaches the server by name: the guard lets IKE/ESP by once the addresses are known.
            m_out.append({.kind = TunnelCommand::Kind::resolve, .text = m_configuration.server});
        }
        return;
    }
    m_wanted = true;
    m_recovering = false;
    m_retryDelayMs = kFirstRetryMs;
    m_addressIndex = 0;
    m_pluginFailure.reset();
    report(NEVPNStatus::connecting);
    startTimer(TunnelTimer::connect, kConnectDeadlineMs);
    if (isAddress(m_configuration.server)) {
        resolved({m_configuration.server});
        return;
    }
    // Looked up before anything is held back: once the guard holds, a lookup outside the
    // tunnel may fail, and the profile then reaches the server by address alone.
    m_state = TunnelState::resolving;
    TunnelCommand resolve;
    resolve.kind = TunnelCommand::Kind::resolve;
    resolve.text = m_configuration.server;
    m_out.append(resolve);
}

void TunnelMachine::resolved(const QStringList& addresses)
{
    if (addresses.isEmpty()) {
        giveUp(NetworkManagerFailure::nameNotResolved());
        return;
    }
    m_addresses = addresses;
    m_addressIndex = 0;
    m_state = TunnelState::guarding;
    setGuard(policyFor(addresses));
    m_out.last().ticket = nextTicket();
}

void TunnelMachine::guardSet(const TunnelEvent& event)
{
    if (!awaits(event) || m_state != TunnelState::guarding) {
        return;
    }
    m_ticket = 0;
    if (!event.text.isEmpty()) {
        giveUp(event.text);
        return;
    }
    pinOrActivate();
}

void TunnelMachine::pinOrActivate()
{
    const QString address = m_addresses.value(m_addressIndex);
    if (address.isEmpty() || address == m_pinned || address == m_configuration.server) {
        activate();
        return;
    }
    m_state = TunnelState::pinning;
    TunnelCommand pin;
    pin.kind = TunnelCommand::Kind::pin;
    pin.text = address;
    pin.ticket = nextTicket();
    m_out.append(pin);
}

void TunnelMachine::pinned(const TunnelEvent& event)
{
    if (!awaits(event) || m_state != TunnelState::pinning) {
        return;
    }
    m_ticket = 0;
    if (!event.text.isEmpty()) {
        // Under the guard, a name the profile still holds would need a lookup that fails.
        if (m_configuration.holdBack) {
            giveUp(event.text);
            return;
        }
    } else {
        m_pinned = m_addresses.value(m_addressIndex);
    }
    activate();
}

void TunnelMachine::activate()
{
    m_pluginFailure.reset();
    if (!m_networkManagerPresent) {
        m_state = TunnelState::serviceGone;  // tried again once it is back
        return;
    }
    m_state = TunnelState::activating;
    TunnelCommand activate;
    activate.kind = TunnelCommand::Kind::activate;
    activate.ticket = nextTicket();
    m_out.append(activate);
    startTimer(TunnelTimer::address, kAddressDeadlineMs);
}

void TunnelMachine::activateAnswered(const TunnelEvent& event)
{
    if (!awaits(event)) {
        if (!event.path.isEmpty() && event.path != m_activePath) {
            // An attempt given up on (stopped, or another address tried) while on its way.
            m_finishedPaths.insert(event.path);
            requestDeactivation(event.path);
        }
        return;
    }
    m_ticket = 0;
    if (event.path.isEmpty()) {
        attemptEnded(reasonUnknown, event.text);
        return;
    }
    if (m_activePath.isEmpty() && !m_finishedPaths.contains(event.path)) {
        m_activePath = event.path;  // unless its state changes came first
    }
}

void TunnelMachine::vpnState(const QString& path, uint state, uint reason)
{
    if (path.isEmpty() || m_finishedPaths.contains(path)) {
        return;
    }
    if (path != m_activePath) {
        // A newer attempt of ours, or a tunnel of our profile someone else started.
        const bool canFollow = m_state == TunnelState::idle || m_state == TunnelState::activating ||
                               m_state == TunnelState::retrying || m_state == TunnelState::serviceGone;
        if (!m_activePath.isEmpty() || !canFollow) {
            return;
        }
        m_activePath = path;
        if (m_state != TunnelState::activating) {
            stopTimer(TunnelTimer::retry);
            m_state = TunnelState::activating;
        }
    }
    if (state == kVpnFailed || state == kVpnDisconnected) {
        attemptEnded(reason, NetworkManagerFailure::reasonText(reason));
        return;
    }
    if (m_state == TunnelState::releasing) {
        return;  // on its way down
    }
    if (state >= kVpnPrepare && state <= kVpnIPConfigGet) {
        m_state = TunnelState::activating;
        report(liveStatus());
    } else if (state == kVpnActivated) {
        m_state = TunnelState::up;
        m_recovering = false;
        m_retryDelayMs = kFirstRetryMs;
        stopTimer(TunnelTimer::address);
        stopTimer(TunnelTimer::connect);
        report(NEVPNStatus::connected);
    }
}

void TunnelMachine::timerFired(TunnelTimer timer)
{
    switch (timer) {
        case TunnelTimer::retry:
            if (m_state != TunnelState::retrying) {
                return;
            }
            if (!m_networkManagerPresent) {
                m_state = TunnelState::serviceGone;
            } else if (!m_configuration.present) {
                conclude(reasonConnectionRemoved, NetworkManagerFailure::reasonText(reasonConnectionRemoved), true);
            } else {
                pinOrActivate();
            }
            return;
        case TunnelTimer::verdict:
            if (m_state == TunnelState::concluding) {
                conclude(m_verdict.reason, m_verdict.text, m_verdict.dropped);
            }
            return;
        case TunnelTimer::address:
            if (m_state == TunnelState::activating) {
                tryNextAddress();
            }
            return;
        case TunnelTimer::connect:
            switch (m_state) {
                case TunnelState::resolving:
                    giveUp(NetworkManagerFailure::nameNotResolved());
                    return;
                case TunnelState::guarding:
                case TunnelState::pinning:
                    giveUp(NetworkManagerFailure::networkManagerDidNotAnswer());
                    return;
                case TunnelState::activating:
                case TunnelState::concluding:
                    giveUp(m_ticket != 0 ? NetworkManagerFailure::networkManagerDidNotAnswer()
                                         : NetworkManagerFailure::serverDidNotAnswer());
                    return;
                default:
                    return;
            }
    }
}

void TunnelMachine::tryNextAddress()
{
    if (m_addressIndex + 1 < m_addresses.size()) {
        // This address stays silent: leave the attempt and try the next one.
        abandonAttempt();
        ++m_addressIndex;
        pinOrActivate();
        return;
    }
    if (m_recovering) {
        giveUp(NetworkManagerFailure::serverDidNotAnswer());  // and tried again, from the first address
    }
    // A first connect at its last address waits for NetworkManager's verdict, or its own deadline.
}

void TunnelMachine::networkManagerBack()
{
    m_networkManagerPresent = true;
    if (m_state == TunnelState::serviceGone) {
        pinOrActivate();
    }
}

void TunnelMachine::guardFound(const std::optional<TrafficGuardPolicy>& left)
{
    const TrafficGuardPolicy found = left.value_or(TrafficGuardPolicy{});
    const bool tunnelUp = !m_activePath.isEmpty();
    const bool stillWanted =
        !found.isEmpty() && m_configuration.present && (tunnelUp || (found.holdBack && m_configuration.onDemand));
    if (!stillWanted) {
        if (left) {
            setGuard({});  // the user had ended it, or its profile is gone
        }
        return;
    }
    // Set it again: a link activated while we were gone lost it.
    m_addresses = found.serverAddresses;
    m_addressIndex = 0;
    setGuard(found);
    if (tunnelUp) {
        if (found.holdBack && m_wanted && m_status == NEVPNStatus::connecting) {
            m_recovering = true;  // an attempt to get back a dropped tunnel, still on its way
            report(NEVPNStatus::reasserting);
        }
        return;
    }
    // The tunnel dropped while we were gone: get it back, and say that traffic waits for it.
    m_wanted = true;
    m_recovering = true;
    report(NEVPNStatus::reasserting);
    pinOrActivate();
}

void TunnelMachine::attemptEnded(uint reason, const QString& text)
{
    const bool dropped = m_state == TunnelState::up || m_recovering;
    finishActivePath();
    stopTimer(TunnelTimer::address);
    if (reason == reasonUserDisconnected && m_wanted) {
        m_wanted = false;  // taken down by the user through another tool: leave it down
    }
    const bool loginRefusalKnown = m_pluginFailure && *m_pluginFailure == kPluginLoginFailed;
    if (m_wanted && (reason == reasonUnknown || reason == reasonNone) && !loginRefusalKnown) {
        // NetworkManager may act on the plugin's first word before its last one (a refused
        // login) has arrived; give it a moment before saying why the attempt failed.
        m_state = TunnelState::concluding;
        m_verdict = {reason, text, dropped};
        startTimer(TunnelTimer::verdict, kVerdictGraceMs);
        return;
    }
    conclude(reason, text, dropped);
}

void TunnelMachine::conclude(uint givenReason, const QString& givenText, std::optional<bool> droppedOverride)
{
    const bool dropped = droppedOverride.value_or(m_state == TunnelState::up || m_recovering);
    const NetworkManagerFailure failure = NetworkManagerFailure::describe(givenReason, givenText, m_pluginFailure);
    m_pluginFailure.reset();
    if (!m_wanted) {
        release({});
        return;
    }
    if (failure.kind == NetworkManagerFailure::Kind::serverUnreachable && m_addressIndex + 1 < m_addresses.size()) {
        ++m_addressIndex;  // the server may answer at its next address
        pinOrActivate();
        return;
    }
    // A first connect refused, or without a password, would be no better on the next try.
    // A tunnel that was up had its login accepted moments ago: a refusal now is a server
    // just back on its feet, a missing password a keyring locked meanwhile. Under the kill
    // switch it stays wanted, its guard stays, and it is tried again until the user ends it.
    const bool refused = failure.reason == reasonLoginFailed || failure.reason == reasonNoSecrets;
    const bool hopeless = failure.reason == reasonConnectionRemoved || (refused && !dropped);
    if (m_configuration.onDemand && dropped && !hopeless) {
        m_recovering = true;
        m_addressIndex = 0;
        m_state = TunnelState::retrying;
        stopTimer(TunnelTimer::connect);
        report(NEVPNStatus::reasserting, failure.text);
        scheduleRetry();
        return;
    }
    release(failure.text);
}

void TunnelMachine::giveUp(const QString& sentence)
{
    const bool dropped = m_state == TunnelState::up || m_recovering;
    abandonAttempt();
    m_pluginFailure.reset();  // the sentence says what happened, whatever the plugin said
    stopTimer(TunnelTimer::address);
    stopTimer(TunnelTimer::verdict);
    conclude(reasonUnknown, sentence, dropped);
}

void TunnelMachine::scheduleRetry()
{
    startTimer(TunnelTimer::retry, m_retryDelayMs);
    m_retryDelayMs = std::min(m_retryDelayMs * 2, kLongestRetryMs);
}

void TunnelMachine::release(const QString& reason)
{
    m_wanted = false;
    m_recovering = false;
    m_ticket = 0;
    m_state = TunnelState::idle;
    for (const TunnelTimer timer : {TunnelTimer::retry, TunnelTimer::verdict, TunnelTimer::address, TunnelTimer::connect}) {
        stopTimer(timer);
    }
    setGuard({});
    report(restingStatus(), reason);
}

void TunnelMachine::stop()
{
    m_wanted = false;
    m_recovering = false;
    if (m_activePath.isEmpty()) {
        release({});  // an activation on its way is taken down when its answer comes
        return;
    }
    m_state = TunnelState::releasing;
    m_ticket = 0;
    for (const TunnelTimer timer : {TunnelTimer::retry, TunnelTimer::verdict, TunnelTimer::address, TunnelTimer::connect}) {
        stopTimer(timer);
    }
    report(NEVPNStatus::disconnecting);
    requestDeactivation(m_activePath);
}

void TunnelMachine::requestDeactivation(const QString& path)
{
    TunnelCommand command;
    command.kind = TunnelCommand::Kind::deactivate;
    command.path = path;
    m_out.append(command);
}

void TunnelMachine::abandonAttempt()
{
    if (!m_activePath.isEmpty()) {
        requestDeactivation(m_activePath);
    }
    finishActivePath();
    m_ticket = 0;
}

void TunnelMachine::finishActivePath()
{
    if (!m_activePath.isEmpty()) {
        // NetworkManager reports an end more than once (VPN state, then the connection's).
        m_finishedPaths.insert(std::exchange(m_activePath, QString()));
    }
}

void TunnelMachine::setGuard(const TrafficGuardPolicy& policy)
{
    m_guard = policy;
    TunnelCommand command;
    command.kind = TunnelCommand::Kind::setGuard;
    command.policy = policy;
    m_out.append(command);
}

void TunnelMachine::report(NEVPNStatus status, const QString& reason)
{
    // While reasserting, each failed attempt says why, though the status stays.
    if (std::exchange(m_status, status) == status && (status != NEVPNStatus::reasserting || reason.isEmpty())) {
        return;
    }
    TunnelCommand command;
    command.kind = TunnelCommand::Kind::report;
    command.status = status;
    command.text = reason;
    m_out.append(command);
}

void TunnelMachine::startTimer(TunnelTimer timer, int milliseconds)
{
    m_timers |= bit(timer);
    TunnelCommand command;
    command.kind = TunnelCommand::Kind::startTimer;
    command.timer = timer;
    command.milliseconds = milliseconds;
    m_out.append(command);
}

void TunnelMachine::stopTimer(TunnelTimer timer)
{
    if (!(m_timers & bit(timer))) {
        return;
    }
    m_timers &= ~bit(timer);
    TunnelCommand command;
    command.kind = TunnelCommand::Kind::stopTimer;
    command.timer = timer;
    m_out.append(command);
}

}  // namespace tandrel
