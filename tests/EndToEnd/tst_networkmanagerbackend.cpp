// The NetworkManager back end against a real NetworkManager, strongSwan plugin and
// responder (tunnel-env.sh builds them in network namespaces), driven through NEVPNManager.
#include "EndToEnd/TunnelEnvironment.h"
#include "Tunnel/TunnelTesting.h"
#include "support/CapturedOutput.h"
#include "support/TestMain.h"

#include "BuildConfig.h"
#include "Platform/Keychain.h"
#include "Platform/NetworkExtension/HelperTrafficGuard.h"
#include "Platform/NetworkExtension/NEVPNManager.h"
#include "Platform/NetworkExtension/NetworkManagerFailure.h"
#include "Platform/NetworkExtension/NetworkManagerVPNBackend.h"

#include <QElapsedTimer>

using namespace tandrel;
using tandrel::testing::CapturedOutput;
using tandrel::testing::StatusRecorder;
using tandrel::testing::TunnelEnvironment;

namespace {

const QString kPasswordAccount = QStringLiteral("vpnPassword");
const QString kRefusedOrUntrusted =
    QStringLiteral("The VPN server refused the login, or this computer does not trust the server's certificate.");

std::optional<Error> waitFor(const std::function<void(NEVPNBackend::Completion)>& operation)
{
    bool done = false;
    std::optional<Error> result;
    operation([&](std::optional<Error> error) {
        result = error;
        done = true;
    });
    if (!QTest::qWaitFor([&] { return done; }, 30000)) {
        return Error::withDescription(QStringLiteral("test"), 1, QStringLiteral("no answer"));
    }
    return result;
}

}  // namespace

class NetworkManagerBackendTest : public QObject {
    Q_OBJECT

private:
    NEVPNManager& manager() { return NEVPNManager::shared(); }

    // What the tunnel manager builds on connect, with the given switches.
    void configure(bool killSwitch, bool excludeLocalNetworks, const QString& server = {})
    {
        NEVPNProtocolIKEv2 protocol = TunnelEnvironment::configuration(m_reference, killSwitch, excludeLocalNetworks);
        if (!server.isEmpty()) {
            protocol.serverAddress = server;  // the identity checked stays the responder's
        }
        manager().onDemandRules = {NEOnDemandRuleConnect{NEOnDemandRuleInterfaceType::any}};
        manager().isOnDemandEnabled = killSwitch;
        manager().protocolConfiguration = protocol;
        manager().localizedDescription = QStringLiteral("Tandrel");
        manager().isEnabled = true;
        QCOMPARE(waitFor([this](auto done) { manager().saveToPreferences(done); }), std::nullopt);
    }

    void setTunnelPassword(const QString& password)
    {
        QCOMPARE(m_store->update(QString::fromUtf8(BuildConfig::bundleIdentifier), kPasswordAccount, password.toUtf8()),
                 KeychainStatus::success);
    }

    void connectTunnel()
    {
        QCOMPARE(manager().connection().startVPNTunnel(), std::nullopt);
        QTRY_COMPARE_WITH_TIMEOUT(manager().connection().status(), NEVPNStatus::connected, 15000);
    }

    void disconnectTunnel()
    {
        manager().connection().stopVPNTunnel();
        QTRY_COMPARE_WITH_TIMEOUT(manager().connection().status(), NEVPNStatus::disconnected, 15000);
    }

    std::shared_ptr<KeychainStore> m_store;
    QTemporaryDir m_folder;
    QByteArray m_reference;

private slots:
    void initTestCase()
    {
        TANDREL_REQUIRE_TUNNEL_ENVIRONMENT();
        QVERIFY(!NetworkManagerVPNBackend::unavailableReason());
        m_store = KeychainStore::makeFileStore(m_folder.filePath(QStringLiteral("keychain")));
        KeychainStore::setSystem(m_store);
        QCOMPARE(m_store->add(QString::fromUtf8(BuildConfig::bundleIdentifier), kPasswordAccount,
                              TunnelEnvironment::eapPassword().toUtf8(), &m_reference),
                 KeychainStatus::success);
        manager().setBackend(std::make_shared<NetworkManagerVPNBackend>());
        QCOMPARE(manager().connection().status(), NEVPNStatus::invalid);
    }

