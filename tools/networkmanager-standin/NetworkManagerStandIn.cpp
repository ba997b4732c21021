#include "NetworkManagerStandIn.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QHash>
#include <QMap>
#include <QTimer>
#include <QUuid>

#include <atomic>
#include <functional>
#include <mutex>

namespace tandrel::standin {

namespace {

using SettingsMap = QMap<QString, QVariantMap>;  // a connection's settings, a{sa{sv}}

const QString kService = QStringLiteral("org.freedesktop.NetworkManager");
const QString kRoot = QStringLiteral("/org/freedesktop/NetworkManager");
const QString kManager = QStringLiteral("org.freedesktop.NetworkManager");
const QString kSettings = QStringLiteral("org.freedesktop.NetworkManager.Settings");
const QString kConnection = QStringLiteral("org.freedesktop.NetworkManager.Settings.Connection");
const QString kActive = QStringLiteral("org.freedesktop.NetworkManager.Connection.Active");
const QString kVpn = QStringLiteral("org.freedesktop.NetworkManager.VPN.Connection");
const QString kDevice = QStringLiteral("org.freedesktop.NetworkManager.Device");
const QString kIP4 = QStringLiteral("org.freedesktop.NetworkManager.IP4Config");
const QString kIP6 = QStringLiteral("org.freedesktop.NetworkManager.IP6Config");
const QString kAgentManager = QStringLiteral("org.freedesktop.NetworkManager.AgentManager");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");
const QString kIntrospectable = QStringLiteral("org.freedesktop.DBus.Introspectable");
const QString kPeer = QStringLiteral("org.freedesktop.DBus.Peer");

const QString kSettingsPath = kRoot + QStringLiteral("/Settings");
const QString kConnectionPrefix = kSettingsPath + QLatin1Char('/');
const QString kActivePrefix = kRoot + QStringLiteral("/ActiveConnection/");
const QString kDevicePath = kRoot + QStringLiteral("/Devices/1");
const QString kIP4Path = kRoot + QStringLiteral("/IP4Config/1");
const QString kIP6Path = kRoot + QStringLiteral("/IP6Config/1");
const QString kAgentManagerPath = kRoot + QStringLiteral("/AgentManager");
const QString kNoObject = QStringLiteral("/");
const QString kInterfaceName = QStringLiteral("standin0");

// The device's own profile and its active connection.
constexpr uint kDeviceConnection = 1;
// Between one VPN state of an activation and the next.
constexpr int kStepMs = 10;

// NMActiveConnectionState, NMVpnConnectionState and the reasons both share.
enum : uint { activeActivating = 1, activeActivated = 2, activeDeactivating = 3, activeDeactivated = 4 };
enum : uint { vpnPrepare = 1, vpnConnect = 3, vpnIPConfigGet = 4, vpnActivated = 5, vpnDisconnected = 7 };
enum : uint { reasonNone = 1, reasonUserDisconnected = 2, reasonConnectionRemoved = 11 };

QString connectionPath(uint id)
{
    return kConnectionPrefix + QString::number(id);
}

QString activePath(uint id)
{
    return kActivePrefix + QString::number(id);
}

// The number ending a path under `prefix`; 0 for any other path.
uint idIn(const QString& path, const QString& prefix)
{
    return path.startsWith(prefix) ? path.mid(prefix.size()).toUInt() : 0;
}

QVariant paths(const QStringList& list)
{
    QList<QDBusObjectPath> result;
    for (const QString& path : list) {
        result.append(QDBusObjectPath(path));
    }
    return QVariant::fromValue(result);
}

QVariant path(const QString& value)
{
    return QVariant::fromValue(QDBusObjectPath(value));
}

SettingsMap settingsArgument(const QVariant& value)
{
    if (value.canConvert<QDBusArgument>()) {
        return qdbus_cast<SettingsMap>(value.value<QDBusArgument>());
    }
    return value.value<SettingsMap>();
}

// A wired profile of the user's, as NetworkManager makes them.
SettingsMap wiredProfile(uint number)
{
    const QString uuid =
        QUuid::createUuidV5(QUuid(), QStringLiteral("wired-%1").arg(number)).toString(QUuid::WithoutBraces);
    return {
        {QStringLiteral("connection"),
         {{QStringLiteral("id"), QStringLiteral("Wired connection %1").arg(number)},
          {QStringLiteral("uuid"), uuid},
          {QStringLiteral("type"), QStringLiteral("802-3-ethernet")},
          {QStringLiteral("autoconnect-priority"), -999},
          {QStringLiteral("interface-name"), kInterfaceName},
          {QStringLiteral("timestamp"), QVariant::fromValue(qulonglong(1700000000 + number))}}},
        {QStringLiteral("802-3-ethernet"), {{QStringLiteral("auto-negotiate"), false}}},
        {QStringLiteral("ipv4"), {{QStringLiteral("method"), QStringLiteral("auto")}}},
        {QStringLiteral("ipv6"),
         {{QStringLiteral("method"), QStringLiteral("auto")}, {QStringLiteral("addr-gen-mode"), 1}}},
        {QStringLiteral("proxy"), {}},
    };
}

QVariantMap addressEntry(const QString& address, uint prefix)
{
    return {{QStringLiteral("address"), address}, {QStringLiteral("prefix"), prefix}};
}

}  // namespace

class NetworkManagerStandIn::Responder : public QDBusVirtualObject {
public:
    Responder(QString busAddress, int otherProfiles)
        : m_address(std::move(busAddress)), m_otherProfiles(uint(std::max(otherProfiles, 1)))
    {
        m_refuseTimer.setSingleShot(true);
        QObject::connect(&m_refuseTimer, &QTimer::timeout, this, [this] {
            m_refusing = true;
            refuseWaiting();
        });
    }

