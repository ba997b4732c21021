#include "Platform/NetworkExtension/NetworkManagerKillSwitch.h"

#include "Platform/NetworkExtension/NetworkManagerDBus.h"

#include <QDBusPendingCallWatcher>
#include <QHostAddress>

#include <memory>

namespace tandrel {

using namespace nmdbus;

namespace {

constexpr int kFamilyIPv4 = 2;
constexpr int kFamilyIPv6 = 10;
// Server and local subnets come before the tunnel's table (220); the block after it and
// before the main table (32766).
constexpr uint kResolverRulePriority = 98;
constexpr uint kServerRulePriority = 99;
constexpr uint kLocalNetworkRulePriority = 100;
constexpr uint kBlockRulePriority = 30000;
constexpr uint kMainRoutingTable = 254;
constexpr uchar kActionProhibit = 8;  // FR_ACT_PROHIBIT: a send fails at once, no hanging app
// NMDeviceType values that are never links of their own to block or to exclude.
constexpr uint kDeviceTypeTun = 16;
constexpr uint kDeviceTypeLoopback = 32;
constexpr uint kDeviceStateActivated = 100;

const QString kIPv4 = QStringLiteral("ipv4");
const QString kIPv6 = QStringLiteral("ipv6");
const QString kRoutingRules = QStringLiteral("routing-rules");

QVariantMap toMainTable(int family, uint priority, const QString& address, uint prefixLength)
{
    // NetworkManager checks each attribute's D-Bus type: family i, priority u, to s, to-len y, table u.
    return {
        {QStringLiteral("family"), family},
        {QStringLiteral("priority"), priority},
        {QStringLiteral("to"), address},
        {QStringLiteral("to-len"), QVariant::fromValue(static_cast<uchar>(prefixLength))},
        {QStringLiteral("table"), kMainRoutingTable},
    };
}

QVariantMap prohibitRule(int family)
{
    return {
        {QStringLiteral("family"), family},
        {QStringLiteral("priority"), kBlockRulePriority},
        {QStringLiteral("action"), QVariant::fromValue(kActionProhibit)},
    };
}

// Name lookups (UDP or TCP port 53) to a resolver on an excluded local subnet fail.
QVariantMap lookupBlockRule(int family, const QString& resolver, uchar ipProtocol)
{
    return {
        {QStringLiteral("family"), family},
        {QStringLiteral("priority"), kResolverRulePriority},
        {QStringLiteral("to"), resolver},
        {QStringLiteral("to-len"), QVariant::fromValue(static_cast<uchar>(family == kFamilyIPv4 ? 32 : 128))},
        {QStringLiteral("ipproto"), QVariant::fromValue(ipProtocol)},
        {QStringLiteral("dport-start"), QVariant::fromValue(static_cast<ushort>(53))},
        {QStringLiteral("dport-end"), QVariant::fromValue(static_cast<ushort>(53))},
        {QStringLiteral("action"), QVariant::fromValue(kActionProhibit)},
    };
}

bool inNetwork(const QHostAddress& address, const LocalNetwork& network)
{
    return address.isInSubnet(QHostAddress(network.address), int(network.prefixLength));
}

// The network of an address, as text; empty for what is no local subnet of ours.
QString networkOf(const QHostAddress& address, uint prefixLength)
{
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        if (prefixLength == 0 || prefixLength > 32) {
            return {};
        }
        const quint32 mask = prefixLength == 32 ? 0xffffffffu : ~(0xffffffffu >> prefixLength);
        return QHostAddress(address.toIPv4Address() & mask).toString();
    }
    // Link-local IPv6 needs no rule: neighbour discovery works under the block.
    if (address.protocol() != QAbstractSocket::IPv6Protocol || prefixLength == 0 || prefixLength > 128 ||
        address.isLinkLocal()) {
        return {};
    }
    Q_IPV6ADDR bytes = address.toIPv6Address();
    for (uint bit = prefixLength; bit < 128; ++bit) {
        bytes[bit / 8] &= static_cast<quint8>(~(0x80u >> (bit % 8)));
    }
    return QHostAddress(bytes).toString();
}

// A link's own subnets of one family, and its resolvers that sit in them.
LinkAddresses linkAddresses(const QDBusConnection& bus, const QString& devicePath, int family)
{
    const bool v4 = family == kFamilyIPv4;
    const QString config =
        objectPathProperty(bus, devicePath, kDeviceInterface, v4 ? QStringLiteral("Ip4Config") : QStringLiteral("Ip6Config"));
    if (config.isEmpty() || config == QLatin1String("/")) {
        return {};
    }
    const QString interface = v4 ? kIP4ConfigInterface : kIP6ConfigInterface;
    LinkAddresses link;
    link.interfaceName = readProperty(bus, devicePath, kDeviceInterface, QStringLiteral("IpInterface")).toString();
    for (const QVariantMap& entry : variantMaps(readProperty(bus, config, interface, QStringLiteral("AddressData")))) {
        const uint prefixLength = entry.value(QStringLiteral("prefix")).toUInt();
        const QString network = networkOf(QHostAddress(entry.value(QStringLiteral("address")).toString()), prefixLength);
        if (!network.isEmpty() && !link.networks.contains(LocalNetwork{network, prefixLength})) {
            link.networks.append(LocalNetwork{network, prefixLength});
        }
    }
    QList<QHostAddress> resolvers;
    if (v4) {
        for (const QVariantMap& entry :
             variantMaps(readProperty(bus, config, interface, QStringLiteral("NameserverData")))) {
            resolvers.append(QHostAddress(entry.value(QStringLiteral("address")).toString()));
        }
    } else {
        const QVariant value = readProperty(bus, config, interface, QStringLiteral("Nameservers"));
        const QList<QByteArray> raw = value.canConvert<QDBusArgument>()
                                          ? qdbus_cast<QList<QByteArray>>(value.value<QDBusArgument>())
                                          : value.value<QList<QByteArray>>();
        for (const QByteArray& bytes : raw) {
            if (bytes.size() == 16) {
                resolvers.append(QHostAddress(reinterpret_cast<const quint8*>(bytes.constData())));
            }
        }
    }
    for (const QHostAddress& resolver : resolvers) {
        if (std::any_of(link.networks.begin(), link.networks.end(),
                        [&resolver](const LocalNetwork& network) { return inNetwork(resolver, network); })) {
            link.resolvers.append(resolver.toString());
        }
    }
    return link;
}

}  // namespace

