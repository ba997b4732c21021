#include "TandrelApp.h"

#ifdef TANDREL_STANDIN_VPN
#include "Platform/StandIn/StandInVPNBackend.h"
#endif

int main(int argc, char** argv)
{
#ifdef TANDREL_STANDIN_VPN
    // A demo build: a VPN service that tunnels nothing.
    tandrel::StandInVPNBackend::installAsDefault();
#endif
    return tandrel::TandrelApp::main(argc, argv);
}
