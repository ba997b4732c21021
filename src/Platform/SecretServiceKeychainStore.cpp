#include "Platform/SecretServiceKeychainStore.h"

#include "BuildConfig.h"
#include "Platform/SessionBus.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QUuid>

// GLib's headers use "signals" as a member name, which Qt defines as a keyword.
#pragma push_macro("signals")
#undef signals
#include <libsecret/secret.h>
#pragma pop_macro("signals")

namespace tandrel {

namespace {

const char* const kSecretServiceName = "org.freedesktop.secrets";
constexpr int kBusProbeTimeoutMs = 3000;

// Asks the bus whether the Secret Service is running now; a service that would only be
// started on demand does not count, since starting it may bring up an unlock prompt.
bool secretServiceIsRunning()
{
    const QString address = sessionBusAddress();
    if (address.isEmpty()) {
        return false;
    }
    const QString connectionName =
        QStringLiteral("tandrel-secret-service-probe-") + QUuid::createUuid().toString(QUuid::Id128);
    bool running = false;
    {
        QDBusConnection bus = QDBusConnection::connectToBus(address, connectionName);
        if (bus.isConnected()) {
            QDBusMessage call = QDBusMessage::createMethodCall(
                QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
            call << QString::fromLatin1(kSecretServiceName);
            const QDBusMessage reply = bus.call(call, QDBus::Block, kBusProbeTimeoutMs);
            running = reply.type() == QDBusMessage::ReplyMessage && reply.arguments().value(0).toBool();
        }
    }
    QDBusConnection::disconnectFromBus(connectionName);
    return running;
}

// Attributes "service" and "account" under one schema name of our own, so that a search
// finds only our generic-password items.
const SecretSchema* genericPasswordSchema()
{
    static const QByteArray name = QByteArray(BuildConfig::bundleIdentifier) + ".GenericPassword";
    static const SecretSchema schema = {name.constData(),
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
    return &schema;
}

// The attributes of one item of ours, or (without arguments) of all of them.
GHashTable* attributesFor()
{
    return secret_attributes_build(genericPasswordSchema(), nullptr);
}

GHashTable* attributesFor(const QString& service, const QString& account)
{
    GHashTable* attributes = attributesFor();
    g_hash_table_replace(attributes, g_strdup("service"), g_strdup(service.toUtf8().constData()));
    g_hash_table_replace(attributes, g_strdup("account"), g_strdup(account.toUtf8().constData()));
    return attributes;
}

GQuark promptRefusedQuark()
{
    return g_quark_from_static_string("tandrel-keychain-prompt-refused");
}

// A service object whose prompts are refused at once instead of shown.
GVariant* refusePromptSync(SecretService*, SecretPrompt*, GCancellable*, const GVariantType*, GError** error)
{
    g_set_error_literal(error, promptRefusedQuark(), 1, "the keychain would have to ask the user");
    return nullptr;
}

void refusePromptAsync(SecretService* self, SecretPrompt*, const GVariantType*, GCancellable* cancellable,
                       GAsyncReadyCallback callback, gpointer userData)
{
    GTask* task = g_task_new(self, cancellable, callback, userData);
    g_task_return_new_error(task, promptRefusedQuark(), 1, "the keychain would have to ask the user");
    g_object_unref(task);
}

GVariant* refusePromptFinish(SecretService*, GAsyncResult* result, GError** error)
{
    return static_cast<GVariant*>(g_task_propagate_pointer(G_TASK(result), error));
}

void initRefusingServiceClass(gpointer klass, gpointer)
{
    auto* serviceClass = static_cast<SecretServiceClass*>(klass);
    serviceClass->prompt_sync = refusePromptSync;
    serviceClass->prompt_async = refusePromptAsync;
    serviceClass->prompt_finish = refusePromptFinish;
}

GType refusingServiceType()
{
    static const GType type = [] {
        GTypeQuery parent;
        g_type_query(SECRET_TYPE_SERVICE, &parent);
        return g_type_register_static_simple(SECRET_TYPE_SERVICE, "TandrelRefusingSecretService", parent.class_size,
                                             initRefusingServiceClass, parent.instance_size, nullptr, GTypeFlags(0));
    }();
    return type;
}

int statusFor(GError* error)
{
    if (!error) {
        return KeychainStatus::notAvailable;
    }
    if (error->domain == promptRefusedQuark() || g_error_matches(error, SECRET_ERROR, SECRET_ERROR_IS_LOCKED)) {
        return KeychainStatus::interactionNotAllowed;
    }
    if (g_error_matches(error, SECRET_ERROR, SECRET_ERROR_NO_SUCH_OBJECT)) {
        return KeychainStatus::itemNotFound;
    }
    if (g_dbus_error_is_remote_error(error)) {
        gchar* remote = g_dbus_error_get_remote_error(error);
        const QByteArray name(remote);
        g_free(remote);
        if (name == "org.freedesktop.Secret.Error.IsLocked") {
            return KeychainStatus::interactionNotAllowed;
        }
        if (name == "org.freedesktop.Secret.Error.NoSuchObject" || name == "org.freedesktop.DBus.Error.UnknownObject" ||
            name == "org.freedesktop.DBus.Error.UnknownMethod") {
            return KeychainStatus::itemNotFound;
        }
    }
    return KeychainStatus::notAvailable;
}

// Takes over a GError and gives its status.
int consume(GError* error)
{
    const int status = statusFor(error);
    g_clear_error(&error);
    return status;
}

SecretValue* newValue(const QByteArray& data)
{
    return secret_value_new(data.constData(), data.size(), "application/octet-stream");
}

QByteArray referenceOf(SecretItem* item)
{
    return QByteArray(g_dbus_proxy_get_object_path(G_DBUS_PROXY(item)));
}

void release(const QList<SecretItem*>& items)
{
    for (SecretItem* item : items) {
        g_object_unref(item);
    }
}

}  // namespace

std::shared_ptr<SecretServiceKeychainStore> SecretServiceKeychainStore::connect()
{
    if (!secretServiceIsRunning()) {
        return nullptr;
    }
    GError* error = nullptr;
    SecretService* service =
        secret_service_open_sync(refusingServiceType(), nullptr, SECRET_SERVICE_OPEN_SESSION, nullptr, &error);
    if (!service) {
        g_clear_error(&error);
        return nullptr;
    }
    return std::shared_ptr<SecretServiceKeychainStore>(new SecretServiceKeychainStore(service));
}

SecretServiceKeychainStore::SecretServiceKeychainStore(SecretService* service) : m_service(service) {}

SecretServiceKeychainStore::~SecretServiceKeychainStore()
{
    g_object_unref(m_service);
}

// Every matching item, unlocked ones first. The search never unlocks anything.
int SecretServiceKeychainStore::search(GHashTable* attributes, QList<SecretItem*>* items)
{
    GError* error = nullptr;
    GList* found =
        secret_service_search_sync(m_service, genericPasswordSchema(), attributes, SECRET_SEARCH_ALL, nullptr, &error);
    g_hash_table_unref(attributes);
    if (error) {
        return consume(error);
    }
    QList<SecretItem*> locked;
    for (GList* entry = found; entry; entry = entry->next) {
        auto* item = static_cast<SecretItem*>(entry->data);
        (secret_item_get_locked(item) ? locked : *items) << item;
    }
    g_list_free(found);
    *items << locked;
    return items->isEmpty() ? KeychainStatus::itemNotFound : KeychainStatus::success;
}

int SecretServiceKeychainStore::find(const QString& service, const QString& account, QList<SecretItem*>* items)
{
    return search(attributesFor(service, account), items);
}

int SecretServiceKeychainStore::read(SecretItem* item, KeychainItem* result)
{
    if (secret_item_get_locked(item)) {
        return KeychainStatus::interactionNotAllowed;
    }
    GError* error = nullptr;
    if (!secret_item_load_secret_sync(item, nullptr, &error)) {
        return consume(error);
    }
    SecretValue* value = secret_item_get_secret(item);
    if (!value) {
        return KeychainStatus::decode;
    }
    gsize length = 0;
    const gchar* bytes = secret_value_get(value, &length);
    if (result) {
        result->persistentReference = referenceOf(item);
        result->data = QByteArray(bytes, static_cast<qsizetype>(length));
    }
    secret_value_unref(value);
    return KeychainStatus::success;
}

int SecretServiceKeychainStore::copyMatching(const QString& service, const QString& account, KeychainItem* item)
{
    QMutexLocker locker(&m_lock);
    QList<SecretItem*> items;
    int status = find(service, account, &items);
    if (status == KeychainStatus::success) {
        status = read(items.constFirst(), item);
    }
    release(items);
    return status;
}

int SecretServiceKeychainStore::add(const QString& service, const QString& account, const QByteArray& data,
                                    QByteArray* persistentReference)
{
    QMutexLocker locker(&m_lock);
    QList<SecretItem*> existing;
    const int lookup = find(service, account, &existing);
    release(existing);
    if (lookup == KeychainStatus::success) {
        return KeychainStatus::duplicateItem;
    }
    if (lookup != KeychainStatus::itemNotFound) {
        return lookup;
    }

    GError* error = nullptr;
    SecretCollection* collection =
        secret_collection_for_alias_sync(m_service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, &error);
    if (!collection) {
        // No default collection: making one would ask the user for a password.
        return error ? consume(error) : KeychainStatus::notAvailable;
    }
    if (secret_collection_get_locked(collection)) {
        g_object_unref(collection);
        return KeychainStatus::interactionNotAllowed;
    }
    GHashTable* attributes = attributesFor(service, account);
    const QByteArray label = (account + QStringLiteral(" (") + service + QLatin1Char(')')).toUtf8();
    SecretValue* value = newValue(data);
    SecretItem* item = secret_item_create_sync(collection, genericPasswordSchema(), attributes, label.constData(),
                                               value, SECRET_ITEM_CREATE_NONE, nullptr, &error);
    secret_value_unref(value);
    g_hash_table_unref(attributes);
    g_object_unref(collection);
    if (!item) {
        return consume(error);
    }
    if (persistentReference) {
        *persistentReference = referenceOf(item);
    }
    g_object_unref(item);
    return KeychainStatus::success;
}

int SecretServiceKeychainStore::update(const QString& service, const QString& account, const QByteArray& data)
{
    QMutexLocker locker(&m_lock);
    QList<SecretItem*> items;
    int status = find(service, account, &items);
    if (status == KeychainStatus::success) {
        SecretItem* item = items.constFirst();
        if (secret_item_get_locked(item)) {
            status = KeychainStatus::interactionNotAllowed;
        } else {
            GError* error = nullptr;
            SecretValue* value = newValue(data);
            if (!secret_item_set_secret_sync(item, value, nullptr, &error)) {
                status = consume(error);
            }
            secret_value_unref(value);
        }
    }
    release(items);
    return status;
}

int SecretServiceKeychainStore::remove(const QString& service, const QString& account)
{
    QMutexLocker locker(&m_lock);
    QList<SecretItem*> items;
    int status = find(service, account, &items);
    for (SecretItem* item : std::as_const(items)) {
        if (status != KeychainStatus::success) {
            break;
        }
        if (secret_item_get_locked(item)) {
            status = KeychainStatus::interactionNotAllowed;
            break;
        }
        GError* error = nullptr;
        if (!secret_item_delete_sync(item, nullptr, &error)) {
            status = consume(error);
        }
    }
    release(items);
    return status;
}

// Only our own items are looked at: a reference can never be used to read another
// program's secret.
int SecretServiceKeychainStore::copyByReference(const QByteArray& persistentReference, KeychainItem* item)
{
    QMutexLocker locker(&m_lock);
    QList<SecretItem*> items;
    int status = search(attributesFor(), &items);
    if (status == KeychainStatus::success) {
        const auto named = std::find_if(items.cbegin(), items.cend(), [&](SecretItem* candidate) {
            return !persistentReference.isEmpty() && referenceOf(candidate) == persistentReference;
        });
        status = named == items.cend() ? KeychainStatus::itemNotFound : read(*named, item);
    }
    release(items);
    return status;
}

std::shared_ptr<KeychainStore> KeychainStore::makeSecretServiceStore()
{
    return SecretServiceKeychainStore::connect();
}

}  // namespace tandrel
