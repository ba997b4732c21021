#include "TrafficGuard/GuardRuleSet.h"

#include "BuildConfig.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace tandrel::guard {

namespace {

// The comments that mark which of the caller's switches a rule stands for, so that the
// switches can be read back from the kernel.
const QString kHoldBackMark = QStringLiteral("hold back");
const QString kBlockIPv6Mark = QStringLiteral("block IPv6");
const QString kExcludeLocalMark = QStringLiteral("exclude local networks");

QString table()
{
    return QStringLiteral("inet ") + QString::fromUtf8(BuildConfig::trafficGuardTable);
}

// An address the guard can name: a plain unicast or network address of one family.
std::optional<QHostAddress> parseAddress(const QString& text)
{
    const QHostAddress address(text);
    const auto protocol = address.protocol();
    if (protocol != QAbstractSocket::IPv4Protocol && protocol != QAbstractSocket::IPv6Protocol) {
        return std::nullopt;
    }
    // A scope (fe80::1%eth0) has no place in a set; a mapped IPv4 address would hide in the IPv6 set.
    bool mapped = false;
    if (protocol == QAbstractSocket::IPv6Protocol) {
        address.toIPv4Address(&mapped);
    }
    if (!address.scopeId().isEmpty() || mapped) {
        return std::nullopt;
    }
    return address;
}

int maxPrefix(const QHostAddress& address)
{
    return address.protocol() == QAbstractSocket::IPv4Protocol ? 32 : 128;
}

QHostAddress networkOf(const QHostAddress& address, int prefixLength)
{
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        const quint32 mask = prefixLength == 0 ? 0 : ~quint32(0) << (32 - prefixLength);
        return QHostAddress(address.toIPv4Address() & mask);
    }
    Q_IPV6ADDR bytes = address.toIPv6Address();
    for (int i = 0; i < 16; ++i) {
        const int bits = std::clamp(prefixLength - i * 8, 0, 8);
        bytes[i] &= quint8(0xff00 >> bits);
    }
    return QHostAddress(bytes);
}

bool lessThan(const QHostAddress& a, const QHostAddress& b)
{
    if (a.protocol() != b.protocol()) {
        return a.protocol() == QAbstractSocket::IPv4Protocol;
    }
    if (a.protocol() == QAbstractSocket::IPv4Protocol) {
        return a.toIPv4Address() < b.toIPv4Address();
    }
    const Q_IPV6ADDR x = a.toIPv6Address();
    const Q_IPV6ADDR y = b.toIPv6Address();
    return std::lexicographical_compare(x.c, x.c + 16, y.c, y.c + 16);
}

bool isIPv4(const QHostAddress& address)
{
    return address.protocol() == QAbstractSocket::IPv4Protocol;
}

QString elements(const QStringList& items)
{
    return items.isEmpty() ? QString() : QStringLiteral(" elements = { ") + items.join(QStringLiteral(", ")) + QStringLiteral(" };");
}

QString serverSet(const char* name, const char* type, const QList<QHostAddress>& servers, bool v4)
{
    QStringList items;
    for (const QHostAddress& server : servers) {
        if (isIPv4(server) == v4) {
            items.append(server.toString());
        }
    }
    return QStringLiteral("\tset %1 { type %2;%3 }\n").arg(QLatin1String(name), QLatin1String(type), elements(items));
}

QString localSet(const char* name, const char* type, const QList<Subnet>& networks, bool v4)
{
    QStringList items;
    for (const Subnet& subnet : networks) {
        if (isIPv4(subnet.network) == v4) {
            items.append(subnet.network.toString() + QLatin1Char('/') + QString::number(subnet.prefixLength));
        }
    }
    return QStringLiteral("\tset %1 { type %2; flags interval;%3 }\n").arg(QLatin1String(name), QLatin1String(type), elements(items));
}

QString marked(const QString& rule, const QString& mark)
{
    return rule + QStringLiteral(" comment \"") + mark + QLatin1Char('"');
}

// The decisions both chains share, after their own exceptions.
QStringList verdicts(const GuardSettings& settings)
{
    static const QString dns = QStringLiteral("meta l4proto { tcp, udp } th dport { 53, 853 } goto block");
    QStringList rules;
    if (settings.holdBack) {
        // Before the local exception: a resolver on the LAN sees nothing in clear.
        rules.append(dns);
    }
    if (settings.excludeLocalNetworks) {
        if (!settings.holdBack) {
            rules.append(QStringLiteral("ip daddr @local4 ") + dns);
            rules.append(QStringLiteral("ip6 daddr @local6 ") + dns);
        }
        rules.append(marked(QStringLiteral("ip daddr @local4 accept"), kExcludeLocalMark));
        rules.append(marked(QStringLiteral("ip6 daddr @local6 accept"), kExcludeLocalMark));
    }
    if (settings.blockIPv6) {
        rules.append(marked(QStringLiteral("meta nfproto ipv6 goto block"), kBlockIPv6Mark));
    }
    rules.append(settings.holdBack ? marked(QStringLiteral("goto block"), kHoldBackMark) : QStringLiteral("accept"));
    return rules;
}

