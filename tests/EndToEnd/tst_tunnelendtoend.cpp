// Tandrel's own core from log-in to a real tunnel: the stand-in backend answers over HTTP,
// the region it hands out names a strongSwan responder, and NetworkManager with its
// strongSwan plugin carries the tunnel (tunnel-env.sh builds all of it around the test).
#include "EndToEnd/TunnelEnvironment.h"
#include "support/CapturedOutput.h"
#include "support/TestMain.h"

#include "BuildConfig.h"
#include "Classes/Preferences.h"
#include "Classes/VPNHelper.h"
#include "Controllers/LoginController.h"
#include "Controllers/TandrelController.h"
#include "DemoBackend.h"
#include "Network/Client.h"
#include "Platform/Keychain.h"
#include "Platform/NetworkExtension/NEVPNManager.h"
#include "Platform/NetworkExtension/NetworkManagerVPNBackend.h"

#include <QElapsedTimer>

using namespace tandrel;
using demo::DemoBackend;
using tandrel::testing::CapturedOutput;
using tandrel::testing::TunnelEnvironment;

namespace {
const QString kRefusedOrUntrusted =
    QStringLiteral("The VPN server refused the login, or this computer does not trust the server's certificate.");
}

class TunnelEndToEndTest : public QObject {
    Q_OBJECT

private:
    // The responder's one EAP account: the backend's tunnel user with this password.
    void responderAccepts(const QString& password)
    {
        QVERIFY(TunnelEnvironment::responderAccepts(m_radiusLogin, password));
    }

    // The connect button, and the tunnel's status as the main screen sees it.
    void pressConnect(NEVPNStatus expected)
    {
        m_controller->doConnect();
        QTRY_COMPARE_WITH_TIMEOUT(m_controller->connectionStatus(), expected, 15000);
    }

    // The connect button, and an attempt that comes up to connecting and ends with the
    // refused-login reason, printed and published; it never connects.
    void pressConnectAndExpectTheLoginRefused()
    {
        m_seen.clear();
        CapturedOutput output;
        m_controller->doConnect();
        QTRY_VERIFY_WITH_TIMEOUT(m_seen.contains(NEVPNStatus::connecting), 15000);
        QTRY_COMPARE_WITH_TIMEOUT(m_controller->connectionStatus(), NEVPNStatus::disconnected, 15000);
        QVERIFY2(output.lines().contains(QStringLiteral("VPN connection failed: ") + kRefusedOrUntrusted),
                 qPrintable(output.lines().join(QLatin1Char('\n'))));
        QTRY_VERIFY(m_controller->connectionError().has_value());
        QCOMPARE(m_controller->connectionError()->reason, kRefusedOrUntrusted);
        QVERIFY(!m_seen.contains(NEVPNStatus::connected));
    }

    QList<NEVPNStatus> m_seen;  // every status the controller published, in order
    QElapsedTimer m_tapped;
    qint64 m_tapToConnected = -1;
    QTemporaryDir m_folder;
    DemoBackend m_backend;
    std::unique_ptr<TandrelController> m_controller;
    Cancellable m_statusSubscription;
    VPNRegion m_region;
    QString m_radiusLogin;
    QString m_radiusPassword;

private slots:
    void initTestCase()
    {
        TANDREL_REQUIRE_TUNNEL_ENVIRONMENT();
        QVERIFY(m_backend.listen(0));
        Client::setServerPath(m_backend.apiBase());
        KeychainStore::setSystem(KeychainStore::makeFileStore(m_folder.filePath(QStringLiteral("keychain"))));
        if (QByteArray(BuildConfig::vpnBackend) == "networkmanager") {
            // What the program itself would pick here.
            QVERIFY(dynamic_cast<NetworkManagerVPNBackend*>(NEVPNBackend::makeDefault().get()) != nullptr);
        }
        NEVPNManager::shared().setBackend(std::make_shared<NetworkManagerVPNBackend>());

        // A region of the list that is not the optimal entry names the responder.
        const nlohmann::json regions = m_backend.regions();
        QVERIFY(regions.size() >= 2);
        const qint64 regionId = regions.back().at("id").get<qint64>();
        m_backend.setRegionServerDomain(regionId, TunnelEnvironment::server());
    }

