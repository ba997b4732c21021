#include "Platform/NetworkExtension/NetworkManagerSession.h"

#include "Platform/Diagnostics.h"
#include "Platform/MainQueue.h"
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

// NMVpnConnectionState
enum VpnState : uint {
    vpnPrepare = 1,
    vpnNeedAuth = 2,
    vpnConnect = 3,
    vpnIPConfigGet = 4,
    vpnActivated = 5,
    vpnFailed = 6,
    vpnDisconnected = 7,
};
// NMActiveConnectionState
enum ActiveState : uint { activeDeactivating = 3, activeDeactivated = 4 };
// How long a failed attempt waits for the plugin's own reason when NetworkManager gave none.
constexpr int kVerdictGraceMs = 300;

Error backendError(NetworkManagerVPNBackend::ErrorCode code, const QString& description)
{
    return Error::withDescription(NetworkManagerVPNBackend::errorDomain, code, description);
}

QDBusConnection systemBus()
{
    return QDBusConnection::systemBus();
}

QVariant readProperty(const QString& path, const QString& interface, const QString& name)
{
    return nmdbus::readProperty(systemBus(), path, interface, name);
}

QString objectPathProperty(const QString& path, const QString& interface, const QString& name)
{
    return nmdbus::objectPathProperty(systemBus(), path, interface, name);
}

QString loginName()
{
    const passwd* entry = getpwuid(getuid());
    return entry ? QString::fromLocal8Bit(entry->pw_name) : QString();
}

bool isLive(NEVPNStatus status)
{
    return status == NEVPNStatus::connecting || status == NEVPNStatus::connected || status == NEVPNStatus::reasserting;
}

}  // namespace

NetworkManagerVPNBackend::Session::Session()
{
    NetworkManagerProfile::registerDBusTypes();
    m_retryTimer.setSingleShot(true);
    m_agentTimer.setSingleShot(true);
    connect(&m_agentTimer, &QTimer::timeout, this, &Session::registerAgent);
    connect(&m_retryTimer, &QTimer::timeout, this, [this] {
        if (m_wanted && m_activePath.isEmpty() && !m_activating) {
            activate();
        }
    });
    m_bus.connect(kService, QString(), kVpnInterface, QStringLiteral("VpnStateChanged"), this,
                  SLOT(vpnStateChanged(QDBusMessage)));
    m_bus.connect(kService, QString(), kActiveInterface, QStringLiteral("StateChanged"), this,
                  SLOT(activeStateChanged(QDBusMessage)));
    // The plugin says why it failed (a refused login) before NetworkManager, whose own
    // state change often carries no reason.
    m_bus.connect(NetworkManagerProfile::serviceType, QString(), kPluginInterface, QStringLiteral("Failure"), this,
                  SLOT(pluginFailed(QDBusMessage)));
    m_watcher = new QDBusServiceWatcher(
        kService, m_bus, QDBusServiceWatcher::WatchForRegistration | QDBusServiceWatcher::WatchForUnregistration, this);
    connect(m_watcher, &QDBusServiceWatcher::serviceRegistered, this, &Session::networkManagerAppeared);
    connect(m_watcher, &QDBusServiceWatcher::serviceUnregistered, this, &Session::networkManagerVanished);
    networkManagerAppeared();
}

void NetworkManagerVPNBackend::Session::networkManagerAppeared()
{
    m_agentDelayMs = kFirstRetryMs;
    registerAgent();
    QString failure;
    const std::optional<Found> found = findProfile(&failure);
    if (!failure.isEmpty() && m_networkManagerGone && m_bus.interface()->isServiceRegistered(kService)) {
        QTimer::singleShot(kFirstRetryMs, this, &Session::networkManagerAppeared);  // back, but still starting
        return;
    }
    if (failure.isEmpty()) {
        m_networkManagerGone = false;
        adoptProfile(found);
        if (m_recovered && !m_killSwitch.blocks().isEmpty()) {
            m_killSwitch.set(m_killSwitch.blocks());  // NetworkManager came back: set them again
        } else if (!m_releasedWhileGone.isEmpty()) {
            // Taken away while it was gone: its new run left the rules of the old one in the
            // kernel and knows nothing of them. Set them once so that it owns them, then take
            // them away (unless the tunnel is wanted again meanwhile).
            const NetworkManagerBlocks left = std::exchange(m_releasedWhileGone, NetworkManagerBlocks{});
            m_killSwitch.set(left, [this, left] {
                if (m_killSwitch.blocks() == left) {
                    m_killSwitch.set({});
                }
            });
        }
        recoverBlocks();
    }
}

