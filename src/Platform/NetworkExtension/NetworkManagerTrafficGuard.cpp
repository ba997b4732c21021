#include "Platform/NetworkExtension/NetworkManagerTrafficGuard.h"

#include "BuildConfig.h"
#include "Platform/NetworkExtension/NetworkManagerDBus.h"

#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QFile>
#include <QSettings>
#include <QStandardPaths>
#include <QTimer>

namespace tandrel {

namespace {

constexpr int kFirstReadyCheckMs = 500;

QString notePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QLatin1Char('/') +
           QString::fromUtf8(BuildConfig::bundleIdentifier) + QStringLiteral("/networkmanager-blocks.ini");
}

// This boot of the machine: the rules live in the links' running configuration, so a
// restart has ended them, and a note from before it speaks of nothing.
QString bootId()
{
    QFile file(QStringLiteral("/proc/sys/kernel/random/boot_id"));
    return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll().trimmed()) : QString();
}

}  // namespace

NetworkManagerTrafficGuard::NetworkManagerTrafficGuard(QDBusConnection bus, QObject* parent)
    : QObject(parent), m_bus(bus), m_killSwitch(bus)
{
    auto* watcher = new QDBusServiceWatcher(nmdbus::kService, m_bus,
                                            QDBusServiceWatcher::WatchForRegistration |
                                                QDBusServiceWatcher::WatchForUnregistration,
                                            this);
    connect(watcher, &QDBusServiceWatcher::serviceRegistered, this, &NetworkManagerTrafficGuard::networkManagerAppeared);
    connect(watcher, &QDBusServiceWatcher::serviceUnregistered, this,
            &NetworkManagerTrafficGuard::networkManagerVanished);
}

void NetworkManagerTrafficGuard::set(const TrafficGuardPolicy& policy, Completion done)
{
    QSettings note(notePath(), QSettings::IniFormat);
    note.setValue(QStringLiteral("wanted"), !policy.isEmpty());
    note.setValue(QStringLiteral("boot"), bootId());
    note.setValue(QStringLiteral("holdBack"), policy.holdBack);
    note.setValue(QStringLiteral("serverAddresses"), policy.serverAddresses);
    note.setValue(QStringLiteral("blockIPv6"), policy.blockIPv6);
    note.setValue(QStringLiteral("excludeLocalNetworks"), policy.excludeLocalNetworks);
    note.sync();
    // NetworkManager away: the rules it installed stay in the kernel with nobody to take them.
    m_releasedWhileGone = policy.isEmpty() && m_networkManagerGone
                              ? (m_killSwitch.blocks().isEmpty() ? m_releasedWhileGone : m_killSwitch.blocks())
                              : TrafficGuardPolicy{};
    m_killSwitch.set(policy, [done = std::move(done)] {
        if (done) {
            done(std::nullopt);
        }
    });
}

void NetworkManagerTrafficGuard::query(QueryCompletion done)
{
    const QSettings note(notePath(), QSettings::IniFormat);
    TrafficGuardPolicy left;
    if (note.value(QStringLiteral("wanted")).toBool() && note.value(QStringLiteral("boot")).toString() == bootId()) {
        left.holdBack = note.value(QStringLiteral("holdBack")).toBool();
        left.serverAddresses = note.value(QStringLiteral("serverAddresses")).toStringList();
        left.blockIPv6 = note.value(QStringLiteral("blockIPv6")).toBool();
        left.excludeLocalNetworks = note.value(QStringLiteral("excludeLocalNetworks")).toBool();
    }
    if (left.isEmpty() && m_killSwitch.foundOnLinks()) {
        left.blockIPv6 = true;  // rules of ours, but no note of what they were for
    }
    done(left.isEmpty() ? std::nullopt : std::optional<TrafficGuardPolicy>(left), std::nullopt);
}

void NetworkManagerTrafficGuard::networkManagerVanished()
{
    m_networkManagerGone = true;
}

void NetworkManagerTrafficGuard::networkManagerAppeared()
{
    setAgainOnceReady(0);
}

// Just back on the bus, NetworkManager may not know its links yet: ask until it does.
void NetworkManagerTrafficGuard::setAgainOnceReady(int delayMs)
{
    QTimer::singleShot(delayMs, this, [this, delayMs] {
        auto* watcher = new QDBusPendingCallWatcher(
            m_bus.asyncCall(nmdbus::methodCall(nmdbus::kManagerPath, nmdbus::kManagerInterface,
                                               QStringLiteral("GetDevices")),
                            nmdbus::kReadTimeoutMs),
            this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, delayMs] {
            watcher->deleteLater();
            if (watcher->isError()) {
                setAgainOnceReady(std::clamp(delayMs * 2, kFirstReadyCheckMs, 30000));
                return;
            }
            if (!std::exchange(m_networkManagerGone, false)) {
                return;
            }
            if (!m_killSwitch.blocks().isEmpty()) {
                m_killSwitch.set(m_killSwitch.blocks());  // its new run knows nothing of them: set them again
            } else if (!m_releasedWhileGone.isEmpty()) {
                // Taken away while it was gone: its new run left the rules of the old one in the
                // kernel and knows nothing of them. Set them once so that it owns them, then take
                // them away (unless the tunnel is wanted again meanwhile).
                const TrafficGuardPolicy left = std::exchange(m_releasedWhileGone, TrafficGuardPolicy{});
                m_killSwitch.set(left, [this, left] {
                    if (m_killSwitch.blocks() == left) {
                        m_killSwitch.set({});
                    }
                });
            }
        });
    });
}

}  // namespace tandrel
