#include "BuildConfig.h"
#include "Platform/Keychain.h"
#include "Platform/NetworkExtension/NetworkManagerProfile.h"
#include "Platform/NetworkExtension/NetworkManagerSecretAgent.h"
#include "support/TestMain.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QProcess>

using namespace tandrel;

namespace {

const QString kNetworkManager = QStringLiteral("org.freedesktop.NetworkManager");
const QString kOurProfile = QStringLiteral("0b6c3e1e-0000-4000-8000-000000000001");

NEVPNConfiguration tunnelConfiguration(const QByteArray& passwordReference)
{
    NEVPNProtocolIKEv2 protocol;
    protocol.serverAddress = QStringLiteral("de1.vpn.example");
    protocol.remoteIdentifier = QStringLiteral("de1.vpn.example");
    protocol.username = QStringLiteral("tunnel-user");
    protocol.passwordReference = passwordReference;
    NEVPNConfiguration configuration;
    configuration.protocolConfiguration = protocol;
    configuration.localizedDescription = QStringLiteral("Tandrel");
    configuration.isEnabled = true;
    return configuration;
}

}  // namespace

// The agent hands the tunnel password to NetworkManager alone, and only for our profile.
// It runs on a private bus of the test's own, standing for the system bus, where the test
// takes NetworkManager's name or calls as some other program.
class SecretAgentTest : public QObject {
    Q_OBJECT

    QProcess m_bus;
    QTemporaryDir m_keychainFolder;
    QByteArray m_reference;

    // One GetSecrets call from a connection of its own; the reply message.
    QDBusMessage getSecrets(bool asNetworkManager, const NMVariantMapMap& connection, const QString& setting)
    {
        const QString name = asNetworkManager ? QStringLiteral("network-manager") : QStringLiteral("intruder");
        QDBusConnection caller = QDBusConnection::connectToBus(QString::fromUtf8(qgetenv("DBUS_SYSTEM_BUS_ADDRESS")),
                                                               name);
        if (asNetworkManager && !caller.interface()->isServiceRegistered(kNetworkManager).value()) {
            caller.registerService(kNetworkManager);
        }
        QDBusMessage call = QDBusMessage::createMethodCall(QDBusConnection::systemBus().baseService(),
                                                           NetworkManagerSecretAgent::objectPath,
                                                           NetworkManagerSecretAgent::interfaceName,
                                                           QStringLiteral("GetSecrets"));
        call << QVariant::fromValue(connection) << QVariant::fromValue(QDBusObjectPath("/org/freedesktop/NM/1"))
             << setting << QStringList() << 0u;
        QDBusPendingCallWatcher watcher(caller.asyncCall(call, 5000));
        [&] { QTRY_VERIFY_WITH_TIMEOUT(watcher.isFinished(), 5000); }();
        const QDBusMessage reply = watcher.reply();
        QDBusConnection::disconnectFromBus(name);
        return reply;
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_bus.start(QStringLiteral("dbus-daemon"),
                    {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
        if (!m_bus.waitForStarted(5000)) {
            QSKIP("dbus-daemon is not installed");
        }
        QTRY_VERIFY_WITH_TIMEOUT(m_bus.canReadLine(), 5000);
        // Read by Qt when the system bus is first opened, which the agent does below.
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", m_bus.readLine().trimmed());
        NetworkManagerProfile::registerDBusTypes();
        // Exported even though no agent manager answers the registration here.
        bool answered = false;
        NetworkManagerSecretAgent::shared().registerWithNetworkManager(this, [&answered](bool) { answered = true; });
        QTRY_VERIFY_WITH_TIMEOUT(answered, 10000);

        auto store = KeychainStore::makeFileStore(m_keychainFolder.filePath(QStringLiteral("keychain")));
        KeychainStore::setSystem(store);
        QCOMPARE(store->add(QString::fromUtf8(BuildConfig::bundleIdentifier), QStringLiteral("vpnPassword"),
                            "tunnel-pass", &m_reference),
                 KeychainStatus::success);
        NetworkManagerSecretAgent::shared().setProfile(this, kOurProfile);
    }

    void cleanupTestCase()
    {
        m_bus.kill();
        m_bus.waitForFinished(5000);
    }

    void answersOnlyNetworkManagerForOurProfile_data()
    {
        QTest::addColumn<bool>("asNetworkManager");
        QTest::addColumn<QString>("profile");
        QTest::addColumn<bool>("foreign");  // a profile some other program made
        QTest::addColumn<QString>("setting");
        QTest::addColumn<QString>("error");  // empty: the password comes back
        QTest::newRow("NetworkManager, our profile") << true << kOurProfile << false << "vpn" << QString();
        QTest::newRow("another program, our profile")
            << false << kOurProfile << false << "vpn" << "org.freedesktop.NetworkManager.SecretAgent.PermissionDenied";
        QTest::newRow("NetworkManager, a profile we do not hold")
            << true << "0b6c3e1e-0000-4000-8000-000000000002" << false << "vpn"
            << "org.freedesktop.NetworkManager.SecretAgent.NoSecrets";
        QTest::newRow("NetworkManager, another program's profile")
            << true << kOurProfile << true << "vpn" << "org.freedesktop.NetworkManager.SecretAgent.NoSecrets";
        QTest::newRow("NetworkManager, another setting")
            << true << kOurProfile << false << "802-1x" << "org.freedesktop.NetworkManager.SecretAgent.NoSecrets";
    }

    void answersOnlyNetworkManagerForOurProfile()
    {
        QFETCH(bool, asNetworkManager);
        QFETCH(QString, profile);
        QFETCH(bool, foreign);
        QFETCH(QString, setting);
        QFETCH(QString, error);
        NMVariantMapMap connection =
            NetworkManagerProfile::settingsFor(tunnelConfiguration(m_reference), profile, QString());
        if (foreign) {
            QVariantMap vpn = connection.value(QStringLiteral("vpn"));
            vpn.insert(QStringLiteral("service-type"), QStringLiteral("org.freedesktop.NetworkManager.openvpn"));
            connection.insert(QStringLiteral("vpn"), vpn);
        }
        const QDBusMessage reply = getSecrets(asNetworkManager, connection, setting);
        if (!error.isEmpty()) {
            QCOMPARE(reply.type(), QDBusMessage::ErrorMessage);
            QCOMPARE(reply.errorName(), error);
            QVERIFY(!reply.errorMessage().contains(QStringLiteral("tunnel-pass")));
            return;
        }
        QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
        const NMVariantMapMap secrets = qdbus_cast<NMVariantMapMap>(reply.arguments().value(0).value<QDBusArgument>());
        const NMStringMap vpnSecrets = NetworkManagerProfile::stringMap(secrets.value(QStringLiteral("vpn")).value(
            QStringLiteral("secrets")));
        QCOMPARE(vpnSecrets.value(QStringLiteral("password")), QStringLiteral("tunnel-pass"));
    }
};

TANDREL_TEST_MAIN_CORE(SecretAgentTest)
#include "tst_secretagent.moc"
