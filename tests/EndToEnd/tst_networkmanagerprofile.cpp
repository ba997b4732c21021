// How a configuration becomes a NetworkManager profile and back, and how NetworkManager's
// VPN states read as our status: no NetworkManager needed.
#include "support/TestMain.h"

#include "Platform/NetworkExtension/NetworkManagerFailure.h"
#include "Platform/NetworkExtension/NetworkManagerProfile.h"
#include "Platform/NetworkExtension/NetworkManagerVPNBackend.h"

using namespace tandrel;

Q_DECLARE_METATYPE(NEVPNConfiguration)
Q_DECLARE_METATYPE(std::optional<NEVPNStatus>)

namespace {

NEVPNIKEv2SecurityAssociationParameters parameters(NEVPNIKEv2EncryptionAlgorithm encryption,
                                                   NEVPNIKEv2IntegrityAlgorithm integrity,
                                                   NEVPNIKEv2DiffieHellmanGroup group, int lifetime = 1440)
{
    NEVPNIKEv2SecurityAssociationParameters result;
    result.encryptionAlgorithm = encryption;
    result.integrityAlgorithm = integrity;
    result.diffieHellmanGroup = group;
    result.lifetimeMinutes = lifetime;
    return result;
}

NEVPNConfiguration tunnelConfiguration()
{
    NEVPNProtocolIKEv2 protocol;
    protocol.serverAddress = QStringLiteral("de-01.vpn.tandrel.example");
    protocol.remoteIdentifier = protocol.serverAddress;
    protocol.username = QStringLiteral("tdr-1001");
    protocol.passwordReference = QByteArray("/org/freedesktop/secrets/collection/login/7\0\xff", 45);
    protocol.useExtendedAuthentication = true;
    protocol.IKESecurityAssociationParameters =
        parameters(NEVPNIKEv2EncryptionAlgorithm::algorithmAES256GCM, NEVPNIKEv2IntegrityAlgorithm::SHA384,
                   NEVPNIKEv2DiffieHellmanGroup::group31);
    protocol.childSecurityAssociationParameters = protocol.IKESecurityAssociationParameters;
    protocol.enablePFS = true;
    protocol.includeAllNetworks = true;
    NEVPNConfiguration configuration;
    configuration.protocolConfiguration = protocol;
    configuration.onDemandRules = {NEOnDemandRuleConnect{}};
    configuration.isOnDemandEnabled = true;
    configuration.localizedDescription = QStringLiteral("Tandrel");
    configuration.isEnabled = true;
    return configuration;
}

}  // namespace

class NetworkManagerProfileTest : public QObject {
    Q_OBJECT

private slots:
    void proposalsNameTheNegotiatedAlgorithms_data()
    {
        QTest::addColumn<int>("encryption");
        QTest::addColumn<int>("integrity");
        QTest::addColumn<int>("group");
        QTest::addColumn<bool>("pfs");
        QTest::addColumn<QString>("ike");
        QTest::addColumn<QString>("esp");
        QTest::newRow("the tunnel's own") << 6 << 4 << 31 << true << "aes256gcm16-prfsha384-curve25519"
                                          << "aes256gcm16-curve25519";
        QTest::newRow("CBC needs an integrity algorithm") << 4 << 3 << 14 << false << "aes256-sha256-modp2048"
                                                          << "aes256-sha256";
        QTest::newRow("ChaCha20 with an EC group") << 7 << 5 << 19 << true << "chacha20poly1305-prfsha512-ecp256"
                                                   << "chacha20poly1305-ecp256";
        QTest::newRow("no group") << 5 << 1 << 0 << true << "aes128gcm16-prfsha1"
                                  << "aes128gcm16";
    }
    void proposalsNameTheNegotiatedAlgorithms()
    {
        QFETCH(int, encryption);
        QFETCH(int, integrity);
        QFETCH(int, group);
        QFETCH(bool, pfs);
        const auto sa = parameters(static_cast<NEVPNIKEv2EncryptionAlgorithm>(encryption),
                                   static_cast<NEVPNIKEv2IntegrityAlgorithm>(integrity),
                                   static_cast<NEVPNIKEv2DiffieHellmanGroup>(group));
        QTEST(NetworkManagerProfile::ikeProposal(sa), "ike");
        QTEST(NetworkManagerProfile::espProposal(sa, pfs), "esp");
    }

