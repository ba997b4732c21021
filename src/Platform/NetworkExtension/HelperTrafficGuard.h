#pragma once

#include "Platform/NetworkExtension/TrafficGuard.h"
#include "Platform/NetworkExtension/TrafficGuardWire.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>

namespace tandrel {

// The traffic guard held by Tandrel's privileged helper (tandrel-traffic-guard) on the
// system bus: one nftables table in the kernel, which stays when this process exits or
// dies and goes at the next boot. Every call is asynchronous with a deadline; the answers
// arrive on the main thread. The local networks are this machine's own link subnets,
// read from the kernel at each set().
class HelperTrafficGuard : public QObject, public TrafficGuard {
    Q_OBJECT

public:
    static inline const QString errorDomain = QStringLiteral("TrafficGuard");
    enum ErrorCode { helperMissing = 1, notAuthorised = 2, noAnswer = 3, refused = 4 };

    explicit HelperTrafficGuard(QDBusConnection systemBus, QObject* parent = nullptr);

    void set(const TrafficGuardPolicy& policy, Completion done) override;
    void query(QueryCompletion done) override;
    std::optional<QString> unavailableReason() const override;

    // This machine's link subnets (loopback and the tunnel's own device left out), each once.
    static QList<TrafficGuardWire::Network> localNetworks();

private:
    void call(const QDBusMessage& message, std::function<void(const QDBusMessage&, std::optional<Error>)> done);
    void learnWhetherInstalled();

    QDBusConnection m_bus;
    std::optional<QString> m_unavailable;
};

}  // namespace tandrel
