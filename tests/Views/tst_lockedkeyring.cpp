// Runs against a real GNOME Keyring in a private D-Bus session (with-secret-service.sh):
// the keyring is locked over D-Bus while the user is logged in and connected.
#include "../Controllers/ServiceTesting.h"
#include "Classes/VPNHelper.h"
#include "ContentView.h"
#include "Controllers/LoginController.h"
#include "TandrelApp.h"
#include "Views/Screens/VPNMainView.h"
#include "support/Screenshots.h"
#include "support/SecretServiceCalls.h"
#include "support/TestMain.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QLabel>
#include <QMainWindow>
#include <QPushButton>
#include <QToolButton>

using namespace tandrel;
using demo::DemoBackend;
using testing::NotificationCounter;
using testing::ServiceEnvironment;
using testing::callService;
using testing::defaultCollection;
using testing::kServiceInterface;
using testing::kServicePath;
using testing::kSecrets;

namespace {


// As a screen lock does with some keyrings.
bool lockKeyring()
{
    const QDBusMessage reply = callService(kServiceInterface, QStringLiteral("Lock"),
                                           {QVariant::fromValue(QList<QDBusObjectPath>{defaultCollection()})});
    return reply.type() == QDBusMessage::ReplyMessage;
}

// As the person would at the keyring's prompt: the keyring's own unlock with its password
// (with-secret-service.sh hands the daemon one empty line), through a plain session of
// this connection.
bool unlockKeyring()
{
    const QDBusMessage session = callService(kServiceInterface, QStringLiteral("OpenSession"),
                                             {QStringLiteral("plain"), QVariant::fromValue(QDBusVariant(QString()))});
    if (session.type() != QDBusMessage::ReplyMessage) {
        return false;
    }
    QDBusArgument secret;
    secret.beginStructure();
    // The daemon takes the whole line it was handed as the password, line feed included.
    secret << session.arguments().value(1).value<QDBusObjectPath>() << QByteArray() << QByteArray("\n")
           << QStringLiteral("text/plain");
    secret.endStructure();
    const QDBusMessage reply = callService(QStringLiteral("org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface"),
                                           QStringLiteral("UnlockWithMasterPassword"),
                                           {QVariant::fromValue(defaultCollection()), QVariant::fromValue(secret)});
    return reply.type() == QDBusMessage::ReplyMessage;
}

}  // namespace

class LockedKeyringTest : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<ServiceEnvironment> env;
    std::shared_ptr<KeychainStore> keyring;