    void profileGivesBackWhatWasSaved_data()
    {
        QTest::addColumn<NEVPNConfiguration>("configuration");
        QTest::newRow("the tunnel manager's") << tunnelConfiguration();
        NEVPNConfiguration empty = tunnelConfiguration();
        empty.protocolConfiguration->serverAddress.clear();  // a backend answer without a server
        empty.protocolConfiguration->remoteIdentifier.clear();
        empty.protocolConfiguration->username.clear();
        empty.protocolConfiguration->passwordReference.clear();
        empty.onDemandRules.clear();
        empty.isOnDemandEnabled = false;
        QTest::newRow("empty fields, no rules") << empty;
        NEVPNConfiguration other = tunnelConfiguration();
        other.protocolConfiguration->localIdentifier = QStringLiteral("laptop@example");
        other.protocolConfiguration->childSecurityAssociationParameters =
            parameters(NEVPNIKEv2EncryptionAlgorithm::algorithmAES128, NEVPNIKEv2IntegrityAlgorithm::SHA512,
                       NEVPNIKEv2DiffieHellmanGroup::group20, 60);
        other.protocolConfiguration->deadPeerDetectionRate = NEVPNIKEv2DeadPeerDetectionRate::high;
        other.protocolConfiguration->excludeLocalNetworks = true;
        other.protocolConfiguration->disconnectOnSleep = true;
        other.onDemandRules = {NEOnDemandRuleConnect{NEOnDemandRuleInterfaceType::wiFi},
                               NEOnDemandRuleConnect{NEOnDemandRuleInterfaceType::ethernet}};
        other.isEnabled = false;
        QTest::newRow("every field off its default") << other;
        NEVPNConfiguration bare;
        bare.localizedDescription = QStringLiteral("Tandrel");
        QTest::newRow("no protocol") << bare;
    }
    void profileGivesBackWhatWasSaved()
    {
        QFETCH(NEVPNConfiguration, configuration);
        const NMVariantMapMap settings =
            NetworkManagerProfile::settingsFor(configuration, QStringLiteral("0b6c3e1e"), QStringLiteral("alice"));
        QCOMPARE(NetworkManagerProfile::configurationFrom(settings), std::optional(configuration));
        const NMStringMap data = NetworkManagerProfile::vpnData(settings);
        for (auto it = data.begin(); it != data.end(); ++it) {
            QVERIFY2(!it.value().isEmpty(), qPrintable(it.key()));  // NetworkManager refuses empty values
        }
        QCOMPARE(data.value(QStringLiteral("password-flags")), QStringLiteral("1"));
        QVERIFY(!data.contains(QStringLiteral("password")));
        QCOMPARE(settings.value(QStringLiteral("connection")).value(QStringLiteral("permissions")).toStringList(),
                 QStringList{QStringLiteral("user:alice:")});
    }

    void aPinnedServerAddressReachesThePluginAndTheNameStaysTheServer()
    {
        const NEVPNConfiguration configuration = tunnelConfiguration();
        NMVariantMapMap settings =
            NetworkManagerProfile::settingsFor(configuration, QStringLiteral("0b6c3e1e"), QStringLiteral("alice"));
        QVERIFY(NetworkManagerProfile::pinServerAddress(settings, QStringLiteral("192.0.2.1")));
        QVERIFY(NetworkManagerProfile::pinServerAddress(settings, QStringLiteral("192.0.2.9")));  // pinned anew
        const NMStringMap data = NetworkManagerProfile::vpnData(settings);
        QCOMPARE(data.value(QStringLiteral("address")), QStringLiteral("192.0.2.9"));
        QCOMPARE(data.value(QStringLiteral("remote-identity")), QStringLiteral("de-01.vpn.tandrel.example"));
        QCOMPARE(NetworkManagerProfile::configurationFrom(settings), std::optional(configuration));
        QVERIFY(!NetworkManagerProfile::pinServerAddress(settings, QStringLiteral("192.0.2.9")));

        // Without a remote identity the address is what the server's certificate is checked against.
        NEVPNConfiguration anonymous = tunnelConfiguration();
        anonymous.protocolConfiguration->remoteIdentifier.clear();
        NMVariantMapMap unpinned =
            NetworkManagerProfile::settingsFor(anonymous, QStringLiteral("0b6c3e1e"), QStringLiteral("alice"));
        QVERIFY(!NetworkManagerProfile::pinServerAddress(unpinned, QStringLiteral("192.0.2.1")));
        QCOMPARE(NetworkManagerProfile::vpnData(unpinned).value(QStringLiteral("address")),
                 QStringLiteral("de-01.vpn.tandrel.example"));
    }

