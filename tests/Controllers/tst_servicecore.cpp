// The whole service core driven from code, as the screens will drive it: sign up, log in,
// load and choose regions, connect and disconnect, load the plans and redeem a code.
#include "Controllers/LoginController.h"
#include "Controllers/PricingController.h"
#include "Controllers/TandrelController.h"
#include "ServiceTesting.h"
#include "support/TestMain.h"

using namespace tandrel;
using demo::DemoBackend;
using testing::ServiceEnvironment;

class TestServiceCore : public QObject {
    Q_OBJECT
private slots:
    void signUpLogInConnectAndRedeem()
    {
        ServiceEnvironment env;
        const QString email = QStringLiteral("first.user@example.com");
        const QString password = QStringLiteral("correct horse");

        LoginController login;
        login.signupPressed(email, password, password);
        QTRY_COMPARE_WITH_TIMEOUT(login.loginResult(), Status::signUpTrue, 5000);
        login.loginPressed(email, password);
        QTRY_COMPARE_WITH_TIMEOUT(login.loginResult(), Status::logInTrue, 5000);
        QCOMPARE(Preferences::email(), email);

        TandrelController controller;
        controller.loadRegions();
        controller.showCurrentSubscription();
        QTRY_VERIFY_WITH_TIMEOUT(controller.currentRegion().value_or(0) != 0, 5000);
        QVERIFY(controller.regions().front().country_name.startsWith(QStringLiteral("Optimal region\n")));
        QCOMPARE(Preferences::configId(), controller.regions().front().id);
        QTRY_COMPARE_WITH_TIMEOUT(controller.subscription(), QStringLiteral("Current Plan: Trial"), 5000);

        const VPNRegion chosen = controller.regions().back();
        controller.didSelectRegion(chosen.id);
        QTRY_COMPARE_WITH_TIMEOUT(controller.connectionStatus(), NEVPNStatus::connected, 10000);
        QCOMPARE(Preferences::server(), chosen.server_domain);
        QCOMPARE(Preferences::countryConnected(), chosen.country_name);
        controller.doConnect();
        QTRY_COMPARE_WITH_TIMEOUT(controller.connectionStatus(), NEVPNStatus::disconnected, 10000);

        PricingController pricing;
        bool plansLoaded = false;
        pricing.fetchPlans([&] { plansLoaded = true; });
        QTRY_VERIFY_WITH_TIMEOUT(plansLoaded, 5000);
        QVERIFY(!pricing.standardPlans().empty());
        for (const PricingViewPlan& plan : pricing.standardPlans()) {
            QVERIFY(plan.name != QLatin1String("Trial"));
            QVERIFY(plan.purchaseURL.endsWith(QStringLiteral("&email=first.user@example.com")));
        }

        controller.code = DemoBackend::freshRedeemCode;
        controller.redeemCode();
        QTRY_VERIFY_WITH_TIMEOUT(controller.showAlert(), 5000);
        QCOMPARE(controller.redeemAlertMessage(), QStringLiteral("The code has been applied successfully."));
        QTRY_COMPARE_WITH_TIMEOUT(controller.subscription(), QStringLiteral("Current Plan: Yearly"), 5000);
    }
};

TANDREL_TEST_MAIN_CORE(TestServiceCore)
#include "tst_servicecore.moc"