// Without our agent, NetworkManager has no password for the next (re)connect. Just back on
// the bus it may not take agents yet (its agent manager comes later under load): ask again.
void NetworkManagerVPNBackend::Session::registerAgent()
{
    m_agentTimer.stop();
    if (NetworkManagerSecretAgent::shared().registerWithNetworkManager() ||
        !m_bus.interface()->isServiceRegistered(kService)) {
        return;  // taken, or gone (it is asked again when it comes back)
    }
    m_agentTimer.start(m_agentDelayMs);
    m_agentDelayMs = std::min(m_agentDelayMs * 2, kLongestRetryMs);
}

void NetworkManagerVPNBackend::Session::networkManagerVanished()
{
    // Its object paths go with it: in the next instance the same path names another
    // connection (activating it would bring up some other profile).
    m_networkManagerGone = true;
    m_profilePath.clear();
    m_knownActive.clear();
    m_finishedPaths.clear();
    if (!m_activePath.isEmpty() || m_activating) {
        m_activePath.clear();
        m_activating = false;
        attemptEnded(reasonServiceStopped, QStringLiteral("NetworkManager stopped"));
    }
}

std::optional<NetworkManagerVPNBackend::Session::Found> NetworkManagerVPNBackend::Session::findProfile(
    QString* failure) const
{
    const QDBusMessage list = m_bus.call(
        methodCall(kSettingsPath, kSettingsInterface, QStringLiteral("ListConnections")), QDBus::Block, kReadTimeoutMs);
    if (list.type() != QDBusMessage::ReplyMessage || list.arguments().isEmpty()) {
        *failure =
            list.errorMessage().isEmpty() ? QStringLiteral("NetworkManager did not answer.") : list.errorMessage();
        return std::nullopt;
    }
    for (const QDBusObjectPath& path : objectPaths(list.arguments().constFirst())) {
        const QDBusMessage reply = m_bus.call(
            methodCall(path.path(), kConnectionInterface, QStringLiteral("GetSettings")), QDBus::Block, kReadTimeoutMs);
        if (reply.type() != QDBusMessage::ReplyMessage) {
            continue;  // gone meanwhile, or not ours to read
        }
        NMVariantMapMap settings = settingsFromReply(reply);
        if (NetworkManagerProfile::isOurs(settings)) {
            return Found{path.path(), std::move(settings)};
        }
    }
    return std::nullopt;
}

void NetworkManagerVPNBackend::Session::adoptProfile(const std::optional<Found>& found)
{
    m_profilePath = found ? found->path : QString();
    m_profileUuid = found ? NetworkManagerProfile::uuidOf(found->settings) : QString();
    m_configuration = found ? NetworkManagerProfile::configurationFrom(found->settings) : std::nullopt;
    NetworkManagerSecretAgent::shared().setProfile(this,
                                                   found ? NetworkManagerProfile::uuidOf(found->settings) : QString());
    if (!found) {
        if (!m_wanted) {
            setStatus(NEVPNStatus::invalid);
        }
        return;
    }
    if (status() == NEVPNStatus::invalid) {
        setStatus(NEVPNStatus::disconnected);
    }
    if (m_activePath.isEmpty() && !m_activating) {
        adoptActiveConnection();
    }
}

// A tunnel of our profile that is already up (started before we ran, or by another tool).
void NetworkManagerVPNBackend::Session::adoptActiveConnection()
{
    for (const QDBusObjectPath& path :
         objectPaths(readProperty(kManagerPath, kManagerInterface, QStringLiteral("ActiveConnections")))) {
        if (!m_finishedPaths.contains(path.path()) && isOurActiveConnection(path.path())) {
            m_activePath = path.path();
            m_reachedActivated = false;
            const uint state = readProperty(m_activePath, kVpnInterface, QStringLiteral("VpnState")).toUInt();
            // A tunnel that is up under the kill switch stays wanted across our restarts.
            m_wanted = state >= vpnPrepare && state <= vpnActivated && onDemandEnabled();
            applyVpnState(state, 0);
            return;
        }
    }
}

