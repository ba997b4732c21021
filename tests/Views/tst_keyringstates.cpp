// The keyring states real desktops are in, each against a real GNOME Keyring that this test
// starts and stops itself on a private D-Bus session (with-secret-service.sh --bus-only):
// locked since the daemon loaded it from disk, restarted while connected, no keyring at
// all yet, and a log-out while locked.
#include "../Controllers/ServiceTesting.h"
#include "ContentViewModel.h"
#include "Controllers/LoginController.h"
#include "Controllers/TandrelController.h"
#include "Views/Screens/LoginView.h"
#include "support/SecretServiceCalls.h"
#include "support/TestMain.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDir>
#include <QProcess>

#include <dlfcn.h>

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

const QByteArray kKeyringPassword = "keyring-password";

bool hasDefaultCollection()
{
    return defaultCollection().path().startsWith(QStringLiteral("/org/freedesktop/secrets/collection/"));
}

bool lockKeyring()
{
    return callService(kServiceInterface, QStringLiteral("Lock"),
                       {QVariant::fromValue(QList<QDBusObjectPath>{defaultCollection()})})
               .type() == QDBusMessage::ReplyMessage;
}

// As the person would at the keyring's prompt: the keyring's own unlock with its password.
bool unlockKeyring()
{
    const QDBusMessage session = callService(kServiceInterface, QStringLiteral("OpenSession"),
                                             {QStringLiteral("plain"), QVariant::fromValue(QDBusVariant(QString()))});
    QDBusArgument secret;
    secret.beginStructure();
    secret << session.arguments().value(1).value<QDBusObjectPath>() << QByteArray() << kKeyringPassword
           << QStringLiteral("text/plain");
    secret.endStructure();
    return callService(QStringLiteral("org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface"),
                       QStringLiteral("UnlockWithMasterPassword"),
                       {QVariant::fromValue(defaultCollection()), QVariant::fromValue(secret)})
               .type() == QDBusMessage::ReplyMessage;
}

// GCR's own stand-in for the desktop's prompter (in the library the keyring daemon uses):
// it answers the daemon's prompts as told, so a prompt can be accepted or declined.
struct MockPrompter {
    void* library = dlopen("libgcr-base-3.so.1", RTLD_NOW);
    template <typename Function>
    Function symbol(const char* name) const
    {
        return library ? reinterpret_cast<Function>(dlsym(library, name)) : nullptr;
    }
    const char* (*start)() = symbol<const char* (*)()>("gcr_mock_prompter_start");
    void (*expectPasswordOk)(const char*, const char*, ...) =
        symbol<void (*)(const char*, const char*, ...)>("gcr_mock_prompter_expect_password_ok");
    void (*expectPasswordCancel)() = symbol<void (*)()>("gcr_mock_prompter_expect_password_cancel");
    void (*stop)() = symbol<void (*)()>("gcr_mock_prompter_stop");
};

// One gnome-keyring-daemon on the test's private bus.
class KeyringDaemon {
public:
    ~KeyringDaemon() { stop(); }

    // With a password, as a desktop log-in starts it: its login keyring is made (or
    // unlocked) with it. Without, it loads the keyring files there are, locked.
    bool start(const std::optional<QByteArray>& password, const QString& prompter)
    {
        QStringList arguments = {QStringLiteral("--foreground"), QStringLiteral("--components=secrets")};
        if (password) {
            arguments << QStringLiteral("--unlock");
        }
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("GNOME_KEYRING_TEST_PROMPTER"), prompter);
        m_process.setProcessEnvironment(environment);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QStringLiteral("gnome-keyring-daemon"), arguments);
        if (!m_process.waitForStarted()) {
            return false;
        }
        if (password) {
            m_process.write(*password);
        }
        m_process.closeWriteChannel();
        QDBusConnectionInterface* bus = QDBusConnection::sessionBus().interface();
        return QTest::qWaitFor([bus] { return bus->isServiceRegistered(kSecrets).value(); }, 10000) &&
               (!password || QTest::qWaitFor(hasDefaultCollection, 10000));
    }

    void stop()
    {
        if (m_process.state() == QProcess::NotRunning) {
            return;
        }
        m_process.terminate();
        m_process.waitForFinished(5000);
        QTRY_VERIFY_WITH_TIMEOUT(!QDBusConnection::sessionBus().interface()->isServiceRegistered(kSecrets), 5000);
    }