NetworkManagerKillSwitch::NetworkManagerKillSwitch(QDBusConnection bus, QObject* parent)
    : QObject(parent), m_bus(std::move(bus))
{
    m_bus.connect(kService, QString(), kDeviceInterface, QStringLiteral("StateChanged"), this,
                  SLOT(deviceStateChanged(QDBusMessage)));
}

bool NetworkManagerKillSwitch::isOurs(const QVariantMap& rule)
{
    const uint priority = rule.value(QStringLiteral("priority")).toUInt();
    if (priority == kBlockRulePriority || priority == kResolverRulePriority) {
        return rule.value(QStringLiteral("action")).toUInt() == kActionProhibit;
    }
    return (priority == kServerRulePriority || priority == kLocalNetworkRulePriority) &&
           rule.value(QStringLiteral("table")).toUInt() == kMainRoutingTable &&
           rule.contains(QStringLiteral("to"));
}

QList<QVariantMap> NetworkManagerKillSwitch::rulesFor(int family, const QList<QVariantMap>& existing,
                                                      const TrafficGuardPolicy& blocks, const LinkAddresses& link)
{
    QList<QVariantMap> rules;
    for (const QVariantMap& rule : existing) {
        if (!isOurs(rule)) {
            rules.append(rule);
        }
    }
    const QAbstractSocket::NetworkLayerProtocol protocol =
        family == kFamilyIPv4 ? QAbstractSocket::IPv4Protocol : QAbstractSocket::IPv6Protocol;
    if (blocks.holdBack) {
        for (const QString& server : blocks.serverAddresses) {
            const QHostAddress address(server);
            if (address.protocol() == protocol) {
                rules.append(toMainTable(family, kServerRulePriority, address.toString(),
                                         protocol == QAbstractSocket::IPv4Protocol ? 32 : 128));
            }
        }
    }
    if (blocks.holdBack && family == kFamilyIPv4 && !link.interfaceName.isEmpty()) {
        // A link activated anew while the block holds: the kernel checks a new default
        // route's gateway with a lookup bound to the link, which would hit the block and
        // leave the link without a default route once the block goes. Only lookups bound
        // to the link and to its own subnet match (that check, and sockets bound to the
        // device talking to their LAN).
        for (const LocalNetwork& network : link.networks) {
            if (QHostAddress(network.address).protocol() == protocol) {
                QVariantMap rule = toMainTable(family, kServerRulePriority, network.address, network.prefixLength);
                rule.insert(QStringLiteral("oifname"), link.interfaceName);
                rules.append(rule);
            }
        }
    }
    if (blocks.excludeLocalNetworks) {
        // A resolver on the LAN would see every name looked up in clear: lookups go to
        // the tunnel's resolvers instead (this one fails at once).
        for (const QString& resolver : link.resolvers) {
            if (QHostAddress(resolver).protocol() == protocol) {
                rules.append(lookupBlockRule(family, resolver, 17));
                rules.append(lookupBlockRule(family, resolver, 6));
            }
        }
        for (const LocalNetwork& network : link.networks) {
            if (QHostAddress(network.address).protocol() == protocol) {
                rules.append(toMainTable(family, kLocalNetworkRulePriority, network.address, network.prefixLength));
            }
        }
    }
    if (blocks.holdBack || (blocks.blockIPv6 && family == kFamilyIPv6)) {
        rules.append(prohibitRule(family));
    }
    return rules;
}

