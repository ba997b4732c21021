#include "Platform/NetworkExtension/NetworkManagerSession.h"

#include "Platform/Diagnostics.h"
#include "Platform/NetworkExtension/NetworkManagerDBus.h"
#include "Platform/NetworkExtension/NetworkManagerFailure.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QHostAddress>
#include <QHostInfo>
#include <QUuid>

#include <pwd.h>
#include <unistd.h>

namespace tandrel {

namespace {

using namespace nmdbus;

const QString kSettingsPath = QStringLiteral("/org/freedesktop/NetworkManager/Settings");
const QString kSettingsInterface = QStringLiteral("org.freedesktop.NetworkManager.Settings");
const QString kConnectionInterface = QStringLiteral("org.freedesktop.NetworkManager.Settings.Connection");
const QString kVpnInterface = QStringLiteral("org.freedesktop.NetworkManager.VPN.Connection");
const QString kPluginInterface = QStringLiteral("org.freedesktop.NetworkManager.VPN.Plugin");
const QString kBusService = QStringLiteral("org.freedesktop.DBus");

Error backendError(NetworkManagerVPNBackend::ErrorCode code, const QString& description)
{
    return Error::withDescription(NetworkManagerVPNBackend::errorDomain, code, description);
}

// The login name the profile is kept private to; nullopt when the system cannot say it.
std::optional<QString> loginName()
{
    const passwd* entry = getpwuid(getuid());
    if (!entry || !entry->pw_name || !*entry->pw_name) {
        return std::nullopt;
    }
    return QString::fromLocal8Bit(entry->pw_name);
}

// What went wrong with a call, in words for the user.
QString failureOf(const QDBusMessage& reply)
{
    const QString name = reply.errorName();
    if (name == QLatin1String("org.freedesktop.DBus.Error.NoReply") ||
        name == QLatin1String("org.freedesktop.DBus.Error.Timeout") || reply.type() == QDBusMessage::InvalidMessage) {
        return NetworkManagerFailure::networkManagerDidNotAnswer();
    }
    return reply.errorMessage().isEmpty() ? NetworkManagerFailure::networkManagerDidNotAnswer() : reply.errorMessage();
}

TunnelConfiguration tunnelConfiguration(const std::optional<NEVPNConfiguration>& configuration,
                                        const QString& pinnedAddress)
{
    TunnelConfiguration tunnel;
    if (!configuration) {
        return tunnel;
    }
    tunnel.present = true;
    tunnel.onDemand = configuration->isOnDemandEnabled && !configuration->onDemandRules.empty();
    if (const std::optional<NEVPNProtocolIKEv2>& protocol = configuration->protocolConfiguration) {
        tunnel.server = protocol->serverAddress;
        tunnel.holdBack = protocol->includeAllNetworks;
        tunnel.excludeLocalNetworks = protocol->excludeLocalNetworks;
    }
    tunnel.pinnedAddress = pinnedAddress;
    return tunnel;
}

}  // namespace

NetworkManagerVPNBackend::Session::Session(std::unique_ptr<TrafficGuard> guard) : m_guard(std::move(guard))
{
    NetworkManagerProfile::registerDBusTypes();
    for (size_t i = 0; i < m_timers.size(); ++i) {
        m_timers[i].setSingleShot(true);
        connect(&m_timers[i], &QTimer::timeout, this,
                [this, i] { handle({.kind = TunnelEvent::Kind::timer, .timer = static_cast<TunnelTimer>(i)}); });
    }
    m_agentTimer.setSingleShot(true);
    connect(&m_agentTimer, &QTimer::timeout, this, &Session::registerAgent);
    m_bus.connect(kService, QString(), kVpnInterface, QStringLiteral("VpnStateChanged"), this,
                  SLOT(vpnStateChanged(QDBusMessage)));
    m_bus.connect(kService, QString(), kActiveInterface, QStringLiteral("StateChanged"), this,
                  SLOT(activeStateChanged(QDBusMessage)));
    // The plugin says why it failed (a refused login) before NetworkManager, whose own
    // state change often carries no reason.
    m_bus.connect(NetworkManagerProfile::serviceType, QString(), kPluginInterface, QStringLiteral("Failure"), this,
                  SLOT(pluginFailed(QDBusMessage)));
    auto* watcher = new QDBusServiceWatcher(
        kService, m_bus, QDBusServiceWatcher::WatchForRegistration | QDBusServiceWatcher::WatchForUnregistration, this);
    connect(watcher, &QDBusServiceWatcher::serviceRegistered, this, &Session::networkManagerAppeared);
    connect(watcher, &QDBusServiceWatcher::serviceUnregistered, this, &Session::networkManagerVanished);
    QDBusMessage hasOwner = QDBusMessage::createMethodCall(kBusService, QStringLiteral("/org/freedesktop/DBus"),
                                                           kBusService, QStringLiteral("NameHasOwner"));
    hasOwner.setArguments({kService});
    auto* pending = new QDBusPendingCallWatcher(m_bus.asyncCall(hasOwner, kAnswerDeadlineMs), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this, pending] {
        pending->deleteLater();
        if (pending->reply().type() == QDBusMessage::ReplyMessage) {
            m_networkManagerRegistered = pending->reply().arguments().value(0).toBool();
        }
    });
    networkManagerAppeared();
}