    void foreignOrDamagedProfilesReadSafely()
    {
        NMVariantMapMap settings =
            NetworkManagerProfile::settingsFor(tunnelConfiguration(), QStringLiteral("u"), QString());
        NMVariantMapMap foreign = settings;
        QVariantMap vpn = foreign.value(QStringLiteral("vpn"));
        vpn.insert(QStringLiteral("service-type"), QStringLiteral("org.freedesktop.NetworkManager.openvpn"));
        foreign.insert(QStringLiteral("vpn"), vpn);
        QCOMPARE(NetworkManagerProfile::configurationFrom(foreign), std::nullopt);

        NMStringMap data = NetworkManagerProfile::vpnData(settings);
        data.remove(QStringLiteral("tandrel-profile"));
        vpn = settings.value(QStringLiteral("vpn"));
        vpn.insert(QStringLiteral("data"), QVariant::fromValue(data));
        NMVariantMapMap unmarked = settings;
        unmarked.insert(QStringLiteral("vpn"), vpn);
        QCOMPARE(NetworkManagerProfile::configurationFrom(unmarked), std::nullopt);  // the user's own profile

        data.insert(QStringLiteral("tandrel-profile"), QStringLiteral("1"));
        data.insert(QStringLiteral("tandrel-ike-sa"), QStringLiteral("6,x,31"));
        data.insert(QStringLiteral("tandrel-dead-peer-detection"), QStringLiteral("often"));
        data.insert(QStringLiteral("tandrel-password-reference"), QStringLiteral("%%%"));
        data.insert(QStringLiteral("tandrel-on-demand-rules"), QStringLiteral(",,9,"));
        vpn.insert(QStringLiteral("data"), QVariant::fromValue(data));
        NMVariantMapMap damaged = settings;
        damaged.insert(QStringLiteral("vpn"), vpn);
        const std::optional<NEVPNConfiguration> read = NetworkManagerProfile::configurationFrom(damaged);
        QVERIFY(read && read->protocolConfiguration);
        QCOMPARE(read->protocolConfiguration->IKESecurityAssociationParameters,
                 NEVPNIKEv2SecurityAssociationParameters{});  // the service's defaults
        QCOMPARE(read->protocolConfiguration->deadPeerDetectionRate, NEVPNIKEv2DeadPeerDetectionRate::medium);
        QCOMPARE(read->onDemandRules.size(), size_t(1));
        QCOMPARE(read->protocolConfiguration->serverAddress, QStringLiteral("de-01.vpn.tandrel.example"));
    }

    void vpnStatesReadAsTheTunnelStatus_data()
    {
        QTest::addColumn<uint>("state");
        QTest::addColumn<bool>("afterDrop");
        QTest::addColumn<std::optional<NEVPNStatus>>("status");
        const std::optional<NEVPNStatus> none;
        QTest::newRow("unknown") << 0u << false << none;
        QTest::newRow("prepare") << 1u << false << std::optional(NEVPNStatus::connecting);
        QTest::newRow("need auth") << 2u << false << std::optional(NEVPNStatus::connecting);
        QTest::newRow("connect") << 3u << false << std::optional(NEVPNStatus::connecting);
        QTest::newRow("ip config get") << 4u << false << std::optional(NEVPNStatus::connecting);
        QTest::newRow("connect after a drop") << 3u << true << std::optional(NEVPNStatus::reasserting);
        QTest::newRow("activated") << 5u << false << std::optional(NEVPNStatus::connected);
        QTest::newRow("activated after a drop") << 5u << true << std::optional(NEVPNStatus::connected);
        QTest::newRow("failed") << 6u << false << std::optional(NEVPNStatus::disconnected);
        QTest::newRow("disconnected") << 7u << false << std::optional(NEVPNStatus::disconnected);
        QTest::newRow("beyond the known") << 99u << false << none;
    }
    void vpnStatesReadAsTheTunnelStatus()
    {
        QFETCH(uint, state);
        QFETCH(bool, afterDrop);
        QTEST(NetworkManagerVPNBackend::statusForVpnState(state, afterDrop), "status");
    }

