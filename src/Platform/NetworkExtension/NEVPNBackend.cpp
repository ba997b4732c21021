#include "Platform/NetworkExtension/NEVPNBackend.h"

#include "Platform/NetworkExtension/HelperTrafficGuard.h"
#include "Platform/NetworkExtension/NetworkManagerVPNBackend.h"
#include "Platform/NetworkExtension/UnavailableVPNBackend.h"

#include <QDBusConnection>

namespace tandrel {

namespace {
std::function<std::shared_ptr<NEVPNBackend>()>& defaultFactory()
{
    static std::function<std::shared_ptr<NEVPNBackend>()> factory;
    return factory;
}
}  // namespace

void NEVPNBackend::setDefaultFactory(std::function<std::shared_ptr<NEVPNBackend>()> factory)
{
    defaultFactory() = std::move(factory);
}

std::shared_ptr<NEVPNBackend> NEVPNBackend::makeDefault()
{
    if (const auto& factory = defaultFactory()) {
        return factory();
    }
    // Never a pretend tunnel: without NetworkManager and its strongSwan plugin, say what is missing.
    if (const std::optional<QString> missing = NetworkManagerVPNBackend::unavailableReason()) {
        return std::make_shared<UnavailableVPNBackend>(*missing);
    }
    // The guard that holds traffic back while the tunnel is wanted: the privileged helper's table.
    return std::make_shared<NetworkManagerVPNBackend>(
        std::make_unique<HelperTrafficGuard>(QDBusConnection::systemBus()));
}

}  // namespace tandrel