bool NetworkManagerVPNBackend::Session::isOurActiveConnection(const QString& path)
{
    const auto known = m_knownActive.constFind(path);
    if (known != m_knownActive.constEnd()) {
        return *known;
    }
    QString profile;
    profile = m_profilePath;
    const QString connection = objectPathProperty(path, kActiveInterface, QStringLiteral("Connection"));
    if (connection.isEmpty()) {
        return false;  // gone already; ask again should it speak once more
    }
    const bool ours = !profile.isEmpty() && connection == profile;
    m_knownActive.insert(path, ours);
    return ours;
}

void NetworkManagerVPNBackend::Session::asyncCall(const QDBusMessage& message, int timeoutMs,
                                                  std::function<void(const QDBusMessage&)> done)
{
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(message, timeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [watcher, done = std::move(done)] {
        done(watcher->reply());
        watcher->deleteLater();
    });
}

void NetworkManagerVPNBackend::Session::load(LoadCompletion completion)
{
    QString failure;
    const std::optional<Found> found = findProfile(&failure);
    if (!failure.isEmpty()) {
        MainQueue::async([completion = std::move(completion), failure] {
            completion(std::nullopt, backendError(requestFailed, failure));
        });
        return;
    }
    adoptProfile(found);
    std::optional<NEVPNConfiguration> configuration;
    configuration = m_configuration;
    MainQueue::async([completion = std::move(completion), configuration] { completion(configuration, std::nullopt); });
}

void NetworkManagerVPNBackend::Session::save(const NEVPNConfiguration& configuration, Completion completion)
{
    QString failure;
    const std::optional<Found> found = findProfile(&failure);
    if (!failure.isEmpty()) {
        MainQueue::async(
            [completion = std::move(completion), failure] { completion(backendError(requestFailed, failure)); });
        return;
    }
    const QString uuid =
        found ? NetworkManagerProfile::uuidOf(found->settings) : QUuid::createUuid().toString(QUuid::WithoutBraces);
    const QVariant settings = QVariant::fromValue(NetworkManagerProfile::settingsFor(configuration, uuid, loginName()));
    const QDBusMessage request =
        found ? methodCall(found->path, kConnectionInterface, QStringLiteral("Update"), {settings})
              : methodCall(kSettingsPath, kSettingsInterface, QStringLiteral("AddConnection"), {settings});
    const QString knownPath = found ? found->path : QString();
    asyncCall(request, kChangeTimeoutMs,
              [this, completion = std::move(completion), configuration, uuid, knownPath](const QDBusMessage& reply) {
                  if (reply.type() != QDBusMessage::ReplyMessage) {
                      completion(backendError(requestFailed, reply.errorMessage()));
                      return;
                  }
                  const QString path = knownPath.isEmpty() && !reply.arguments().isEmpty()
                                           ? reply.arguments().constFirst().value<QDBusObjectPath>().path()
                                           : knownPath;
                  m_profilePath = path;
                  m_profileUuid = uuid;
                  m_configuration = configuration;
                  NetworkManagerSecretAgent::shared().setProfile(this, uuid);
                  if (status() == NEVPNStatus::invalid) {
                      setStatus(NEVPNStatus::disconnected);
                  }
                  completion(std::nullopt);
              });
}

void NetworkManagerVPNBackend::Session::remove(Completion completion)
{
    QString failure;
    const std::optional<Found> found = findProfile(&failure);
    if (!failure.isEmpty()) {
        MainQueue::async(
            [completion = std::move(completion), failure] { completion(backendError(requestFailed, failure)); });
        return;
    }
    if (!found) {
        adoptProfile(std::nullopt);
        MainQueue::async([completion = std::move(completion)] { completion(std::nullopt); });
        return;
    }
    // Removing the profile takes a running tunnel down; that is no drop to come back from.
    m_wanted = false;
    m_retryTimer.stop();
    asyncCall(methodCall(found->path, kConnectionInterface, QStringLiteral("Delete")), kChangeTimeoutMs,
              [this, completion = std::move(completion)](const QDBusMessage& reply) {
                  if (reply.type() != QDBusMessage::ReplyMessage) {
                      completion(backendError(requestFailed, reply.errorMessage()));
                      return;
                  }
                  if (!m_activePath.isEmpty()) {
                      m_finishedPaths.insert(std::exchange(m_activePath, QString()));
                  }
                  releaseTraffic();
                  adoptProfile(std::nullopt);
                  completion(std::nullopt);
              });
}

