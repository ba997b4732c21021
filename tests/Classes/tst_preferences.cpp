#include "Classes/Preferences.h"

#include "BuildConfig.h"
#include "Platform/Host.h"
#include "Platform/Keychain.h"
#include "Platform/UserDefaults.h"

#include "support/CapturedOutput.h"
#include "support/TestMain.h"

#include <QCryptographicHash>

#include <functional>
#include <memory>

using namespace tandrel;
using tandrel::testing::CapturedOutput;

namespace {

// A file store whose calls are counted, with statuses a test can force.
class ObservedStore : public KeychainStore {
public:
    explicit ObservedStore(const QString& path) : m_inner(KeychainStore::makeFileStore(path)) {}

    int copyMatching(const QString& service, const QString& account, KeychainItem* item) override
    {
        ++lookups;
        if (lookupStatus) {
            return *lookupStatus;
        }
        const int status = m_inner->copyMatching(service, account, item);
        if (status == KeychainStatus::success && dropReference) {
            item->persistentReference.clear();
        }
        return status;
    }
    int add(const QString& service, const QString& account, const QByteArray& data, QByteArray* reference) override
    {
        ++adds;
        if (writeStatus) {
            return *writeStatus;
        }
        const int status = m_inner->add(service, account, data, reference);
        if (dropReference && reference) {
            reference->clear();
        }
        return status;
    }
    int update(const QString& service, const QString& account, const QByteArray& data) override
    {
        ++updates;
        return writeStatus ? *writeStatus : m_inner->update(service, account, data);
    }
    int remove(const QString& service, const QString& account) override
    {
        return writeStatus ? *writeStatus : m_inner->remove(service, account);
    }
    int copyByReference(const QByteArray& reference, KeychainItem* item) override
    {
        return m_inner->copyByReference(reference, item);
    }

    int lookups = 0;
    int adds = 0;
    int updates = 0;
    std::optional<int> lookupStatus;
    std::optional<int> writeStatus;
    bool dropReference = false;

private:
    std::shared_ptr<KeychainStore> m_inner;
};

// HMAC-SHA256 (RFC 2104) written out here, so the test does not lean on the code's own.
QByteArray hmacSha256(QByteArray key, const QByteArray& message)
{
    constexpr qsizetype blockSize = 64;
    if (key.size() > blockSize) {
        key = QCryptographicHash::hash(key, QCryptographicHash::Sha256);
    }
    key.resize(blockSize, '\0');
    QByteArray inner(blockSize, '\0');
    QByteArray outer(blockSize, '\0');
    for (qsizetype i = 0; i < blockSize; ++i) {
        inner[i] = static_cast<char>(key[i] ^ 0x36);
        outer[i] = static_cast<char>(key[i] ^ 0x5c);
    }
    const QByteArray innerDigest = QCryptographicHash::hash(inner + message, QCryptographicHash::Sha256);
    return QCryptographicHash::hash(outer + innerDigest, QCryptographicHash::Sha256);
}

QString uuidText(const QByteArray& digest)
{
    const QByteArray hex = digest.left(16).toHex().toUpper();
    return QString::fromLatin1(hex.mid(0, 8) + '-' + hex.mid(8, 4) + '-' + hex.mid(12, 4) + '-' + hex.mid(16, 4) + '-' +
                               hex.mid(20, 12));
}

// The serial (or machine id) hashed with the bundle identifier as the key.
QString expectedIdentifier(const QString& serial)
{
    return uuidText(hmacSha256(QByteArray(BuildConfig::bundleIdentifier), serial.toUtf8()));
}

const QString kService = QString::fromUtf8(BuildConfig::bundleIdentifier);

}  // namespace

Q_DECLARE_METATYPE(tandrel::VPNProtocol)
Q_DECLARE_METATYPE(std::optional<QString>)
Q_DECLARE_METATYPE(std::optional<int>)

class PreferencesTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_folder;
    std::shared_ptr<ObservedStore> m_store;
    int m_storeNumber = 0;