    void cleanup()
    {
        // Whatever a case changed, the next one meets a responder that knows the password.
        if (!m_radiusLogin.isEmpty()) {
            responderAccepts(m_radiusPassword);
        }
    }

    void logInLoadRegionsAndSelectOne()
    {
        LoginController login;
        login.loginPressed(DemoBackend::demoEmail, DemoBackend::demoPassword);
        QTRY_COMPARE_WITH_TIMEOUT(login.loginResult(), Status::logInTrue, 5000);

        m_controller = std::make_unique<TandrelController>();
        // The controller publishes the status it reads when its main-queue block runs, so
        // the same value may come twice in a row.
        m_statusSubscription = m_controller->connectionStatus.sink([this](const NEVPNStatus& status) {
            if (m_seen.isEmpty() || m_seen.last() != status) {
                m_seen.append(status);
                if (status == NEVPNStatus::connected && m_tapped.isValid()) {
                    m_tapToConnected = m_tapped.elapsed();
                }
            }
        });
        m_controller->loadRegions();
        m_controller->showCurrentSubscription();
        QTRY_VERIFY_WITH_TIMEOUT(m_controller->currentRegion().value_or(0) != 0, 5000);
        QTRY_VERIFY_WITH_TIMEOUT(!m_controller->subscription().isEmpty(), 5000);
        const auto found =
            std::find_if(m_controller->regions().begin(), m_controller->regions().end(),
                         [](const VPNRegion& region) { return region.server_domain == TunnelEnvironment::server(); });
        QVERIFY(found != m_controller->regions().end());
        m_region = *found;

        // The tunnel user the backend hands out for that region, so the responder knows it.
        bool answered = false;
        Client::shared().IPSecConfiguration(QString::number(m_region.id),
                                            [&](std::optional<Error>, std::optional<JSON> json) {
                                                QVERIFY(json.has_value());
                                                m_radiusLogin = (*json)["radius_login"].stringValue();
                                                m_radiusPassword = (*json)["radius_password"].stringValue();
                                                answered = true;
                                            });
        QTRY_VERIFY_WITH_TIMEOUT(answered, 5000);
        QVERIFY(!m_radiusLogin.isEmpty());
        responderAccepts(m_radiusPassword);
    }

    void selectingTheRegionBringsUpATunnelThatCarriesTraffic()
    {
        QVERIFY(m_controller);
        m_tapped.start();
        m_controller->didSelectRegion(m_region.id);
        QTRY_COMPARE_WITH_TIMEOUT(m_controller->connectionStatus(), NEVPNStatus::connected, 15000);
        m_tapped.invalidate();
        qInfo("tap to connected (as the main screen sees it): %lld ms", static_cast<long long>(m_tapToConnected));
        QVERIFY(m_seen.contains(NEVPNStatus::connecting));

        QVERIFY(TunnelEnvironment::ping(TunnelEnvironment::addressBehindServer()));
        const QString sas = TunnelEnvironment::responder({QStringLiteral("--list-sas")});
        QVERIFY2(sas.contains(QStringLiteral("AES_GCM_16-256/PRF_HMAC_SHA2_384/CURVE_25519")), qPrintable(sas));
        QVERIFY2(sas.contains(QStringLiteral("remote '%1'").arg(m_radiusLogin)), qPrintable(sas));
        QVERIFY2(QRegularExpression(QStringLiteral("in .*, +[1-9][0-9]* packets")).match(sas).hasMatch(),
                 qPrintable(sas));
        // The password went by reference: NetworkManager's profile never held it.
        QVERIFY(!TunnelEnvironment::savedProfiles().contains(m_radiusPassword));
    }

    void theConnectButtonTakesItDown()
    {
        QVERIFY(m_controller);
        m_seen.clear();
        pressConnect(NEVPNStatus::disconnected);
        QVERIFY(!m_seen.contains(NEVPNStatus::connecting) && !m_seen.contains(NEVPNStatus::reasserting));
        QTRY_VERIFY(
            !TunnelEnvironment::responder({QStringLiteral("--list-sas")}).contains(QStringLiteral("ESTABLISHED")));
    }

