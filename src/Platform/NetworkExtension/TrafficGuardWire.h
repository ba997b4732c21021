#pragma once

#include "BuildConfig.h"

#include <QDBusArgument>
#include <QDBusMetaType>
#include <QList>
#include <QMetaType>
#include <QString>

// What the traffic guard's privileged helper and its client say to each other on the
// system bus (shared by both programs, header only):
//   Set(as serverAddresses, a(sy) localNetworks, b holdBack, b blockIPv6, b excludeLocalNetworks)
//   Clear()
//   Report() -> (b inPlace, as serverAddresses, a(sy) localNetworks, b holdBack, b blockIPv6,
//                b excludeLocalNetworks), read back from the kernel
namespace tandrel::TrafficGuardWire {

inline QString service() { return QString::fromUtf8(BuildConfig::trafficGuardService); }
inline QString path() { return QString::fromUtf8(BuildConfig::trafficGuardPath); }
inline QString interface() { return QString::fromUtf8(BuildConfig::trafficGuardInterface); }
inline const QString setMethod = QStringLiteral("Set");
inline const QString clearMethod = QStringLiteral("Clear");
inline const QString reportMethod = QStringLiteral("Report");
inline const QString setSignature = QStringLiteral("asa(sy)bbb");
inline const QString reportSignature = QStringLiteral("basa(sy)bbb");

// One local network: its address and prefix length.
struct Network {
    QString address;
    uchar prefixLength = 0;
    bool operator==(const Network&) const = default;
};

inline QDBusArgument& operator<<(QDBusArgument& argument, const Network& network)
{
    argument.beginStructure();
    argument << network.address << network.prefixLength;
    argument.endStructure();
    return argument;
}

inline const QDBusArgument& operator>>(const QDBusArgument& argument, Network& network)
{
    argument.beginStructure();
    argument >> network.address >> network.prefixLength;
    argument.endStructure();
    return argument;
}

}  // namespace tandrel::TrafficGuardWire

Q_DECLARE_METATYPE(tandrel::TrafficGuardWire::Network)

namespace tandrel::TrafficGuardWire {
inline void registerTypes()
{
    qDBusRegisterMetaType<Network>();
    qDBusRegisterMetaType<QList<Network>>();
}
}  // namespace tandrel::TrafficGuardWire
