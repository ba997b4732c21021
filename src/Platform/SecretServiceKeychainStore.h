#pragma once

#include "Platform/Keychain.h"

#include <QMutex>

#include <atomic>
#include <functional>
#include <vector>

using SecretService = struct _SecretService;
using SecretItem = struct _SecretItem;
using GHashTable = struct _GHashTable;

namespace tandrel {

// Generic-password items in the freedesktop Secret Service (GNOME Keyring, KWallet,
// KeePassXC), through libsecret's synchronous calls. Items carry the attributes "service"
// and "account"; an item's persistent reference is its D-Bus object path.
//
// Nothing here may wait on a person: nobody may be there to answer an unlock prompt, and
// such a prompt blocks forever. A locked collection or item therefore reads as
// KeychainStatus::interactionNotAllowed (never as absent), every prompt a call would need
// is refused, and unlocking (or making the keyring) is only ever asked for without waiting
// (requestAccess()).
class SecretServiceKeychainStore : public KeychainStore {
public:
    // The store, or nullptr when no session bus is reachable without launching one, or
    // nobody owns org.freedesktop.secrets on it and it cannot be D-Bus-activated there.
    static std::shared_ptr<SecretServiceKeychainStore> connect();
    ~SecretServiceKeychainStore() override;
    SecretServiceKeychainStore(const SecretServiceKeychainStore&) = delete;
    SecretServiceKeychainStore& operator=(const SecretServiceKeychainStore&) = delete;

    int copyMatching(const QString& service, const QString& account, KeychainItem* item) override;
    int add(const QString& service, const QString& account, const QByteArray& data,
            QByteArray* persistentReference) override;
    int update(const QString& service, const QString& account, const QByteArray& data) override;
    int remove(const QString& service, const QString& account) override;
    int copyByReference(const QByteArray& persistentReference, KeychainItem* item) override;
    int copyAll(const QString& service, QList<KeychainEntry>* entries) override;
    int removeAll(const QString& service) override;
    void requestUnlock() override;
    void requestAccess(std::function<void(int status)> done) override;

private:
    explicit SecretServiceKeychainStore(SecretService* service);
    // Takes over `attributes`; unlocked items of another schema than `schemaName` are left out.
    int search(GHashTable* attributes, QList<SecretItem*>* items, const QByteArray& schemaName);
    void followDaemon();
    int findService(const QString& service, QList<SecretItem*>* items);
    int find(const QString& service, const QString& account, QList<SecretItem*>* items);
    int read(SecretItem* item, KeychainItem* result);

    SecretService* m_service;
    QByteArray m_owner;  // the daemon m_service talks to
    QMutex m_lock;
    std::atomic<bool> m_unlockAsked{false};
    std::vector<std::function<void(int)>> m_accessWaiting;  // main thread only
};

}  // namespace tandrel
