// Runs in a private D-Bus session where GNOME Keyring is not running but D-Bus-activatable
// (with-secret-service.sh --activatable): the keychain a start chooses, and what moves into it.
#include "BuildConfig.h"
#include "Platform/Keychain.h"
#include "support/CapturedOutput.h"
#include "support/TestMain.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QFile>

#pragma push_macro("signals")
#undef signals
#include <libsecret/secret.h>
#pragma pop_macro("signals")

using namespace tandrel;
using tandrel::testing::CapturedOutput;

namespace {

const QString kCurrent = QString::fromUtf8(BuildConfig::bundleIdentifier);
const QString kLegacy = QStringLiteral("example.tandrel.legacy");

bool secretServiceRuns()
{
    return QDBusConnection::sessionBus().interface()->isServiceRegistered(QStringLiteral("org.freedesktop.secrets"));
}

// An item as an earlier build (another bundle identifier) stored it: its own schema name.
bool storeAsBuildOf(const QString& bundleIdentifier, const QString& account, const QByteArray& secret)
{
    const QByteArray schemaName = (bundleIdentifier + QStringLiteral(".GenericPassword")).toUtf8();
    const SecretSchema schema = {schemaName.constData(),
                                 SECRET_SCHEMA_NONE,
                                 {{"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                  {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                  {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
                                 0,
                                 nullptr,
                                 nullptr,
                                 nullptr,
                                 nullptr,
                                 nullptr,
                                 nullptr,
                                 nullptr};
    GError* error = nullptr;
    const gboolean stored = secret_password_store_sync(
        &schema, SECRET_COLLECTION_DEFAULT, "legacy item", secret.constData(), nullptr, &error, "service",
        bundleIdentifier.toUtf8().constData(), "account", account.toUtf8().constData(), nullptr);
    g_clear_error(&error);
    return stored;
}

QList<KeychainEntry> itemsOf(KeychainStore& store, const QString& service)
{
    QList<KeychainEntry> entries;
    const int status = store.copyAll(service, &entries);
    std::sort(entries.begin(), entries.end(),
              [](const KeychainEntry& a, const KeychainEntry& b) { return a.account < b.account; });
    return status == KeychainStatus::success ? entries : QList<KeychainEntry>{{"<unreadable>", {}}};
}

}  // namespace

Q_DECLARE_METATYPE(QList<tandrel::KeychainEntry>)

class KeychainStartTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Must run first: the keyring is not running until somebody asks for it.
    void activatableKeyringIsChosenAndKeepsItemsAcrossStarts()
    {
        QVERIFY2(!secretServiceRuns(), "the keyring must not run before the first start");
        QVERIFY(QDBusConnection::sessionBus().interface()->activatableServiceNames().value().contains(
            QStringLiteral("org.freedesktop.secrets")));
        const QString filePath = KeychainStore::fileStorePath(kCurrent);
        {
            CapturedOutput output;
            const std::shared_ptr<KeychainStore> first = KeychainStore::openSystemStore();
            QVERIFY(secretServiceRuns());
            QVERIFY(output.lines().filter(QStringLiteral("No Secret Service")).isEmpty());
            QVERIFY(!Keychain(kCurrent, first).set(QStringLiteral("token-1"), QStringLiteral("token")));
        }
        const std::shared_ptr<KeychainStore> second = KeychainStore::openSystemStore();
        QCOMPARE(Keychain(kCurrent, second).get(QStringLiteral("token")), QStringLiteral("token-1"));
        QVERIFY(!QFile::exists(filePath));
        QVERIFY(!second->removeAll(kCurrent));
    }

    // The file holds what a start without the keyring could not put there; whatever the
    // keyring holds was written since (a log-in as someone else after the unlock), so the
    // file fills only the gaps and never brings the earlier account back.
    void fileItemsMoveOnceOnlyWhereTheKeyringHasNone()
    {
        const QString filePath = KeychainStore::fileStorePath(kCurrent);
        const std::shared_ptr<KeychainStore> keyring = KeychainStore::makeSecretServiceStore();
        QVERIFY(keyring);
        QVERIFY(!Keychain(kCurrent, keyring).set(QStringLiteral("newer-token"), QStringLiteral("token")));
        QVERIFY(!Keychain(kCurrent, keyring).set(QStringLiteral("newer@example.org"), QStringLiteral("email")));
        const std::shared_ptr<KeychainStore> file = KeychainStore::makeFileStore(filePath);
        QVERIFY(!Keychain(kCurrent, file).set(QStringLiteral("stale-token"), QStringLiteral("token")));
        QVERIFY(!Keychain(kCurrent, file).set(QStringLiteral("stale@example.org"), QStringLiteral("email")));
        QVERIFY(!Keychain(kCurrent, file).set(QStringLiteral("DEVICE-ID"), QStringLiteral("uid")));

        {
            CapturedOutput output;
            const std::shared_ptr<KeychainStore> started = KeychainStore::openSystemStore();
            QCOMPARE(output.lines(),
                     QStringList{QStringLiteral("Moved keychain items from %1 into the Secret Service").arg(filePath)});
            const QList<KeychainEntry> expected = {{QStringLiteral("email"), "newer@example.org"},
                                                   {QStringLiteral("token"), "newer-token"},
                                                   {QStringLiteral("uid"), "DEVICE-ID"}};
            QCOMPARE(itemsOf(*started, kCurrent), expected);
            QVERIFY2(!QFile::exists(filePath), "the file copy of the secrets is wiped");
        }
        {
            CapturedOutput output;
            const std::shared_ptr<KeychainStore> again = KeychainStore::openSystemStore();
            QVERIFY(output.lines().isEmpty());
            QCOMPARE(itemsOf(*again, kCurrent).size(), 3);
        }
        QVERIFY(!keyring->removeAll(kCurrent));
    }

    void legacyItemsMoveOnceToTheCurrentIdentifier_data()
    {
        QTest::addColumn<bool>("currentInUse");
        QTest::newRow("current place empty: moved") << false;
        QTest::newRow("current place in use: left alone") << true;
    }

    void legacyItemsMoveOnceToTheCurrentIdentifier()
    {
        QFETCH(bool, currentInUse);
        const std::shared_ptr<KeychainStore> keyring = KeychainStore::makeSecretServiceStore();
        QVERIFY(keyring);
        QVERIFY(storeAsBuildOf(kLegacy, QStringLiteral("token"), "legacy-token"));
        const QString legacyFile = KeychainStore::fileStorePath(kLegacy);
        QVERIFY(!Keychain(kLegacy, KeychainStore::makeFileStore(legacyFile))
                     .set(QStringLiteral("legacy-pass"), QStringLiteral("vpnPassword")));
        if (currentInUse) {
            QVERIFY(!Keychain(kCurrent, keyring).set(QStringLiteral("new-token"), QStringLiteral("token")));
        }

        KeychainStore::moveLegacyItems(*keyring, kLegacy, legacyFile, kCurrent);
        KeychainStore::moveLegacyItems(*keyring, kLegacy, legacyFile, kCurrent);  // a second start

        if (currentInUse) {
            QCOMPARE(itemsOf(*keyring, kCurrent), (QList<KeychainEntry>{{QStringLiteral("token"), "new-token"}}));
            QCOMPARE(itemsOf(*keyring, kLegacy).size(), 1);
            QVERIFY(QFile::exists(legacyFile));
        } else {
            QCOMPARE(itemsOf(*keyring, kCurrent),
                     (QList<KeychainEntry>{{QStringLiteral("token"), "legacy-token"},
                                           {QStringLiteral("vpnPassword"), "legacy-pass"}}));
            QCOMPARE(itemsOf(*keyring, kLegacy), QList<KeychainEntry>());
            QVERIFY(!QFile::exists(legacyFile));
        }
        QVERIFY(!keyring->removeAll(kCurrent));
        QVERIFY(!keyring->removeAll(kLegacy));
        QFile::remove(legacyFile);
    }
};

TANDREL_TEST_MAIN_CORE(KeychainStartTest)
#include "tst_keychainstart.moc"
