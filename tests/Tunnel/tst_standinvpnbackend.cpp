#include "BuildConfig.h"
#include "Platform/Keychain.h"
#include "Platform/NetworkExtension/NEVPNManager.h"
#include "Platform/NetworkExtension/StandInVPNBackend.h"
#include "Platform/NetworkExtension/UnavailableVPNBackend.h"
#include "TunnelTesting.h"
#include "support/TestMain.h"

#include <QFile>
#include <QTemporaryDir>

#include <thread>

using namespace tandrel;
using namespace std::chrono_literals;

Q_DECLARE_METATYPE(tandrel::NEVPNConfiguration)

namespace {

const QString kService = QStringLiteral("example.tandrel.test");

NEVPNConfiguration usableConfiguration(const QByteArray& passwordReference)
{
    NEVPNProtocolIKEv2 protocol;
    protocol.serverAddress = QStringLiteral("de1.vpn.example");
    protocol.remoteIdentifier = protocol.serverAddress;
    protocol.username = QStringLiteral("radius-user");
    protocol.passwordReference = passwordReference;
    protocol.useExtendedAuthentication = true;
    protocol.IKESecurityAssociationParameters.encryptionAlgorithm = NEVPNIKEv2EncryptionAlgorithm::algorithmAES256GCM;
    protocol.IKESecurityAssociationParameters.integrityAlgorithm = NEVPNIKEv2IntegrityAlgorithm::SHA384;
    protocol.IKESecurityAssociationParameters.diffieHellmanGroup = NEVPNIKEv2DiffieHellmanGroup::group31;
    protocol.childSecurityAssociationParameters = protocol.IKESecurityAssociationParameters;
    protocol.enablePFS = true;
    protocol.includeAllNetworks = true;
    protocol.excludeLocalNetworks = false;
    NEVPNConfiguration configuration;
    configuration.protocolConfiguration = protocol;
    configuration.onDemandRules = {NEOnDemandRuleConnect{}};
    configuration.isOnDemandEnabled = true;
    configuration.localizedDescription = QStringLiteral("Tandrel");
    configuration.isEnabled = true;
    return configuration;
}

}  // namespace

class StandInVPNBackendTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_path;
    QByteArray m_reference;

    std::optional<Error> saveThrough(StandInVPNBackend& backend, const NEVPNConfiguration& configuration)
    {
        bool done = false;
        std::optional<Error> result;
        backend.save(configuration, [&](std::optional<Error> error) {
            result = error;
            done = true;
        });
        [&] { QTRY_VERIFY_WITH_TIMEOUT(done, 5000); }();
        return result;
    }

    std::pair<std::optional<NEVPNConfiguration>, std::optional<Error>> loadThrough(StandInVPNBackend& backend)
    {
        bool done = false;
        std::pair<std::optional<NEVPNConfiguration>, std::optional<Error>> result;
        backend.load([&](std::optional<NEVPNConfiguration> configuration, std::optional<Error> error) {
            result = {configuration, error};
            done = true;
        });
        [&] { QTRY_VERIFY_WITH_TIMEOUT(done, 5000); }();
        return result;
    }

    std::optional<Error> removeThrough(StandInVPNBackend& backend)
    {
        bool done = false;
        std::optional<Error> result;
        backend.remove([&](std::optional<Error> error) {
            result = error;
            done = true;
        });
        [&] { QTRY_VERIFY_WITH_TIMEOUT(done, 5000); }();
        return result;
    }

    std::shared_ptr<StandInVPNBackend> attachedBackend()
    {
        auto backend = std::make_shared<StandInVPNBackend>(m_path);
        backend->setStepDelay(10ms);
        NEVPNManager::shared().setBackend(backend);
        return backend;
    }

