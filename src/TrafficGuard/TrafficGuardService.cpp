#include "TrafficGuard/TrafficGuardService.h"

#include "BuildConfig.h"
#include "Platform/NetworkExtension/TrafficGuardWire.h"
#include "TrafficGuard/GuardRuleSet.h"
#include "TrafficGuard/LocalNetworksRoute.h"
#include "TrafficGuard/Nftables.h"

#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

namespace tandrel::guard {

namespace {

using namespace tandrel::TrafficGuardWire;

// A person may be typing a password for polkit's agent meanwhile.
constexpr int kPolkitTimeoutMs = 85'000;
constexpr uint kAllowUserInteraction = 1;

QDBusMessage invalid(const QDBusMessage& message, const QString& why)
{
    return message.createErrorReply(QDBusError::InvalidArgs, why);
}

QDBusMessage failed(const QDBusMessage& message, const QString& what, const QString& nftSays)
{
    return message.createErrorReply(QDBusError::Failed, what + QStringLiteral(": ") + nftSays);
}

// The table replaced (or taken away), then the routing rule that keeps the local networks
// out of the tunnel's table set to match. Without that rule the LAN is only unreachable
// through the tunnel, which leaks nothing: it is said in the log, not refused.
QDBusMessage apply(const QDBusMessage& message, const QString& commands, bool excludeLocalNetworks)
{
    const NftOutcome outcome = runNft(commands);
    if (!outcome.ok) {
        return failed(message, QStringLiteral("nftables refused the change, the guard is as it was"), outcome.error);
    }
    if (const QString failure = keepLocalNetworksOutOfTheTunnel(excludeLocalNetworks); !failure.isEmpty()) {
        qWarning("The local networks' routing rule could not be %s: %s", excludeLocalNetworks ? "set" : "removed",
                 qPrintable(failure));
    }
    return message.createReply();
}

QDBusMessage report(const QDBusMessage& message)
{
    const QString table = QStringLiteral("inet ") + QString::fromUtf8(BuildConfig::trafficGuardTable);
    const NftOutcome listing = runNft(QStringLiteral("list table ") + table, true);
    if (!listing.ok) {
        // Absent, or there and unreadable: only the list of tables tells which.
        const NftOutcome tables = runNft(QStringLiteral("list tables inet"), true);
        if (tables.ok && !readListing(tables.output)) {
            return message.createReply({false, QStringList(), QVariant::fromValue(QList<Network>()), false, false, false});
        }
        return failed(message, QStringLiteral("The guard could not be read from the kernel"), listing.error);
    }
    const std::optional<GuardSettings> settings = readListing(listing.output);
    if (!settings) {
        return message.createErrorReply(QDBusError::Failed,
                                        QStringLiteral("The table %1 holds something this helper did not write.").arg(table));
    }
    QStringList servers;
    for (const QHostAddress& server : settings->servers) {
        servers.append(server.toString());
    }
    QList<Network> networks;
    for (const Subnet& subnet : settings->localNetworks) {
        networks.append({subnet.network.toString(), uchar(subnet.prefixLength)});
    }
    return message.createReply({true, servers, QVariant::fromValue(networks), settings->holdBack, settings->blockIPv6,
                                settings->excludeLocalNetworks});
}

}  // namespace

TrafficGuardService::TrafficGuardService(QDBusConnection bus, int idleMs, QObject* parent)
    : QDBusVirtualObject(parent), m_bus(std::move(bus))
{
    registerTypes();
    m_idle.setSingleShot(true);
    m_idle.setInterval(idleMs);
    connect(&m_idle, &QTimer::timeout, this, &TrafficGuardService::idle);
    m_idle.start();
}

QString TrafficGuardService::introspect(const QString&) const
{
    return QStringLiteral(R"xml(<interface name="%1">
  <method name="Set">
    <arg name="serverAddresses" type="as" direction="in"/>
    <arg name="localNetworks" type="a(sy)" direction="in"/>
    <arg name="holdBack" type="b" direction="in"/>
    <arg name="blockIPv6" type="b" direction="in"/>
    <arg name="excludeLocalNetworks" type="b" direction="in"/>
  </method>
  <method name="Clear"/>
  <method name="Report">
    <arg name="inPlace" type="b" direction="out"/>
    <arg name="serverAddresses" type="as" direction="out"/>
    <arg name="localNetworks" type="a(sy)" direction="out"/>
    <arg name="holdBack" type="b" direction="out"/>
    <arg name="blockIPv6" type="b" direction="out"/>
    <arg name="excludeLocalNetworks" type="b" direction="out"/>
  </method>
</interface>
)xml")
        .arg(interface());
}

bool TrafficGuardService::handleMessage(const QDBusMessage& message, const QDBusConnection& connection)
{
    if (message.type() != QDBusMessage::MethodCallMessage) {
        return false;
    }
    m_idle.stop();
    const QString member = message.member();
    const QString signature = message.signature();
    QDBusMessage refusal;
    Work work;
    if (message.interface() != interface() && !message.interface().isEmpty()) {
        refusal = message.createErrorReply(QDBusError::UnknownInterface,
                                           QStringLiteral("This object has only the interface %1.").arg(interface()));
    } else if (member == setMethod && signature == setSignature) {
        const QList<QVariant> arguments = message.arguments();
        GuardRequest request;
        request.serverAddresses = arguments.at(0).toStringList();
        for (const Network& network : qdbus_cast<QList<Network>>(arguments.at(1))) {
            request.localNetworks.append({network.address, network.prefixLength});
        }
        request.holdBack = arguments.at(2).toBool();
        request.blockIPv6 = arguments.at(3).toBool();
        request.excludeLocalNetworks = arguments.at(4).toBool();
        std::variant<GuardSettings, QString> checked = validate(request);
        if (const QString* why = std::get_if<QString>(&checked)) {
            refusal = invalid(message, *why);
        } else {
            work = [message, settings = std::get<GuardSettings>(checked)] {
                return apply(message, ruleSetFor(settings), settings.excludeLocalNetworks);
            };
        }
    } else if (member == clearMethod && signature.isEmpty()) {
        work = [message] { return apply(message, removal(), false); };
    } else if (member == reportMethod && signature.isEmpty()) {
        work = [message] { return report(message); };
    } else if (member == setMethod || member == clearMethod || member == reportMethod) {
        refusal = invalid(message, QStringLiteral("%1 takes (%2), not (%3).")
                                       .arg(member, member == setMethod ? setSignature : QString(), signature));
    } else {
        refusal = message.createErrorReply(QDBusError::UnknownMethod,
                                           QStringLiteral("%1 has only Set, Clear and Report.").arg(interface()));
    }
    if (!work) {
        QDBusConnection(connection).send(refusal);
        if (!m_busy && m_calls.isEmpty()) {
            m_idle.start();
        }
        return true;
    }
    m_calls.append({message, std::move(work)});
    takeNext();
    return true;
}

void TrafficGuardService::takeNext()
{
    if (m_busy) {
        return;
    }
    if (m_calls.isEmpty()) {
        m_idle.start();
        return;
    }
    m_busy = true;
    const Call call = m_calls.takeFirst();
    authorise(call.message, [this, call](bool allowed) {
        finish(allowed ? call.work()
                       : call.message.createErrorReply(
                             QDBusError::AccessDenied,
                             QStringLiteral("Not authorised for %1: polkit did not allow it for this caller, the guard is as it was.")
                                 .arg(QString::fromUtf8(BuildConfig::trafficGuardAction))));
    });
}

void TrafficGuardService::finish(const QDBusMessage& reply)
{
    m_bus.send(reply);
    m_busy = false;
    takeNext();
}

// Root is let by without asking; anyone else must be allowed by polkit, asked about the
// caller's unique bus name (not a process id, which could be reused meanwhile).
void TrafficGuardService::authorise(const QDBusMessage& message, std::function<void(bool)> done)
{
    const QDBusMessage uidCall =
        QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                                       QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetConnectionUnixUser"))
        << message.service();
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(uidCall), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, message, done = std::move(done)] {
        watcher->deleteLater();
        const QDBusPendingReply<uint> uid = *watcher;
        if (uid.isError()) {
            done(false);
        } else if (uid.value() == 0) {
            done(true);
        } else {
            checkWithPolkit(message, done);
        }
    });
}

