#include "Platform/NetworkExtension/NetworkManagerVPNBackend.h"

#include "Platform/MainQueue.h"
#include "Platform/NetworkExtension/NetworkManagerDBus.h"
#include "Platform/NetworkExtension/NetworkManagerFailure.h"
#include "Platform/NetworkExtension/NetworkManagerProfile.h"
#include "Platform/NetworkExtension/NetworkManagerSession.h"
#include "Platform/NetworkExtension/HelperTrafficGuard.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QFileInfo>
#include <QSettings>

#include <array>

namespace tandrel {

namespace {
bool strongSwanPluginInstalled()
{
    for (const QString& folder :
         {QStringLiteral("/etc/NetworkManager/VPN"), QStringLiteral("/usr/lib/NetworkManager/VPN")}) {
        const QDir directory(folder);
        for (const QString& name : directory.entryList({QStringLiteral("*.name")}, QDir::Files)) {
            const QSettings plugin(directory.filePath(name), QSettings::IniFormat);
            if (plugin.value(QStringLiteral("VPN Connection/service")).toString() ==
                    NetworkManagerProfile::serviceType &&
                QFileInfo(plugin.value(QStringLiteral("VPN Connection/program")).toString()).isExecutable()) {
                return true;
            }
        }
    }
    return false;
}

}  // namespace

std::optional<QString> NetworkManagerVPNBackend::unavailableReason()
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        return QStringLiteral("The system D-Bus cannot be reached, so NetworkManager cannot set up the tunnel.");
    }
    if (!bus.interface()->isServiceRegistered(nmdbus::kService)) {
        return QStringLiteral("NetworkManager is not running on the system bus.");
    }
    if (!strongSwanPluginInstalled()) {
        return QStringLiteral(
            "NetworkManager's strongSwan plugin is not installed (packages network-manager-strongswan and "
            "strongswan-nm).");
    }
    return std::nullopt;
}

NetworkManagerVPNBackend::NetworkManagerVPNBackend(std::unique_ptr<TrafficGuard> guard)
    : d(std::make_shared<Session>(guard ? std::move(guard)
                                        : std::make_unique<HelperTrafficGuard>(QDBusConnection::systemBus())))
{
}

NetworkManagerVPNBackend::~NetworkManagerVPNBackend()
{
    // The session's QObject parts belong to the main thread; let it go there (after the
    // application object is gone, at exit, there is no main queue left to go to).
    if (QCoreApplication::instance() && !MainQueue::isMainThread()) {
        MainQueue::async([session = std::move(d)] {});
    }
}

void NetworkManagerVPNBackend::load(LoadCompletion completion)
{
    assertMainThread();
    d->load(std::move(completion));
}

void NetworkManagerVPNBackend::save(const NEVPNConfiguration& configuration, Completion completion)
{
    assertMainThread();
    d->save(configuration, std::move(completion));
}

void NetworkManagerVPNBackend::remove(Completion completion)
{
    assertMainThread();
    d->remove(std::move(completion));
}

std::optional<Error> NetworkManagerVPNBackend::start()
{
    assertMainThread();
    if (std::optional<Error> error = d->startableError()) {
        return error;
    }
    d->start();
    return std::nullopt;
}

void NetworkManagerVPNBackend::stop()
{
    assertMainThread();
    d->stop();
}

NEVPNStatus NetworkManagerVPNBackend::status() const
{
    return d->status();
}

void NetworkManagerVPNBackend::setStatusHandler(StatusHandler handler)
{
    assertMainThread();
    d->setStatusHandler(std::move(handler));
}

std::optional<NEVPNStatus> NetworkManagerVPNBackend::statusForVpnState(uint vpnState, bool afterDrop)
{
    // NMVpnConnectionState: prepare, need auth, connect, IP config get, activated, failed, disconnected.
    switch (vpnState) {
        case 1:
        case 2:
        case 3:
        case 4:
            return afterDrop ? NEVPNStatus::reasserting : NEVPNStatus::connecting;
        case 5:
            return NEVPNStatus::connected;
        case 6:
        case 7:
            return NEVPNStatus::disconnected;
        default:
            return std::nullopt;
    }
}

QString NetworkManagerVPNBackend::reasonText(uint reason)
{
    return NetworkManagerFailure::reasonText(reason);
}

}  // namespace tandrel