private:
    QProcess m_process;
};

}  // namespace

class KeyringStatesTest : public QObject {
    Q_OBJECT
private:
    MockPrompter m_prompter;
    QString m_prompterName;
    std::unique_ptr<KeyringDaemon> m_daemon;
    std::unique_ptr<ServiceEnvironment> m_env;
    std::shared_ptr<KeychainStore> m_keyring;

    // A desktop session that logged in to Tandrel: the keyring made and unlocked with the
    // user's password, the session's items in it.
    void startSignedIn()
    {
        QVERIFY(m_daemon->start(kKeyringPassword, m_prompterName));
        m_keyring = KeychainStore::makeSecretServiceStore();
        QVERIFY(m_keyring);
        KeychainStore::setSystem(m_keyring);
        m_env->signIn();
        Preferences::setConfigId(m_env->backend.regions().at(0).at("id").get<qint64>());
        QVERIFY(Preferences::token());
    }

    // The daemon starts anew and loads the keyring from disk, locked (an automatic
    // desktop log-in gives it no password).
    void restartLocked()
    {
        m_daemon->stop();
        QVERIFY(m_daemon->start(std::nullopt, m_prompterName));
        QTRY_VERIFY_WITH_TIMEOUT(hasDefaultCollection(), 5000);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(qEnvironmentVariableIsSet("DBUS_SESSION_BUS_ADDRESS"), "run through with-secret-service.sh");
        QVERIFY2(m_prompter.start && m_prompter.expectPasswordOk && m_prompter.expectPasswordCancel,
                 "GCR's mock prompter (libgcr-base-3) is needed");
        m_prompterName = QString::fromUtf8(m_prompter.start());
    }

    void cleanupTestCase()
    {
        if (m_prompter.stop) {
            m_prompter.stop();
        }
    }

    void init()
    {
        m_env = std::make_unique<ServiceEnvironment>();
        m_daemon = std::make_unique<KeyringDaemon>();
        UserDefaults::standard().removeObject(QStringLiteral("LogoutPending"));
    }

    void cleanup()
    {
        m_env.reset();
        m_daemon.reset();
        m_keyring.reset();
        KeychainStore::setSystem(KeychainStore::makeFileStore(QDir::temp().filePath(QStringLiteral("unused"))));
        QDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/keyrings"))
            .removeRecursively();
        QFile::remove(KeychainStore::fileStorePath(Preferences::defaultKeychain().service()));
    }

    // The usual state after an automatic desktop log-in: the session is kept (locked, not
    // absent), nothing goes to the backend without its token, and it reads after the unlock.
    void lockedSinceStartIsASessionNotNone()
    {
        startSignedIn();
        const std::optional<QString> token = Preferences::token();
        restartLocked();

        QVERIFY(Preferences::isLocked(Preferences::Keys::token));
        QVERIFY(Preferences::isLocked(Preferences::Keys::email));
        QCOMPARE(ContentViewModel().state(), ContentViewModel::ProgramState::loggedIn);
        NotificationCounter logouts(QStringLiteral("logout"));
        TandrelController ctrl;
        ctrl.showCurrentSubscription();
        ctrl.loadRegions();
        QTRY_VERIFY_WITH_TIMEOUT(ctrl.regionsLoadFailed(), 5000);
        QCOMPARE(m_env->requestCount("GET", QStringLiteral("users/me/plan")), 0);
        QCOMPARE(m_env->requestCount("GET", QStringLiteral("regions")), 0);
        QCOMPARE(logouts.count(), 0);

        QVERIFY(unlockKeyring());
        QCOMPARE(Preferences::token(), token);
        QCOMPARE(Preferences::email(), DemoBackend::demoEmail);
    }