    std::atomic<int> delayMs{0};
    std::atomic<int> up{0};

    // On the responder's own thread from here on.
    bool start(QThread* home)
    {
        m_home = home;
        m_connectionName = QStringLiteral("tandrel-networkmanager-standin-%1").arg(quintptr(this), 0, 16);
        m_bus = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(m_address, m_connectionName));
        reset();
        return m_bus->isConnected() && m_bus->registerVirtualObject(kRoot, this, QDBusConnection::SubPath) &&
               m_bus->registerService(kService);
    }

    void stop()
    {
        refuseWaiting();
        m_bus->unregisterService(kService);
        m_bus->unregisterObject(kRoot, QDBusConnection::UnregisterTree);
        m_bus.reset();
        QDBusConnection::disconnectFromBus(m_connectionName);
        m_refuseTimer.stop();
        moveToThread(m_home);
    }

    void reset()
    {
        refuseWaiting();
        m_refuseTimer.stop();
        m_refusing = false;
        m_profiles.clear();
        for (uint number = 1; number <= m_otherProfiles; ++number) {
            m_profiles.insert(number, wiredProfile(number));
        }
        m_nextProfile = std::max(m_nextProfile, m_otherProfiles + 1);
        m_actives.clear();
        m_actives.insert(kDeviceConnection, Active{kDeviceConnection, false, activeActivated, 0});
        m_nextActive = std::max(m_nextActive, kDeviceConnection + 1);
        m_applied = m_profiles.value(kDeviceConnection);
        m_appliedVersion = 1;
        countTunnels();
        std::lock_guard guard(m_logLock);
        m_calls.clear();
    }

    void refuseAfter(int ms)
    {
        m_refusing = false;
        m_refuseTimer.start(ms);
    }

    QStringList calls() const
    {
        std::lock_guard guard(m_logLock);
        return m_calls;
    }

    // Qt may call this on its own D-Bus thread: the call is noted and taken over on ours.
    bool handleMessage(const QDBusMessage& message, const QDBusConnection&) override
    {
        if (message.type() != QDBusMessage::MethodCallMessage) {
            return false;
        }
        {
            std::lock_guard guard(m_logLock);
            m_calls.append(message.interface() + QLatin1Char('.') + message.member());
        }
        message.setDelayedReply(true);
        QMetaObject::invokeMethod(
            this, [this, message] { arrive(message); }, Qt::QueuedConnection);
        return true;
    }

    QString introspect(const QString& objectPath) const override;

private:
    struct Active {
        uint profile;
        bool vpn;
        uint state;
        uint vpnState;
    };

