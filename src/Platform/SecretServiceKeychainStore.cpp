#include "Platform/SecretServiceKeychainStore.h"

#include "BuildConfig.h"
#include "Platform/SessionBus.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QUuid>

// GLib's headers use "signals" as a member name, which Qt defines as a keyword.
#pragma push_macro("signals")
#undef signals
#include <libsecret/secret.h>
#pragma pop_macro("signals")

namespace tandrel {

// Waits for one Secret Service prompt's Completed signal, then goes.
class PromptAnswer : public QObject {
    Q_OBJECT
public:
    PromptAnswer(const QString& path, std::function<void(bool dismissed)> then)
        : m_path(path), m_then(std::move(then))
    {
    }

public Q_SLOTS:
    void completed(bool dismissed, const QDBusVariant&)
    {
        if (!m_then) {
            return;
        }
        std::exchange(m_then, {})(dismissed);
        deleteLater();
    }

private:
    QString m_path;
    std::function<void(bool)> m_then;
};

namespace {

const char* const kSecretServiceName = "org.freedesktop.secrets";
constexpr int kBusProbeTimeoutMs = 3000;
constexpr int kActivationTimeoutMs = 10000;

QDBusMessage busCall(const QString& method)
{
    return QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
                                          QStringLiteral("/org/freedesktop/DBus"),
                                          QStringLiteral("org.freedesktop.DBus"), method);
}

// Whether the Secret Service runs on the session bus, or can be started there by D-Bus
// activation as every desktop program does (at the start of a desktop session the keyring
// is often not running yet). Never launches a bus. A keyring started this way may well be
// locked: that is told apart from "absent" item by item, and unlocking is asked for
// without waiting (requestUnlock).
bool secretServiceReachable()
{
    const QString address = sessionBusAddress();
    if (address.isEmpty()) {
        return false;
    }
    const QString connectionName =
        QStringLiteral("tandrel-secret-service-probe-") + QUuid::createUuid().toString(QUuid::Id128);
    bool reachable = false;
    {
        QDBusConnection bus = QDBusConnection::connectToBus(address, connectionName);
        if (bus.isConnected()) {
            QDBusMessage hasOwner = busCall(QStringLiteral("NameHasOwner"));
            hasOwner << QString::fromLatin1(kSecretServiceName);
            QDBusMessage reply = bus.call(hasOwner, QDBus::Block, kBusProbeTimeoutMs);
            reachable = reply.type() == QDBusMessage::ReplyMessage && reply.arguments().value(0).toBool();
            if (!reachable) {
                reply = bus.call(busCall(QStringLiteral("ListActivatableNames")), QDBus::Block, kBusProbeTimeoutMs);
                const bool activatable =
                    reply.type() == QDBusMessage::ReplyMessage &&
                    reply.arguments().value(0).toStringList().contains(QString::fromLatin1(kSecretServiceName));
                if (activatable) {
                    QDBusMessage start = busCall(QStringLiteral("StartServiceByName"));
                    start << QString::fromLatin1(kSecretServiceName) << 0u;
                    reply = bus.call(start, QDBus::Block, kActivationTimeoutMs);
                    reachable = reply.type() == QDBusMessage::ReplyMessage;
                }
            }
        }
    }
    QDBusConnection::disconnectFromBus(connectionName);
    return reachable;
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

// The unique bus name of the daemon behind the Secret Service now; empty when none.
QByteArray currentOwner(SecretService* service)
{
    GDBusConnection* bus = g_dbus_proxy_get_connection(G_DBUS_PROXY(service));
    GVariant* reply = g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                  "org.freedesktop.DBus", "GetNameOwner",
                                                  g_variant_new("(s)", kSecretServiceName), G_VARIANT_TYPE("(s)"),
                                                  G_DBUS_CALL_FLAGS_NO_AUTO_START, kBusProbeTimeoutMs, nullptr, nullptr);
    if (!reply) {
        return {};
    }
    const gchar* name = nullptr;
    g_variant_get(reply, "(&s)", &name);
    const QByteArray owner(name);
    g_variant_unref(reply);
    return owner;
}

QByteArray schemaName()
{
    return QByteArray(genericPasswordSchema()->name);
}

// Whether an unlocked item is one of ours (by its schema name); no name asked: any item.
bool hasSchema(SecretItem* item, const QByteArray& name)
{
    if (name.isEmpty()) {
        return true;
    }
    gchar* itemSchema = secret_item_get_schema_name(item);
    const bool matches = itemSchema && name == itemSchema;
    g_free(itemSchema);
    return matches;
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

// Deletes the items, stopping at the first that is locked or refused.
int deleteAll(const QList<SecretItem*>& items)
{
    for (SecretItem* item : items) {
        if (secret_item_get_locked(item)) {
            return KeychainStatus::interactionNotAllowed;
        }
        GError* error = nullptr;
        if (!secret_item_delete_sync(item, nullptr, &error)) {
            return consume(error);
        }
    }
    return KeychainStatus::success;
}

}  // namespace

std::shared_ptr<SecretServiceKeychainStore> SecretServiceKeychainStore::connect()
{
    if (!secretServiceReachable()) {
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

SecretServiceKeychainStore::SecretServiceKeychainStore(SecretService* service)
    : m_service(service), m_owner(currentOwner(service))
{
}

SecretServiceKeychainStore::~SecretServiceKeychainStore()
{
    g_object_unref(m_service);
}

// Every matching item, unlocked ones first. The search never unlocks anything. It goes by
// the attributes alone: GNOME Keyring does not match "xdg:schema" against the items of a
// keyring that has been locked since it was loaded from disk, so a search by schema would
// take a locked session for no session at all. The schema is checked on each item that
// can be read instead (a locked one shows no attributes to check).
int SecretServiceKeychainStore::search(GHashTable* attributes, QList<SecretItem*>* items, const QByteArray& schemaName)
{
    GError* error = nullptr;
    followDaemon();
    GList* found = secret_service_search_sync(m_service, nullptr, attributes, SECRET_SEARCH_ALL, nullptr, &error);
    g_hash_table_unref(attributes);
    if (error) {
        return consume(error);
    }
    QList<SecretItem*> locked;
    for (GList* entry = found; entry; entry = entry->next) {
        auto* item = static_cast<SecretItem*>(entry->data);
        if (secret_item_get_locked(item)) {
            locked << item;
        } else if (hasSchema(item, schemaName)) {
            *items << item;
        } else {
            g_object_unref(item);
        }
    }
    g_list_free(found);
    *items << locked;
    return items->isEmpty() ? KeychainStatus::itemNotFound : KeychainStatus::success;
}

// After the keyring daemon restarted (while the program runs on), the service object still
// holds the transfer session of the daemon that is gone, and every secret read through it
// fails: a fresh one talks to the daemon that now owns the name.
void SecretServiceKeychainStore::followDaemon()
{
    const QByteArray owner = currentOwner(m_service);
    if (owner.isEmpty() || owner == m_owner) {
        return;
    }
    GError* error = nullptr;
    SecretService* fresh =
        secret_service_open_sync(refusingServiceType(), nullptr, SECRET_SERVICE_OPEN_SESSION, nullptr, &error);
    if (!fresh) {
        g_clear_error(&error);
        return;
    }
    g_object_unref(m_service);
    m_service = fresh;
    m_owner = owner;
}

int SecretServiceKeychainStore::find(const QString& service, const QString& account, QList<SecretItem*>* items)
{
    return search(attributesFor(service, account), items, schemaName());
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
        // No default collection: making one asks the user for a password (requestAccess).
        return error ? consume(error) : KeychainStatus::noDefaultKeychain;
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
    if (status == KeychainStatus::success) {
        status = deleteAll(items);
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
    int status = search(attributesFor(), &items, schemaName());
    if (status == KeychainStatus::success) {
        const auto named = std::find_if(items.cbegin(), items.cend(), [&](SecretItem* candidate) {
            return !persistentReference.isEmpty() && referenceOf(candidate) == persistentReference;
        });
        status = named == items.cend() ? KeychainStatus::itemNotFound : read(*named, item);
    }
    release(items);
    return status;
}

// Every item of a bundle identifier: its schema name and its "service" attribute, so the
// items of an earlier identifier are found too.
int SecretServiceKeychainStore::findService(const QString& service, QList<SecretItem*>* items)
{
    GHashTable* attributes = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free);
    g_hash_table_replace(attributes, g_strdup("service"), g_strdup(service.toUtf8().constData()));
    return search(attributes, items, (service + QStringLiteral(".GenericPassword")).toUtf8());
}

int SecretServiceKeychainStore::copyAll(const QString& service, QList<KeychainEntry>* entries)
{
    QMutexLocker locker(&m_lock);
    QList<SecretItem*> items;
    int status = findService(service, &items);
    if (status == KeychainStatus::itemNotFound) {
        return KeychainStatus::success;
    }
    for (SecretItem* item : std::as_const(items)) {
        if (status != KeychainStatus::success) {
            break;
        }
        KeychainItem read;
        status = this->read(item, &read);
        GHashTable* attributes = secret_item_get_attributes(item);
        const char* name = static_cast<const char*>(g_hash_table_lookup(attributes, "account"));
        if (status == KeychainStatus::success && entries) {
            entries->append({QString::fromUtf8(name ? name : ""), read.data});
        }
        g_hash_table_unref(attributes);
    }
    release(items);
    return status;
}

int SecretServiceKeychainStore::removeAll(const QString& service)
{
    QMutexLocker locker(&m_lock);
    QList<SecretItem*> items;
    int status = findService(service, &items);
    if (status == KeychainStatus::itemNotFound) {
        return KeychainStatus::success;
    }
    if (status == KeychainStatus::success) {
        status = deleteAll(items);
    }
    release(items);
    return status;
}

void SecretServiceKeychainStore::requestUnlock()
{
    requestAccess({});
}

// Unlocks the default collection, or makes it when there is none, each through the
// Secret Service's own prompt, which it shows as the desktop's dialog once asked to.
// Nothing here waits for the person: each step is an asynchronous call on the main loop,
// and the callers hear the outcome when the prompt completes.
void SecretServiceKeychainStore::requestAccess(std::function<void(int status)> done)
{
    if (done) {
        m_accessWaiting.push_back(std::move(done));
    }
    if (m_unlockAsked.exchange(true)) {
        return;  // one prompt at a time; this caller hears its outcome too
    }
    QDBusConnection bus = QDBusConnection::connectToBus(sessionBusAddress(), QStringLiteral("tandrel-keyring-unlock"));
    auto finish = [this](int status) {
        m_unlockAsked = false;
        for (const std::function<void(int)>& waiting : std::exchange(m_accessWaiting, {})) {
            waiting(status);
        }
    };
    if (!bus.isConnected()) {
        finish(KeychainStatus::notAvailable);
        return;
    }
    const QString service = QString::fromLatin1(kSecretServiceName);
    const QString servicePath = QStringLiteral("/org/freedesktop/secrets");
    const QString serviceInterface = QStringLiteral("org.freedesktop.Secret.Service");
    const auto then = [](const QDBusPendingCall& call, std::function<void(const QDBusMessage&)> next) {
        auto* watcher = new QDBusPendingCallWatcher(call);
        QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher, [watcher, next = std::move(next)] {
            next(watcher->reply());
            watcher->deleteLater();
        });
    };
    const auto isNone = [](const QDBusObjectPath& path) {
        return path.path().isEmpty() || path.path() == QLatin1String("/");
    };
    // The prompt's answer arrives as its Completed signal; a dismissed prompt is a "no".
    const auto prompt = [=](const QDBusMessage& reply, int declined) {
        const QDBusObjectPath path = reply.arguments().value(1).value<QDBusObjectPath>();
        if (reply.type() != QDBusMessage::ReplyMessage) {
            finish(KeychainStatus::notAvailable);
            return;
        }
        if (isNone(path)) {
            finish(KeychainStatus::success);
            return;
        }
        auto* answer = new PromptAnswer(path.path(), [=](bool dismissed) {
            finish(dismissed ? declined : KeychainStatus::success);
        });
        QDBusConnection listening = bus;
        if (!listening.connect(service, path.path(), QStringLiteral("org.freedesktop.Secret.Prompt"),
                         QStringLiteral("Completed"), answer, SLOT(completed(bool, QDBusVariant)))) {
            delete answer;
            finish(KeychainStatus::notAvailable);
            return;
        }
        QDBusMessage show = QDBusMessage::createMethodCall(
            service, path.path(), QStringLiteral("org.freedesktop.Secret.Prompt"), QStringLiteral("Prompt"));
        show << QString();  // no parent window id
        then(bus.asyncCall(show), [=](const QDBusMessage& shown) {
            if (shown.type() != QDBusMessage::ReplyMessage) {
                answer->completed(true, {});
            }
        });
    };
    QDBusMessage readAlias =
        QDBusMessage::createMethodCall(service, servicePath, serviceInterface, QStringLiteral("ReadAlias"));
    readAlias << QStringLiteral("default");
    then(bus.asyncCall(readAlias), [=](const QDBusMessage& alias) {
        const QDBusObjectPath collection = alias.arguments().value(0).value<QDBusObjectPath>();
        if (alias.type() != QDBusMessage::ReplyMessage) {
            finish(KeychainStatus::notAvailable);
            return;
        }
        if (isNone(collection)) {
            // A Secret Service without a keyring yet (no login keyring was ever made): it
            // asks the person for the new keyring's password itself.
            QDBusMessage create = QDBusMessage::createMethodCall(service, servicePath, serviceInterface,
                                                                 QStringLiteral("CreateCollection"));
            const QVariantMap properties = {
                {QStringLiteral("org.freedesktop.Secret.Collection.Label"), QStringLiteral("Login")}};
            create << properties << QStringLiteral("default");
            then(bus.asyncCall(create), [=](const QDBusMessage& created) {
                prompt(created, KeychainStatus::noDefaultKeychain);
            });
            return;
        }
        QDBusMessage unlock =
            QDBusMessage::createMethodCall(service, servicePath, serviceInterface, QStringLiteral("Unlock"));
        unlock << QVariant::fromValue(QList<QDBusObjectPath>{collection});
        then(bus.asyncCall(unlock),
             [=](const QDBusMessage& unlocked) { prompt(unlocked, KeychainStatus::interactionNotAllowed); });
    });
}

std::shared_ptr<KeychainStore> KeychainStore::makeSecretServiceStore()
{
    return SecretServiceKeychainStore::connect();
}

}  // namespace tandrel

#include "SecretServiceKeychainStore.moc"