QStringList NetworkManagerKillSwitch::devices() const
{
    QStringList found;
    const QDBusMessage reply =
        m_bus.call(methodCall(kManagerPath, kManagerInterface, QStringLiteral("GetDevices")), QDBus::Block, kReadTimeoutMs);
    for (const QDBusObjectPath& device : objectPaths(reply.arguments().value(0))) {
        const uint type = readProperty(m_bus, device.path(), kDeviceInterface, QStringLiteral("DeviceType")).toUInt();
        const QString active = objectPathProperty(m_bus, device.path(), kDeviceInterface, QStringLiteral("ActiveConnection"));
        if (type == kDeviceTypeLoopback || type == kDeviceTypeTun || active.isEmpty() || active == QLatin1String("/") ||
            readProperty(m_bus, active, kActiveInterface, QStringLiteral("Vpn")).toBool()) {
            continue;
        }
        found.append(device.path());
    }
    return found;
}

bool NetworkManagerKillSwitch::foundOnLinks() const
{
    for (const QString& device : devices()) {
        const QDBusMessage applied = m_bus.call(
            methodCall(device, kDeviceInterface, QStringLiteral("GetAppliedConnection"), {uint(0)}), QDBus::Block,
            kReadTimeoutMs);
        const NMVariantMapMap connection = settingsFromReply(applied);
        for (const QString& family : {kIPv4, kIPv6}) {
            const QList<QVariantMap> rules = variantMaps(connection.value(family).value(kRoutingRules));
            if (std::any_of(rules.begin(), rules.end(), &NetworkManagerKillSwitch::isOurs)) {
                return true;
            }
        }
    }
    return false;
}

void NetworkManagerKillSwitch::set(const TrafficGuardPolicy& blocks, std::function<void()> then)
{
    m_blocks = blocks;
    ++m_generation;
    auto outstanding = std::make_shared<int>(1);
    auto finishOne = [outstanding, then = std::move(then)] {
        if (--*outstanding == 0 && then) {
            then();
        }
    };
    for (const QString& device : devices()) {
        ++*outstanding;
        applyTo(device, true, finishOne);
    }
    finishOne();
}

void NetworkManagerKillSwitch::deviceStateChanged(const QDBusMessage& message)
{
    // A link activated anew runs its stored profile again, without our rules.
    if (message.arguments().value(0).toUInt() == kDeviceStateActivated && !m_blocks.isEmpty() &&
        devices().contains(message.path())) {
        applyTo(message.path(), true, [] {});
    }
}

// Changes the link's running configuration only: the user's stored profile of that link
// never carries our rules.
void NetworkManagerKillSwitch::applyTo(const QString& devicePath, bool retryOnRace, std::function<void()> then)
{
    const QDBusMessage applied =
        m_bus.call(methodCall(devicePath, kDeviceInterface, QStringLiteral("GetAppliedConnection"), {uint(0)}),
                   QDBus::Block, kReadTimeoutMs);
    if (applied.type() != QDBusMessage::ReplyMessage || applied.arguments().size() < 2) {
        then();
        return;
    }
    NMVariantMapMap connection = settingsFromReply(applied);
    const qulonglong versionId = applied.arguments().at(1).toULongLong();
    bool changed = false;
    for (const int family : {kFamilyIPv4, kFamilyIPv6}) {
        const QString& name = family == kFamilyIPv4 ? kIPv4 : kIPv6;
        QVariantMap settings = connection.value(name);
        const QList<QVariantMap> existing = variantMaps(settings.value(kRoutingRules));
        const QList<QVariantMap> wanted =
            rulesFor(family, existing, m_blocks,
                     m_blocks.isEmpty() ? LinkAddresses{} : linkAddresses(m_bus, devicePath, family));
        // Touching IPv6 settings re-runs duplicate address detection on the link: only when needed.
        if (wanted == existing) {
            continue;
        }
        changed = true;
        settings.insert(kRoutingRules, QVariant::fromValue(wanted));
        connection.insert(name, settings);
    }
    if (!changed) {
        then();
        return;
    }
    auto* watcher = new QDBusPendingCallWatcher(
        m_bus.asyncCall(methodCall(devicePath, kDeviceInterface, QStringLiteral("Reapply"),
                                   {QVariant::fromValue(connection), QVariant::fromValue(versionId), uint(0)}),
                        kChangeTimeoutMs),
        this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, watcher, devicePath, retryOnRace, generation = m_generation, then = std::move(then)] {
                watcher->deleteLater();
                const QDBusMessage reply = watcher->reply();
                // Someone changed the link between our read and our Reapply (the version
                // no longer matches): read it again, once.
                if (reply.type() != QDBusMessage::ReplyMessage && retryOnRace && generation == m_generation) {
                    applyTo(devicePath, false, then);
                    return;
                }
                then();
            });
}

}  // namespace tandrel