    void arrive(const QDBusMessage& message)
    {
        if (m_refusing) {
            m_bus->send(refusal(message));
            return;
        }
        const quint64 call = ++m_lastCall;
        m_waiting.insert(call, message);
        const int delay = delayMs.load();
        if (delay == kNever) {
            return;
        }
        QTimer::singleShot(delay, Qt::PreciseTimer, this, [this, call] {
            const auto waiting = m_waiting.find(call);
            if (waiting == m_waiting.end()) {
                return;  // refused meanwhile
            }
            const QDBusMessage message = *waiting;
            m_waiting.erase(waiting);
            m_bus->send(answer(message));
            // What the call changed is announced after its answer, as NetworkManager does.
            for (const std::function<void()>& announce : std::exchange(m_announcements, {})) {
                announce();
            }
        });
    }

    static QDBusMessage refusal(const QDBusMessage& message)
    {
        return message.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.NoReply"),
                                        QStringLiteral("NetworkManager did not answer in time."));
    }

    void refuseWaiting()
    {
        for (const QDBusMessage& message : std::exchange(m_waiting, {})) {
            m_bus->send(refusal(message));
        }
    }

    static QDBusMessage unknownMethod(const QDBusMessage& message)
    {
        return message.createErrorReply(
            QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"),
            QStringLiteral("No method %1.%2 at %3").arg(message.interface(), message.member(), message.path()));
    }

    static QDBusMessage unknownObject(const QDBusMessage& message)
    {
        return message.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.UnknownObject"),
                                        QStringLiteral("No object at %1").arg(message.path()));
    }

    QDBusMessage answer(const QDBusMessage& message)
    {
        const QString& interface = message.interface();
        const QString& member = message.member();
        if (interface == kProperties) {
            return properties(message);
        }
        if (interface == kIntrospectable && member == QLatin1String("Introspect")) {
            return message.createReply(QStringLiteral("<node>") + introspect(message.path()) +
                                       QStringLiteral("</node>"));
        }
        if (interface == kPeer && member == QLatin1String("Ping")) {
            return message.createReply();
        }
        const QString& objectPath = message.path();
        if (objectPath == kRoot) {
            return managerCall(message);
        }
        if (objectPath == kSettingsPath) {
            return settingsCall(message);
        }
        if (const uint id = idIn(objectPath, kConnectionPrefix)) {
            return m_profiles.contains(id) ? connectionCall(message, id) : unknownObject(message);
        }
        if (objectPath == kDevicePath) {
            return deviceCall(message);
        }
        if (objectPath == kAgentManagerPath &&
            (member == QLatin1String("Register") || member == QLatin1String("RegisterWithCapabilities") ||
             member == QLatin1String("Unregister"))) {
            return message.createReply();
        }
        return unknownMethod(message);
    }

    QDBusMessage managerCall(const QDBusMessage& message)
    {
        const QString& member = message.member();
        const QVariantList arguments = message.arguments();
        if (member == QLatin1String("GetDevices") || member == QLatin1String("GetAllDevices")) {
            return message.createReply(paths({kDevicePath}));
        }
        if (member == QLatin1String("ActivateConnection") && arguments.size() == 3) {
            return activate(message, idIn(arguments[0].value<QDBusObjectPath>().path(), kConnectionPrefix));
        }
        if (member == QLatin1String("DeactivateConnection") && arguments.size() == 1) {
            const uint id = idIn(arguments[0].value<QDBusObjectPath>().path(), kActivePrefix);
            if (!m_actives.contains(id)) {
                return message.createErrorReply(QStringLiteral("org.freedesktop.NetworkManager.ConnectionNotActive"),
                                                QStringLiteral("The connection is not active."));
            }
            m_announcements.append([this, id] { deactivate(id, reasonUserDisconnected); });
            return message.createReply();
        }
        if (member == QLatin1String("state")) {
            return message.createReply(70u);  // NM_STATE_CONNECTED_GLOBAL
        }
        if (member == QLatin1String("CheckConnectivity")) {
            return message.createReply(4u);  // NM_CONNECTIVITY_FULL
        }
        return unknownMethod(message);
    }

    QDBusMessage settingsCall(const QDBusMessage& message)
    {
        const QString& member = message.member();
        const QVariantList arguments = message.arguments();
        if (member == QLatin1String("ListConnections")) {
            return message.createReply(paths(connectionPaths()));
        }
        if ((member == QLatin1String("AddConnection") || member == QLatin1String("AddConnectionUnsaved") ||
             member == QLatin1String("AddConnection2")) &&
            !arguments.isEmpty()) {
            const uint id = m_nextProfile++;
            m_profiles.insert(id, settingsArgument(arguments[0]));
            m_announcements.append([this, id] {
                signal(kSettingsPath, kSettings, QStringLiteral("NewConnection"), {path(connectionPath(id))});
                propertiesChanged(kSettingsPath, kSettings,
                                  {{QStringLiteral("Connections"), paths(connectionPaths())}});
            });
            QDBusMessage reply = message.createReply(path(connectionPath(id)));
            if (member == QLatin1String("AddConnection2")) {
                reply << QVariantMap{};
            }
            return reply;
        }
        if (member == QLatin1String("GetConnectionByUuid") && arguments.size() == 1) {
            for (auto profile = m_profiles.cbegin(); profile != m_profiles.cend(); ++profile) {
                if (profile->value(QStringLiteral("connection")).value(QStringLiteral("uuid")) == arguments[0]) {
                    return message.createReply(path(connectionPath(profile.key())));
                }
            }
            return message.createErrorReply(QStringLiteral("org.freedesktop.NetworkManager.Settings.InvalidConnection"),
                                            QStringLiteral("No connection with the UUID was found."));
        }
        if (member == QLatin1String("ReloadConnections")) {
            return message.createReply(true);
        }
        return unknownMethod(message);
    }

    QDBusMessage connectionCall(const QDBusMessage& message, uint id)
    {
        const QString& member = message.member();
        const QVariantList arguments = message.arguments();
        if (member == QLatin1String("GetSettings")) {
            return message.createReply(QVariant::fromValue(m_profiles.value(id)));
        }
        if (member == QLatin1String("GetSecrets")) {
            return message.createReply(QVariant::fromValue(SettingsMap{}));
        }
        if ((member == QLatin1String("Update") || member == QLatin1String("UpdateUnsaved") ||
             member == QLatin1String("Update2")) &&
            !arguments.isEmpty()) {
            const SettingsMap settings = settingsArgument(arguments[0]);
            if (!settings.isEmpty() || member != QLatin1String("Update2")) {  // Update2 without settings keeps them
                m_profiles.insert(id, settings);
            }
            m_announcements.append(
                [this, id] { signal(connectionPath(id), kConnection, QStringLiteral("Updated"), {}); });
            return member == QLatin1String("Update2") ? message.createReply(QVariantMap{}) : message.createReply();
        }
        if (member == QLatin1String("Delete")) {
            m_announcements.append([this, id] { removeProfile(id); });
            return message.createReply();
        }
        if (member == QLatin1String("ClearSecrets") || member == QLatin1String("Save")) {
            return message.createReply();
        }
        return unknownMethod(message);
    }

    // The device's running configuration: read with its version, changed only by one who read the latest.
    QDBusMessage deviceCall(const QDBusMessage& message)
    {
        const QString& member = message.member();
        const QVariantList arguments = message.arguments();
        if (member == QLatin1String("GetAppliedConnection")) {
            QDBusMessage reply = message.createReply(QVariant::fromValue(m_applied));
            reply << QVariant::fromValue(qulonglong(m_appliedVersion));
            return reply;
        }
        if (member == QLatin1String("Reapply") && arguments.size() == 3) {
            const qulonglong version = arguments[1].toULongLong();
            if (version != 0 && version != m_appliedVersion) {
                return message.createErrorReply(
                    QStringLiteral("org.freedesktop.NetworkManager.Device.VersionIdMismatch"),
                    QStringLiteral("The version id did not match."));
            }
            const SettingsMap settings = settingsArgument(arguments[0]);
            if (!settings.isEmpty()) {
                m_applied = settings;
            }
            ++m_appliedVersion;
            return message.createReply();
        }
        if (member == QLatin1String("Disconnect")) {
            return message.createReply();
        }
        return unknownMethod(message);
    }

    QDBusMessage activate(const QDBusMessage& message, uint profile)
    {
        if (!m_profiles.contains(profile)) {
            return message.createErrorReply(QStringLiteral("org.freedesktop.NetworkManager.UnknownConnection"),
                                            QStringLiteral("The connection was not found."));
        }
        const bool vpn = m_profiles.value(profile).value(QStringLiteral("connection")).value(QStringLiteral("type")) ==
                         QLatin1String("vpn");
        QList<uint> earlier;
        for (auto active = m_actives.cbegin(); active != m_actives.cend(); ++active) {
            if (active->profile == profile) {
                earlier.append(active.key());
            }
        }
        const uint id = m_nextActive++;
        m_actives.insert(id, Active{profile, vpn, activeActivating, vpn ? vpnPrepare : 0u});
        m_announcements.append([this, id, vpn, earlier] {
            for (const uint replaced : earlier) {
                deactivate(replaced, reasonUserDisconnected);
            }
            propertiesChanged(kRoot, kManager, {{QStringLiteral("ActiveConnections"), paths(activePaths())}});
            const QList<uint> states = vpn ? QList<uint>{vpnConnect, vpnIPConfigGet, vpnActivated} : QList<uint>{};
            for (qsizetype step = 0; step < states.size(); ++step) {
                QTimer::singleShot(kStepMs * int(step + 1), this,
                                   [this, id, state = states[step]] { moveTo(id, state); });
            }
            if (!vpn) {
                moveTo(id, 0);
            }
        });
        return message.createReply(path(activePath(id)));
    }

    // The next VPN state of an activation (0: a connection without a VPN part, up at once).
    void moveTo(uint id, uint vpnState)
    {
        const auto active = m_actives.find(id);
        if (active == m_actives.end()) {
            return;  // taken down meanwhile
        }
        if (active->vpn) {
            active->vpnState = vpnState;
            signal(activePath(id), kVpn, QStringLiteral("VpnStateChanged"), {vpnState, reasonNone});
            propertiesChanged(activePath(id), kVpn, {{QStringLiteral("VpnState"), vpnState}});
        }
        if (!active->vpn || vpnState == vpnActivated) {
            active->state = activeActivated;
            signal(activePath(id), kActive, QStringLiteral("StateChanged"), {uint(activeActivated), uint(reasonNone)});
            propertiesChanged(activePath(id), kActive, {{QStringLiteral("State"), uint(activeActivated)}});
        }
        countTunnels();
    }

    void deactivate(uint id, uint reason)
    {
        const auto active = m_actives.find(id);
        if (active == m_actives.end()) {
            return;
        }
        const bool vpn = active->vpn;
        m_actives.erase(active);
        countTunnels();
        const QString where = activePath(id);
        signal(where, kActive, QStringLiteral("StateChanged"), {uint(activeDeactivating), reason});
        if (vpn) {
            signal(where, kVpn, QStringLiteral("VpnStateChanged"), {uint(vpnDisconnected), reason});
        }
        signal(where, kActive, QStringLiteral("StateChanged"), {uint(activeDeactivated), reason});
        propertiesChanged(kRoot, kManager, {{QStringLiteral("ActiveConnections"), paths(activePaths())}});
    }

    void removeProfile(uint id)
    {
        QList<uint> actives;
        for (auto active = m_actives.cbegin(); active != m_actives.cend(); ++active) {
            if (active->profile == id) {
                actives.append(active.key());
            }
        }
        for (const uint active : actives) {
            deactivate(active, reasonConnectionRemoved);
        }
        m_profiles.remove(id);
        signal(connectionPath(id), kConnection, QStringLiteral("Removed"), {});
        signal(kSettingsPath, kSettings, QStringLiteral("ConnectionRemoved"), {path(connectionPath(id))});
        propertiesChanged(kSettingsPath, kSettings, {{QStringLiteral("Connections"), paths(connectionPaths())}});
    }

    QDBusMessage properties(const QDBusMessage& message)
    {
        const QVariantList arguments = message.arguments();
        const QString interface = arguments.value(0).toString();
        const QMap<QString, QVariantMap> all = propertiesAt(message.path());
        if (message.member() == QLatin1String("GetAll")) {
            QVariantMap merged;
            for (auto each = all.cbegin(); each != all.cend(); ++each) {
                if (interface.isEmpty() || each.key() == interface) {
                    merged.insert(*each);
                }
            }
            return message.createReply(merged);
        }
        if (message.member() == QLatin1String("Get") && arguments.size() == 2) {
            const QString name = arguments[1].toString();
            for (auto each = all.cbegin(); each != all.cend(); ++each) {
                if ((interface.isEmpty() || each.key() == interface) && each->contains(name)) {
                    return message.createReply(QVariant::fromValue(QDBusVariant(each->value(name))));
                }
            }
            return message.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs"),
                                            QStringLiteral("No such property %1.%2").arg(interface, name));
        }
        if (message.member() == QLatin1String("Set")) {
            return message.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.PropertyReadOnly"),
                                            QStringLiteral("The stand-in's properties are read-only."));
        }
        return unknownMethod(message);
    }

    // Each interface's properties of the object at `objectPath`.
    QMap<QString, QVariantMap> propertiesAt(const QString& objectPath) const
    {
        if (objectPath == kRoot) {
            return {{kManager,
                     {{QStringLiteral("Devices"), paths({kDevicePath})},
                      {QStringLiteral("AllDevices"), paths({kDevicePath})},
                      {QStringLiteral("ActiveConnections"), paths(activePaths())},
                      {QStringLiteral("PrimaryConnection"), path(activePath(kDeviceConnection))},
                      {QStringLiteral("PrimaryConnectionType"), QStringLiteral("802-3-ethernet")},
                      {QStringLiteral("ActivatingConnection"), path(kNoObject)},
                      {QStringLiteral("Checkpoints"), paths({})},
                      {QStringLiteral("State"), 70u},
                      {QStringLiteral("Connectivity"), 4u},
                      {QStringLiteral("NetworkingEnabled"), true},
                      {QStringLiteral("WirelessEnabled"), false},
                      {QStringLiteral("WirelessHardwareEnabled"), false},
                      {QStringLiteral("WwanEnabled"), false},
                      {QStringLiteral("Startup"), false},
                      {QStringLiteral("Version"), QStringLiteral("1.42.4")}}}};
        }
        if (objectPath == kSettingsPath) {
            return {{kSettings,
                     {{QStringLiteral("Connections"), paths(connectionPaths())},
                      {QStringLiteral("Hostname"), QStringLiteral("standin")},
                      {QStringLiteral("CanModify"), true}}}};
        }
        if (m_profiles.contains(idIn(objectPath, kConnectionPrefix))) {
            return {{kConnection,
                     {{QStringLiteral("Unsaved"), false},
                      {QStringLiteral("Flags"), 0u},
                      {QStringLiteral("Filename"), QString()}}}};
        }
        if (const uint id = idIn(objectPath, kActivePrefix); m_actives.contains(id)) {
            return activeProperties(id);
        }
        if (objectPath == kDevicePath) {
            return {{kDevice,
                     {{QStringLiteral("Udi"), QStringLiteral("/sys/devices/virtual/net/") + kInterfaceName},
                      {QStringLiteral("Interface"), kInterfaceName},
                      {QStringLiteral("IpInterface"), kInterfaceName},
                      {QStringLiteral("Driver"), QStringLiteral("standin")},
                      {QStringLiteral("DeviceType"), 1u},  // NM_DEVICE_TYPE_ETHERNET
                      {QStringLiteral("State"), 100u},     // NM_DEVICE_STATE_ACTIVATED
                      {QStringLiteral("ActiveConnection"), path(activePath(kDeviceConnection))},
                      {QStringLiteral("AvailableConnections"), paths({connectionPath(kDeviceConnection)})},
                      {QStringLiteral("Ip4Config"), path(kIP4Path)},
                      {QStringLiteral("Ip6Config"), path(kIP6Path)},
                      {QStringLiteral("Managed"), true},
                      {QStringLiteral("Autoconnect"), true},
                      {QStringLiteral("Real"), true},
                      {QStringLiteral("Mtu"), 1500u},
                      {QStringLiteral("Ip4Connectivity"), 4u},
                      {QStringLiteral("Ip6Connectivity"), 4u}}}};
        }
        // Documentation addresses (RFC 5737, RFC 3849): the stand-in's link reaches nothing.
        if (objectPath == kIP4Path) {
            return {
                {kIP4,
                 {{QStringLiteral("AddressData"),
                   QVariant::fromValue(QList<QVariantMap>{addressEntry(QStringLiteral("192.0.2.10"), 24)})},
                  {QStringLiteral("Gateway"), QStringLiteral("192.0.2.1")},
                  {QStringLiteral("NameserverData"),
                   QVariant::fromValue(QList<QVariantMap>{{{QStringLiteral("address"), QStringLiteral("192.0.2.1")}}})},
                  {QStringLiteral("RouteData"), QVariant::fromValue(QList<QVariantMap>{})},
                  {QStringLiteral("Domains"), QStringList{}},
                  {QStringLiteral("Searches"), QStringList{}}}}};
        }
        if (objectPath == kIP6Path) {
            return {{kIP6,
                     {{QStringLiteral("AddressData"),
                       QVariant::fromValue(QList<QVariantMap>{addressEntry(QStringLiteral("2001:db8::10"), 64)})},
                      {QStringLiteral("Gateway"), QString()},
                      {QStringLiteral("Nameservers"), QVariant::fromValue(QList<QByteArray>{})},
                      {QStringLiteral("RouteData"), QVariant::fromValue(QList<QVariantMap>{})},
                      {QStringLiteral("Domains"), QStringList{}},
                      {QStringLiteral("Searches"), QStringList{}}}}};
        }
        return {};
    }

    QMap<QString, QVariantMap> activeProperties(uint id) const
    {
        const Active active = m_actives.value(id);
        const QVariantMap connection = m_profiles.value(active.profile).value(QStringLiteral("connection"));
        const bool device = id == kDeviceConnection;
        QMap<QString, QVariantMap> result{
            {kActive,
             {{QStringLiteral("Connection"), path(connectionPath(active.profile))},
              {QStringLiteral("SpecificObject"), path(kNoObject)},
              {QStringLiteral("Id"), connection.value(QStringLiteral("id")).toString()},
              {QStringLiteral("Uuid"), connection.value(QStringLiteral("uuid")).toString()},
              {QStringLiteral("Type"), connection.value(QStringLiteral("type")).toString()},
              {QStringLiteral("Devices"), paths({kDevicePath})},
              {QStringLiteral("State"), active.state},
              {QStringLiteral("StateFlags"), 0u},
              {QStringLiteral("Default"), device},
              {QStringLiteral("Default6"), false},
              {QStringLiteral("Ip4Config"), path(device ? kIP4Path : kNoObject)},
              {QStringLiteral("Ip6Config"), path(device ? kIP6Path : kNoObject)},
              {QStringLiteral("Dhcp4Config"), path(kNoObject)},
              {QStringLiteral("Dhcp6Config"), path(kNoObject)},
              {QStringLiteral("Vpn"), active.vpn},
              {QStringLiteral("Master"), path(device ? kNoObject : activePath(kDeviceConnection))},
              {QStringLiteral("Controller"), path(device ? kNoObject : activePath(kDeviceConnection))}}}};
        if (active.vpn) {
            result.insert(kVpn, {{QStringLiteral("VpnState"), active.vpnState}, {QStringLiteral("Banner"), QString()}});
        }
        return result;
    }

    QStringList connectionPaths() const
    {
        QStringList result;
        for (const uint id : m_profiles.keys()) {
            result.append(connectionPath(id));
        }
        return result;
    }

    QStringList activePaths() const
    {
        QStringList result;
        for (const uint id : m_actives.keys()) {
            result.append(activePath(id));
        }
        return result;
    }

    void signal(const QString& objectPath, const QString& interface, const QString& name, const QVariantList& arguments)
    {
        QDBusMessage message = QDBusMessage::createSignal(objectPath, interface, name);
        message.setArguments(arguments);
        m_bus->send(message);
    }

    void propertiesChanged(const QString& objectPath, const QString& interface, const QVariantMap& changed)
    {
        signal(objectPath, kProperties, QStringLiteral("PropertiesChanged"), {interface, changed, QStringList{}});
    }

    void countTunnels()
    {
        int count = 0;
        for (const Active& active : std::as_const(m_actives)) {
            count += active.vpn && active.vpnState == vpnActivated ? 1 : 0;
        }
        up = count;
    }

    const QString m_address;
    const uint m_otherProfiles;
    QString m_connectionName;
    std::unique_ptr<QDBusConnection> m_bus;
    QThread* m_home = nullptr;
    QTimer m_refuseTimer{this};
    bool m_refusing = false;
    quint64 m_lastCall = 0;
    QMap<quint64, QDBusMessage> m_waiting;  // calls not answered yet, by arrival
    QList<std::function<void()>> m_announcements;

    QMap<uint, SettingsMap> m_profiles;
    uint m_nextProfile = 1;
    QMap<uint, Active> m_actives;
    uint m_nextActive = 1;
    SettingsMap m_applied;
    qulonglong m_appliedVersion = 1;

    mutable std::mutex m_logLock;
    QStringList m_calls;
};