private Q_SLOTS:
    void initTestCase()
    {
        // The daemon comes up alongside this test.
        QTRY_VERIFY_WITH_TIMEOUT((keyring = KeychainStore::makeSecretServiceStore()) != nullptr, 10000);
        // It answers before its login collection is made and unlocked: wait until it keeps an item.
        const QString probe = QStringLiteral("keyring-ready");
        QTRY_VERIFY_WITH_TIMEOUT(
            keyring->add(probe, probe, "ready", nullptr) == 0 || keyring->update(probe, probe, "ready") == 0, 10000);
        keyring->remove(probe, probe);
    }

    void init()
    {
        env = std::make_unique<ServiceEnvironment>();
        KeychainStore::setSystem(keyring);
        env->signIn();
        Preferences::setConfigId(env->backend.regions().at(0).at("id").get<qint64>());
    }

    void cleanup()
    {
        unlockKeyring();
        keyring->removeAll(Preferences::defaultKeychain().service());
        env.reset();
    }

    void lockedKeyringKeepsTheSessionAndTheTunnelAndResumes()
    {
        const std::optional<QString> token = Preferences::token();
        TandrelApp app{QUrl()};
        QMainWindow* window = app.body();
        auto* screen = qobject_cast<VPNMainView*>(window->findChild<ContentView*>()->screen());
        QVERIFY(screen);
        QTRY_VERIFY_WITH_TIMEOUT(screen->ctrl(), 5000);
        TandrelController& ctrl = *screen->ctrl();
        ctrl.doConnect();
        QTRY_COMPARE_WITH_TIMEOUT(ctrl.connectionStatus(), NEVPNStatus::connected, 10000);
        auto* notice = screen->findChild<QLabel*>(QStringLiteral("keyringLockedNotice"));
        QVERIFY(notice && !notice->isVisible());

        NotificationCounter logouts(QStringLiteral("logout"));
        QVERIFY(lockKeyring());
        QVERIFY(Preferences::isLocked(Preferences::Keys::token));
        ctrl.showAlert = false;  // any change of the controller redraws the screen
        QTRY_VERIFY_WITH_TIMEOUT(notice->isVisible(), 5000);
        testing::saveScreenshot(window, QStringLiteral("locked-keyring"));
        QVERIFY(!screen->findChild<QWidget*>(QStringLiteral("pleaseLogInLabel"))->isVisible());
        QCOMPARE(logouts.count(), 0);
        QCOMPARE(env->vpn->status(), NEVPNStatus::connected);
        QCOMPARE(UserDefaults::standard().object(QStringLiteral("KillSwitch")), std::nullopt);
        // Nothing goes to the backend without its token meanwhile (that would end the session).
        env->backend.clearRequests();
        ctrl.showCurrentSubscription();
        // Asked after them over the same loopback, a marker is answered after those two
        // would have reached the backend.
        bool markerAnswered = false;
        Client::shared().get(Client::serverPath() + QStringLiteral("regions"), false,
                             [&markerAnswered](std::optional<Error>, std::optional<JSON>) { markerAnswered = true; });
        QTRY_VERIFY_WITH_TIMEOUT(markerAnswered, 5000);
        QCOMPARE(env->requestCount("GET", QStringLiteral("users/me/plan")), 0);
        QCOMPARE(env->requestCount("POST", QStringLiteral("users/me/istrialpossible")), 0);
        QCOMPARE(logouts.count(), 0);

        QVERIFY(unlockKeyring());
        QTRY_VERIFY_WITH_TIMEOUT(!notice->isVisible(), 10000);
        QCOMPARE(Preferences::token(), token);
        QCOMPARE(logouts.count(), 0);
        QCOMPARE(ctrl.connectionStatus(), NEVPNStatus::connected);
    }

    // Started with the keyring locked: the screen says so (account line, regions, connect)
    // and carries on by itself once it is unlocked, with no Retry.
    void screenCarriesOnByItselfAtTheUnlock()
    {
        QVERIFY(lockKeyring());
        TandrelApp app{QUrl()};
        QMainWindow* window = app.body();
        window->resize(900, 700);
        auto* screen = qobject_cast<VPNMainView*>(window->findChild<ContentView*>()->screen());
        QVERIFY(screen);
        QTRY_VERIFY_WITH_TIMEOUT(screen->ctrl(), 5000);
        TandrelController& ctrl = *screen->ctrl();
        auto* account = screen->findChild<QToolButton*>(QStringLiteral("accountMenuButton"));
        QTRY_COMPARE_WITH_TIMEOUT(account->text(), QStringLiteral("Keyring locked"), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(ctrl.regionsLoadFailed(), 5000);
        auto* hint = screen->findChild<QLabel*>(QStringLiteral("regionsLoadFailedHint"));
        QVERIFY(hint);
        QTRY_COMPARE_WITH_TIMEOUT(hint->text(), QStringLiteral("Your keyring is locked. They load once you unlock it."),
                                  5000);
        QTest::mouseClick(screen->findChild<QPushButton*>(QStringLiteral("connectButton")), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(ctrl.connectionError().has_value(), 5000);
        QCOMPARE(ctrl.connectionError()->reason,
                 QStringLiteral("Your keyring is locked. Unlock it, then connect again."));
        testing::saveScreenshot(window, QStringLiteral("keyring-locked-at-start"));

        QVERIFY(unlockKeyring());
        QTRY_VERIFY_WITH_TIMEOUT(!ctrl.regions().empty(), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!ctrl.subscription().isEmpty(), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(account->text(), DemoBackend::demoEmail, 5000);
        QVERIFY(!ctrl.connectionError());
        QTRY_VERIFY_WITH_TIMEOUT(!screen->findChild<QWidget*>(QStringLiteral("regionsLoadFailedPanel"))->isVisible(),
                                 5000);
        testing::saveScreenshot(window, QStringLiteral("keyring-unlocked"));
    }

    // The configuration request never goes out while the token is locked away: the user
    // is told to unlock, not that the server sent something unusable.
    void connectWhileTheKeyringIsLockedAsksToUnlock()
    {
        TandrelController ctrl;
        QVERIFY(lockKeyring());
        env->backend.clearRequests();
        ctrl.doConnect();
        QTRY_VERIFY_WITH_TIMEOUT(ctrl.connectionError().has_value(), 5000);
        QCOMPARE(ctrl.connectionError()->reason,
                 QStringLiteral("Your keyring is locked. Unlock it, then connect again."));
        QVERIFY(!ctrl.preparingConnection());
        QVERIFY(env->backend.requests().isEmpty());
        QVERIFY(env->vpn->status() != NEVPNStatus::connected);
    }

    // A code redeemed while the e-mail is locked away fails like any other try; it is not
    // taken for a missing e-mail, which would log the user out.
    void redeemWhileTheKeyringIsLockedKeepsTheSession()
    {
        TandrelController ctrl;
        NotificationCounter loginScreens(QStringLiteral("showLoginView"));
        QVERIFY(lockKeyring());
        ctrl.code = QStringLiteral("TANDREL-GIFT-2026");
        ctrl.redeemCode();
        QTRY_VERIFY_WITH_TIMEOUT(ctrl.showAlert(), 5000);
        QCOMPARE(ctrl.redeemAlertMessage(), QStringLiteral("Error. Please try again."));
        QCOMPARE(loginScreens.count(), 0);
        QVERIFY(unlockKeyring());
        QVERIFY(Preferences::token().has_value());
        QVERIFY(Preferences::email().has_value());
    }

    void loginFailsClearlyWhenTheKeyringCannotKeepIt()
    {
        Preferences::setToken(std::nullopt);
        Preferences::setEmail(std::nullopt);
        QVERIFY(lockKeyring());
        LoginController login;
        login.loginPressed(DemoBackend::demoEmail, DemoBackend::demoPassword);
        QTRY_COMPARE_WITH_TIMEOUT(login.loginResult(), Status::logInFalse, 5000);
        QCOMPARE(login.loginErrorMsg(), LoginController::keychainWriteFailedMessage);
        QVERIFY(login.loginError());
    }
};

TANDREL_TEST_MAIN_WIDGETS(LockedKeyringTest)
#include "tst_lockedkeyring.moc"