private slots:
    void init()
    {
        // A fresh keychain file per test.
        m_store = std::make_shared<ObservedStore>(m_folder.filePath(QString("keychain-%1").arg(++m_storeNumber)));
        KeychainStore::setSystem(m_store);
        Host::setSerialNumberSource({});
    }

    void cleanup() { Host::setSerialNumberSource({}); }

    void absentSettingsReadTheirDefaultsWithoutWriting()
    {
        const QList<std::tuple<QString, std::function<QVariant()>, QVariant>> table = {
            {"KillSwitch", [] { return QVariant(Preferences::killSwitch()); }, true},
            {"ExcludeLocalNetworks", [] { return QVariant(Preferences::excludeLocalNetworks()); }, true},
            {"CompactView", [] { return QVariant(Preferences::compactView()); }, true},
            {"onboardingShown", [] { return QVariant(Preferences::onboardingShown()); }, false},
            {"termsShown", [] { return QVariant(Preferences::termsShown()); }, false},
            {"updated", [] { return QVariant(Preferences::updated()); }, false},
            {"configId", [] { return QVariant(Preferences::configId()); }, qint64(0)},
            {"CountryConnected", [] { return QVariant(Preferences::countryConnected()); }, "VPN"},
            {"VPNProtocol", [] { return QVariant(rawValue(Preferences::vpnProtocol())); }, "Optimal"},
            {"ConnectedVPNProtocol", [] { return QVariant(rawValue(Preferences::connectedProtocol())); }, "Optimal"},
        };
        for (const auto& [key, read, expected] : table) {
            QVERIFY(!UserDefaults::standard().object(key).has_value());
            QCOMPARE(read(), expected);
            QVERIFY2(!UserDefaults::standard().object(key).has_value(), qPrintable(key));
        }
        Preferences::setVpnProtocol(VPNProtocol::OpenVPNudp);
        QCOMPARE(UserDefaults::standard().string("VPNProtocol"), QString("OpenVPN® UDP"));
        UserDefaults::standard().removeObject("VPNProtocol");
    }

    void protocolTextsNameCasesExactly_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<VPNProtocol>("read");
        QTest::newRow("IPSecIKEv2") << "IPSecIKEv2" << VPNProtocol::IKEv2;
        QTest::newRow("Wireguard®") << "Wireguard®" << VPNProtocol::Wireguard;
        QTest::newRow("letter case differs") << "ipsecikev2" << VPNProtocol::Optimal;
        QTest::newRow("case name, not text") << "IKEv2" << VPNProtocol::Optimal;
    }

    void protocolTextsNameCasesExactly()
    {
        QFETCH(QString, stored);
        QFETCH(VPNProtocol, read);
        UserDefaults::standard().set(stored, "VPNProtocol");
        QCOMPARE(Preferences::vpnProtocol(), read);
        UserDefaults::standard().removeObject("VPNProtocol");
    }

    void keychainPropertiesStoreUnderTheirAccounts()
    {
        CapturedOutput output;
        Preferences::setToken("jwt");
        Preferences::setEmail("me@example.org");
        Preferences::setVpnPassword("tunnel");
        QCOMPARE(Preferences::token(), QString("jwt"));
        QCOMPARE(Preferences::defaultKeychain()["email"], QString("me@example.org"));
        KeychainItem item;
        QCOMPARE(m_store->copyMatching(kService, "vpnPassword", &item), KeychainStatus::success);
        QCOMPARE(item.data, QByteArray("tunnel"));

        Preferences::setToken(std::nullopt);
        QVERIFY(!Preferences::token().has_value());
        Preferences::setServer(std::nullopt);  // absent already: no error
        QVERIFY(output.lines().isEmpty());
    }

    void failedKeychainWritePrintsOneLine()
    {
        m_store->writeStatus = KeychainStatus::notAvailable;
        CapturedOutput output;
        Preferences::setPassword("secret");
        Preferences::setEmail(std::nullopt);
        const QString description = keychainError(KeychainStatus::notAvailable).description();
        QCOMPARE(output.lines(), QStringList({"Keychain error for password: " + description,
                                              "Keychain error for email: " + description}));
    }

    void identifierIsDerivedFromTheSerialAndSurvivesDeletion()
    {
        const QString serial = "C02XK0ABJG5H";
        Host::setSerialNumberSource([serial] { return std::optional<QString>(serial); });
        const QString expected = expectedIdentifier(serial);
        QCOMPARE(expected.size(), 36);
        {
            CapturedOutput output;
            QCOMPARE(Preferences::uid(), expected);
            QCOMPARE(Preferences::uid(), expected);
            QCOMPARE(output.lines(), QStringList({"Your UUID is " + expected}));
        }
        QCOMPARE(Preferences::defaultKeychain()["uid"], expected);
        QVERIFY(!Preferences::defaultKeychain().remove("uid"));
        QCOMPARE(Preferences::uid(), expected);
    }

    void identifierIsKeyedByTheBundleIdentifier_data()
    {
        QTest::addColumn<QString>("machineId");
        QTest::newRow("machine id") << "4a7d1ed414474e4033ac29ccb8653d9b";
        QTest::newRow("another machine id") << "0123456789abcdef0123456789abcdef";
    }

    void identifierIsKeyedByTheBundleIdentifier()
    {
        QFETCH(QString, machineId);
        // The helper itself against RFC 4231, test case 2.
        QCOMPARE(hmacSha256("Jefe", "what do ya want for nothing?").toHex(),
                 QByteArray("5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"));

        QTemporaryDir folder;
        QFile file(folder.filePath("machine-id"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(machineId.toLatin1() + '\n');
        file.close();
        const QString machineIdPath = file.fileName();
        Host::setSerialNumberSource(
            [machineIdPath] { return Host::serialNumberFrom(QStringLiteral("/nonexistent"), machineIdPath); });
        Preferences::defaultKeychain().remove("uid");
        const std::optional<QString> identifier = Preferences::uid();
        QCOMPARE(identifier, expectedIdentifier(machineId));
        // Not the bare hash that any other program could compute from the same file.
        QVERIFY(*identifier != uuidText(QCryptographicHash::hash(machineId.toUtf8(), QCryptographicHash::Sha256)));
        QVERIFY(!identifier->contains(machineId.left(8), Qt::CaseInsensitive));
    }

    void identifierWithoutSerialIsRandomAndStored_data()
    {
        QTest::addColumn<std::optional<QString>>("serial");
        QTest::newRow("no serial") << std::optional<QString>();
        QTest::newRow("empty serial") << std::optional<QString>("");
    }

    void identifierWithoutSerialIsRandomAndStored()
    {
        QFETCH(std::optional<QString>, serial);
        Host::setSerialNumberSource([serial] { return serial; });
        CapturedOutput output;
        const std::optional<QString> identifier = Preferences::uid();
        QVERIFY(identifier.has_value());
        static const QRegularExpression version4(
            "^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$");
        QVERIFY2(version4.match(*identifier).hasMatch(), qPrintable(*identifier));
        QCOMPARE(Preferences::uid(), identifier);
        QVERIFY(output.lines().isEmpty());
    }

    void identifierIsGivenEvenWhenItCannotBeStored()
    {
        Host::setSerialNumberSource([] { return std::optional<QString>("SERIAL-1"); });
        m_store->writeStatus = KeychainStatus::notAvailable;
        CapturedOutput output;
        QCOMPARE(Preferences::uid(), expectedIdentifier("SERIAL-1"));
        QCOMPARE(output.lines(), QStringList({"Your UUID is " + expectedIdentifier("SERIAL-1")}));
    }

    void persistentReferenceAddsOnlyWhenMissing()
    {
        const Result<QByteArray> added = VPNKeychain::persistentReferenceFor(kService, "vpnPassword", "one");
        QVERIFY(added.ok());
        QVERIFY(!added.value().isEmpty());
        QCOMPARE(m_store->adds, 1);

        const Result<QByteArray> again = VPNKeychain::persistentReferenceFor(kService, "vpnPassword", "one");
        QCOMPARE(again.value(), added.value());
        QCOMPARE(m_store->adds, 1);
        QCOMPARE(m_store->updates, 0);
    }

    void persistentReferenceSurvivesAnUpdate()
    {
        Preferences::setVpnPassword("old");
        m_store->updates = 0;
        const Result<QByteArray> before = VPNKeychain::persistentReferenceFor(kService, "vpnPassword", "old");
        QVERIFY(before.ok());
        QCOMPARE(m_store->updates, 0);

        const Result<QByteArray> after = VPNKeychain::persistentReferenceFor(kService, "vpnPassword", "new");
        QVERIFY(after.ok());
        QCOMPARE(m_store->updates, 1);
        QCOMPARE(after.value(), before.value());
        QCOMPARE(Preferences::vpnPassword(), QString("new"));
        KeychainItem item;
        QCOMPARE(m_store->copyByReference(after.value(), &item), KeychainStatus::success);
        QCOMPARE(item.data, QByteArray("new"));
    }

    void persistentReferenceFailuresAreStatusErrors_data()
    {
        QTest::addColumn<std::optional<int>>("lookupStatus");
        QTest::addColumn<std::optional<int>>("writeStatus");
        QTest::addColumn<bool>("dropReference");
        QTest::addColumn<bool>("stored");
        QTest::addColumn<int>("expectedCode");
        QTest::newRow("locked lookup") << std::optional<int>(KeychainStatus::interactionNotAllowed)
                                       << std::optional<int>() << false << false
                                       << KeychainStatus::interactionNotAllowed;
        QTest::newRow("add refused") << std::optional<int>() << std::optional<int>(KeychainStatus::notAvailable)
                                     << false << false << KeychainStatus::notAvailable;
        QTest::newRow("update refused") << std::optional<int>() << std::optional<int>(KeychainStatus::notAvailable)
                                        << false << true << KeychainStatus::notAvailable;
        QTest::newRow("add without reference")
            << std::optional<int>() << std::optional<int>() << true << false << KeychainStatus::decode;
        QTest::newRow("lookup without reference")
            << std::optional<int>() << std::optional<int>() << true << true << KeychainStatus::decode;
    }

    void persistentReferenceFailuresAreStatusErrors()
    {
        QFETCH(std::optional<int>, lookupStatus);
        QFETCH(std::optional<int>, writeStatus);
        QFETCH(bool, dropReference);
        QFETCH(bool, stored);
        QFETCH(int, expectedCode);
        if (stored) {
            QVERIFY(!Preferences::defaultKeychain().set("stored", "vpnPassword"));
        }
        m_store->lookupStatus = lookupStatus;
        m_store->writeStatus = writeStatus;
        m_store->dropReference = dropReference;
        const Result<QByteArray> reference = VPNKeychain::persistentReferenceFor(kService, "vpnPassword", "other");
        QVERIFY(!reference.ok());
        QCOMPARE(reference.error().domain(), QString("NSOSStatusErrorDomain"));
        QCOMPARE(reference.error().code(), expectedCode);
    }
};

TANDREL_TEST_MAIN_CORE(PreferencesTest)
#include "tst_preferences.moc"
