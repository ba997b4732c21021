#include "Platform/NetworkExtension/NetworkManagerVPNBackend.h"

#include "Platform/MainQueue.h"
#include "Platform/NetworkExtension/NetworkManagerDBus.h"
#include "Platform/NetworkExtension/NetworkManagerProfile.h"
#include "Platform/NetworkExtension/NetworkManagerSession.h"

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

NetworkManagerVPNBackend::NetworkManagerVPNBackend() : d(std::make_shared<Session>()) {}

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

QString NetworkManagerVPNBackend::reasonText(uint reason)
{
    // Indexed by NMVpnConnectionStateReason.
    static constexpr std::array<const char*, 15> texts{
        "unknown reason",
        "no reason given",
        "disconnected by the user",
        "the network connection under the VPN went down",
        "the VPN service stopped unexpectedly",
        "the VPN service returned an invalid IP configuration",
        "the connection attempt timed out",
        "the VPN service did not start in time",
        "the VPN service failed to start",
        "no password was available",
        "the server refused the login",
        "the VPN configuration was removed",
        "a connection it depends on failed",
        "the VPN's network device could not be created",
        "the VPN's network device disappeared",
    };
    return QString::fromLatin1(texts[reason < texts.size() ? reason : 0]);
}

}  // namespace tandrel