std::optional<Error> NetworkManagerVPNBackend::Session::startableError() const
{
    if (!m_bus.isConnected() || !m_bus.interface()->isServiceRegistered(kService)) {
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
    return std::nullopt;
}

void NetworkManagerVPNBackend::Session::start()
{
    const bool underWay = m_activating || !m_activePath.isEmpty() || (m_wanted && m_retryTimer.isActive());
    if (!underWay) {
        ++m_attempt;  // a verdict still due on an earlier attempt no longer speaks
        m_concluding = false;
        m_afterDrop = false;
        m_retryDelayMs = kFirstRetryMs;
        setStatus(NEVPNStatus::connecting);
    }
    // Up or on its way (perhaps started by another tool): from now on it is ours to keep.
    m_wanted = true;
    if (underWay && !m_killSwitch.blocks().isEmpty()) {
        return;  // held back already
    }
    QString server;
    server = m_configuration->protocolConfiguration->serverAddress;
    // The blocks come first, so no packet leaves in clear (nor a LAN packet takes the
    // tunnel) in between. The server's address is pinned now: once the blocks hold, a
    // name lookup outside the tunnel may fail.
    const QHostAddress literal(server);
    if (!blocksFor({}).holdBack || !literal.isNull()) {
        holdTraffic(blocksFor(literal.isNull() ? QStringList{} : QStringList{literal.toString()}),
                    [this] { activateIfStillWanted(); });
        return;
    }
    QHostInfo::lookupHost(server, this, [this, attempt = m_attempt](const QHostInfo& info) {
        if (attempt != m_attempt || !m_wanted) {
            return;
        }
        QStringList addresses;
        for (const QHostAddress& address : info.addresses()) {
            // IPv4 first: the plugin gets one address, and the tunnel is an IPv4 one.
            addresses.insert(address.protocol() == QAbstractSocket::IPv4Protocol ? 0 : addresses.size(),
                             address.toString());
        }
        if (addresses.isEmpty()) {
            conclude(0, QStringLiteral("the VPN server's name could not be resolved"), false);
            return;
        }
        pinServerAddress(addresses.first(),
                         [this, addresses] { holdTraffic(blocksFor(addresses), [this] { activateIfStillWanted(); }); });
    });
}

void NetworkManagerVPNBackend::Session::pinServerAddress(const QString& address, std::function<void()> then)
{
    QString profile;
    profile = m_profilePath;
    const QDBusMessage reply = m_bus.call(methodCall(profile, kConnectionInterface, QStringLiteral("GetSettings")),
                                          QDBus::Block, kReadTimeoutMs);
    NMVariantMapMap settings = settingsFromReply(reply);
    if (reply.type() != QDBusMessage::ReplyMessage || !NetworkManagerProfile::pinServerAddress(settings, address)) {
        then();
        return;
    }
    asyncCall(methodCall(profile, kConnectionInterface, QStringLiteral("Update"), {QVariant::fromValue(settings)}),
              kChangeTimeoutMs, [then = std::move(then)](const QDBusMessage&) { then(); });
}

void NetworkManagerVPNBackend::Session::activateIfStillWanted()
{
    if (m_wanted && m_activePath.isEmpty() && !m_activating && !m_retryTimer.isActive()) {
        activate();
    }
}

void NetworkManagerVPNBackend::Session::activate()
{
    QString profile;
    profile = m_profilePath;
    if (profile.isEmpty() && m_networkManagerGone) {
        scheduleRetry();  // the profile is found again once NetworkManager is back
        return;
    }
    if (profile.isEmpty()) {
        attemptEnded(reasonConnectionRemoved, reasonText(reasonConnectionRemoved));
        return;
    }
    ++m_attempt;
    m_concluding = false;
    m_activating = true;
    m_reachedActivated = false;
    m_pluginFailure.reset();
    const QDBusObjectPath none(QStringLiteral("/"));
    // No device named: NetworkManager puts the VPN on the link that has the default route.
    asyncCall(methodCall(kManagerPath, kManagerInterface, QStringLiteral("ActivateConnection"),
                         {QVariant::fromValue(QDBusObjectPath(profile)), QVariant::fromValue(none),
                          QVariant::fromValue(none)}),
              kChangeTimeoutMs, [this](const QDBusMessage& reply) {
                  m_activating = false;
                  if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
                      attemptEnded(0, reply.errorMessage());
                      return;
                  }
                  const QString path = reply.arguments().constFirst().value<QDBusObjectPath>().path();
                  m_knownActive.insert(path, true);
                  if (!m_wanted) {
                      // Stopped while the request was on its way.
                      m_bus.call(methodCall(kManagerPath, kManagerInterface, QStringLiteral("DeactivateConnection"),
                                            {QVariant::fromValue(QDBusObjectPath(path))}),
                                 QDBus::NoBlock);
                      return;
                  }
                  if (m_activePath != path) {
                      m_activePath = path;
                      const QVariant state = readProperty(path, kVpnInterface, QStringLiteral("VpnState"));
                      if (state.isValid()) {
                          applyVpnState(state.toUInt(), 0);
                      }
                  }
              });
}