NetworkManagerVPNBackend::Session::~Session()
{
    NetworkManagerSecretAgent::shared().setProfile(this, {});
}

void NetworkManagerVPNBackend::Session::ask(const QDBusMessage& message, int deadlineMs,
                                            std::function<void(const QDBusMessage&)> done)
{
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(message, deadlineMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [watcher, done = std::move(done)] {
        watcher->deleteLater();
        done(watcher->reply());
    });
}

void NetworkManagerVPNBackend::Session::readProperty(const QString& path, const QString& interface,
                                                     const QString& name, std::function<void(const QVariant&)> done)
{
    ask(methodCall(path, kPropertiesInterface, QStringLiteral("Get"), {interface, name}), kAnswerDeadlineMs,
        [done = std::move(done)](const QDBusMessage& reply) {
            done(reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()
                     ? reply.arguments().constFirst().value<QDBusVariant>().variant()
                     : QVariant());
        });
}

void NetworkManagerVPNBackend::Session::handle(const TunnelEvent& event)
{
    // A command carried out may answer at once; its event waits for the commands before it.
    m_queued.append(event);
    if (std::exchange(m_handling, true)) {
        return;
    }
    while (!m_queued.isEmpty()) {
        for (const TunnelCommand& command : m_machine.handle(m_queued.takeFirst())) {
            carryOut(command);
        }
    }
    m_handling = false;
}

void NetworkManagerVPNBackend::Session::carryOut(const TunnelCommand& command)
{
    using Kind = TunnelCommand::Kind;
    switch (command.kind) {
        case Kind::setGuard:
            m_guard->set(command.policy, [this, ticket = command.ticket](std::optional<Error> error) {
                if (ticket != 0) {
                    handle({.kind = TunnelEvent::Kind::guardSet,
                            .ticket = ticket,
                            .text = error ? error->localizedDescription() : QString()});
                }
            });
            return;
        case Kind::resolve:
            QHostInfo::lookupHost(command.text, this, [this](const QHostInfo& info) {
                QStringList addresses;
                for (const QHostAddress& address : info.addresses()) {
                    if (!addresses.contains(address.toString())) {
                        addresses.append(address.toString());  // in the resolver's order
                    }
                }
                handle({.kind = TunnelEvent::Kind::resolved, .addresses = addresses});
            });
            return;
        case Kind::pin:
            pin(command.text, command.ticket);
            return;
        case Kind::activate:
            activate(command.ticket);
            return;
        case Kind::deactivate:
            ask(methodCall(kManagerPath, kManagerInterface, QStringLiteral("DeactivateConnection"),
                           {QVariant::fromValue(QDBusObjectPath(command.path))}),
                kChangeDeadlineMs, [this, path = command.path](const QDBusMessage& reply) {
                    if (reply.type() != QDBusMessage::ReplyMessage) {
                        handle({.kind = TunnelEvent::Kind::deactivateFailed, .path = path, .text = failureOf(reply)});
                    }
                });
            return;
        case Kind::startTimer:
            m_timers[static_cast<size_t>(command.timer)].start(command.milliseconds);
            return;
        case Kind::stopTimer:
            m_timers[static_cast<size_t>(command.timer)].stop();
            return;
        case Kind::report:
            if (!command.text.isEmpty()) {
                printLine(QStringLiteral("VPN connection failed: ") + command.text);
            }
            if (const StatusHandler handler = m_handler) {  // a copy: the handler may set another
                handler(command.status, command.text);
            }
            return;
    }
}

