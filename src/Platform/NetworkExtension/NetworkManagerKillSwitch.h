#pragma once

#include "Platform/NetworkExtension/TrafficGuard.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QStringList>
#include <QVariantMap>

#include <functional>

namespace tandrel {

// One local subnet: the network address and its prefix length.
struct LocalNetwork {
    QString address;
    uint prefixLength = 0;
    bool operator==(const LocalNetwork&) const = default;
};

// A link's own subnets, and those of its resolvers that sit in them.
struct LinkAddresses {
    QList<LocalNetwork> networks;
    QStringList resolvers;
    QString interfaceName;
};

// The blocks as policy-routing rules that NetworkManager itself installs and keeps, in the
// running configuration of every physical link (Device.GetAppliedConnection + Reapply):
//   98     to <LAN resolver> port 53 prohibit   with excluded local networks: no lookup in clear
//   99     to <server> lookup main        IKE/ESP reach the server, tunnel up or down
//   99     to <link's subnet> oif <link> lookup main   the kernel's check of a new default route
//   100    to <local subnet> lookup main  excluded local networks, ahead of the tunnel's table
//   (220   the tunnel's own table, put there by the strongSwan plugin)
//   30000  prohibit                       everything else fails at once
// No privileged helper is needed: a desktop user may do this through NetworkManager's
// network-control permission. The rules stay when this process dies (fail closed); they go
// when a link is activated anew, so every link activated while blocks are set gets them
// again. The stored profiles of the links are never touched, so a restart ends the blocks.
class NetworkManagerKillSwitch : public QObject {
    Q_OBJECT

public:
    explicit NetworkManagerKillSwitch(QDBusConnection bus, QObject* parent = nullptr);

    // Puts these blocks (replacing whatever of ours is there) on every link NetworkManager
    // runs now and on each link it activates later; empty blocks take ours away everywhere.
    // `then` runs once every link has answered.
    void set(const TrafficGuardPolicy& blocks, std::function<void()> then = {});
    const TrafficGuardPolicy& blocks() const { return m_blocks; }

    // Whether some link runs with rules of ours (perhaps left by a run that died).
    bool foundOnLinks() const;

    // A link's routing rules of one family (2 or 10) with ours replaced by those for
    // `blocks` and that link's own addresses; rules of others stay as they are.
    static QList<QVariantMap> rulesFor(int family, const QList<QVariantMap>& existing,
                                       const TrafficGuardPolicy& blocks, const LinkAddresses& link);
    static bool isOurs(const QVariantMap& rule);

private Q_SLOTS:
    void deviceStateChanged(const QDBusMessage& message);

private:
    QStringList devices() const;
    void applyTo(const QString& devicePath, bool retryOnRace, std::function<void()> then);

    QDBusConnection m_bus;
    TrafficGuardPolicy m_blocks;
    quint64 m_generation = 0;  // counts set() calls, so a late answer of an older one stays quiet
};

}  // namespace tandrel
