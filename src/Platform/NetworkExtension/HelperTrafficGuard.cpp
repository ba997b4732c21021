#include "Platform/NetworkExtension/HelperTrafficGuard.h"

#include "Platform/MainQueue.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusPendingCallWatcher>
#include <QNetworkInterface>

namespace tandrel {

namespace {

using namespace TrafficGuardWire;

// Long enough for a password typed into polkit's agent (asked outside an active session).
constexpr int kDeadlineMs = 90'000;

const char* const kHelperMissing = QT_TRANSLATE_NOOP(
    "TrafficGuard",
    "The Kill Switch needs Tandrel's traffic guard helper (tandrel-traffic-guard), which is not installed. Install Tandrel's package.");
const char* const kNoSystemBus =
    QT_TRANSLATE_NOOP("TrafficGuard", "The Kill Switch needs the system bus, which cannot be reached.");
const char* const kNotAuthorised =
    QT_TRANSLATE_NOOP("TrafficGuard", "This user is not allowed to change Tandrel's traffic guard on this computer.");
const char* const kNoAnswer = QT_TRANSLATE_NOOP("TrafficGuard", "Tandrel's traffic guard helper did not answer in time.");
const char* const kRefused = QT_TRANSLATE_NOOP("TrafficGuard", "The traffic guard could not be put in place: %1");

QString text(const char* source)
{
    return QCoreApplication::translate("TrafficGuard", source);
}

QDBusMessage helperCall(const QString& method)
{
    return QDBusMessage::createMethodCall(service(), path(), interface(), method);
}

// No helper to start, or the bus could not start it.
bool isMissing(const QDBusError& error)
{
    const QDBusError::ErrorType type = error.type();
    return type == QDBusError::ServiceUnknown || type == QDBusError::NoServer || type == QDBusError::Disconnected ||
           error.name().startsWith(QLatin1String("org.freedesktop.DBus.Error.Spawn"));
}

QHostAddress maskedBy(const QHostAddress& address, const QHostAddress& netmask)
{
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        return QHostAddress(address.toIPv4Address() & netmask.toIPv4Address());
    }
    Q_IPV6ADDR bytes = address.toIPv6Address();
    const Q_IPV6ADDR mask = netmask.toIPv6Address();
    for (int i = 0; i < 16; ++i) {
        bytes[i] &= mask[i];
    }
    return QHostAddress(bytes);
}

}  // namespace

HelperTrafficGuard::HelperTrafficGuard(QDBusConnection systemBus, QObject* parent)
    : QObject(parent), m_bus(std::move(systemBus))
{
    registerTypes();
    learnWhetherInstalled();
}

// Asked once, without waiting: until the bus answers the guard counts as available, and a
// call to a helper that is not there fails with the same sentence anyway.
void HelperTrafficGuard::learnWhetherInstalled()
{
    if (!m_bus.isConnected()) {
        m_unavailable = text(kNoSystemBus);
        return;
    }
    const QDBusMessage activatable =
        QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                                       QStringLiteral("org.freedesktop.DBus"), QStringLiteral("ListActivatableNames"));
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(activatable, kDeadlineMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher] {
        watcher->deleteLater();
        const QDBusMessage reply = watcher->reply();
        if (reply.type() != QDBusMessage::ReplyMessage ||
            reply.arguments().value(0).toStringList().contains(service())) {
            return;
        }
        // Not started by the bus, but perhaps running already (started by hand).
        auto* owner = new QDBusPendingCallWatcher(m_bus.interface()->asyncCall(QStringLiteral("NameHasOwner"), service()), this);
        connect(owner, &QDBusPendingCallWatcher::finished, this, [this, owner] {
            owner->deleteLater();
            const QDBusMessage answer = owner->reply();
            if (answer.type() == QDBusMessage::ReplyMessage && !answer.arguments().value(0).toBool()) {
                m_unavailable = text(kHelperMissing);
            }
        });
    });
}

std::optional<QString> HelperTrafficGuard::unavailableReason() const
{
    return m_unavailable;
}