void NetworkManagerVPNBackend::Session::pin(const QString& address, quint64 ticket)
{
    const QString profile = m_profilePath;
    auto answer = [this, ticket](const QString& failure) {
        handle({.kind = TunnelEvent::Kind::pinned, .ticket = ticket, .text = failure});
    };
    if (profile.isEmpty()) {
        answer(NetworkManagerFailure::reasonText(reasonConnectionRemoved));
        return;
    }
    ask(methodCall(profile, kConnectionInterface, QStringLiteral("GetSettings")), kAnswerDeadlineMs,
        [this, profile, address, answer](const QDBusMessage& reply) {
            if (reply.type() != QDBusMessage::ReplyMessage) {
                answer(failureOf(reply));
                return;
            }
            NMVariantMapMap settings = settingsFromReply(reply);
            if (!NetworkManagerProfile::pinServerAddress(settings, address)) {
                answer({});  // pinned already, or checked by its address alone
                return;
            }
            ask(methodCall(profile, kConnectionInterface, QStringLiteral("Update"), {QVariant::fromValue(settings)}),
                kChangeDeadlineMs, [answer](const QDBusMessage& updated) {
                    answer(updated.type() == QDBusMessage::ReplyMessage ? QString() : failureOf(updated));
                });
        });
}

void NetworkManagerVPNBackend::Session::activate(quint64 ticket)
{
    if (m_profilePath.isEmpty()) {
        handle({.kind = TunnelEvent::Kind::activateAnswered,
                .ticket = ticket,
                .text = NetworkManagerFailure::reasonText(reasonConnectionRemoved)});
        return;
    }
    const QDBusObjectPath none(QStringLiteral("/"));
    // No device named: NetworkManager puts the VPN on the link that has the default route.
    ask(methodCall(kManagerPath, kManagerInterface, QStringLiteral("ActivateConnection"),
                   {QVariant::fromValue(QDBusObjectPath(m_profilePath)), QVariant::fromValue(none),
                    QVariant::fromValue(none)}),
        kChangeDeadlineMs, [this, ticket](const QDBusMessage& reply) {
            if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
                handle({.kind = TunnelEvent::Kind::activateAnswered, .ticket = ticket, .text = failureOf(reply)});
                return;
            }
            const QString path = reply.arguments().constFirst().value<QDBusObjectPath>().path();
            m_knownActive.insert(path, true);
            const bool heard = m_heardFrom.contains(path);
            handle({.kind = TunnelEvent::Kind::activateAnswered, .ticket = ticket, .path = path});
            if (heard || m_machine.activePath() != path) {
                return;  // its state came by signal already, or the attempt is over
            }
            readProperty(path, kVpnInterface, QStringLiteral("VpnState"), [this, path](const QVariant& state) {
                if (state.isValid() && !m_heardFrom.contains(path)) {
                    handle({.kind = TunnelEvent::Kind::vpnState, .path = path, .state = state.toUInt()});
                }
            });
        });
}

void NetworkManagerVPNBackend::Session::networkManagerAppeared()
{
    m_networkManagerRegistered = true;
    m_agentDelayMs = TunnelMachine::kFirstRetryMs;
    registerAgent();
    findProfile([this](const std::optional<Found>& found, const QString& failure) {
        if (!failure.isEmpty()) {
            if (m_networkManagerGone && m_networkManagerRegistered) {
                QTimer::singleShot(TunnelMachine::kFirstRetryMs, this,
                                   &Session::networkManagerAppeared);  // back, but still starting
            }
            return;
        }
        adoptProfile(found);
        if (std::exchange(m_networkManagerGone, false)) {
            handle({.kind = TunnelEvent::Kind::networkManagerBack});
        }
        adoptActiveConnection([this] { recoverGuard(); });
    });
}

