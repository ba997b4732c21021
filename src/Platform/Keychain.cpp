#include "Platform/Keychain.h"

#include "BuildConfig.h"
#include "Platform/Diagnostics.h"
#include "Platform/FileKeychainStore.h"
#include "Platform/MainQueue.h"

#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStringDecoder>

#include <mutex>
#include <vector>

namespace tandrel {

namespace {

struct SystemStore {
    std::mutex lock;
    std::shared_ptr<KeychainStore> current;
    std::optional<QString> fallbackFilePath;
    // Stores replaced by setSystem() stay alive: a caller may still hold the reference
    // that system() gave it.
    std::vector<std::shared_ptr<KeychainStore>> retired;
};

SystemStore& systemStore()
{
    static SystemStore* const instance = new SystemStore;
    return *instance;
}

// Copies every item of `fromService` in `from` to `toService` in `to` (replacing what is
// there), then removes them from `from`. Nothing is removed unless every item arrived.
int moveItems(KeychainStore& from, const QString& fromService, KeychainStore& to, const QString& toService)
{
    QList<KeychainEntry> entries;
    if (const int status = from.copyAll(fromService, &entries); status != KeychainStatus::success) {
        return status;
    }
    for (const KeychainEntry& entry : std::as_const(entries)) {
        int status = to.update(toService, entry.account, entry.data);
        if (status == KeychainStatus::itemNotFound) {
            status = to.add(toService, entry.account, entry.data, nullptr);
        }
        if (status != KeychainStatus::success) {
            return status;
        }
    }
    return entries.isEmpty() ? KeychainStatus::success : from.removeAll(fromService);
}

// Moves the items a start without the keyring left in the file into the keyring, but only
// where the keyring holds no item of that account: the file is what an earlier start
// could not put there, and whatever the keyring has was written since (a log-in after
// the unlock) or is as good. Nothing is decided while the keyring is locked.
int moveFileItems(KeychainStore& file, KeychainStore& keyring, const QString& service)
{
    QList<KeychainEntry> entries;
    if (const int status = file.copyAll(service, &entries); status != KeychainStatus::success) {
        return status;
    }
    for (const KeychainEntry& entry : std::as_const(entries)) {
        int status = keyring.copyMatching(service, entry.account, nullptr);
        if (status == KeychainStatus::itemNotFound) {
            status = keyring.add(service, entry.account, entry.data, nullptr);
        }
        if (status != KeychainStatus::success) {
            return status;
        }
    }
    return entries.isEmpty() ? KeychainStatus::success : file.removeAll(service);
}

QString currentService()
{
    return QString::fromUtf8(BuildConfig::bundleIdentifier);
}

}  // namespace

QString KeychainStore::fileStorePath(const QString& bundleIdentifier)
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QLatin1Char('/') + bundleIdentifier +
           QStringLiteral("/keychain");
}

void KeychainStore::requestAccess(std::function<void(int status)> done)
{
    if (done) {
        MainQueue::async([done = std::move(done)] { done(KeychainStatus::success); });
    }
}

int KeychainStore::copyAll(const QString&, QList<KeychainEntry>*)
{
    return KeychainStatus::notAvailable;
}

int KeychainStore::removeAll(const QString&)
{
    return KeychainStatus::notAvailable;
}