QString NetworkManagerStandIn::Responder::introspect(const QString& objectPath) const
{
    static const QString properties = QStringLiteral(
        "<interface name=\"org.freedesktop.DBus.Properties\">"
        "<method name=\"Get\"><arg name=\"interface_name\" type=\"s\" direction=\"in\"/>"
        "<arg name=\"property_name\" type=\"s\" direction=\"in\"/><arg name=\"value\" type=\"v\" "
        "direction=\"out\"/></method>"
        "<method name=\"GetAll\"><arg name=\"interface_name\" type=\"s\" direction=\"in\"/>"
        "<arg name=\"properties\" type=\"a{sv}\" direction=\"out\"/></method>"
        "<signal name=\"PropertiesChanged\"><arg name=\"interface_name\" type=\"s\"/>"
        "<arg name=\"changed_properties\" type=\"a{sv}\"/><arg name=\"invalidated_properties\" type=\"as\"/></signal>"
        "</interface>");
    QString xml = properties;
    // Property types, from the values the object holds now.
    for (const auto& [interface, values] : propertiesAt(objectPath).asKeyValueRange()) {
        xml += QStringLiteral("<interface name=\"%1\">").arg(interface);
        for (auto value = values.cbegin(); value != values.cend(); ++value) {
            const char* signature = QDBusMetaType::typeToSignature(value->metaType());
            xml += QStringLiteral("<property name=\"%1\" type=\"%2\" access=\"read\"/>")
                       .arg(value.key(), QString::fromLatin1(signature ? signature : "v"));
        }
        xml += QStringLiteral("</interface>");
    }
    return xml;
}

