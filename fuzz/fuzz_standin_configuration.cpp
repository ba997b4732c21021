// The stand-in VPN service's configuration file, whatever it holds: it reads as a
// configuration or as unreadable, never a crash.
#include "FuzzSupport.h"
#include "Platform/StandIn/StandInVPNBackend.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    tandrel::fuzzing::prepareProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const tandrel::StandInVPNBackend backend(
        tandrel::fuzzing::fileHolding(tandrel::fuzzing::bytesOf(data, size), "vpn-configuration.json"));
    (void)backend.savedConfiguration();
    return 0;
}