    void cleanup()
    {
        TunnelEnvironment::thawResponder();
        // Whatever a case changed, the next one finds the right password in the keychain.
        if (m_store) {
            KeychainStore::setSystem(m_store);
            setTunnelPassword(TunnelEnvironment::eapPassword());
        }
    }

    void savedProfileHoldsNoPasswordAndLoadsBackUnchanged_data()
    {
        QTest::addColumn<bool>("killSwitch");
        QTest::addColumn<bool>("excludeLocalNetworks");
        QTest::newRow("kill switch, LAN in the tunnel") << true << false;
        QTest::newRow("no kill switch, LAN excluded") << false << true;
    }
    void savedProfileHoldsNoPasswordAndLoadsBackUnchanged()
    {
        QFETCH(bool, killSwitch);
        QFETCH(bool, excludeLocalNetworks);
        configure(killSwitch, excludeLocalNetworks);
        QCOMPARE(manager().connection().status(), NEVPNStatus::disconnected);
        const NEVPNConfiguration saved{manager().protocolConfiguration, manager().onDemandRules,
                                       manager().isOnDemandEnabled, manager().localizedDescription,
                                       manager().isEnabled};

        const QString profiles = TunnelEnvironment::savedProfiles();
        QVERIFY(profiles.contains(QStringLiteral("id=Tandrel\n")));
        QVERIFY(profiles.contains(QStringLiteral("ike=aes256gcm16-prfsha384-curve25519\n")));
        QVERIFY(profiles.contains(QStringLiteral("esp=aes256gcm16-curve25519\n")));
        QVERIFY(profiles.contains(QStringLiteral("password-flags=1\n")));
        QVERIFY(profiles.contains(QStringLiteral("method=eap\n")));
        QVERIFY(!profiles.contains(TunnelEnvironment::eapPassword()));
        QCOMPARE(profiles.count(QStringLiteral("[vpn]")), 1);  // a second save updated the one profile

        // A fresh back end (the next run of the program) finds the same configuration.
        auto restarted = std::make_shared<NetworkManagerVPNBackend>();
        QTRY_COMPARE(restarted->status(), NEVPNStatus::disconnected);  // once NetworkManager has answered
        std::optional<NEVPNConfiguration> loaded;
        bool done = false;
        restarted->load([&](std::optional<NEVPNConfiguration> configuration, std::optional<Error> error) {
            QVERIFY(!error);
            loaded = configuration;
            done = true;
        });
        QTRY_VERIFY(done);
        QVERIFY(loaded.has_value());
        QCOMPARE(*loaded, saved);
    }

    void connectCarriesTrafficThroughTheResponder()
    {
        configure(true, false);
        StatusRecorder recorder;
        QElapsedTimer clock;
        clock.start();
        connectTunnel();
        qInfo("start to connected: %lld ms", static_cast<long long>(clock.elapsed()));
        QCOMPARE(recorder.statuses().first(), NEVPNStatus::connecting);
        QCOMPARE(recorder.statuses().last(), NEVPNStatus::connected);

        QVERIFY(TunnelEnvironment::ping(TunnelEnvironment::addressBehindServer()));
        const QString sas = TunnelEnvironment::responder({QStringLiteral("--list-sas")});
        QVERIFY2(sas.contains(QStringLiteral("AES_GCM_16-256/PRF_HMAC_SHA2_384/CURVE_25519")), qPrintable(sas));
        QVERIFY2(sas.contains(QStringLiteral("remote '%1'").arg(TunnelEnvironment::eapUser())), qPrintable(sas));
        QVERIFY2(QRegularExpression(QStringLiteral("in .*, +[1-9][0-9]* packets")).match(sas).hasMatch(),
                 qPrintable(sas));

        recorder.clear();
        disconnectTunnel();
        QCOMPARE(recorder.statuses(), (QList<NEVPNStatus>{NEVPNStatus::disconnecting, NEVPNStatus::disconnected}));
        QTRY_VERIFY(
            !TunnelEnvironment::responder({QStringLiteral("--list-sas")}).contains(QStringLiteral("ESTABLISHED")));
    }