    void failureReasonsReadAsPlainText_data()
    {
        QTest::addColumn<uint>("reason");
        QTest::addColumn<QString>("text");
        QTest::newRow("login failed") << 10u << "the server refused the login";
        QTest::newRow("service stopped") << 4u << "the VPN service stopped unexpectedly";
        QTest::newRow("no secrets") << 9u << "no password was available";
        QTest::newRow("last known") << 14u << "the VPN's network device disappeared";
        QTest::newRow("beyond the known") << 15u << "unknown reason";
    }
    void failureReasonsReadAsPlainText()
    {
        QFETCH(uint, reason);
        QTEST(NetworkManagerVPNBackend::reasonText(reason), "text");
    }

    // What NetworkManager and charon-nm were seen to report for each cause (the plugin's
    // failure is the one the back end keeps: the login failure wins over connect failures).
    void attemptEndsAreToldApartByCause_data()
    {
        QTest::addColumn<uint>("reason");
        QTest::addColumn<int>("pluginFailure");  // -1: none
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("text");
        using Kind = NetworkManagerFailure::Kind;
        const QString refused = QStringLiteral(
            "The VPN server refused the login, or this computer does not trust the server's certificate.");
        const QString unreachable = QStringLiteral("The VPN server could not be reached.");
        const QString pluginMissing = QStringLiteral("The system's strongSwan VPN plugin is missing or did not start.");
        QTest::newRow("wrong password: failures 1, 1, 0, state reason 0")
            << 0u << 0 << int(Kind::loginOrServerIdentity) << refused;
        QTest::newRow("NetworkManager's own login failure") << 10u << -1 << int(Kind::loginOrServerIdentity) << refused;
        QTest::newRow("no answer: state reason 6 (connect timeout)")
            << 6u << -1 << int(Kind::serverUnreachable) << unreachable;
        QTest::newRow("connect failed without a login failure")
            << 1u << 1 << int(Kind::serverUnreachable) << unreachable;
        QTest::newRow("plugin did not start") << 8u << -1 << int(Kind::pluginMissing) << pluginMissing;
        QTest::newRow("plugin start timed out") << 7u << -1 << int(Kind::pluginMissing) << pluginMissing;
        QTest::newRow("no password") << 9u << -1 << int(Kind::noPassword)
                                     << "The tunnel password could not be read from the keychain.";
        QTest::newRow("bad IP configuration from the plugin")
            << 0u << 2 << int(Kind::badIPConfiguration) << "The VPN server sent an unusable network configuration.";
        QTest::newRow("anything else keeps NetworkManager's words")
            << 3u << -1 << int(Kind::other) << "the network connection under the VPN went down";
    }
    void attemptEndsAreToldApartByCause()
    {
        QFETCH(uint, reason);
        QFETCH(int, pluginFailure);
        const NetworkManagerFailure failure = NetworkManagerFailure::describe(
            reason, NetworkManagerVPNBackend::reasonText(reason),
            pluginFailure < 0 ? std::nullopt : std::optional<uint>(uint(pluginFailure)));
        QTEST(int(failure.kind), "kind");
        QTEST(failure.text, "text");
        QCOMPARE(NetworkManagerFailure::sentences().contains(failure.text),
                 failure.kind != NetworkManagerFailure::Kind::other);
    }
};

TANDREL_TEST_MAIN_CORE(NetworkManagerProfileTest)
#include "tst_networkmanagerprofile.moc"