void KeychainStore::moveLegacyItems(KeychainStore& store, const QString& legacyService, const QString& legacyFilePath,
                                    const QString& currentService)
{
    if (legacyService.isEmpty() || legacyService == currentService) {
        return;
    }
    // Nothing to move, or nothing that can be read now (a locked keyring): a later start tries again.
    QList<KeychainEntry> legacyItems;
    const bool inStore =
        store.copyAll(legacyService, &legacyItems) == KeychainStatus::success && !legacyItems.isEmpty();
    if (!inStore && !QFileInfo::exists(legacyFilePath)) {
        return;
    }
    QList<KeychainEntry> present;
    if (store.copyAll(currentService, &present) != KeychainStatus::success || !present.isEmpty()) {
        return;  // the current place is in use (or cannot be read): nothing moves
    }
    int status = moveItems(store, legacyService, store, currentService);
    if (QFileInfo::exists(legacyFilePath)) {
        auto legacyFile = makeFileStore(legacyFilePath);
        const int fileStatus = moveItems(*legacyFile, legacyService, store, currentService);
        status = status == KeychainStatus::success ? fileStatus : status;
    }
    if (status == KeychainStatus::success) {
        printLine(QStringLiteral("Moved keychain items from %1 to %2").arg(legacyService, currentService));
    } else {
        printLine(QStringLiteral("Keychain items of %1 could not all be moved to %2: %3")
                      .arg(legacyService, currentService, keychainError(status).description()));
    }
}

std::shared_ptr<KeychainStore> KeychainStore::openSystemStore()
{
    const QString service = currentService();
    const QString filePath = fileStorePath(service);
    std::shared_ptr<KeychainStore> chosen = makeSecretServiceStore();
    if (chosen) {
        // A start without the Secret Service (or an older version) kept items in the file;
        // they move once, so the next start finds them, and no secret stays on disk.
        if (QFileInfo::exists(filePath)) {
            auto file = makeFileStore(filePath);
            const int status = moveFileItems(*file, *chosen, service);
            if (status == KeychainStatus::success) {
                QList<KeychainEntry> left;
                if (file->copyAll(service, &left) == KeychainStatus::success && left.isEmpty()) {
                    QFile::remove(filePath);
                }
                printLine(QStringLiteral("Moved keychain items from %1 into the Secret Service").arg(filePath));
            } else if (status == KeychainStatus::noDefaultKeychain) {
                // The person declined to make a keyring: the file stays the store.
                printLine(QStringLiteral("The Secret Service has no keyring; keeping keychain items in %1")
                              .arg(filePath));
                chosen = file;
            } else {
                printLine(QStringLiteral("Keychain items in %1 could not be moved into the Secret Service yet: %2")
                              .arg(filePath, keychainError(status).description()));
            }
        }
    } else {
        printLine(QStringLiteral("No Secret Service on the session bus; keeping keychain items in %1").arg(filePath));
        chosen = makeFileStore(filePath);
    }
    const QString legacy = QString::fromUtf8(BuildConfig::legacyBundleIdentifier);
    moveLegacyItems(*chosen, legacy, fileStorePath(legacy), service);
    return chosen;
}

std::optional<QString> KeychainStore::fallbackFilePath()
{
    SystemStore& shared = systemStore();
    std::lock_guard guard(shared.lock);
    return shared.fallbackFilePath;
}

Error keychainError(int status)
{
    return Error(kOSStatusErrorDomain, status, {});
}

KeychainStore& KeychainStore::system()
{
    SystemStore& shared = systemStore();
    std::lock_guard guard(shared.lock);
    if (!shared.current) {
        shared.current = openSystemStore();
        if (dynamic_cast<FileKeychainStore*>(shared.current.get())) {
            shared.fallbackFilePath = static_cast<FileKeychainStore*>(shared.current.get())->filePath();
        }
    }
    return *shared.current;
}

void KeychainStore::useFileStore()
{
    const QString path = fileStorePath(currentService());
    printLine(QStringLiteral("No keyring was made; keeping keychain items in %1").arg(path));
    SystemStore& shared = systemStore();
    std::lock_guard guard(shared.lock);
    if (shared.current) {
        shared.retired.push_back(std::move(shared.current));
    }
    shared.current = makeFileStore(path);
    shared.fallbackFilePath = path;
}

void KeychainStore::setSystem(std::shared_ptr<KeychainStore> store)
{
    SystemStore& shared = systemStore();
    std::lock_guard guard(shared.lock);
    if (shared.current) {
        shared.retired.push_back(std::move(shared.current));
    }
    shared.current = std::move(store);
    shared.fallbackFilePath.reset();
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