// Without our agent, NetworkManager has no password for the next (re)connect. Just back on
// the bus it may not take agents yet (its agent manager comes later under load): ask again.
void NetworkManagerVPNBackend::Session::registerAgent()
{
    m_agentTimer.stop();
    if (!m_networkManagerRegistered) {
        return;  // asked again when it comes back
    }
    NetworkManagerSecretAgent::shared().registerWithNetworkManager(this, [this](bool taken) {
        if (!taken && m_networkManagerRegistered) {
            m_agentTimer.start(m_agentDelayMs);
            m_agentDelayMs = std::min(m_agentDelayMs * 2, TunnelMachine::kLongestRetryMs);
        }
    });
}

void NetworkManagerVPNBackend::Session::networkManagerVanished()
{
    // Its object paths go with it: in the next instance the same path names another
    // connection (activating it would bring up some other profile).
    m_networkManagerRegistered = false;
    m_networkManagerGone = true;
    m_profilePath.clear();
    m_knownActive.clear();
    m_unchecked.clear();
    m_heardFrom.clear();
    handle({.kind = TunnelEvent::Kind::networkManagerGone});
}

void NetworkManagerVPNBackend::Session::findProfile(FindCompletion done)
{
    ask(methodCall(kSettingsPath, kSettingsInterface, QStringLiteral("ListConnections")), kAnswerDeadlineMs,
        [this, done = std::move(done)](const QDBusMessage& list) {
            if (list.type() != QDBusMessage::ReplyMessage || list.arguments().isEmpty()) {
                done(std::nullopt, failureOf(list));
                return;
            }
            const QList<QDBusObjectPath> paths = objectPaths(list.arguments().constFirst());
            // Each profile is read at once; the first of ours in NetworkManager's order wins.
            struct Search {
                QList<std::optional<Found>> ours;
                qsizetype outstanding = 0;
                FindCompletion done;
            };
            auto search = std::make_shared<Search>();
            search->ours.resize(paths.size());
            search->outstanding = paths.size();
            search->done = done;
            if (paths.isEmpty()) {
                done(std::nullopt, {});
                return;
            }
            for (qsizetype i = 0; i < paths.size(); ++i) {
                ask(methodCall(paths[i].path(), kConnectionInterface, QStringLiteral("GetSettings")),
                    kAnswerDeadlineMs, [search, i, path = paths[i].path()](const QDBusMessage& reply) {
                        // Gone meanwhile, or not ours to read: not ours.
                        if (reply.type() == QDBusMessage::ReplyMessage) {
                            NMVariantMapMap settings = settingsFromReply(reply);
                            if (NetworkManagerProfile::isOurs(settings)) {
                                search->ours[i] = Found{path, std::move(settings)};
                            }
                        }
                        if (--search->outstanding == 0) {
                            for (const std::optional<Found>& found : search->ours) {
                                if (found) {
                                    search->done(found, {});
                                    return;
                                }
                            }
                            search->done(std::nullopt, {});
                        }
                    });
            }
        });
}

void NetworkManagerVPNBackend::Session::adoptProfile(const std::optional<Found>& found)
{
    m_profilePath = found ? found->path : QString();
    m_configuration = found ? NetworkManagerProfile::configurationFrom(found->settings) : std::nullopt;
    NetworkManagerSecretAgent::shared().setProfile(this,
                                                   found ? NetworkManagerProfile::uuidOf(found->settings) : QString());
    handle({.kind = TunnelEvent::Kind::configured,
            .configuration = tunnelConfiguration(
                m_configuration, found ? NetworkManagerProfile::pinnedAddress(found->settings) : QString())});
}

// A tunnel of our profile that is already up (started before we ran, or by another tool).
void NetworkManagerVPNBackend::Session::adoptActiveConnection(std::function<void()> then)
{
    if (!m_machine.activePath().isEmpty() || m_machine.state() != TunnelState::idle || m_profilePath.isEmpty()) {
        then();
        return;
    }
    readProperty(kManagerPath, kManagerInterface, QStringLiteral("ActiveConnections"),
                 [this, then = std::move(then)](const QVariant& value) {
                     const QList<QDBusObjectPath> paths = objectPaths(value);
                     auto remaining = std::make_shared<qsizetype>(paths.size());
                     auto adopted = std::make_shared<bool>(false);
                     if (paths.isEmpty()) {
                         then();
                         return;
                     }
                     for (const QDBusObjectPath& active : paths) {
                         checkOurs(active.path(), [this, path = active.path(), remaining, adopted, then](bool ours) {
                             auto finishOne = [remaining, then] {
                                 if (--*remaining == 0) {
                                     then();
                                 }
                             };
                             if (!ours || std::exchange(*adopted, true)) {
                                 finishOne();
                                 return;
                             }
                             readProperty(path, kVpnInterface, QStringLiteral("VpnState"),
                                          [this, path, finishOne](const QVariant& state) {
                                              handle({.kind = TunnelEvent::Kind::adopted,
                                                      .path = path,
                                                      .state = state.toUInt()});
                                              finishOne();
                                          });
                         });
                     }
                 });
}