    // The keychain items moved (into the keyring, or from an earlier application id) after
    // the profile was saved: its reference names the old place, the password is found anyway.
    void aStalePasswordReferenceStillFindsTheTunnelPassword()
    {
        configure(false, false);
        QTemporaryDir movedTo;
        const std::shared_ptr<KeychainStore> moved =
            KeychainStore::makeFileStore(movedTo.filePath(QStringLiteral("keychain")));
        QByteArray movedReference;
        QCOMPARE(moved->add(QString::fromUtf8(BuildConfig::bundleIdentifier), kPasswordAccount,
                            TunnelEnvironment::eapPassword().toUtf8(), &movedReference),
                 KeychainStatus::success);
        KeychainItem unused;
        QCOMPARE(moved->copyByReference(m_reference, &unused), KeychainStatus::itemNotFound);
        KeychainStore::setSystem(moved);
        connectTunnel();
        disconnectTunnel();
    }

    void wrongPasswordEndsDisconnectedWithTheReason()
    {
        configure(true, false);  // on-demand must not retry a refused login
        setTunnelPassword(QStringLiteral("not-the-password"));
        StatusRecorder recorder;
        {
            CapturedOutput output;
            QCOMPARE(manager().connection().startVPNTunnel(), std::nullopt);
            QTRY_COMPARE_WITH_TIMEOUT(
                recorder.statuses().value(recorder.statuses().size() - 1, NEVPNStatus::connecting),
                NEVPNStatus::disconnected, 15000);
            QCOMPARE(output.lines(), QStringList{QStringLiteral("VPN connection failed: ") + kRefusedOrUntrusted});
        }
        QCOMPARE(recorder.posts().last().reason, kRefusedOrUntrusted);
        QVERIFY(!recorder.statuses().contains(NEVPNStatus::connected));
        QVERIFY(!recorder.statuses().contains(NEVPNStatus::reasserting));
        QCOMPARE(manager().connection().status(), NEVPNStatus::disconnected);
    }

    void droppedTunnelComesBackOnlyWithTheKillSwitch_data()
    {
        QTest::addColumn<bool>("killSwitch");
        QTest::newRow("kill switch on") << true;
        QTest::newRow("kill switch off") << false;
    }
    void droppedTunnelComesBackOnlyWithTheKillSwitch()
    {
        QFETCH(bool, killSwitch);
        configure(killSwitch, false);
        connectTunnel();
        StatusRecorder recorder;
        QVERIFY(TunnelEnvironment::killVPNDaemon());
        if (killSwitch) {
            QTRY_VERIFY_WITH_TIMEOUT(recorder.statuses().contains(NEVPNStatus::connected), 15000);
            QCOMPARE(recorder.statuses().first(), NEVPNStatus::reasserting);
            QVERIFY(!recorder.statuses().contains(NEVPNStatus::disconnected));
            QVERIFY(TunnelEnvironment::ping(TunnelEnvironment::addressBehindServer()));
            disconnectTunnel();
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(manager().connection().status(), NEVPNStatus::disconnected, 15000);
            QCOMPARE(recorder.statuses(), QList<NEVPNStatus>{NEVPNStatus::disconnected});
        }
    }

    // Under the kill switch, a tunnel that was up stays wanted when the reconnect is refused:
    // the refusal is said while reasserting (the status stays), and a later try brings it back.
    void aDroppedTunnelWhoseReconnectIsRefusedStaysReassertingAndSaysWhy()
    {
        configure(true, false);
        connectTunnel();
        setTunnelPassword(QStringLiteral("not-the-password"));
        StatusRecorder recorder;
        const auto refusals = [&recorder] {
            int count = 0;
            for (const StatusRecorder::Post& post : recorder.posts()) {
                count += post.status == NEVPNStatus::reasserting && post.reason == kRefusedOrUntrusted;
            }
            return count;
        };
        QVERIFY(TunnelEnvironment::killVPNDaemon());
        QTRY_VERIFY_WITH_TIMEOUT(refusals() >= 1, 10000);
        QVERIFY(!recorder.statuses().contains(NEVPNStatus::disconnected));
        setTunnelPassword(TunnelEnvironment::eapPassword());
        QTRY_COMPARE_WITH_TIMEOUT(manager().connection().status(), NEVPNStatus::connected, 15000);
        QVERIFY(TunnelEnvironment::ping(TunnelEnvironment::addressBehindServer()));
        disconnectTunnel();
    }

