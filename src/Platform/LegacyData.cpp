#include "Platform/LegacyData.h"

#include "Platform/Diagnostics.h"
#include "Platform/Keychain.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

namespace tandrel::LegacyData {
namespace {

QString settingsPath(const QString& id)
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QLatin1Char('/') + id +
           QStringLiteral("/settings.conf");
}

void moveSettings(const QString& legacyId, const QString& currentId)
{
    const QString from = settingsPath(legacyId);
    const QString to = settingsPath(currentId);
    if (!QFileInfo::exists(from) || QFileInfo::exists(to)) {
        return;
    }
    if (!QDir().mkpath(QFileInfo(to).absolutePath()) || !QFile::rename(from, to)) {
        printLine(QStringLiteral("Could not move the settings %1 to %2; they stay where they are").arg(from, to));
        return;
    }
    QDir().rmdir(QFileInfo(from).absolutePath());  // only when nothing else is left there
}

// Where the old id's items are: the Secret Service where one answers (as the program's own
// store is), else the old id's keychain file, if there is one.
std::shared_ptr<KeychainStore> legacyStore(const QString& legacyId)
{
    if (std::shared_ptr<KeychainStore> store = KeychainStore::makeSecretServiceStore(legacyId)) {
        return store;
    }
    const QString file = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QLatin1Char('/') +
                         legacyId + QStringLiteral("/keychain");
    return QFileInfo::exists(file) ? KeychainStore::makeFileStore(file) : nullptr;
}

void moveKeychainItems(const QString& legacyId, const QString& currentId, const QStringList& accounts)
{
    const std::shared_ptr<KeychainStore> store = legacyStore(legacyId);
    if (!store) {
        return;
    }
    const Keychain from(legacyId, store);
    Keychain to(currentId);
    for (const QString& account : accounts) {
        const std::optional<QString> value = from[account];
        if (!value) {
            continue;
        }
        if (!to[account]) {
            if (const std::optional<Error> error = to.set(*value, account)) {
                printLine(QStringLiteral("Could not move the keychain item %1 to %2: %3")
                              .arg(account, currentId, error->description()));
                continue;
            }
        }
        Keychain(legacyId, store).remove(account);
    }
}

}  // namespace

void migrate(const QString& legacyId, const QString& currentId, const QStringList& accounts)
{
    if (legacyId.isEmpty() || legacyId == currentId) {
        return;
    }
    moveSettings(legacyId, currentId);
    moveKeychainItems(legacyId, currentId, accounts);
}

}  // namespace tandrel::LegacyData
