// tandrel-traffic-guard: the privileged helper that owns the traffic guard's nftables table.
// Started by the system bus when a client calls it; `--clear` takes the guard away (the
// package's removal runs it, as a guard left without its program would hold the machine's
// traffic until the next boot).
#include "Platform/NetworkExtension/TrafficGuardWire.h"
#include "TrafficGuard/GuardRuleSet.h"
#include "TrafficGuard/LocalNetworksRoute.h"
#include "TrafficGuard/Nftables.h"
#include "TrafficGuard/TrafficGuardService.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QTimer>

#include <cstdio>
#include <cstring>

namespace {
constexpr int kIdleMs = 30'000;
constexpr int kLeavingMs = 1'000;
}

int main(int argc, char** argv)
{
    using namespace tandrel;
    if (argc == 2 && std::strcmp(argv[1], "--clear") == 0) {
        const guard::NftOutcome outcome = guard::runNft(guard::removal());
        guard::keepLocalNetworksOutOfTheTunnel(false);
        if (!outcome.ok) {
            std::fprintf(stderr, "%s\n", qPrintable(outcome.error));
        }
        return outcome.ok ? 0 : 1;
    }
    if (argc != 1) {
        std::fprintf(stderr, "usage: %s [--clear]\n", argv[0]);
        return 2;
    }
    QCoreApplication application(argc, argv);
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        std::fprintf(stderr, "The system bus is not reachable: %s\n", qPrintable(bus.lastError().message()));
        return 1;
    }
    guard::TrafficGuardService service(bus, kIdleMs);
    if (!bus.registerVirtualObject(TrafficGuardWire::path(), &service) ||
        !bus.registerService(TrafficGuardWire::service())) {
        std::fprintf(stderr, "Could not take %s on the system bus: %s\n", qPrintable(TrafficGuardWire::service()),
                     qPrintable(bus.lastError().message()));
        return 1;
    }
    // Let go of the name first, so that a call from then on starts a fresh helper; calls
    // already on their way to us are still answered before we end.
    bool leaving = false;
    QObject::connect(&service, &guard::TrafficGuardService::idle, &application, [&] {
        if (leaving) {
            QCoreApplication::quit();
            return;
        }
        leaving = true;
        bus.unregisterService(TrafficGuardWire::service());
        QTimer::singleShot(kLeavingMs, &application, [&service] {
            if (service.isIdle()) {
                QCoreApplication::quit();
            }
        });
    });
    return application.exec();
}
