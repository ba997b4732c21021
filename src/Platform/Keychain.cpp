#include "Platform/Keychain.h"

#include "BuildConfig.h"
#include "Platform/Diagnostics.h"
#include "Platform/FileKeychainStore.h"

#include <QStandardPaths>
#include <QStringDecoder>

#include <mutex>
#include <vector>

namespace tandrel {

namespace {

struct SystemStore {
    std::mutex lock;
    std::shared_ptr<KeychainStore> current;
    // Stores replaced by setSystem() stay alive: a caller may still hold the reference
    // that system() gave it.
    std::vector<std::shared_ptr<KeychainStore>> retired;
};

SystemStore& systemStore()
{
    static SystemStore* const instance = new SystemStore;
    return *instance;
}

QString defaultFileStorePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QLatin1Char('/') +
           QString::fromUtf8(BuildConfig::bundleIdentifier) + QStringLiteral("/keychain");
}

}  // namespace

Error keychainError(int status)
{
    return Error(kOSStatusErrorDomain, status, {});
}

KeychainStore& KeychainStore::system()
{
    SystemStore& shared = systemStore();
    std::lock_guard guard(shared.lock);
    if (!shared.current) {
        shared.current = makeSecretServiceStore();
        if (!shared.current) {
            const QString path = defaultFileStorePath();
            printLine(QStringLiteral("No Secret Service on the session bus; keeping keychain items in %1").arg(path));
            shared.current = makeFileStore(path);
        }
    }
    return *shared.current;
}

void KeychainStore::setSystem(std::shared_ptr<KeychainStore> store)
{
    SystemStore& shared = systemStore();
    std::lock_guard guard(shared.lock);
    if (shared.current) {
        shared.retired.push_back(std::move(shared.current));
    }
    shared.current = std::move(store);
}

Keychain::Keychain(QString service, std::shared_ptr<KeychainStore> store)
    : m_service(std::move(service)), m_store(std::move(store))
{
}

KeychainStore& Keychain::store() const
{
    return m_store ? *m_store : KeychainStore::system();
}

std::optional<Error> Keychain::set(const QString& value, const QString& account)
{
    KeychainStore& items = store();
    const QByteArray data = value.toUtf8();
    int status = items.update(m_service, account, data);
    if (status == KeychainStatus::itemNotFound) {
        status = items.add(m_service, account, data, nullptr);
        // Another thread added it in between: replace its value after all.
        if (status == KeychainStatus::duplicateItem) {
            status = items.update(m_service, account, data);
        }
    }
    if (status != KeychainStatus::success) {
        return keychainError(status);
    }
    return std::nullopt;
}

std::optional<QString> Keychain::get(const QString& account, std::optional<Error>* error) const
{
    if (error) {
        error->reset();
    }
    KeychainItem item;
    const int status = store().copyMatching(m_service, account, &item);
    if (status == KeychainStatus::itemNotFound) {
        return std::nullopt;
    }
    if (status != KeychainStatus::success) {
        if (error) {
            *error = keychainError(status);
        }
        return std::nullopt;
    }
    QStringDecoder utf8(QStringDecoder::Utf8);
    QString text = utf8(item.data);
    if (utf8.hasError()) {
        if (error) {
            *error = keychainError(KeychainStatus::decode);
        }
        return std::nullopt;
    }
    return text;
}

std::optional<Error> Keychain::remove(const QString& account)
{
    const int status = store().remove(m_service, account);
    if (status != KeychainStatus::success && status != KeychainStatus::itemNotFound) {
        return keychainError(status);
    }
    return std::nullopt;
}

}  // namespace tandrel