    void aRestartFindsTheRunningTunnelAndKeepsItUpUnderTheKillSwitch()
    {
        configure(true, false);
        connectTunnel();
        // The next run of the program, while the tunnel is still up.
        manager().setBackend(std::make_shared<NetworkManagerVPNBackend>());
        QTRY_COMPARE(manager().connection().status(), NEVPNStatus::connected);
        StatusRecorder recorder;
        QVERIFY(TunnelEnvironment::killVPNDaemon());
        QTRY_VERIFY_WITH_TIMEOUT(recorder.statuses().contains(NEVPNStatus::connected), 15000);
        QCOMPARE(recorder.statuses().first(), NEVPNStatus::reasserting);
        disconnectTunnel();
    }

    void aTunnelStartedByAnotherToolIsFollowedAndStartingItKeepsIt()
    {
        configure(true, false);
        StatusRecorder recorder;
        QProcess nmcli;  // our agent answers its password request meanwhile, so never block on it
        nmcli.start(QStringLiteral("nmcli"), {QStringLiteral("connection"), QStringLiteral("up"), QStringLiteral("id"),
                                              QStringLiteral("Tandrel")});
        QTRY_COMPARE_WITH_TIMEOUT(manager().connection().status(), NEVPNStatus::connected, 15000);
        QTRY_COMPARE(nmcli.state(), QProcess::NotRunning);
        QCOMPARE(recorder.statuses().first(), NEVPNStatus::connecting);

        recorder.clear();
        QCOMPARE(manager().connection().startVPNTunnel(), std::nullopt);
        QVERIFY(TunnelEnvironment::ping(TunnelEnvironment::addressBehindServer()));
        QCOMPARE(recorder.statuses(), QList<NEVPNStatus>{});  // still the same tunnel
        disconnectTunnel();
    }

    void excludedLocalNetworksStayOutsideTheTunnel_data()
    {
        QTest::addColumn<bool>("excludeLocalNetworks");
        QTest::newRow("excluded") << true;
        QTest::newRow("through the tunnel") << false;
    }
    void excludedLocalNetworksStayOutsideTheTunnel()
    {
        QFETCH(bool, excludeLocalNetworks);
        configure(true, excludeLocalNetworks);
        connectTunnel();
        // The responder has no route to the LAN: the LAN host answers only around the tunnel.
        QCOMPARE(TunnelEnvironment::ping(TunnelEnvironment::lanHost()), excludeLocalNetworks);
        QVERIFY(TunnelEnvironment::ping(TunnelEnvironment::addressBehindServer()));
        disconnectTunnel();
        QTRY_VERIFY(TunnelEnvironment::nothingHeldBack());
    }

