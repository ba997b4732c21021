#include "BuildConfig.h"
#include "Platform/Keychain.h"
#include "Platform/MainQueue.h"
#include "Platform/NetworkExtension/NEVPNManager.h"
#include "Platform/NetworkExtension/NetworkManagerVPNBackend.h"
#include "Platform/StandIn/StandInVPNBackend.h"
#include "Platform/NetworkExtension/UnavailableVPNBackend.h"
#include "TunnelTesting.h"
#include "support/TestMain.h"

#include <QFile>
#include <QTemporaryDir>

#include <thread>

using namespace tandrel;
using namespace std::chrono_literals;
using testing::awaitCompletion;

Q_DECLARE_METATYPE(tandrel::NEVPNConfiguration)

namespace {

using Completion = std::function<void(std::optional<Error>)>;
using Loaded = std::pair<std::optional<NEVPNConfiguration>, std::optional<Error>>;

NEVPNConfiguration usableConfiguration(const QByteArray& passwordReference)
{
    NEVPNProtocolIKEv2 protocol;
    protocol.serverAddress = QStringLiteral("de1.vpn.example");
    protocol.remoteIdentifier = protocol.serverAddress;
    protocol.username = QStringLiteral("radius-user");
    protocol.passwordReference = passwordReference;
    protocol.useExtendedAuthentication = true;
    protocol.IKESecurityAssociationParameters.diffieHellmanGroup = NEVPNIKEv2DiffieHellmanGroup::group31;
    protocol.enablePFS = true;
    protocol.includeAllNetworks = true;
    NEVPNConfiguration configuration{protocol, {NEOnDemandRuleConnect{}}, true, QStringLiteral("Tandrel"), true};
    return configuration;
}

std::optional<Error> save(StandInVPNBackend& backend, const NEVPNConfiguration& configuration)
{
    return awaitCompletion<std::optional<Error>>([&](Completion done) { backend.save(configuration, done); });
}

Loaded load(StandInVPNBackend& backend)
{
    return awaitCompletion<Loaded>([&](std::function<void(Loaded)> done) {
        backend.load([done](std::optional<NEVPNConfiguration> configuration, std::optional<Error> error) {
            done({configuration, error});
        });
    });
}

std::optional<Error> remove(StandInVPNBackend& backend)
{
    return awaitCompletion<std::optional<Error>>([&](Completion done) { backend.remove(done); });
}

}  // namespace

class StandInVPNBackendTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_path;
    QByteArray m_reference;

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
        KeychainStore::setSystem(KeychainStore::makeFileStore(m_dir.filePath(QStringLiteral("keychain"))));
        KeychainStore::system().remove("example.tandrel.test", "vpnPassword");
        QCOMPARE(KeychainStore::system().add("example.tandrel.test", "vpnPassword", "secret", &m_reference), 0);
    }

    void configurationSurvivesARestartUntilRemoved()
    {
        QCOMPARE(StandInVPNBackend::defaultConfigurationPath(), qEnvironmentVariable("XDG_DATA_HOME") + "/" +
                                                                    QString::fromUtf8(BuildConfig::bundleIdentifier) +
                                                                    "/vpn-configuration.json");
        const NEVPNConfiguration configuration = usableConfiguration(m_reference);
        {
            StandInVPNBackend first(m_path);
            QCOMPARE(first.status(), NEVPNStatus::invalid);
            QCOMPARE(save(first, configuration), std::nullopt);
            QCOMPARE(first.status(), NEVPNStatus::disconnected);
        }
        const QFileDevice::Permissions othersMay =
            QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ReadOther | QFileDevice::WriteOther;
        QCOMPARE(QFile::permissions(m_path) & othersMay, QFileDevice::Permissions());

        StandInVPNBackend restarted(m_path);
        QCOMPARE(restarted.status(), NEVPNStatus::disconnected);
        QCOMPARE(load(restarted), Loaded(configuration, std::nullopt));
        QCOMPARE(remove(restarted), std::nullopt);
        QVERIFY(!QFile::exists(m_path));
        QCOMPARE(restarted.status(), NEVPNStatus::invalid);
        QCOMPARE(load(restarted), Loaded());
        QCOMPARE(StandInVPNBackend(m_path).status(), NEVPNStatus::invalid);
    }

    void unreadableFileIsReportedAndKept_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::newRow("not JSON") << QByteArray("{\"isEnabled\": tr");
        QTest::newRow("unknown rule interface")
            << QByteArray(R"({"localizedDescription":"","isEnabled":true,"isOnDemandEnabled":true,)"
                          R"("onDemandRules":[{"action":"connect","interfaceTypeMatch":9}]})");
        QTest::newRow("number beyond an int")
            << QByteArray(R"({"localizedDescription":"","isEnabled":true,"isOnDemandEnabled":true,)"
                          R"("onDemandRules":[{"action":"connect","interfaceTypeMatch":1e300}]})");
    }
    void unreadableFileIsReportedAndKept()
    {
        QFETCH(QByteArray, contents);
        QFile file(m_path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(contents);
        file.close();
        StandInVPNBackend backend(m_path);
        const auto [loaded, error] = load(backend);
        QVERIFY(error && !loaded);
        QCOMPARE(error->domain(), StandInVPNBackend::errorDomain);
        QCOMPARE(error->code(), int(StandInVPNBackend::configurationUnreadable));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), contents);
    }

    void startRefusesWhatNoTunnelCouldUse_data()
    {
        QTest::addColumn<std::optional<NEVPNConfiguration>>("saved");
        QTest::addColumn<int>("code");
        const NEVPNConfiguration good = usableConfiguration("names no keychain item");
        auto changed = [&](auto change) {
            NEVPNConfiguration configuration = good;
            change(configuration);
            return std::optional(configuration);
        };
        QTest::newRow("nothing saved") << std::optional<NEVPNConfiguration>()
                                       << int(StandInVPNBackend::noConfiguration);
        QTest::newRow("not enabled") << changed([](auto& c) { c.isEnabled = false; })
                                     << int(StandInVPNBackend::notEnabled);
        QTest::newRow("no protocol") << changed([](auto& c) { c.protocolConfiguration.reset(); })
                                     << int(StandInVPNBackend::noServerAddress);
        QTest::newRow("empty server") << changed([](auto& c) { c.protocolConfiguration->serverAddress.clear(); })
                                      << int(StandInVPNBackend::noServerAddress);
        QTest::newRow("empty user name") << changed([](auto& c) { c.protocolConfiguration->username.clear(); })
                                         << int(StandInVPNBackend::noUsername);
        QTest::newRow("no reference") << changed([](auto& c) { c.protocolConfiguration->passwordReference.clear(); })
                                      << int(StandInVPNBackend::noPasswordReference);
        QTest::newRow("reference to no item") << std::optional(good) << int(StandInVPNBackend::passwordItemNotFound);
    }
    void startRefusesWhatNoTunnelCouldUse()
    {
        QFETCH(std::optional<NEVPNConfiguration>, saved);
        QFETCH(int, code);
        auto backend = attachedBackend();
        if (saved) {
            QCOMPARE(save(*backend, *saved), std::nullopt);
        }
        const NEVPNStatus before = backend->status();
        testing::StatusRecorder recorder;
        const std::optional<Error> error = NEVPNManager::shared().connection().startVPNTunnel();
        QVERIFY(error);
        QCOMPARE(error->domain(), StandInVPNBackend::errorDomain);
        QCOMPARE(error->code(), code);
        QTest::qWait(50);  // a refused start must not walk later either
        QCOMPARE(backend->status(), before);
        QVERIFY(recorder.posts().isEmpty());
    }

    void heldStatusStaysUntilReleased()
    {
        auto backend = attachedBackend();
        QCOMPARE(save(*backend, usableConfiguration(m_reference)), std::nullopt);
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
        QCOMPARE(save(*backend, usableConfiguration(m_reference)), std::nullopt);
        QCOMPARE(backend->start(), std::nullopt);
        QTRY_COMPARE_WITH_TIMEOUT(backend->status(), NEVPNStatus::connected, 5000);
        testing::StatusRecorder recorder;
        backend->dropTunnel(recovers, QStringLiteral("peer unreachable"));
        QTRY_COMPARE_WITH_TIMEOUT(backend->status(), final, 5000);
        QCOMPARE(recorder.statuses(), (QList<NEVPNStatus>{NEVPNStatus::reasserting, final}));
        QCOMPARE(recorder.posts().first().reason, QStringLiteral("peer unreachable"));
    }

    void loadReplacesTheManagersFields()
    {
        auto backend = attachedBackend();
        NEVPNManager& manager = NEVPNManager::shared();
        const NEVPNConfiguration saved = usableConfiguration(m_reference);
        QCOMPARE(save(*backend, saved), std::nullopt);
        auto loadManager = [&] {
            return awaitCompletion<std::optional<Error>>([&](Completion done) { manager.loadFromPreferences(done); });
        };
        QCOMPARE(loadManager(), std::nullopt);
        QCOMPARE(manager.protocolConfiguration, saved.protocolConfiguration);
        QCOMPARE(manager.onDemandRules, saved.onDemandRules);
        QCOMPARE(manager.localizedDescription, saved.localizedDescription);
        QVERIFY(manager.isEnabled && manager.isOnDemandEnabled);

        QCOMPARE(remove(*backend), std::nullopt);
        QCOMPARE(loadManager(), std::nullopt);
        QCOMPARE(manager.protocolConfiguration, std::nullopt);
        QVERIFY(manager.onDemandRules.empty() && manager.localizedDescription.isEmpty());
        QVERIFY(!manager.isEnabled && !manager.isOnDemandEnabled);
    }

    void saveOfAnUnloadedManagerKeepsTheStoredConfiguration()
    {
        const NEVPNConfiguration stored = usableConfiguration(m_reference);
        auto backend = attachedBackend();  // nothing loaded into the manager yet
        QCOMPARE(save(*backend, stored), std::nullopt);
        const std::optional<Error> error = awaitCompletion<std::optional<Error>>(
            [](Completion done) { NEVPNManager::shared().saveToPreferences(done); });
        QVERIFY(error);
        QCOMPARE(error->domain(), QStringLiteral("NEVPNErrorDomain"));
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
        QCOMPARE(recorder.posts().first().object, static_cast<const void*>(&NEVPNManager::shared().connection()));
        QCOMPARE(recorder.posts().first().reason, QStringLiteral("daemon restarted"));
    }

    void loadAnsweredOnAnotherThreadLandsOnTheMainThread()
    {
        // The tunnel set-up writes the manager's fields on the main thread; a service
        // answering from its own thread must not write them at the same time.
        struct ThreadedBackend : UnavailableVPNBackend {
            std::thread answering;
            ~ThreadedBackend() override { answering.join(); }
            void load(LoadCompletion completion) override
            {
                answering = std::thread([completion] {
                    NEVPNConfiguration configuration;
                    configuration.localizedDescription = QStringLiteral("Tandrel");
                    completion(configuration, std::nullopt);
                });
            }
        };
        auto backend = std::make_shared<ThreadedBackend>();
        NEVPNManager& manager = NEVPNManager::shared();
        manager.setBackend(backend);
        bool onMainThread = false;
        QString descriptionSeen;
        const std::optional<Error> error = awaitCompletion<std::optional<Error>>([&](Completion done) {
            manager.loadFromPreferences([&, done](std::optional<Error> error) {
                onMainThread = MainQueue::isMainThread();
                descriptionSeen = manager.localizedDescription;
                done(error);
            });
        });
        QCOMPARE(error, std::nullopt);
        QVERIFY(onMainThread);
        QCOMPARE(descriptionSeen, QStringLiteral("Tandrel"));
        manager.setBackend(nullptr);
    }

    void onlyAStandInBuildGetsTheStandIn()
    {
        const std::shared_ptr<NEVPNBackend> chosen = NEVPNBackend::makeDefault();
        const bool standInBuild = QByteArray(BuildConfig::vpnBackend) == "standin";
        QCOMPARE(dynamic_cast<StandInVPNBackend*>(chosen.get()) != nullptr, standInBuild);
        if (standInBuild) {
            const auto unavailable = std::make_shared<UnavailableVPNBackend>();
            QCOMPARE(unavailable->status(), NEVPNStatus::invalid);
            QCOMPARE(unavailable->start().value_or(Error()).localizedDescription(),
                     QStringLiteral("NetworkManager with the strongSwan plugin is not available."));
        } else if (const std::optional<QString> missing = NetworkManagerVPNBackend::unavailableReason()) {
            // Without NetworkManager and its plugin: no tunnel, and a start says what is missing.
            QCOMPARE(chosen->status(), NEVPNStatus::invalid);
            QCOMPARE(chosen->start().value_or(Error()).localizedDescription(), *missing);
        } else {
            QVERIFY(dynamic_cast<NetworkManagerVPNBackend*>(chosen.get()) != nullptr);
        }
    }
};

TANDREL_TEST_MAIN_CORE(StandInVPNBackendTest)
#include "tst_standinvpnbackend.moc"