void TrafficGuardService::checkWithPolkit(const QDBusMessage& message, std::function<void(bool)> done)
{
    QDBusMessage check = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.PolicyKit1"), QStringLiteral("/org/freedesktop/PolicyKit1/Authority"),
        QStringLiteral("org.freedesktop.PolicyKit1.Authority"), QStringLiteral("CheckAuthorization"));
    QDBusArgument subject;
    subject.beginStructure();
    subject << QStringLiteral("system-bus-name") << QVariantMap{{QStringLiteral("name"), message.service()}};
    subject.endStructure();
    QDBusArgument details;
    details.beginMap(QMetaType::fromType<QString>(), QMetaType::fromType<QString>());
    details.endMap();
    check << QVariant::fromValue(subject) << QString::fromUtf8(BuildConfig::trafficGuardAction)
          << QVariant::fromValue(details) << kAllowUserInteraction << QString();
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(check, kPolkitTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [watcher, done = std::move(done)] {
        watcher->deleteLater();
        const QDBusMessage reply = watcher->reply();
        bool authorised = false;
        if (reply.type() == QDBusMessage::ReplyMessage && reply.signature() == QLatin1String("(bba{ss})")) {
            const QDBusArgument result = reply.arguments().at(0).value<QDBusArgument>();
            result.beginStructure();
            result >> authorised;
        }
        done(authorised);
    });
}

}  // namespace tandrel::guard
