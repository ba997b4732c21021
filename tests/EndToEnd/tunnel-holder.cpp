// A stand-in for the running program in the leak tests: it drives NetworkManager through
// the same back end and keeps the tunnel as the program would, until it is told otherwise
// or killed. Commands, one a line on standard input:
//   connect <kill switch 0|1> <exclude local networks 0|1>   save the configuration, start
//   disconnect                                                 what disconnect and log-out do
//   remove                                                     remove the configuration
// It prints "status <NEVPNStatus value>" on every change of the tunnel's status.
#include "EndToEnd/TunnelEnvironment.h"

#include "BuildConfig.h"
#include "Platform/Keychain.h"
#include "Platform/NetworkExtension/NEVPNManager.h"
#include "Platform/NetworkExtension/NetworkManagerVPNBackend.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>

using namespace tandrel;
using tandrel::testing::TunnelEnvironment;

namespace {

void say(const QString& line)
{
    std::fputs(qPrintable(line + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}

void finished(const char* what, const std::optional<Error>& error)
{
    say(QString::fromLatin1(what) + (error ? QStringLiteral(" failed: ") + error->localizedDescription()
                                           : QStringLiteral(" done")));
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (app.arguments().size() < 2) {
        say(QStringLiteral("usage: tunnel-holder <keychain file>"));
        return 2;
    }
    auto store = KeychainStore::makeFileStore(app.arguments().at(1));
    KeychainStore::setSystem(store);
    const QString service = QString::fromUtf8(BuildConfig::bundleIdentifier);
    // The item an earlier run stored stays, so the saved profile's reference still names it.
    KeychainItem item;
    QByteArray reference;
    if (store->copyMatching(service, QStringLiteral("vpnPassword"), &item) == KeychainStatus::success) {
        reference = item.persistentReference;
    } else {
        store->add(service, QStringLiteral("vpnPassword"), TunnelEnvironment::eapPassword().toUtf8(), &reference);
    }

    NEVPNManager& manager = NEVPNManager::shared();
    // As the program picks it; a build for another service gets this one (but one
    // back end only: a second in the process would act on the same tunnel).
    if (QByteArray(BuildConfig::vpnBackend) != "networkmanager") {
        manager.setBackend(std::make_shared<NetworkManagerVPNBackend>());
    }
    NEVPNStatus last = manager.connection().status();
    say(QStringLiteral("status %1").arg(int(last)));
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (manager.connection().status() != last) {
            last = manager.connection().status();
            say(QStringLiteral("status %1").arg(int(last)));
        }
    });
    watch.start(20);
    manager.loadFromPreferences([](std::optional<Error> error) { finished("load", error); });

    QSocketNotifier input(fileno(stdin), QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buffer[256];
        if (!std::fgets(buffer, sizeof buffer, stdin)) {
            input.setEnabled(false);
            return;
        }
        const QStringList words = QString::fromLatin1(buffer).simplified().split(QLatin1Char(' '));
        if (words.value(0) == QLatin1String("connect")) {
            const bool killSwitch = words.value(1) == QLatin1String("1");
            manager.protocolConfiguration =
                TunnelEnvironment::configuration(reference, killSwitch, words.value(2) == QLatin1String("1"));
            manager.onDemandRules = {NEOnDemandRuleConnect{NEOnDemandRuleInterfaceType::any}};
            manager.isOnDemandEnabled = killSwitch;
            manager.localizedDescription = QStringLiteral("Tandrel");
            manager.isEnabled = true;
            manager.saveToPreferences([&manager](std::optional<Error> error) {
                finished("save", error);
                finished("start", manager.connection().startVPNTunnel());
            });
        } else if (words.value(0) == QLatin1String("disconnect")) {
            manager.isOnDemandEnabled = false;
            manager.saveToPreferences([&manager](std::optional<Error>) { manager.connection().stopVPNTunnel(); });
        } else if (words.value(0) == QLatin1String("remove")) {
            manager.removeFromPreferences([](std::optional<Error> error) { finished("remove", error); });
        }
    });
    return app.exec();
}