    // The keyring daemon restarts under a connected tunnel: the next request must not go
    // out with an empty token (the backend would end the session and the tunnel with it).
    void daemonRestartedWhileConnectedKeepsSessionAndTunnel()
    {
        startSignedIn();
        TandrelController ctrl;
        ctrl.doConnect();
        QTRY_COMPARE_WITH_TIMEOUT(ctrl.connectionStatus(), NEVPNStatus::connected, 10000);
        NotificationCounter logouts(QStringLiteral("logout"));
        restartLocked();

        m_env->backend.clearRequests();
        ctrl.loadRegions();
        ctrl.showCurrentSubscription();
        QTRY_VERIFY_WITH_TIMEOUT(ctrl.regionsLoadFailed(), 5000);
        for (const demo::RecordedRequest& request : m_env->backend.requests()) {
            QVERIFY2(!request.hasHeader("Authorization") || request.header("Authorization").trimmed() != "Bearer",
                     "a request went out without its token");
        }
        QCOMPARE(logouts.count(), 0);
        QCOMPARE(m_env->vpn->status(), NEVPNStatus::connected);

        QVERIFY(unlockKeyring());
        QCOMPARE(Preferences::email(), DemoBackend::demoEmail);
        ctrl.loadRegions();
        QTRY_VERIFY_WITH_TIMEOUT(!ctrl.regionsLoadFailed(), 5000);
    }

    // No keyring yet: the sign-up (which has made the account) asks for one through the
    // keyring's own prompt; declined, the file store keeps the login. Either way the new
    // account is logged in.
    void noKeyringYetIsMadeThroughItsPrompt_data()
    {
        QTest::addColumn<bool>("accept");
        QTest::newRow("person makes the keyring") << true;
        QTest::newRow("person declines") << false;
    }

    void noKeyringYetIsMadeThroughItsPrompt()
    {
        QFETCH(bool, accept);
        QVERIFY(m_daemon->start(std::nullopt, m_prompterName));
        QVERIFY(!hasDefaultCollection());
        m_keyring = KeychainStore::makeSecretServiceStore();
        KeychainStore::setSystem(m_keyring);
        accept ? m_prompter.expectPasswordOk(kKeyringPassword.constData(), nullptr) : m_prompter.expectPasswordCancel();

        LoginController login;
        const QString email = QStringLiteral("new@example.com");
        login.signupPressed(email, QStringLiteral("new-password"), QStringLiteral("new-password"));
        QTRY_VERIFY_WITH_TIMEOUT(login.loginResult() != Status::none, 10000);
        QCOMPARE(login.loginResult(), Status::signUpTrue);
        QCOMPARE(Preferences::email(), email);
        QCOMPARE(hasDefaultCollection(), accept);
        QCOMPARE(KeychainStore::fallbackFilePath().has_value(), !accept);
        if (accept) {
            QCOMPARE(Keychain(Preferences::defaultKeychain().service(), m_keyring).get(Preferences::Keys::email),
                     email);
        }
    }

    // Locked, the log-out can neither tell the backend nor remove anything; remembered, it
    // holds over a restart and is completed at the unlock.
    void logOutWhileLockedIsCompletedAtTheUnlock()
    {
        startSignedIn();
        const QString token = *Preferences::token();
        QVERIFY(lockKeyring());
        TandrelController().logout();
        QCOMPARE(ContentViewModel().state(), ContentViewModel::ProgramState::needLogin);  // a restart
        restartLocked();
        QCOMPARE(ContentViewModel().state(), ContentViewModel::ProgramState::needLogin);

        ContentViewModel vm;
        LoginView screen(vm);
        QVERIFY(unlockKeyring());
        QTRY_COMPARE_WITH_TIMEOUT(Preferences::token(), std::nullopt, 10000);
        QCOMPARE(Preferences::email(), std::nullopt);
        QCOMPARE(Preferences::password(), std::nullopt);
        QTRY_COMPARE_WITH_TIMEOUT(m_env->requestCount("POST", QStringLiteral("auth/logout")), 1, 5000);
        const demo::RecordedRequest sent = m_env->backend.requestsTo("POST", QStringLiteral("auth/logout")).first();
        QCOMPARE(sent.header("Authorization"), "Bearer " + token.toUtf8());
        QCOMPARE(ContentViewModel().state(), ContentViewModel::ProgramState::needLogin);
        QVERIFY(!TandrelController::logoutPending());
    }
};

TANDREL_TEST_MAIN_WIDGETS(KeyringStatesTest)
#include "tst_keyringstates.moc"