void NetworkManagerVPNBackend::Session::vpnStateChanged(const QDBusMessage& message)
{
    const QVariantList arguments = message.arguments();
    if (arguments.size() < 2) {
        return;
    }
    const QString path = message.path();
    if (m_finishedPaths.contains(path)) {
        return;
    }
    if (path != m_activePath) {
        // A newer attempt of ours, or a tunnel of our profile someone else started.
        if (!m_activePath.isEmpty() || !isOurActiveConnection(path)) {
            return;
        }
        m_activePath = path;
        m_reachedActivated = false;
    }
    applyVpnState(arguments[0].toUInt(), arguments[1].toUInt());
}

void NetworkManagerVPNBackend::Session::activeStateChanged(const QDBusMessage& message)
{
    const QVariantList arguments = message.arguments();
    if (arguments.size() < 2 || message.path() != m_activePath) {
        return;
    }
    const uint state = arguments[0].toUInt();
    const uint reason = arguments[1].toUInt();
    if (state == activeDeactivating && !m_wanted) {
        setStatus(NEVPNStatus::disconnecting);
    } else if (state == activeDeactivated) {
        // Normally the VPN state has said so already; this catches a connection torn down
        // before its VPN part ever spoke.
        attemptEnded(reason, reasonText(reason));
    }
}

std::optional<NEVPNStatus> NetworkManagerVPNBackend::statusForVpnState(uint vpnState, bool afterDrop)
{
    switch (vpnState) {
        case vpnPrepare:
        case vpnNeedAuth:
        case vpnConnect:
        case vpnIPConfigGet:
            return afterDrop ? NEVPNStatus::reasserting : NEVPNStatus::connecting;
        case vpnActivated:
            return NEVPNStatus::connected;
        case vpnFailed:
        case vpnDisconnected:
            return NEVPNStatus::disconnected;
        default:
            return std::nullopt;
    }
}

void NetworkManagerVPNBackend::Session::applyVpnState(uint state, uint reason)
{
    if (state == vpnFailed || state == vpnDisconnected) {
        attemptEnded(reason, reasonText(reason));
        return;
    }
    const std::optional<NEVPNStatus> mapped = statusForVpnState(state, m_afterDrop);
    if (!mapped) {
        return;
    }
    if (state == vpnActivated) {
        m_reachedActivated = true;
        m_afterDrop = false;
        m_retryDelayMs = kFirstRetryMs;
    }
    setStatus(*mapped);
}

void NetworkManagerVPNBackend::Session::pluginFailed(const QDBusMessage& message)
{
    if (!m_activating && m_activePath.isEmpty() && !m_concluding) {
        return;
    }
    // NMVpnPluginFailure: 0 login failed, 1 connect failed, 2 bad IP configuration. The
    // plugin reports a refused login after its connect failure; the login is the cause.
    const uint failure = message.arguments().value(0).toUInt();
    if (m_pluginFailure != 0u) {
        m_pluginFailure = failure;
    }
}

