#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>
#include <variant>

namespace tandrel::guard {

// How many server addresses, and how many local networks, one guard takes.
inline constexpr int kMaxEntries = 64;

// A local network as a caller names it: an address and a prefix length, unchecked.
struct NetworkText {
    QString address;
    int prefixLength = 0;
    bool operator==(const NetworkText&) const = default;
};

// What a caller asks for, as it came over the bus: nothing here is trusted yet.
struct GuardRequest {
    QStringList serverAddresses;
    QList<NetworkText> localNetworks;
    bool holdBack = false;
    bool blockIPv6 = false;
    bool excludeLocalNetworks = false;
};

// A network whose host bits are cleared.
struct Subnet {
    QHostAddress network;
    int prefixLength = 0;
    bool operator==(const Subnet&) const = default;
};

// A guard made only of values we parsed ourselves: every address is printed back by
// QHostAddress, never copied from the caller's text.
struct GuardSettings {
    QList<QHostAddress> servers;   // sorted, without repeats
    QList<Subnet> localNetworks;   // sorted, none inside another (nftables refuses overlapping intervals)
    bool holdBack = false;
    bool blockIPv6 = false;
    bool excludeLocalNetworks = false;
    bool operator==(const GuardSettings&) const = default;
};

// The request checked and put in order, or a sentence saying what is wrong with it.
std::variant<GuardSettings, QString> validate(const GuardRequest& request);

// The nft input that replaces whatever table of ours is in place by this guard in one
// transaction: "table" (so that the delete finds one) + "delete table" + the table.
//
//   output / forward chains, in this order:
//     loopback (output)                           accept
//     the tunnel: TUN "ipsec0" (libipsec), packets with an xfrm bundle (kernel IPsec)   accept
//     IKE (udp 500, 4500) and ESP to the pinned server addresses (output)           accept
//     DHCPv4/v6 from their privileged ports, IPv6 neighbour discovery and MLD (output) accept
//     hold back: DNS (53, 853) to anything              reject
//     exclude local networks: DNS to them reject, the rest   accept
//     block IPv6: any IPv6                              reject
//     hold back: everything else                        reject, else accept
//   Rejected TCP gets a reset, anything else an ICMP error, so applications fail at once
//   instead of waiting out their own timeouts.
QString ruleSetFor(const GuardSettings& settings);

// The nft input that takes our table away; it succeeds also when there is none.
QString removal();

// What a `list table` of ours in nft's JSON output holds, or nullopt when it is not a
// table this program wrote.
std::optional<GuardSettings> readListing(const QByteArray& json);

}  // namespace tandrel::guard