void HelperTrafficGuard::call(const QDBusMessage& message,
                              std::function<void(const QDBusMessage&, std::optional<Error>)> done)
{
    if (!m_bus.isConnected()) {
        MainQueue::async([done = std::move(done)] {
            done({}, Error::withDescription(errorDomain, helperMissing, text(kNoSystemBus)));
        });
        return;
    }
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(message, kDeadlineMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, done = std::move(done)] {
        watcher->deleteLater();
        const QDBusMessage reply = watcher->reply();
        if (reply.type() == QDBusMessage::ReplyMessage) {
            m_unavailable.reset();
            done(reply, std::nullopt);
            return;
        }
        const QDBusError error(reply);
        const QDBusError::ErrorType type = error.type();
        if (isMissing(error)) {
            m_unavailable = text(kHelperMissing);
            done(reply, Error::withDescription(errorDomain, helperMissing, *m_unavailable));
        } else if (type == QDBusError::AccessDenied) {
            done(reply, Error::withDescription(errorDomain, notAuthorised, text(kNotAuthorised)));
        } else if (type == QDBusError::NoReply || type == QDBusError::Timeout || type == QDBusError::TimedOut) {
            done(reply, Error::withDescription(errorDomain, noAnswer, text(kNoAnswer)));
        } else {
            done(reply, Error::withDescription(errorDomain, refused, text(kRefused).arg(reply.errorMessage())));
        }
    });
}

void HelperTrafficGuard::set(const TrafficGuardPolicy& policy, Completion done)
{
    QDBusMessage message;
    if (policy.isEmpty()) {
        message = helperCall(clearMethod);
    } else {
        message = helperCall(setMethod);
        message << policy.serverAddresses
                << QVariant::fromValue(policy.excludeLocalNetworks ? localNetworks() : QList<Network>())
                << policy.holdBack << policy.blockIPv6 << policy.excludeLocalNetworks;
    }
    call(message, [done = std::move(done)](const QDBusMessage&, std::optional<Error> error) { done(std::move(error)); });
}

void HelperTrafficGuard::query(QueryCompletion done)
{
    call(helperCall(reportMethod), [done = std::move(done)](const QDBusMessage& reply, std::optional<Error> error) {
        if (error) {
            done(std::nullopt, std::move(error));
            return;
        }
        const QList<QVariant> values = reply.arguments();
        if (reply.signature() != reportSignature) {
            done(std::nullopt, Error::withDescription(errorDomain, refused,
                                                      text(kRefused).arg(QStringLiteral("Report answered ") + reply.signature())));
            return;
        }
        if (!values.at(0).toBool()) {
            done(std::nullopt, std::nullopt);
            return;
        }
        TrafficGuardPolicy policy;
        policy.serverAddresses = values.at(1).toStringList();
        policy.holdBack = values.at(3).toBool();
        policy.blockIPv6 = values.at(4).toBool();
        policy.excludeLocalNetworks = values.at(5).toBool();
        done(policy, std::nullopt);
    });
}

QList<Network> HelperTrafficGuard::localNetworks()
{
    QList<Network> networks;
    for (const QNetworkInterface& link : QNetworkInterface::allInterfaces()) {
        // The tunnel's device is let by whole; its subnet is not a local network.
        if (!link.flags().testFlag(QNetworkInterface::IsUp) || link.type() == QNetworkInterface::Loopback ||
            link.name() == QLatin1String("ipsec0")) {
            continue;
        }
        for (const QNetworkAddressEntry& entry : link.addressEntries()) {
            QHostAddress address = entry.ip();
            const int prefixLength = entry.prefixLength();
            if (prefixLength <= 0 || (address.protocol() != QAbstractSocket::IPv4Protocol &&
                                      address.protocol() != QAbstractSocket::IPv6Protocol)) {
                continue;
            }
            address.setScopeId(QString());
            const Network network{maskedBy(address, entry.netmask()).toString(), uchar(prefixLength)};
            if (!networks.contains(network)) {
                networks.append(network);
            }
        }
    }
    return networks;
}

}  // namespace tandrel
