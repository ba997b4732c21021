#include "Platform/FileKeychainStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QSaveFile>
#include <QUuid>

#include <fcntl.h>
#include <unistd.h>

namespace tandrel {

namespace {

// One lock for every file store: two stores on the same file in one process must not
// interleave their read-modify-write turns.
QMutex fileStoresLock;

constexpr QFileDevice::Permissions kOwnerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

struct StoredItem {
    QString service;
    QString account;
    QByteArray reference;
    QByteArray data;
};

}  // namespace

struct FileKeychainStore::Items {
    QList<StoredItem> list;

    StoredItem* find(const QString& service, const QString& account)
    {
        for (StoredItem& item : list) {
            if (item.service == service && item.account == account) {
                return &item;
            }
        }
        return nullptr;
    }
};

FileKeychainStore::FileKeychainStore(QString filePath) : m_filePath(std::move(filePath)) {}

// A file that is there but does not parse is reported, never treated as empty: the next
// write would otherwise wipe every credential in it.
int FileKeychainStore::read(Items* items) const
{
    QFile file(m_filePath);
    if (!file.exists()) {
        return KeychainStatus::success;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        return KeychainStatus::notAvailable;
    }
    const QByteArray bytes = file.readAll();
    if (bytes.trimmed().isEmpty()) {
        return KeychainStatus::success;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject() ||
        !document.object().value(QStringLiteral("items")).isArray()) {
        return KeychainStatus::decode;
    }
    const QJsonArray array = document.object().value(QStringLiteral("items")).toArray();
    for (const QJsonValue& value : array) {
        const QJsonObject object = value.toObject();
        const QJsonValue service = object.value(QStringLiteral("service"));
        const QJsonValue account = object.value(QStringLiteral("account"));
        const QJsonValue reference = object.value(QStringLiteral("reference"));
        const QJsonValue data = object.value(QStringLiteral("data"));
        if (!service.isString() || !account.isString() || !reference.isString() || !data.isString()) {
            return KeychainStatus::decode;
        }
        const auto decoded =
            QByteArray::fromBase64Encoding(data.toString().toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
        if (!decoded) {
            return KeychainStatus::decode;
        }
        items->list.append({service.toString(), account.toString(), reference.toString().toUtf8(), *decoded});
    }
    return KeychainStatus::success;
}

int FileKeychainStore::write(const Items& items) const
{
    const QFileInfo info(m_filePath);
    const QString folder = info.absolutePath();
    if (!QFileInfo::exists(folder)) {
        if (!QDir().mkpath(folder)) {
            return KeychainStatus::notAvailable;
        }
        QFile::setPermissions(folder, kOwnerOnly | QFileDevice::ExeOwner);
    }
    // QSaveFile gives the new file the old one's mode, so the file is made owner-only
    // before any secret goes into it; otherwise it would appear with the umask's 0644.
    if (!info.exists()) {
        const int fd = ::open(QFile::encodeName(m_filePath).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            ::close(fd);
        }
    }
    if (!QFile::setPermissions(m_filePath, kOwnerOnly)) {
        return KeychainStatus::notAvailable;
    }

    QJsonArray array;
    for (const StoredItem& item : items.list) {
        array.append(QJsonObject{
            {QStringLiteral("service"), item.service},
            {QStringLiteral("account"), item.account},
            {QStringLiteral("reference"), QString::fromUtf8(item.reference)},
            {QStringLiteral("data"), QString::fromLatin1(item.data.toBase64())},
        });
    }
    const QByteArray bytes =
        QJsonDocument(QJsonObject{{QStringLiteral("version"), 1}, {QStringLiteral("items"), array}}).toJson();

    QSaveFile file(m_filePath);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        return KeychainStatus::notAvailable;
    }
    return KeychainStatus::success;
}

int FileKeychainStore::copyMatching(const QString& service, const QString& account, KeychainItem* item)
{
    QMutexLocker locker(&fileStoresLock);
    Items items;
    if (const int status = read(&items); status != KeychainStatus::success) {
        return status;
    }
    const StoredItem* found = items.find(service, account);
    if (!found) {
        return KeychainStatus::itemNotFound;
    }
    if (item) {
        item->persistentReference = found->reference;
        item->data = found->data;
    }
    return KeychainStatus::success;
}

int FileKeychainStore::add(const QString& service, const QString& account, const QByteArray& data,
                           QByteArray* persistentReference)
{
    QMutexLocker locker(&fileStoresLock);
    Items items;
    if (const int status = read(&items); status != KeychainStatus::success) {
        return status;
    }
    if (items.find(service, account)) {
        return KeychainStatus::duplicateItem;
    }
    const QByteArray reference = QUuid::createUuid().toByteArray(QUuid::WithoutBraces);
    items.list.append({service, account, reference, data});
    if (const int status = write(items); status != KeychainStatus::success) {
        return status;
    }
    if (persistentReference) {
        *persistentReference = reference;
    }
    return KeychainStatus::success;
}

int FileKeychainStore::update(const QString& service, const QString& account, const QByteArray& data)
{
    QMutexLocker locker(&fileStoresLock);
    Items items;
    if (const int status = read(&items); status != KeychainStatus::success) {
        return status;
    }
    StoredItem* found = items.find(service, account);
    if (!found) {
        return KeychainStatus::itemNotFound;
    }
    found->data = data;
    return write(items);
}

int FileKeychainStore::remove(const QString& service, const QString& account)
{
    QMutexLocker locker(&fileStoresLock);
    Items items;
    if (const int status = read(&items); status != KeychainStatus::success) {
        return status;
    }
    const qsizetype removed =
        items.list.removeIf([&](const StoredItem& item) { return item.service == service && item.account == account; });
    if (removed == 0) {
        return KeychainStatus::itemNotFound;
    }
    return write(items);
}

int FileKeychainStore::copyByReference(const QByteArray& persistentReference, KeychainItem* item)
{
    QMutexLocker locker(&fileStoresLock);
    Items items;
    if (const int status = read(&items); status != KeychainStatus::success) {
        return status;
    }
    for (const StoredItem& stored : std::as_const(items.list)) {
        if (!persistentReference.isEmpty() && stored.reference == persistentReference) {
            if (item) {
                item->persistentReference = stored.reference;
                item->data = stored.data;
            }
            return KeychainStatus::success;
        }
    }
    return KeychainStatus::itemNotFound;
}

int FileKeychainStore::copyAll(const QString& service, QList<KeychainEntry>* entries)
{
    QMutexLocker locker(&fileStoresLock);
    Items items;
    if (const int status = read(&items); status != KeychainStatus::success) {
        return status;
    }
    for (const StoredItem& stored : std::as_const(items.list)) {
        if (stored.service == service && entries) {
            entries->append({stored.account, stored.data});
        }
    }
    return KeychainStatus::success;
}

int FileKeychainStore::removeAll(const QString& service)
{
    QMutexLocker locker(&fileStoresLock);
    Items items;
    if (const int status = read(&items); status != KeychainStatus::success) {
        return status;
    }
    items.list.removeIf([&](const StoredItem& item) { return item.service == service; });
    if (items.list.isEmpty()) {
        return !QFile::exists(m_filePath) || QFile::remove(m_filePath) ? KeychainStatus::success
                                                                       : KeychainStatus::notAvailable;
    }
    return write(items);
}

std::shared_ptr<KeychainStore> KeychainStore::makeFileStore(const QString& filePath)
{
    return std::make_shared<FileKeychainStore>(filePath);
}

}  // namespace tandrel
