// The NetworkManager back end, driven through NEVPNManager, against the stand-in
// NetworkManager on a private bus: no root, no real NetworkManager.
#include "GuardStandIn.h"
#include "NetworkManagerStandIn.h"
#include "PrivateBus.h"
#include "support/TestMain.h"

#include "Platform/NetworkExtension/NEVPNManager.h"
#include "Platform/NetworkExtension/NetworkManagerVPNBackend.h"

#include <memory>

using namespace tandrel;
using tandrel::standin::NetworkManagerStandIn;

class TunnelOnPrivateBusTest : public QObject {
    Q_OBJECT

    std::unique_ptr<standin::PrivateBus> m_bus;
    std::unique_ptr<NetworkManagerStandIn> m_networkManager;

    NEVPNManager& manager() { return NEVPNManager::shared(); }

    std::optional<Error> waitFor(const std::function<void(NEVPNManager::Completion)>& operation)
    {
        auto result = std::make_shared<std::optional<std::optional<Error>>>();
        operation([result](std::optional<Error> error) { *result = error; });
        if (!QTest::qWaitFor([&] { return result->has_value(); }, 10000)) {
            return Error::withDescription(QStringLiteral("test"), 1, QStringLiteral("no answer"));
        }
        return **result;
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_bus = std::make_unique<standin::PrivateBus>();
        QVERIFY2(m_bus->isRunning(), qPrintable(m_bus->error()));
        // Before anything asks for the system bus.
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", m_bus->address().toUtf8());
        m_networkManager = std::make_unique<NetworkManagerStandIn>(m_bus->address(), 3);
        QVERIFY(m_networkManager->isRunning());
    }

    void cleanupTestCase()
    {
        manager().setBackend(nullptr);
        m_networkManager.reset();
    }

    void connectsAndDisconnects_data()
    {
        QTest::addColumn<bool>("killSwitch");
        QTest::newRow("kill switch") << true;
        QTest::newRow("no kill switch") << false;
    }

    // Load, save, load, start as the application connects; the stand-in takes the
    // tunnel up to VPN "activated" and down again.
    void connectsAndDisconnects()
    {
        QFETCH(bool, killSwitch);
        m_networkManager->reset();
        auto guard = std::make_unique<GuardStandIn>();
        const GuardStandIn* held = guard.get();
        manager().setBackend(std::make_shared<NetworkManagerVPNBackend>(std::move(guard)));
        QCOMPARE(waitFor([this](auto done) { manager().loadFromPreferences(done); }), std::nullopt);
        QVERIFY(!manager().protocolConfiguration);

        NEVPNProtocolIKEv2 protocol;
        protocol.serverAddress = QStringLiteral("127.0.0.1");
        protocol.remoteIdentifier = QStringLiteral("vpn.example");
        protocol.username = QStringLiteral("tunnel-user");
        protocol.passwordReference = QByteArrayLiteral("reference");
        protocol.includeAllNetworks = killSwitch;
        manager().protocolConfiguration = protocol;
        manager().onDemandRules = {NEOnDemandRuleConnect{NEOnDemandRuleInterfaceType::any}};
        manager().isOnDemandEnabled = killSwitch;
        manager().localizedDescription = QStringLiteral("Tandrel");
        manager().isEnabled = true;
        QCOMPARE(waitFor([this](auto done) { manager().saveToPreferences(done); }), std::nullopt);
        manager().protocolConfiguration.reset();
        QCOMPARE(waitFor([this](auto done) { manager().loadFromPreferences(done); }), std::nullopt);
        QVERIFY(manager().protocolConfiguration);  // read back through the stand-in's settings
        QCOMPARE(manager().protocolConfiguration->serverAddress, protocol.serverAddress);
        QCOMPARE(manager().isOnDemandEnabled, killSwitch);

        QCOMPARE(manager().connection().startVPNTunnel(), std::nullopt);
        QTRY_COMPARE_WITH_TIMEOUT(manager().connection().status(), NEVPNStatus::connected, 5000);
        QCOMPARE(m_networkManager->tunnelsUp(), 1);
        const QStringList calls = m_networkManager->calls();
        QVERIFY(calls.contains(QStringLiteral("org.freedesktop.NetworkManager.Settings.AddConnection")));
        QVERIFY(!calls.contains(QStringLiteral("org.freedesktop.NetworkManager.Device.Reapply")));  // no link touched
        QCOMPARE(held->policy().holdBack, killSwitch);
        QVERIFY(held->policy().blockIPv6);

        manager().connection().stopVPNTunnel();
        QTRY_COMPARE_WITH_TIMEOUT(manager().connection().status(), NEVPNStatus::disconnected, 5000);
        QCOMPARE(m_networkManager->tunnelsUp(), 0);
        QTRY_VERIFY(held->policy().isEmpty());
    }

    // A NetworkManager that stops answering: the stand-in lets the caller go at the cut-off
    // with an error, so nothing waits forever.
    void refusesAfterTheCutOff()
    {
        m_networkManager->reset();
        manager().setBackend(std::make_shared<NetworkManagerVPNBackend>(std::make_unique<GuardStandIn>()));
        m_networkManager->setAnswerDelay(NetworkManagerStandIn::kNever);
        m_networkManager->refuseAllAfter(300);
        QVERIFY(waitFor([this](auto done) { manager().loadFromPreferences(done); }).has_value());
        m_networkManager->setAnswerDelay(0);
    }
};

TANDREL_TEST_MAIN_CORE(TunnelOnPrivateBusTest)
#include "tst_tunnelonprivatebus.moc"