NetworkManagerStandIn::NetworkManagerStandIn(const QString& busAddress, int otherProfiles)
{
    qDBusRegisterMetaType<SettingsMap>();
    qDBusRegisterMetaType<QList<QVariantMap>>();
    qDBusRegisterMetaType<QList<QByteArray>>();
    m_responder = new Responder(busAddress, otherProfiles);
    m_responder->moveToThread(&m_thread);
    m_thread.setObjectName(QStringLiteral("NetworkManager stand-in"));
    m_thread.start();
    QThread* const home = QThread::currentThread();
    QMetaObject::invokeMethod(
        m_responder, [this, home] { m_running = m_responder->start(home); }, Qt::BlockingQueuedConnection);
}

NetworkManagerStandIn::~NetworkManagerStandIn()
{
    QMetaObject::invokeMethod(
        m_responder, [this] { m_responder->stop(); }, Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
    delete m_responder;
}

void NetworkManagerStandIn::setAnswerDelay(int ms)
{
    m_responder->delayMs = ms;
}

void NetworkManagerStandIn::refuseAllAfter(int ms)
{
    QMetaObject::invokeMethod(
        m_responder, [this, ms] { m_responder->refuseAfter(ms); }, Qt::BlockingQueuedConnection);
}

void NetworkManagerStandIn::reset()
{
    QMetaObject::invokeMethod(
        m_responder, [this] { m_responder->reset(); }, Qt::BlockingQueuedConnection);
}

QStringList NetworkManagerStandIn::calls() const
{
    return m_responder->calls();
}

int NetworkManagerStandIn::tunnelsUp() const
{
    return m_responder->up.load();
}

}  // namespace tandrel::standin
