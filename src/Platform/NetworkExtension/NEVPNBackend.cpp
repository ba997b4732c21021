#include "Platform/NetworkExtension/NEVPNBackend.h"

#include "BuildConfig.h"
#include "Platform/NetworkExtension/NetworkManagerVPNBackend.h"
#include "Platform/NetworkExtension/StandInVPNBackend.h"
#include "Platform/NetworkExtension/UnavailableVPNBackend.h"

#include <string_view>

namespace tandrel {

std::shared_ptr<NEVPNBackend> NEVPNBackend::makeDefault()
{
    // The stand-in tunnels nothing: only test and demo builds may choose it.
    if (std::string_view(BuildConfig::vpnBackend) == "standin") {
        return std::make_shared<StandInVPNBackend>();
    }
    // Never a pretend tunnel: without NetworkManager and its strongSwan plugin, say what is missing.
    if (const std::optional<QString> missing = NetworkManagerVPNBackend::unavailableReason()) {
        return std::make_shared<UnavailableVPNBackend>(*missing);
    }
    return std::make_shared<NetworkManagerVPNBackend>();
}

}  // namespace tandrel