void NetworkManagerVPNBackend::Session::checkOurs(const QString& path, std::function<void(bool)> done)
{
    const auto known = m_knownActive.constFind(path);
    if (known != m_knownActive.constEnd()) {
        done(*known);
        return;
    }
    readProperty(path, kActiveInterface, QStringLiteral("Connection"),
                 [this, path, done = std::move(done)](const QVariant& connection) {
                     const QString profile = connection.value<QDBusObjectPath>().path();
                     if (profile.isEmpty()) {
                         done(false);  // gone already; asked again should it speak once more
                         return;
                     }
                     const bool ours = !m_profilePath.isEmpty() && profile == m_profilePath;
                     m_knownActive.insert(path, ours);
                     done(ours);
                 });
}

void NetworkManagerVPNBackend::Session::recoverGuard()
{
    if (std::exchange(m_recovered, true)) {
        return;
    }
    m_guard->query([this](std::optional<TrafficGuardPolicy> left, std::optional<Error>) {
        handle({.kind = TunnelEvent::Kind::guardFound, .policy = left});
    });
}

void NetworkManagerVPNBackend::Session::load(LoadCompletion completion)
{
    findProfile([this, completion = std::move(completion)](const std::optional<Found>& found, const QString& failure) {
        if (!failure.isEmpty()) {
            completion(std::nullopt, backendError(requestFailed, failure));
            return;
        }
        adoptProfile(found);
        completion(m_configuration, std::nullopt);
        if (found) {
            adoptActiveConnection([] {});
        }
    });
}

void NetworkManagerVPNBackend::Session::save(const NEVPNConfiguration& configuration, Completion completion)
{
    // A profile without an owner would be visible to, and usable by, every user.
    const std::optional<QString> owner = loginName();
    if (!owner) {
        QTimer::singleShot(0, this, [completion = std::move(completion)] {
            completion(backendError(requestFailed,
                                    QStringLiteral("Your user name could not be found, so the VPN profile could not be "
                                                   "kept private to you; nothing was saved.")));
        });
        return;
    }
    findProfile([this, configuration, owner, completion = std::move(completion)](const std::optional<Found>& found,
                                                                                const QString& failure) {
        if (!failure.isEmpty()) {
            completion(backendError(requestFailed, failure));
            return;
        }
        const QString uuid =
            found ? NetworkManagerProfile::uuidOf(found->settings) : QUuid::createUuid().toString(QUuid::WithoutBraces);
        const QVariant settings = QVariant::fromValue(NetworkManagerProfile::settingsFor(configuration, uuid, *owner));
        const QDBusMessage request =
            found ? methodCall(found->path, kConnectionInterface, QStringLiteral("Update"), {settings})
                  : methodCall(kSettingsPath, kSettingsInterface, QStringLiteral("AddConnection"), {settings});
        const QString knownPath = found ? found->path : QString();
        ask(request, kChangeDeadlineMs,
            [this, completion, configuration, uuid, knownPath](const QDBusMessage& reply) {
                if (reply.type() != QDBusMessage::ReplyMessage) {
                    completion(backendError(requestFailed, failureOf(reply)));
                    return;
                }
                m_profilePath = knownPath.isEmpty() && !reply.arguments().isEmpty()
                                    ? reply.arguments().constFirst().value<QDBusObjectPath>().path()
                                    : knownPath;
                m_configuration = configuration;
                NetworkManagerSecretAgent::shared().setProfile(this, uuid);
                // Saved with the name: the next start pins an address again.
                handle({.kind = TunnelEvent::Kind::configured, .configuration = tunnelConfiguration(configuration, {})});
                completion(std::nullopt);
            });
    });
}