    void aRefusedPasswordEndsDisconnectedWithTheReasonPrinted()
    {
        QVERIFY(m_controller);
        responderAccepts(QStringLiteral("a password the client does not have"));
        pressConnectAndExpectTheLoginRefused();
    }

    // A server whose certificate no trusted CA signed is not called unreachable, and the
    // attempt is not retried; charon-nm reports it exactly as it reports a refused login.
    void anUntrustedServerCertificateEndsDisconnectedWithItsReason()
    {
        QVERIFY(m_controller);
        Preferences::setConfigId(m_region.id);
        QVERIFY(TunnelEnvironment::responderPresentsTrustedCertificate(false));
        Cancellable trustedAgain([] { TunnelEnvironment::responderPresentsTrustedCertificate(true); });
        Preferences::setKillSwitch(true);  // a failed login or server check is never retried
        pressConnectAndExpectTheLoginRefused();
        QVERIFY(!m_seen.contains(NEVPNStatus::reasserting));
        QVERIFY(!m_controller->preparingConnection());

        // With the trusted certificate back, the next press connects and the reason goes.
        trustedAgain.cancel();
        pressConnect(NEVPNStatus::connected);
        QCOMPARE(m_controller->connectionError(), std::nullopt);
        pressConnect(NEVPNStatus::disconnected);
    }

    void withTheKillSwitchADroppedTunnelComesBackByItself()
    {
        QVERIFY(m_controller);
        Preferences::setKillSwitch(true);
        Preferences::setExcludeLocalNetworks(false);
        pressConnect(NEVPNStatus::connected);
        m_seen.clear();
        QVERIFY(TunnelEnvironment::killVPNDaemon());
        QTRY_VERIFY_WITH_TIMEOUT(m_seen.contains(NEVPNStatus::reasserting), 15000);
        QTRY_COMPARE_WITH_TIMEOUT(m_controller->connectionStatus(), NEVPNStatus::connected, 15000);
        QVERIFY(!m_seen.contains(NEVPNStatus::disconnected));
        QVERIFY(TunnelEnvironment::ping(TunnelEnvironment::addressBehindServer()));
        pressConnect(NEVPNStatus::disconnected);
    }

    void excludedLocalNetworksStayReachableWhileTheRestTakesTheTunnel()
    {
        QVERIFY(m_controller);
        Preferences::setExcludeLocalNetworks(true);
        pressConnect(NEVPNStatus::connected);
        QVERIFY(TunnelEnvironment::ping(TunnelEnvironment::lanHost()));
        QVERIFY(TunnelEnvironment::ping(TunnelEnvironment::addressBehindServer()));
        QProcess route;
        route.start(QStringLiteral("ip"),
                    {QStringLiteral("route"), QStringLiteral("get"), QStringLiteral("203.0.113.7")});
        QVERIFY(route.waitForFinished());
        const QByteArray path = route.readAllStandardOutput();
        QVERIFY2(!path.contains("dev eth0") && !path.contains("dev lan0"), path.constData());  // into the tunnel
        pressConnect(NEVPNStatus::disconnected);
    }

    void leak_logOutEndsTheBlocksAndTrafficFlowsInClearAgain()
    {
        QVERIFY(m_controller);
        Preferences::setKillSwitch(true);
        Preferences::setExcludeLocalNetworks(false);
        pressConnect(NEVPNStatus::connected);
        QVERIFY(TunnelEnvironment::guardInPlace());
        m_controller->logout();
        QTRY_COMPARE_WITH_TIMEOUT(m_controller->connectionStatus(), NEVPNStatus::disconnected, 15000);
        QTRY_VERIFY(TunnelEnvironment::nothingHeldBack());
        // No tunnel and no block: the outside host answers over the uplink itself.
        QVERIFY(TunnelEnvironment::ping(TunnelEnvironment::outsideHost4()));
        QTRY_VERIFY_WITH_TIMEOUT(TunnelEnvironment::ping(TunnelEnvironment::outsideHost6(), 1), 5000);
    }
};

TANDREL_TEST_MAIN_CORE(TunnelEndToEndTest)
#include "tst_tunnelendtoend.moc"