    // NetworkManager hangs for 7 s right after the save: the attempt waits for it instead of
    // going on with the name, pins the address, and a drop later reconnects without a lookup.
    void networkManagerHungAfterTheSaveThenADropComesBack()
    {
        configure(true, false);
        QElapsedTimer clock;
        clock.start();
        const std::shared_ptr<bool> resumed = TunnelEnvironment::stopNetworkManagerFor(7000);
        QCOMPARE(manager().connection().startVPNTunnel(), std::nullopt);
        QTRY_VERIFY_WITH_TIMEOUT(*resumed, 10000);
        const qint64 answering = clock.elapsed();
        QTRY_COMPARE_WITH_TIMEOUT(manager().connection().status(), NEVPNStatus::connected, 5000);
        qInfo("NetworkManager stopped 7 s after the save: connected %lld ms after it answered again",
              static_cast<long long>(clock.elapsed() - answering));
        QVERIFY(TunnelEnvironment::savedProfiles().contains(
            QStringLiteral("address=%1\n").arg(TunnelEnvironment::serverAddress())));
        StatusRecorder recorder;
        clock.restart();
        QVERIFY(TunnelEnvironment::killVPNDaemon());
        QTRY_VERIFY_WITH_TIMEOUT(recorder.statuses().contains(NEVPNStatus::reasserting), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(manager().connection().status(), NEVPNStatus::connected, 5000);
        qInfo("then a drop: connected again after %lld ms", static_cast<long long>(clock.elapsed()));
        QVERIFY(TunnelEnvironment::ping(TunnelEnvironment::addressBehindServer()));
        disconnectTunnel();
    }

    void aServerWhoseFirstAddressIsDeadIsReachedThroughTheNext()
    {
        configure(true, false, TunnelEnvironment::dualServer());
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(manager().connection().startVPNTunnel(), std::nullopt);
        QTRY_COMPARE_WITH_TIMEOUT(manager().connection().status(), NEVPNStatus::connected, 15000);
        qInfo("first address dead: connected through the second after %lld ms", static_cast<long long>(clock.elapsed()));
        QVERIFY(TunnelEnvironment::savedProfiles().contains(
            QStringLiteral("address=%1\n").arg(TunnelEnvironment::serverAddress())));
        QVERIFY(TunnelEnvironment::ping(TunnelEnvironment::addressBehindServer()));
        disconnectTunnel();
    }

    void aSilentServerEndsTheFirstConnectWithItsReasonAndTrafficFlowsAfter()
    {
        configure(true, false);
        TunnelEnvironment::freezeResponder();
        StatusRecorder recorder;
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(manager().connection().startVPNTunnel(), std::nullopt);
        QTRY_COMPARE_WITH_TIMEOUT(manager().connection().status(), NEVPNStatus::disconnected, 30000);
        qInfo("silent server: ended after %lld ms", static_cast<long long>(clock.elapsed()));
        const QString reason = recorder.posts().last().reason;
        QVERIFY2(NetworkManagerFailure::sentences().contains(reason), qPrintable(reason));
        QTRY_VERIFY(TunnelEnvironment::nothingHeldBack());
        QVERIFY(TunnelEnvironment::ping(TunnelEnvironment::outsideHost4()));
    }

    void removingTheProfileTakesTheTunnelDownForGoodAndStartFailsAtOnce()
    {
        configure(true, false);
        connectTunnel();
        StatusRecorder recorder;
        QCOMPARE(waitFor([this](auto done) { manager().removeFromPreferences(done); }), std::nullopt);
        QTRY_COMPARE(manager().connection().status(), NEVPNStatus::invalid);
        QTRY_VERIFY(
            !TunnelEnvironment::responder({QStringLiteral("--list-sas")}).contains(QStringLiteral("ESTABLISHED")));
        QCOMPARE(recorder.statuses().last(), NEVPNStatus::invalid);  // no reconnection, no late "disconnected"
        QVERIFY(!recorder.statuses().contains(NEVPNStatus::reasserting));
        QVERIFY(!TunnelEnvironment::savedProfiles().contains(QStringLiteral("[vpn]")));
        const std::optional<Error> error = manager().connection().startVPNTunnel();
        QVERIFY(error.has_value());
        QCOMPARE(error->code(), int(NetworkManagerVPNBackend::noConfiguration));
        QCOMPARE(manager().connection().status(), NEVPNStatus::invalid);
    }

    // A build run from its tree, the guard's helper not installed: a connect under the kill
    // switch is refused at once and says what is missing, never a tunnel that looks protected.
    void withoutTheGuardsHelperAConnectIsRefusedAndSaysWhatIsMissing()
    {
        QProcess bus;  // a bus that starts no helper, as on a machine without the package
        bus.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--session"), QStringLiteral("--nofork"),
                                                  QStringLiteral("--print-address")});
        QVERIFY(bus.waitForReadyRead(5000));
        auto guard = std::make_unique<HelperTrafficGuard>(QDBusConnection::connectToBus(
            QString::fromUtf8(bus.readLine()).trimmed(), QStringLiteral("without-the-helper")));
        const TrafficGuard* asked = guard.get();
        QTRY_VERIFY(asked->unavailableReason());
        manager().setBackend(std::make_shared<NetworkManagerVPNBackend>(std::move(guard)));
        configure(true, false);
        const std::optional<Error> refused = manager().connection().startVPNTunnel();
        QVERIFY(refused.has_value());
        QCOMPARE(refused->code(), int(NetworkManagerVPNBackend::guardUnavailable));
        QVERIFY2(refused->localizedDescription().contains(QStringLiteral("tandrel-traffic-guard")),
                 qPrintable(refused->localizedDescription()));
        QCOMPARE(manager().connection().status(), NEVPNStatus::disconnected);
        QVERIFY(TunnelEnvironment::nothingHeldBack());
        manager().setBackend(std::make_shared<NetworkManagerVPNBackend>());
        bus.terminate();
        bus.waitForFinished();
    }
};

TANDREL_TEST_MAIN_CORE(NetworkManagerBackendTest)
#include "tst_networkmanagerbackend.moc"