void NetworkManagerVPNBackend::Session::remove(Completion completion)
{
    findProfile([this, completion = std::move(completion)](const std::optional<Found>& found, const QString& failure) {
        if (!failure.isEmpty()) {
            completion(backendError(requestFailed, failure));
            return;
        }
        if (!found) {
            adoptProfile(std::nullopt);
            completion(std::nullopt);
            return;
        }
        handle({.kind = TunnelEvent::Kind::removing});
        ask(methodCall(found->path, kConnectionInterface, QStringLiteral("Delete")), kChangeDeadlineMs,
            [this, completion](const QDBusMessage& reply) {
                if (reply.type() != QDBusMessage::ReplyMessage) {
                    completion(backendError(requestFailed, failureOf(reply)));
                    return;
                }
                m_profilePath.clear();
                m_configuration.reset();
                NetworkManagerSecretAgent::shared().setProfile(this, {});
                handle({.kind = TunnelEvent::Kind::profileRemoved});
                completion(std::nullopt);
            });
    });
}

std::optional<Error> NetworkManagerVPNBackend::Session::startableError() const
{
    if (!m_bus.isConnected() || !m_networkManagerRegistered) {
        return backendError(serviceUnavailable, QStringLiteral("NetworkManager is not running on the system bus."));
    }
    if (m_profilePath.isEmpty() || !m_configuration || !m_configuration->protocolConfiguration) {
        return backendError(noConfiguration, QStringLiteral("No VPN configuration is saved."));
    }
    if (!m_configuration->isEnabled) {
        return backendError(notEnabled, QStringLiteral("The VPN configuration is not enabled."));
    }
    if (m_configuration->protocolConfiguration->serverAddress.isEmpty()) {
        return backendError(noServerAddress, QStringLiteral("The VPN configuration has no server address."));
    }
    // Never a tunnel that looks protected and is not: every tunnel is guarded (IPv6 at
    // least), so without the guard's helper (not installed, a build run from its tree)
    // nothing is started, and the sentence says what is missing.
    if (const std::optional<QString> missing = m_guard->unavailableReason()) {
        return backendError(guardUnavailable, *missing);
    }
    return std::nullopt;
}

void NetworkManagerVPNBackend::Session::vpnStateChanged(const QDBusMessage& message)
{
    const QVariantList arguments = message.arguments();
    if (arguments.size() < 2) {
        return;
    }
    const QString path = message.path();
    m_heardFrom.insert(path);
    const auto pending = m_unchecked.find(path);
    if (pending != m_unchecked.end()) {
        pending->append(message);  // in order, after those waiting on the check
        return;
    }
    const TunnelEvent event{.kind = TunnelEvent::Kind::vpnState,
                            .path = path,
                            .state = arguments[0].toUInt(),
                            .reason = arguments[1].toUInt()};
    if (path == m_machine.activePath() || m_knownActive.value(path, false)) {
        handle(event);
        return;
    }
    if (m_knownActive.contains(path) || m_profilePath.isEmpty()) {
        return;  // not ours
    }
    // A newer attempt of ours, or a tunnel of our profile someone else started.
    m_unchecked.insert(path, {message});
    checkOurs(path, [this, path](bool ours) {
        const QList<QDBusMessage> waiting = m_unchecked.take(path);
        for (const QDBusMessage& signal : waiting) {
            if (ours) {
                handle({.kind = TunnelEvent::Kind::vpnState,
                        .path = path,
                        .state = signal.arguments().value(0).toUInt(),
                        .reason = signal.arguments().value(1).toUInt()});
            }
        }
    });
}

void NetworkManagerVPNBackend::Session::activeStateChanged(const QDBusMessage& message)
{
    const QVariantList arguments = message.arguments();
    if (arguments.size() < 2) {
        return;
    }
    const uint reason = arguments[1].toUInt();
    handle({.kind = TunnelEvent::Kind::activeState,
            .path = message.path(),
            .text = NetworkManagerFailure::reasonText(reason),
            .state = arguments[0].toUInt(),
            .reason = reason});
}

void NetworkManagerVPNBackend::Session::pluginFailed(const QDBusMessage& message)
{
    handle({.kind = TunnelEvent::Kind::pluginFailure, .state = message.arguments().value(0).toUInt()});
}

}  // namespace tandrel