QString chain(const char* name, const char* hook, const QStringList& rules)
{
    QString text = QStringLiteral("\tchain %1 {\n\t\ttype filter hook %2 priority filter; policy drop;\n")
                       .arg(QLatin1String(name), QLatin1String(hook));
    for (const QString& rule : rules) {
        text += QStringLiteral("\t\t") + rule + QLatin1Char('\n');
    }
    return text + QStringLiteral("\t}\n");
}

std::optional<Subnet> elementOf(const QJsonValue& element, bool v4)
{
    QString address;
    int prefixLength = 0;
    if (element.isString()) {
        address = element.toString();
    } else {
        const QJsonObject prefix = element.toObject().value(QStringLiteral("prefix")).toObject();
        address = prefix.value(QStringLiteral("addr")).toString();
        prefixLength = prefix.value(QStringLiteral("len")).toInt(-1);
    }
    const std::optional<QHostAddress> parsed = parseAddress(address);
    if (!parsed || isIPv4(*parsed) != v4) {
        return std::nullopt;
    }
    return Subnet{*parsed, element.isString() ? maxPrefix(*parsed) : prefixLength};
}

}  // namespace

std::variant<GuardSettings, QString> validate(const GuardRequest& request)
{
    if (!request.holdBack && !request.blockIPv6 && !request.excludeLocalNetworks) {
        return QStringLiteral("Set needs at least one of holdBack, blockIPv6 and excludeLocalNetworks; Clear takes the guard away.");
    }
    if (request.serverAddresses.size() > kMaxEntries || request.localNetworks.size() > kMaxEntries) {
        return QStringLiteral("At most %1 server addresses and %1 local networks.").arg(kMaxEntries);
    }
    GuardSettings settings;
    settings.holdBack = request.holdBack;
    settings.blockIPv6 = request.blockIPv6;
    settings.excludeLocalNetworks = request.excludeLocalNetworks;
    for (int i = 0; i < request.serverAddresses.size(); ++i) {
        const std::optional<QHostAddress> server = parseAddress(request.serverAddresses.at(i));
        if (!server || server->isMulticast() || server->isBroadcast() || *server == QHostAddress::AnyIPv4 ||
            *server == QHostAddress::AnyIPv6) {
            return QStringLiteral("Server address %1 is not a unicast IPv4 or IPv6 address.").arg(i + 1);
        }
        settings.servers.append(*server);
    }
    for (int i = 0; i < request.localNetworks.size(); ++i) {
        const NetworkText& given = request.localNetworks.at(i);
        const std::optional<QHostAddress> address = parseAddress(given.address);
        // A prefix of 0 would let everything by as "local".
        if (!address || given.prefixLength < 1 || given.prefixLength > maxPrefix(*address)) {
            return QStringLiteral("Local network %1 is not an IPv4 or IPv6 address with a prefix length of 1 to 32 or 128.")
                .arg(i + 1);
        }
        settings.localNetworks.append({networkOf(*address, given.prefixLength), given.prefixLength});
    }
    std::sort(settings.servers.begin(), settings.servers.end(), lessThan);
    settings.servers.erase(std::unique(settings.servers.begin(), settings.servers.end()), settings.servers.end());
    // Widest first, so that a network inside one already kept is dropped.
    std::sort(settings.localNetworks.begin(), settings.localNetworks.end(), [](const Subnet& a, const Subnet& b) {
        return a.prefixLength != b.prefixLength ? a.prefixLength < b.prefixLength : lessThan(a.network, b.network);
    });
    QList<Subnet> kept;
    for (const Subnet& subnet : settings.localNetworks) {
        const bool inside = std::any_of(kept.begin(), kept.end(), [&](const Subnet& wider) {
            return isIPv4(wider.network) == isIPv4(subnet.network) &&
                   networkOf(subnet.network, wider.prefixLength) == wider.network;
        });
        if (!inside) {
            kept.append(subnet);
        }
    }
    std::sort(kept.begin(), kept.end(), [](const Subnet& a, const Subnet& b) {
        return a.network != b.network ? lessThan(a.network, b.network) : a.prefixLength < b.prefixLength;
    });
    settings.localNetworks = kept;
    return settings;
}