private slots:
    void init()
    {
        m_path = m_dir.filePath(QStringLiteral("vpn-configuration.json"));
        QFile::remove(m_path);
        KeychainStore::setSystem(KeychainStore::makeFileStore(m_dir.filePath(QStringLiteral("keychain.json"))));
        KeychainStore::system().remove(kService, QStringLiteral("vpnPassword"));
        QCOMPARE(KeychainStore::system().add(kService, QStringLiteral("vpnPassword"), "secret", &m_reference), 0);
    }

    void configurationLivesInTheUsersDataFolder()
    {
        QCOMPARE(StandInVPNBackend::defaultConfigurationPath(),
                 qEnvironmentVariable("XDG_DATA_HOME") + "/example.tandrel.desktop/vpn-configuration.json");
    }

    void savedConfigurationSurvivesAFreshInstance()
    {
        const NEVPNConfiguration configuration = usableConfiguration(m_reference);
        {
            StandInVPNBackend first(m_path);
            QCOMPARE(first.status(), NEVPNStatus::invalid);
            QCOMPARE(saveThrough(first, configuration), std::nullopt);
            QCOMPARE(first.status(), NEVPNStatus::disconnected);
        }
        StandInVPNBackend restarted(m_path);
        QCOMPARE(restarted.status(), NEVPNStatus::disconnected);
        QCOMPARE(restarted.savedConfiguration(), configuration);
        const auto [loaded, error] = loadThrough(restarted);
        QCOMPARE(error, std::nullopt);
        QCOMPARE(loaded, configuration);
        const QFileDevice::Permissions othersMay =
            QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ReadOther | QFileDevice::WriteOther;
        QCOMPARE(QFile::permissions(m_path) & othersMay, QFileDevice::Permissions());
    }

    void removalDeletesTheConfiguration()
    {
        StandInVPNBackend backend(m_path);
        QCOMPARE(saveThrough(backend, usableConfiguration(m_reference)), std::nullopt);
        QCOMPARE(removeThrough(backend), std::nullopt);
        QVERIFY(!QFile::exists(m_path));
        QCOMPARE(backend.status(), NEVPNStatus::invalid);
        StandInVPNBackend restarted(m_path);
        QCOMPARE(restarted.status(), NEVPNStatus::invalid);
        const auto [loaded, error] = loadThrough(restarted);
        QCOMPARE(error, std::nullopt);
        QCOMPARE(loaded, std::nullopt);
        QCOMPARE(removeThrough(restarted), std::nullopt);  // nothing to remove is no failure
    }

    void unreadableFileIsReportedAndKept_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::newRow("not JSON") << QByteArray("{\"isEnabled\": tr");
        QTest::newRow("array") << QByteArray("[]");
        QTest::newRow("wrong type") << QByteArray(
            R"({"localizedDescription":"Tandrel","isEnabled":"yes","isOnDemandEnabled":true,"onDemandRules":[]})");
        QTest::newRow("unknown rule interface")
            << QByteArray(R"({"localizedDescription":"","isEnabled":true,"isOnDemandEnabled":true,)"
                          R"("onDemandRules":[{"action":"connect","interfaceTypeMatch":9}]})");
    }
    void unreadableFileIsReportedAndKept()
    {
        QFETCH(QByteArray, contents);
        QFile file(m_path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(contents);
        file.close();
        StandInVPNBackend backend(m_path);
        const auto [loaded, error] = loadThrough(backend);
        QVERIFY(error);
        QCOMPARE(error->domain(), StandInVPNBackend::errorDomain);
        QCOMPARE(error->code(), int(StandInVPNBackend::configurationUnreadable));
        QVERIFY(error->localizedDescription().startsWith("The saved VPN configuration could not be read"));
        QCOMPARE(loaded, std::nullopt);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), contents);
    }

    void startRefusesWhatNoTunnelCouldUse_data()
    {
        QTest::addColumn<bool>("save");
        QTest::addColumn<NEVPNConfiguration>("configuration");
        QTest::addColumn<int>("code");
        const NEVPNConfiguration good = usableConfiguration("placeholder");
        NEVPNConfiguration disabled = good;
        disabled.isEnabled = false;
        NEVPNConfiguration noProtocol = good;
        noProtocol.protocolConfiguration.reset();
        NEVPNConfiguration noServer = good;
        noServer.protocolConfiguration->serverAddress.clear();
        NEVPNConfiguration noUser = good;
        noUser.protocolConfiguration->username.clear();
        NEVPNConfiguration noReference = good;
        noReference.protocolConfiguration->passwordReference.clear();
        NEVPNConfiguration danglingReference = good;
        danglingReference.protocolConfiguration->passwordReference = "names-no-item";
        QTest::newRow("nothing saved") << false << good << int(StandInVPNBackend::noConfiguration);
        QTest::newRow("not enabled") << true << disabled << int(StandInVPNBackend::notEnabled);
        QTest::newRow("no protocol") << true << noProtocol << int(StandInVPNBackend::noServerAddress);
        QTest::newRow("empty server") << true << noServer << int(StandInVPNBackend::noServerAddress);
        QTest::newRow("empty user name") << true << noUser << int(StandInVPNBackend::noUsername);
        QTest::newRow("no password reference") << true << noReference << int(StandInVPNBackend::noPasswordReference);
        QTest::newRow("reference to no item")
            << true << danglingReference << int(StandInVPNBackend::passwordItemNotFound);
    }
    void startRefusesWhatNoTunnelCouldUse()
    {
        QFETCH(bool, save);
        QFETCH(NEVPNConfiguration, configuration);
        QFETCH(int, code);
        auto backend = attachedBackend();
        if (save) {
            QCOMPARE(saveThrough(*backend, configuration), std::nullopt);
        }
        const NEVPNStatus before = backend->status();
        testing::StatusRecorder recorder;
        const std::optional<Error> error = NEVPNManager::shared().connection().startVPNTunnel();
        QVERIFY(error);
        QCOMPARE(error->domain(), StandInVPNBackend::errorDomain);
        QCOMPARE(error->code(), code);
        QVERIFY(!error->localizedDescription().isEmpty());
        QCOMPARE(backend->status(), before);
        QTest::qWait(50);  // a refused start must not walk later either
        QVERIFY(recorder.posts().isEmpty());
    }

    void everyTransitionIsNotifiedWithTheConnection()
    {
        auto backend = attachedBackend();
        testing::StatusRecorder recorder;
        QCOMPARE(saveThrough(*backend, usableConfiguration(m_reference)), std::nullopt);
        NEVPNConnection& connection = NEVPNManager::shared().connection();
        QCOMPARE(connection.startVPNTunnel(), std::nullopt);
        QCOMPARE(connection.status(), NEVPNStatus::connecting);
        QTRY_COMPARE_WITH_TIMEOUT(connection.status(), NEVPNStatus::connected, 5000);
        QCOMPARE(connection.startVPNTunnel(), std::nullopt);  // already up: nothing changes
        connection.stopVPNTunnel();
        QTRY_COMPARE_WITH_TIMEOUT(connection.status(), NEVPNStatus::disconnected, 5000);
        QCOMPARE(removeThrough(*backend), std::nullopt);
        QCOMPARE(recorder.statuses(),
                 (QList<NEVPNStatus>{NEVPNStatus::disconnected, NEVPNStatus::connecting, NEVPNStatus::connected,
                                     NEVPNStatus::disconnecting, NEVPNStatus::disconnected, NEVPNStatus::invalid}));
        for (const auto& post : recorder.posts()) {
            QCOMPARE(post.object, static_cast<const void*>(&connection));
        }
    }

    void heldStatusStaysUntilReleased()
    {
        auto backend = attachedBackend();
        QCOMPARE(saveThrough(*backend, usableConfiguration(m_reference)), std::nullopt);
        backend->holdStatus(NEVPNStatus::connecting);
        QCOMPARE(backend->start(), std::nullopt);
        QTest::qWait(100);
        QCOMPARE(backend->status(), NEVPNStatus::connecting);
        backend->holdStatus(std::nullopt);
        QTRY_COMPARE_WITH_TIMEOUT(backend->status(), NEVPNStatus::connected, 5000);
    }

    void droppedTunnelReassertsThenRecoversOrFalls_data()
    {
        QTest::addColumn<bool>("recovers");
        QTest::addColumn<NEVPNStatus>("final");
        QTest::newRow("recovers") << true << NEVPNStatus::connected;
        QTest::newRow("falls") << false << NEVPNStatus::disconnected;
    }
    void droppedTunnelReassertsThenRecoversOrFalls()
    {
        QFETCH(bool, recovers);
        QFETCH(NEVPNStatus, final);
        auto backend = attachedBackend();
        QCOMPARE(saveThrough(*backend, usableConfiguration(m_reference)), std::nullopt);
        QCOMPARE(backend->start(), std::nullopt);
        QTRY_COMPARE_WITH_TIMEOUT(backend->status(), NEVPNStatus::connected, 5000);
        testing::StatusRecorder recorder;
        backend->dropTunnel(recovers, QStringLiteral("peer unreachable"));
        QTRY_COMPARE_WITH_TIMEOUT(backend->status(), final, 5000);
        QCOMPARE(recorder.statuses(), (QList<NEVPNStatus>{NEVPNStatus::reasserting, final}));
        QCOMPARE(recorder.posts().first().reason, QStringLiteral("peer unreachable"));
        QCOMPARE(recorder.posts().last().reason, QString());
    }

    void injectedFailuresChangeNothing()
    {
        auto backend = attachedBackend();
        const NEVPNConfiguration first = usableConfiguration(m_reference);
        QCOMPARE(saveThrough(*backend, first), std::nullopt);
        const Error injected = Error::withDescription("Injected", 7, "injected failure");

        backend->setLoadError(injected);
        QCOMPARE(loadThrough(*backend).second, injected);
        backend->setLoadError(std::nullopt);

        NEVPNConfiguration second = first;
        second.isOnDemandEnabled = false;
        backend->setSaveError(injected);
        QCOMPARE(saveThrough(*backend, second), injected);
        QCOMPARE(backend->savedConfiguration(), first);
        backend->setSaveError(std::nullopt);

        backend->setRemoveError(injected);
        QCOMPARE(removeThrough(*backend), injected);
        QCOMPARE(backend->savedConfiguration(), first);
        backend->setRemoveError(std::nullopt);

        backend->setStartError(injected);
        QCOMPARE(backend->start(), injected);
        QCOMPARE(backend->status(), NEVPNStatus::disconnected);
    }

    void loadReplacesTheManagersFields()
    {
        auto backend = attachedBackend();
        NEVPNManager& manager = NEVPNManager::shared();
        const NEVPNConfiguration saved = usableConfiguration(m_reference);
        QCOMPARE(saveThrough(*backend, saved), std::nullopt);

        bool done = false;
        std::optional<Error> result;
        manager.loadFromPreferences([&](std::optional<Error> error) {
            result = error;
            done = true;
        });
        QTRY_VERIFY_WITH_TIMEOUT(done, 5000);
        QCOMPARE(result, std::nullopt);
        QCOMPARE(manager.protocolConfiguration, saved.protocolConfiguration);
        QCOMPARE(manager.onDemandRules, saved.onDemandRules);
        QCOMPARE(manager.localizedDescription, saved.localizedDescription);
        QVERIFY(manager.isEnabled && manager.isOnDemandEnabled);

        QCOMPARE(removeThrough(*backend), std::nullopt);
        done = false;
        manager.loadFromPreferences([&](std::optional<Error> error) {
            result = error;
            done = true;
        });
        QTRY_VERIFY_WITH_TIMEOUT(done, 5000);
        QCOMPARE(result, std::nullopt);
        QCOMPARE(manager.protocolConfiguration, std::nullopt);
        QVERIFY(manager.onDemandRules.empty());
        QVERIFY(manager.localizedDescription.isEmpty());
        QVERIFY(!manager.isEnabled && !manager.isOnDemandEnabled);
    }

    void saveOfAnUnloadedManagerKeepsTheStoredConfiguration()
    {
        StandInVPNBackend writer(m_path);
        const NEVPNConfiguration stored = usableConfiguration(m_reference);
        QCOMPARE(saveThrough(writer, stored), std::nullopt);
        auto backend = attachedBackend();  // a fresh manager state: nothing loaded
        bool done = false;
        std::optional<Error> result;
        NEVPNManager::shared().saveToPreferences([&](std::optional<Error> error) {
            result = error;
            done = true;
        });
        QTRY_VERIFY_WITH_TIMEOUT(done, 5000);
        QVERIFY(result);
        QCOMPARE(result->domain(), QStringLiteral("NEVPNErrorDomain"));
        QCOMPARE(backend->savedConfiguration(), stored);
    }

    void statusIsNotifiedOnTheThreadTheServiceReportsFrom()
    {
        struct ThreadedBackend : UnavailableVPNBackend {
            StatusHandler handler;
            void setStatusHandler(StatusHandler h) override { handler = std::move(h); }
        };
        auto backend = std::make_shared<ThreadedBackend>();
        NEVPNManager::shared().setBackend(backend);
        testing::StatusRecorder recorder;
        QThread* reporter = nullptr;
        std::thread service([&] {
            reporter = QThread::currentThread();
            backend->handler(NEVPNStatus::disconnected, QStringLiteral("daemon restarted"));
        });
        service.join();
        QCOMPARE(recorder.posts().size(), 1);
        QCOMPARE(recorder.posts().first().thread, reporter);
        QCOMPARE(recorder.posts().first().reason, QStringLiteral("daemon restarted"));
    }

    void replacedServiceNoLongerSpeaksForTheConnection()
    {
        auto first = attachedBackend();
        QCOMPARE(saveThrough(*first, usableConfiguration(m_reference)), std::nullopt);
        QCOMPARE(first->start(), std::nullopt);
        NEVPNManager::shared().setBackend(std::make_shared<UnavailableVPNBackend>());
        testing::StatusRecorder recorder;
        QTRY_COMPARE_WITH_TIMEOUT(first->status(), NEVPNStatus::connected, 5000);
        QVERIFY(recorder.posts().isEmpty());
    }

    void onlyAStandInBuildGetsTheStandIn()
    {
        const std::shared_ptr<NEVPNBackend> chosen = NEVPNBackend::makeDefault();
        const bool standInBuild = QByteArray(BuildConfig::vpnBackend) == "standin";
        QCOMPARE(dynamic_cast<StandInVPNBackend*>(chosen.get()) != nullptr, standInBuild);
        if (!standInBuild) {
            QCOMPARE(chosen->status(), NEVPNStatus::invalid);
            QVERIFY(chosen->start().has_value());
        }
    }

    void unavailableServiceRefusesToPretend()
    {
        NEVPNManager::shared().setBackend(std::make_shared<UnavailableVPNBackend>());
        NEVPNConnection& connection = NEVPNManager::shared().connection();
        QCOMPARE(connection.status(), NEVPNStatus::invalid);
        const std::optional<Error> error = connection.startVPNTunnel();
        QVERIFY(error);
        QCOMPARE(error->localizedDescription(),
                 QStringLiteral("NetworkManager with the strongSwan plugin is not available."));
        QCOMPARE(connection.status(), NEVPNStatus::invalid);
    }
};

TANDREL_TEST_MAIN_CORE(StandInVPNBackendTest)
#include "tst_standinvpnbackend.moc"
