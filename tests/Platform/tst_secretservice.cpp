// Runs against a real GNOME Keyring in a private D-Bus session (with-secret-service.sh).
#include "BuildConfig.h"
#include "KeychainStoreContract.h"
#include "Platform/Keychain.h"
#include "support/CapturedOutput.h"
#include "support/TestMain.h"

#pragma push_macro("signals")
#undef signals
#include <libsecret/secret.h>
#pragma pop_macro("signals")

using namespace tandrel;
using tandrel::testing::CapturedOutput;

namespace {

// What another program on the desktop would find in the keyring for service and account.
std::optional<QString> lookUpFromOutside(const QString& service, const QString& account)
{
    // No schema: match by the attributes alone, as any other program could.
    GHashTable* attributes = g_hash_table_new(g_str_hash, g_str_equal);
    const QByteArray serviceText = service.toUtf8();
    const QByteArray accountText = account.toUtf8();
    g_hash_table_insert(attributes, const_cast<char*>("service"), const_cast<char*>(serviceText.constData()));
    g_hash_table_insert(attributes, const_cast<char*>("account"), const_cast<char*>(accountText.constData()));
    GError* error = nullptr;
    gchar* secret = secret_password_lookupv_sync(nullptr, attributes, nullptr, &error);
    g_hash_table_unref(attributes);
    g_clear_error(&error);
    if (!secret) {
        return std::nullopt;
    }
    const QString text = QString::fromUtf8(secret);
    secret_password_free(secret);
    return text;
}

// Calls `act` with the keyring's default collection; false when there is none yet.
template <typename Action>
bool withDefaultCollection(Action act)
{
    GError* error = nullptr;
    SecretService* service = secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, &error);
    if (!service) {
        g_clear_error(&error);
        return false;
    }
    SecretCollection* collection =
        secret_collection_for_alias_sync(service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, &error);
    g_clear_error(&error);
    const bool done = collection && act(service, collection);
    if (collection) {
        g_object_unref(collection);
    }
    g_object_unref(service);
    return done;
}

bool lockDefaultCollection()
{
    return withDefaultCollection([](SecretService* service, SecretCollection* collection) {
        GList objects = {collection, nullptr, nullptr};
        GError* error = nullptr;
        const gint locked = secret_service_lock_sync(service, &objects, nullptr, nullptr, &error);
        g_clear_error(&error);
        return locked == 1;
    });
}

}  // namespace

class SecretServiceKeychainTest : public tandrel::testing::KeychainStoreContract {
    Q_OBJECT
private:
    std::shared_ptr<KeychainStore> makeStore() override { return KeychainStore::makeSecretServiceStore(); }
    std::shared_ptr<KeychainStore> reopenStore() override { return KeychainStore::makeSecretServiceStore(); }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(qEnvironmentVariableIsSet("DBUS_SESSION_BUS_ADDRESS"), "run this test through with-secret-service.sh");
        // The keyring daemon may still be taking its name on the bus and making its collection.
        QTRY_VERIFY_WITH_TIMEOUT(KeychainStore::makeSecretServiceStore() != nullptr, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(withDefaultCollection([](SecretService*, SecretCollection*) { return true; }), 10000);
    }

    void systemStoreIsTheSecretServiceWithoutAWord()
    {
        CapturedOutput output;
        const QString service = QString::fromUtf8(BuildConfig::bundleIdentifier);
        Keychain keychain(service);
        QCOMPARE(keychain.set(QStringLiteral("me@example.com"), QStringLiteral("email")), std::nullopt);
        QCOMPARE(output.lines(), QStringList());
        QCOMPARE(lookUpFromOutside(service, QStringLiteral("email")), QStringLiteral("me@example.com"));
        QCOMPARE(keychain.remove(QStringLiteral("email")), std::nullopt);
        QCOMPARE(lookUpFromOutside(service, QStringLiteral("email")), std::nullopt);
    }

    void referenceIsTheItemsObjectPath()
    {
        QByteArray reference;
        QCOMPARE(m_store->add(m_service, QStringLiteral("vpnPassword"), "pw", &reference), KeychainStatus::success);
        QVERIFY2(reference.startsWith("/org/freedesktop/secrets/collection/"), reference.constData());
        QVERIFY(g_variant_is_object_path(reference.constData()));
    }

    // Last on purpose: nothing can unlock the collection again without a prompt.
    void lockedKeyringAnswersAtOnceInsteadOfPrompting()
    {
        Keychain keychain(m_service, m_store);
        QCOMPARE(keychain.set(QStringLiteral("secret"), QStringLiteral("token")), std::nullopt);
        KeychainItem item;
        QCOMPARE(m_store->copyMatching(m_service, QStringLiteral("token"), &item), KeychainStatus::success);
        QVERIFY(lockDefaultCollection());

        const int locked = KeychainStatus::interactionNotAllowed;
        KeychainItem unread;
        QCOMPARE(m_store->copyMatching(m_service, QStringLiteral("token"), &unread), locked);
        QCOMPARE(m_store->copyByReference(item.persistentReference, &unread), locked);
        QCOMPARE(m_store->update(m_service, QStringLiteral("token"), "new"), locked);
        QCOMPARE(m_store->add(m_service, QStringLiteral("fresh"), "new", nullptr), locked);
        QCOMPARE(m_store->remove(m_service, QStringLiteral("token")), locked);

        std::optional<Error> error;
        QCOMPARE(keychain.get(QStringLiteral("token"), &error), std::nullopt);
        QCOMPARE(error, keychainError(locked));
        QCOMPARE(keychain.set(QStringLiteral("other"), QStringLiteral("token")), keychainError(locked));
        QCOMPARE(keychain.remove(QStringLiteral("token")), keychainError(locked));
    }
};

TANDREL_TEST_MAIN_CORE(SecretServiceKeychainTest)
#include "tst_secretservice.moc"
