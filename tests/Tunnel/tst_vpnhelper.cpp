#include "Classes/ConnectFailure.h"
#include "Classes/Preferences.h"
#include "Classes/VPNHelper.h"
#include "DemoBackend.h"
#include "Network/Client.h"
#include "Platform/Keychain.h"
#include "Platform/MainQueue.h"
#include "Platform/StandIn/StandInVPNBackend.h"
#include "Platform/UserDefaults.h"
#include "TunnelTesting.h"
#include "support/CapturedOutput.h"
#include "support/TestMain.h"

#include <QFile>
#include <QTemporaryDir>

using namespace tandrel;
using namespace std::chrono_literals;

namespace {

const QByteArray kTunnelAnswer =
    R"({"radius_login":"tunnel-user","radius_password":"tunnel-pass","server_domain":"de1.vpn.example"})";
const QStringList kFinalLines = {
    "Start VPN",
    "Error starting VPN Tunnel: ",
    "Save Error: ",
    "VPN Preferences error: 2 - ",
    "Error setting up password reference: ",
    "Plan not found (404, E0121). Showing subscription expired alert.",
    "Failed to retrieve IPSec configuration: ",
    "Invalid IPSec configuration: ",
    "Error loading VPN preferences: ",
};

bool endsTheChain(const QStringList& lines)
{
    return !lines.isEmpty() && std::any_of(kFinalLines.begin(), kFinalLines.end(),
                                           [&](const QString& f) { return lines.last().startsWith(f); });
}

QString bundleService()
{
    return Preferences::defaultKeychain().service();
}

// The tunnel password item as the keychain holds it.
KeychainItem passwordItem(KeychainStore& store)
{
    KeychainItem item;
    store.copyMatching(bundleService(), Preferences::Keys::vpnPassword, &item);
    return item;
}

// A keychain whose look-up of the tunnel password fails, as a locked keyring would.
class RefusingPasswordLookup : public KeychainStore {
public:
    explicit RefusingPasswordLookup(std::shared_ptr<KeychainStore> inner) : m_inner(std::move(inner)) {}
    int copyMatching(const QString& service, const QString& account, KeychainItem* item) override
    {
        if (account == Preferences::Keys::vpnPassword) {
            return KeychainStatus::interactionNotAllowed;
        }
        return m_inner->copyMatching(service, account, item);
    }
    int add(const QString& service, const QString& account, const QByteArray& data, QByteArray* reference) override
    {
        return m_inner->add(service, account, data, reference);
    }
    int update(const QString& service, const QString& account, const QByteArray& data) override
    {
        return m_inner->update(service, account, data);
    }
    int remove(const QString& service, const QString& account) override { return m_inner->remove(service, account); }
    int copyByReference(const QByteArray& reference, KeychainItem* item) override
    {
        return m_inner->copyByReference(reference, item);
    }

private:
    std::shared_ptr<KeychainStore> m_inner;
};

enum class Failure {
    firstLoad,
    expiredToken,
    notJson,
    noSlot,
    planNotFound,
    passwordReference,
    save,
    secondLoad,
    start
};

}  // namespace

Q_DECLARE_METATYPE(Failure)

class VPNHelperTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    demo::DemoBackend m_backend;
    std::shared_ptr<KeychainStore> m_keychain;
    int m_keychainCount = 0;
    std::shared_ptr<StandInVPNBackend> m_vpn;
    QString m_token;
    qint64 m_regionId = 0;
    QString m_regionServer;
    const Error m_injected = Error::withDescription("NEVPNErrorDomain", 5, "The VPN service is unreachable.");

    // Runs one connect chain to its end and gives every line it printed.
    QStringList connectOnce()
    {
        testing::CapturedOutput output;
        VPNHelper::shared().connectIPSecIKEv2();
        [&] { QTRY_VERIFY_WITH_TIMEOUT(endsTheChain(output.lines()), 15000); }();
        QTest::qWait(20);  // let a stray line show up, should the chain go on
        return output.lines();
    }

    std::optional<Error> removeProfile()
    {
        return testing::awaitCompletion<std::optional<Error>>(
            [](std::function<void(std::optional<Error>)> done) { VPNHelper::shared().removeVPNProfile(done); });
    }

    void answerTunnelRequestsWith(const QByteArray& body, int status = 200)
    {
        m_backend.setResponse("GET", "config/ipsec/*", status, body);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_backend.listen(0));
        Client::setServerPath(m_backend.apiBase());
        const nlohmann::json region = m_backend.regions().at(0);
        m_regionId = region.at("id").get<qint64>();
        m_regionServer = QString::fromStdString(region.at("server_domain").get<std::string>());
    }

    void init()
    {
        m_keychain = KeychainStore::makeFileStore(m_dir.filePath(QStringLiteral("keychain-%1").arg(++m_keychainCount)));
        KeychainStore::setSystem(m_keychain);
        const QString path = m_dir.filePath(QStringLiteral("vpn-configuration.json"));
        QFile::remove(path);
        m_vpn = std::make_shared<StandInVPNBackend>(path);
        m_vpn->setStepDelay(10ms);
        NEVPNManager::shared().setBackend(m_vpn);
        m_backend.clearFaults();
        m_backend.clearRequests();
        m_token = m_backend.issueToken(demo::DemoBackend::demoEmail);
        Preferences::setToken(m_token);
        Preferences::setConfigId(m_regionId);
        UserDefaults::standard().removeObject(QStringLiteral("KillSwitch"));
        UserDefaults::standard().removeObject(QStringLiteral("ExcludeLocalNetworks"));
    }

    void savedConfigurationFollowsTheSettings_data()
    {
        QTest::addColumn<std::optional<bool>>("killSwitch");
        QTest::addColumn<std::optional<bool>>("excludeLocalNetworks");
        QTest::newRow("defaults") << std::optional<bool>() << std::optional<bool>();
        QTest::newRow("kill switch off, local networks excluded") << std::optional(false) << std::optional(true);
        QTest::newRow("kill switch on, local networks routed") << std::optional(true) << std::optional(false);
    }
    void savedConfigurationFollowsTheSettings()
    {
        QFETCH(std::optional<bool>, killSwitch);
        QFETCH(std::optional<bool>, excludeLocalNetworks);
        if (killSwitch) {
            Preferences::setKillSwitch(*killSwitch);
        }
        if (excludeLocalNetworks) {
            Preferences::setExcludeLocalNetworks(*excludeLocalNetworks);
        }
        answerTunnelRequestsWith(kTunnelAnswer);

        QCOMPARE(connectOnce(), (QStringList{"Attempting to connect to server: de1.vpn.example",
                                             "CALL LOAD TO PREFERENCES AGAIN...", "Start VPN"}));
        QCOMPARE(m_backend.requestsTo("GET", QStringLiteral("config/ipsec/%1").arg(m_regionId)).size(), 1);
        QCOMPARE(Preferences::vpnUsername(), QStringLiteral("tunnel-user"));
        QCOMPARE(Preferences::vpnPassword(), QStringLiteral("tunnel-pass"));
        QCOMPARE(Preferences::server(), QStringLiteral("de1.vpn.example"));

        NEVPNIKEv2SecurityAssociationParameters proposal;
        proposal.encryptionAlgorithm = NEVPNIKEv2EncryptionAlgorithm::algorithmAES256GCM;
        proposal.integrityAlgorithm = NEVPNIKEv2IntegrityAlgorithm::SHA384;
        proposal.diffieHellmanGroup = NEVPNIKEv2DiffieHellmanGroup::group31;
        NEVPNProtocolIKEv2 protocol;
        protocol.serverAddress = QStringLiteral("de1.vpn.example");
        protocol.remoteIdentifier = QStringLiteral("de1.vpn.example");
        protocol.username = QStringLiteral("tunnel-user");
        protocol.passwordReference = passwordItem(*m_keychain).persistentReference;
        protocol.authenticationMethod = NEVPNIKEAuthenticationMethod::none;
        protocol.useExtendedAuthentication = true;
        protocol.IKESecurityAssociationParameters = proposal;
        protocol.childSecurityAssociationParameters = proposal;
        protocol.enablePFS = true;
        protocol.includeAllNetworks = killSwitch.value_or(true);
        protocol.excludeLocalNetworks = excludeLocalNetworks.value_or(true);
        NEVPNConfiguration expected;
        expected.protocolConfiguration = protocol;
        expected.onDemandRules = {NEOnDemandRuleConnect{NEOnDemandRuleInterfaceType::any}};
        expected.isOnDemandEnabled = killSwitch.value_or(true);
        expected.localizedDescription = QStringLiteral("Tandrel");
        expected.isEnabled = true;
        QVERIFY(!protocol.passwordReference.isEmpty());
        QVERIFY(m_vpn->savedConfiguration() == expected);
        QTRY_COMPARE_WITH_TIMEOUT(VPNHelper::shared().currentStatus(), NEVPNStatus::connected, 5000);
    }

    void expiredPlanChangesNeitherKeychainNorConfiguration()
    {
        answerTunnelRequestsWith(kTunnelAnswer);
        QCOMPARE(connectOnce().last(), QStringLiteral("Start VPN"));
        const std::optional<NEVPNConfiguration> before = m_vpn->savedConfiguration();
        const KeychainItem passwordBefore = passwordItem(*m_keychain);

        std::optional<bool> postedOnMainThread;
        const auto token = NotificationCenter::defaultCenter().addObserver(
            "showSubscriptionExpiredAlert", nullptr, NotificationCenter::Delivery::postingThread,
            [&](const Notification& notification) {
                postedOnMainThread = MainQueue::isMainThread() && notification.object == nullptr;
            });
        answerTunnelRequestsWith(R"({"code":"E0121"})", 404);
        QCOMPARE(connectOnce(), QStringList{"Plan not found (404, E0121). Showing subscription expired alert."});
        QTRY_VERIFY_WITH_TIMEOUT(postedOnMainThread.has_value(), 5000);
        NotificationCenter::defaultCenter().removeObserver(token);
        QVERIFY(*postedOnMainThread);
        QVERIFY(m_vpn->savedConfiguration() == before);
        QCOMPARE(passwordItem(*m_keychain).data, passwordBefore.data);
        QCOMPARE(Preferences::vpnUsername(), QStringLiteral("tunnel-user"));
        QCOMPARE(Preferences::server(), QStringLiteral("de1.vpn.example"));
    }

    void incompleteConfigurationIsRefusedAndChangesNothing_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("missing");  // what the check names, or the printed line itself
        QTest::addColumn<int>("status");
        QTest::newRow("mistyped fields") << QByteArray(
                                                R"({"radius_login":5,"radius_password":null,"server_domain":[1]})")
                                         << "no user name (radius_login), no password (radius_password), no server "
                                            "(server_domain)" << 200;
        QTest::newRow("no server") << QByteArray(R"({"radius_login":"tunnel-user","radius_password":"tunnel-pass"})")
                                   << "no server (server_domain)" << 200;
        QTest::newRow("empty password")
            << QByteArray(R"({"radius_login":"u","radius_password":"","server_domain":"de2.vpn.example"})")
            << "no password (radius_password)" << 200;
        QTest::newRow("empty object") << QByteArray("{}")
                                      << "no user name (radius_login), no password (radius_password), no server "
                                         "(server_domain)" << 200;
        // Blank or malformed values count as missing ones.
        QTest::newRow("blank values")
            << QByteArray(R"({"radius_login":" ","radius_password":" ","server_domain":"   "})")
            << "no usable user name (radius_login), no usable password (radius_password), no usable server "
               "(server_domain)" << 200;
        QTest::newRow("server with a line break")
            << QByteArray(R"({"radius_login":"u","radius_password":"p","server_domain":"de2.vpn.example\nX: 1"})")
            << "no usable server (server_domain)" << 200;
        QTest::newRow("server as a URL")
            << QByteArray("{\"radius_login\":\"u\",\"radius_password\":\"p\",\"server_domain\":"
                          "\"https://de2.vpn.example/\"}")
            << "no usable server (server_domain)" << 200;
        QTest::newRow("user name with a line break")
            << QByteArray(R"({"radius_login":"u\r\n","radius_password":"p","server_domain":"de2.vpn.example"})")
            << "no usable user name (radius_login)" << 200;
        QTest::newRow("password over 4 KiB")
            << "{\"radius_login\":\"u\",\"radius_password\":\"" + QByteArray(4097, 'p') +
                   "\",\"server_domain\":\"de2.vpn.example\"}"
            << "no usable password (radius_password)" << 200;
        // A configuration sent with an error status is no configuration.
        QTest::newRow("404 with a configuration")
            << QByteArray(kTunnelAnswer).replace("tunnel-", "other-")
            << "Failed to retrieve IPSec configuration: The server answered with an error (HTTP 404)." << 404;
        QTest::newRow("500 with an HTML page")
            << QByteArray("<html>down</html>")
            << "Failed to retrieve IPSec configuration: The server answered with an error (HTTP 500)." << 500;
    }

    void incompleteConfigurationIsRefusedAndChangesNothing()
    {
        QFETCH(QByteArray, answer);
        QFETCH(QString, missing);
        QFETCH(int, status);
        answerTunnelRequestsWith(kTunnelAnswer);
        QCOMPARE(connectOnce().last(), QStringLiteral("Start VPN"));
        const std::optional<NEVPNConfiguration> before = m_vpn->savedConfiguration();
        const KeychainItem passwordBefore = passwordItem(*m_keychain);

        QList<std::optional<ConnectFailure>> reported;
        const QMetaObject::Connection listening =
            connect(&VPNHelper::shared(), &VPNHelper::connectAttemptEnded, this,
                    [&](const std::optional<ConnectFailure>& failure) { reported << failure; });
        answerTunnelRequestsWith(answer, status);
        const QStringList printed = connectOnce();
        disconnect(listening);
        QCOMPARE(reported.size(), 1);
        if (status == 200) {
            QCOMPARE(printed, QStringList{"Invalid IPSec configuration: The server sent an incomplete VPN configuration: " +
                                          missing + "; nothing was saved."});
            QVERIFY(reported[0] == ConnectFailure::unusableConfiguration());
        } else {
            QCOMPARE(printed, QStringList{missing});
            QCOMPARE(reported[0]->reason, QString("The server answered with an error. Please try again later."));
        }
        QVERIFY(m_vpn->savedConfiguration() == before);
        QCOMPARE(passwordItem(*m_keychain).data, passwordBefore.data);
        QCOMPARE(Preferences::vpnUsername(), QStringLiteral("tunnel-user"));
        QCOMPARE(Preferences::vpnPassword(), QStringLiteral("tunnel-pass"));
        QCOMPARE(Preferences::server(), QStringLiteral("de1.vpn.example"));
    }

    void secondConnectReusesThePasswordItem()
    {
        answerTunnelRequestsWith(kTunnelAnswer);
        QCOMPARE(connectOnce().last(), QStringLiteral("Start VPN"));
        const QByteArray firstReference = m_vpn->savedConfiguration()->protocolConfiguration->passwordReference;

        answerTunnelRequestsWith(
            R"({"radius_login":"tunnel-user","radius_password":"rotated-pass","server_domain":"de1.vpn.example"})");
        QCOMPARE(connectOnce().last(), QStringLiteral("Start VPN"));
        QCOMPARE(m_vpn->savedConfiguration()->protocolConfiguration->passwordReference, firstReference);
        KeychainItem resolved;
        QCOMPARE(m_keychain->copyByReference(firstReference, &resolved), KeychainStatus::success);
        QCOMPARE(resolved.data, QByteArray("rotated-pass"));
        QCOMPARE(passwordItem(*m_keychain).persistentReference, firstReference);
    }

    void failureRowsPrintTheirLine_data()
    {
        QTest::addColumn<Failure>("failure");
        QTest::addColumn<QStringList>("printed");
        QTest::addColumn<bool>("configurationSaved");
        const QString attempt = QStringLiteral("Attempting to connect to server: de1.vpn.example");
        const QString injected = m_injected.description();
        QTest::newRow("first load") << Failure::firstLoad
                                    << QStringList{"Error loading VPN preferences: The VPN service is unreachable."}
                                    << false;
        QTest::newRow("expired token")
            << Failure::expiredToken
            << QStringList{"Failed to retrieve IPSec configuration: Session(JWT) expired or invalid."} << false;
        QTest::newRow("error page") << Failure::notJson
                                    << QStringList{"Failed to retrieve IPSec configuration: The server answered with an "
                                                   "error (HTTP 502)."}
                                    << false;
        QTest::newRow("no slot") << Failure::noSlot
                                 << QStringList{"Failed to retrieve IPSec configuration: No slots available."} << false;
        QTest::newRow("no plan") << Failure::planNotFound
                                 << QStringList{"Plan not found (404, E0121). Showing subscription expired alert."}
                                 << false;
        QTest::newRow("password reference")
            << Failure::passwordReference
            << QStringList{"Error setting up password reference: " +
                           Error(kOSStatusErrorDomain, KeychainStatus::interactionNotAllowed).description()}
            << false;
        QTest::newRow("save") << Failure::save << QStringList{attempt, "Save Error:  " + injected} << false;
        QTest::newRow("second load") << Failure::secondLoad
                                     << QStringList{attempt, "CALL LOAD TO PREFERENCES AGAIN...",
                                                    "VPN Preferences error: 2 - Optional(" + injected + ")"}
                                     << true;
        QTest::newRow("start") << Failure::start
                               << QStringList{attempt, "CALL LOAD TO PREFERENCES AGAIN...",
                                              "Error starting VPN Tunnel: " + injected}
                               << true;
    }
    void failureRowsPrintTheirLine()
    {
        QFETCH(Failure, failure);
        QFETCH(QStringList, printed);
        QFETCH(bool, configurationSaved);
        answerTunnelRequestsWith(kTunnelAnswer);
        switch (failure) {
            case Failure::firstLoad:
                m_vpn->setLoadError(m_injected);
                break;
            case Failure::expiredToken:
                m_backend.clearFaults();  // the route's own answer checks the token
                m_backend.expireToken(m_token);
                break;
            case Failure::notJson:
                answerTunnelRequestsWith("<html>busy</html>", 502);
                break;
            case Failure::noSlot:
                answerTunnelRequestsWith(R"({"code":"E0161"})", 403);
                break;
            case Failure::planNotFound:
                answerTunnelRequestsWith(R"({"code":"E0121"})", 404);
                break;
            case Failure::passwordReference:
                KeychainStore::setSystem(std::make_shared<RefusingPasswordLookup>(m_keychain));
                break;
            case Failure::save:
                m_vpn->setSaveError(m_injected);
                break;
            case Failure::secondLoad:
                m_vpn->setLoadError(m_injected, 1);
                break;
            case Failure::start:
                m_vpn->setStartError(m_injected);
                break;
        }

        QCOMPARE(connectOnce(), printed);
        QCOMPARE(m_vpn->savedConfiguration().has_value(), configurationSaved);
        QVERIFY(VPNHelper::shared().currentStatus() != NEVPNStatus::connecting);
        if (failure == Failure::firstLoad) {
            QVERIFY(m_backend.requestsTo("GET", QStringLiteral("config/ipsec/%1").arg(m_regionId)).isEmpty());
        }
        if (failure == Failure::passwordReference) {
            // What the backend sent stays in the keychain for the next attempt.
            KeychainItem kept;
            QCOMPARE(m_keychain->copyMatching(bundleService(), Preferences::Keys::vpnPassword, &kept), 0);
            QCOMPARE(kept.data, QByteArray("tunnel-pass"));
            QCOMPARE(m_keychain->copyMatching(bundleService(), Preferences::Keys::vpnUsername, &kept), 0);
            QCOMPARE(m_keychain->copyMatching(bundleService(), Preferences::Keys::server, &kept), 0);
        }
    }

    void disconnectStopsEvenWhenItsSaveFails()
    {
        answerTunnelRequestsWith(kTunnelAnswer);
        QCOMPARE(connectOnce().last(), QStringLiteral("Start VPN"));
        QTRY_COMPARE_WITH_TIMEOUT(VPNHelper::shared().currentStatus(), NEVPNStatus::connected, 5000);
        m_vpn->setSaveError(m_injected);
        testing::CapturedOutput output;
        VPNHelper::shared().disconnectVPN();
        QTRY_COMPARE_WITH_TIMEOUT(VPNHelper::shared().currentStatus(), NEVPNStatus::disconnected, 5000);
        QVERIFY(output.lines().isEmpty());
        QVERIFY(m_vpn->savedConfiguration()->isOnDemandEnabled);
    }

    void removalReportsAFailedLoadWithoutRemoving()
    {
        answerTunnelRequestsWith(kTunnelAnswer);
        QCOMPARE(connectOnce().last(), QStringLiteral("Start VPN"));
        m_vpn->setLoadError(m_injected);
        QCOMPARE(removeProfile(), m_injected);
        QVERIFY(m_vpn->savedConfiguration().has_value());
        m_vpn->setLoadError(std::nullopt);
        m_vpn->setRemoveError(m_injected);
        QCOMPARE(removeProfile(), m_injected);
        QVERIFY(m_vpn->savedConfiguration().has_value());
    }

    void connectStatusDisconnectAndRemovalEndToEnd()
    {
        testing::StatusRecorder recorder;
        const QStringList lines = connectOnce();
        QCOMPARE(lines, (QStringList{"Attempting to connect to server: " + m_regionServer,
                                     "CALL LOAD TO PREFERENCES AGAIN...", "Start VPN"}));
        QTRY_COMPARE_WITH_TIMEOUT(VPNHelper::shared().currentStatus(), NEVPNStatus::connected, 5000);
        KeychainItem resolved;
        QCOMPARE(m_keychain->copyByReference(m_vpn->savedConfiguration()->protocolConfiguration->passwordReference,
                                             &resolved),
                 KeychainStatus::success);
        QCOMPARE(QString::fromUtf8(resolved.data), Preferences::vpnPassword().value_or("?"));

        VPNHelper::shared().disconnectVPN();
        QTRY_COMPARE_WITH_TIMEOUT(VPNHelper::shared().currentStatus(), NEVPNStatus::disconnected, 5000);
        const std::optional<NEVPNConfiguration> kept = m_vpn->savedConfiguration();
        QVERIFY(kept && !kept->isOnDemandEnabled);
        QCOMPARE(kept->onDemandRules.size(), size_t(1));

        QCOMPARE(removeProfile(), std::nullopt);
        QVERIFY(!m_vpn->savedConfiguration());
        QCOMPARE(VPNHelper::shared().currentStatus(), NEVPNStatus::invalid);
        QCOMPARE(recorder.statuses(),
                 (QList<NEVPNStatus>{NEVPNStatus::disconnected, NEVPNStatus::connecting, NEVPNStatus::connected,
                                     NEVPNStatus::disconnecting, NEVPNStatus::disconnected, NEVPNStatus::invalid}));
    }
};

TANDREL_TEST_MAIN_CORE(VPNHelperTest)
#include "tst_vpnhelper.moc"