void NetworkManagerVPNBackend::Session::attemptEnded(uint reason, const QString& text)
{
    if (!m_activePath.isEmpty()) {
        // NetworkManager reports an end more than once (VPN state, then the connection's).
        m_finishedPaths.insert(std::exchange(m_activePath, QString()));
    }
    const bool dropped = m_reachedActivated || m_afterDrop;
    m_reachedActivated = false;
    if (reason == reasonUserDisconnected && m_wanted) {
        m_wanted = false;  // taken down by the user through another tool: leave it down
    }
    if (m_wanted && reason <= 1 && m_pluginFailure != 0u) {
        // NetworkManager may act on the plugin's first word before its last one (a refused
        // login) has arrived; give it a moment before saying why the attempt failed.
        m_concluding = true;
        QTimer::singleShot(kVerdictGraceMs, this, [this, attempt = m_attempt, reason, text, dropped] {
            if (attempt == m_attempt) {
                m_concluding = false;
                conclude(reason, text, dropped);
            }
        });
        return;
    }
    conclude(reason, text, dropped);
}

void NetworkManagerVPNBackend::Session::conclude(uint givenReason, const QString& givenText, bool dropped)
{
    const NetworkManagerFailure failure = NetworkManagerFailure::describe(givenReason, givenText, m_pluginFailure);
    const uint reason = failure.reason;
    const QString text = failure.text;
    m_pluginFailure.reset();
    if (!m_wanted) {
        m_afterDrop = false;
        releaseTraffic();
        setStatus(restingStatus());
        return;
    }
    printLine(QStringLiteral("VPN connection failed: ") + text);
    // A first connect refused, or without a password, would be no better on the next try.
    // A tunnel that was up had its login accepted moments ago: a refusal now is a server
    // just back on its feet, a missing password a keyring locked meanwhile. Under the kill
    // switch it stays wanted, its blocks stay, and it is tried again until the user ends it.
    const bool refused = reason == reasonLoginFailed || reason == reasonNoSecrets;
    const bool hopeless = reason == reasonConnectionRemoved || (refused && !dropped);
    if (onDemandEnabled() && dropped && !hopeless) {
        m_afterDrop = true;
        setStatus(NEVPNStatus::reasserting, text);
        scheduleRetry();
        return;
    }
    m_wanted = false;
    m_afterDrop = false;
    releaseTraffic();
    setStatus(restingStatus(), text);
}

void NetworkManagerVPNBackend::Session::scheduleRetry()
{
    m_retryTimer.start(m_retryDelayMs);
    m_retryDelayMs = std::min(m_retryDelayMs * 2, kLongestRetryMs);
}

void NetworkManagerVPNBackend::Session::stop()
{
    m_wanted = false;
    m_afterDrop = false;
    m_retryTimer.stop();
    if (m_activePath.isEmpty()) {
        releaseTraffic();
        if (isLive(status())) {
            setStatus(restingStatus());
        }
        return;  // an activation on its way is taken down when its answer comes
    }
    setStatus(NEVPNStatus::disconnecting);
    const QString path = m_activePath;
    asyncCall(methodCall(kManagerPath, kManagerInterface, QStringLiteral("DeactivateConnection"),
                         {QVariant::fromValue(QDBusObjectPath(path))}),
              kChangeTimeoutMs, [this, path](const QDBusMessage& reply) {
                  if (reply.type() != QDBusMessage::ReplyMessage && m_activePath == path) {
                      // Already gone: NetworkManager knows no such active connection.
                      attemptEnded(reasonUserDisconnected, reply.errorMessage());
                  }
              });
}

void NetworkManagerVPNBackend::Session::setStatus(NEVPNStatus status, const QString& reason)
{
    // While reasserting, each failed attempt says why, though the status stays.
    if (std::exchange(m_status, status) == status && (status != NEVPNStatus::reasserting || reason.isEmpty())) {
        return;
    }
    const StatusHandler handler = m_handler;  // a copy: the handler may set another
    if (handler) {
        handler(status, reason);
    }
}

}  // namespace tandrel