QString ruleSetFor(const GuardSettings& settings)
{
    const QString name = table();
    QString text = QStringLiteral("table %1\ndelete table %1\ntable %1 {\n").arg(name);
    text += QStringLiteral("\tcomment \"Tandrel traffic guard; remove: nft delete table %1\"\n").arg(name);
    text += serverSet("vpn4", "ipv4_addr", settings.servers, true);
    text += serverSet("vpn6", "ipv6_addr", settings.servers, false);
    text += localSet("local4", "ipv4_addr", settings.localNetworks, true);
    text += localSet("local6", "ipv6_addr", settings.localNetworks, false);

    // Packets for the tunnel: charon-nm's libipsec back end hands them to its TUN device,
    // kernel IPsec routes them to the uplink with an xfrm bundle attached. The device name is
    // fixed so the table holds with the client gone; only root can create a device of it.
    const QStringList tunnel = {QStringLiteral("oifname \"ipsec0\" accept"), QStringLiteral("rt ipsec exists accept")};
    QStringList output = {QStringLiteral("oifname \"lo\" accept")};
    output += tunnel;
    output += {
        QStringLiteral("ip daddr @vpn4 udp dport { 500, 4500 } accept"),
        QStringLiteral("ip daddr @vpn4 meta l4proto esp accept"),
        QStringLiteral("ip6 daddr @vpn6 udp dport { 500, 4500 } accept"),
        QStringLiteral("ip6 daddr @vpn6 meta l4proto esp accept"),
        // What the uplink itself needs: a lease renewal and DHCPv6 (privileged source ports,
        // so no application can use them), and IPv6 on the link at all.
        QStringLiteral("udp sport 68 udp dport 67 accept"),
        QStringLiteral("udp sport 546 udp dport 547 accept"),
        QStringLiteral("icmpv6 type { nd-router-solicit, nd-neighbor-solicit, nd-neighbor-advert } ip6 hoplimit 255 accept"),
        QStringLiteral("icmpv6 type { mld-listener-report, mld2-listener-report, mld-listener-done } ip6 hoplimit 1 accept"),
    };
    output += verdicts(settings);
    // Containers and virtual machines behind NAT send forwarded, not output, traffic.
    QStringList forward = tunnel;
    forward.insert(1, QStringLiteral("iifname \"ipsec0\" accept"));
    forward += verdicts(settings);
    text += chain("output", "output", output);
    text += chain("forward", "forward", forward);
    text += QStringLiteral(
        "\tchain block {\n\t\tcounter\n\t\tmeta l4proto tcp reject with tcp reset\n"
        "\t\treject with icmpx admin-prohibited\n\t}\n}\n");
    return text;
}

QString removal()
{
    return QStringLiteral("table %1\ndelete table %1\n").arg(table());
}

std::optional<GuardSettings> readListing(const QByteArray& json)
{
    const QJsonArray items = QJsonDocument::fromJson(json).object().value(QStringLiteral("nftables")).toArray();
    const QString ourTable = QString::fromUtf8(BuildConfig::trafficGuardTable);
    GuardSettings settings;
    bool found = false;
    for (const QJsonValue& item : items) {
        const QJsonObject object = item.toObject();
        if (object.contains(QStringLiteral("table"))) {
            found = found || object.value(QStringLiteral("table")).toObject().value(QStringLiteral("name")).toString() == ourTable;
        }
        const QJsonObject set = object.value(QStringLiteral("set")).toObject();
        const QString setName = set.value(QStringLiteral("name")).toString();
        const bool v4 = setName.endsWith(QLatin1Char('4'));
        for (const QJsonValue& element : set.value(QStringLiteral("elem")).toArray()) {
            const std::optional<Subnet> subnet = elementOf(element, v4);
            if (!subnet) {
                return std::nullopt;
            }
            if (setName.startsWith(QLatin1String("vpn"))) {
                settings.servers.append(subnet->network);
            } else if (setName.startsWith(QLatin1String("local"))) {
                settings.localNetworks.append(*subnet);
            }
        }
        const QJsonObject rule = object.value(QStringLiteral("rule")).toObject();
        if (rule.value(QStringLiteral("chain")).toString() == QLatin1String("output")) {
            const QString mark = rule.value(QStringLiteral("comment")).toString();
            settings.holdBack = settings.holdBack || mark == kHoldBackMark;
            settings.blockIPv6 = settings.blockIPv6 || mark == kBlockIPv6Mark;
            settings.excludeLocalNetworks = settings.excludeLocalNetworks || mark == kExcludeLocalMark;
        }
    }
    if (!found) {
        return std::nullopt;
    }
    std::sort(settings.servers.begin(), settings.servers.end(), lessThan);
    std::sort(settings.localNetworks.begin(), settings.localNetworks.end(), [](const Subnet& a, const Subnet& b) {
        return a.network != b.network ? lessThan(a.network, b.network) : a.prefixLength < b.prefixLength;
    });
    return settings;
}

}  // namespace tandrel::guard
