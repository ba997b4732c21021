#pragma once

#include "Platform/Error.h"

#include <QByteArray>
#include <QString>

#include <QList>

#include <functional>

#include <memory>
#include <optional>

namespace tandrel {

// Status values of the keychain's item operations (the numbers callers rely on).
namespace KeychainStatus {
inline constexpr int success = 0;
inline constexpr int itemNotFound = -25300;
inline constexpr int duplicateItem = -25299;
inline constexpr int notAvailable = -25291;           // no store could be reached or written
inline constexpr int interactionNotAllowed = -25308;  // locked, and nobody may be asked
inline constexpr int decode = -26275;                 // stored data could not be read
inline constexpr int noDefaultKeychain = -25307;      // a keyring service without a keyring to keep items in
}  // namespace KeychainStatus

// Errors of the keychain are in this domain, with the status as code.
inline const QString kOSStatusErrorDomain = QStringLiteral("NSOSStatusErrorDomain");
Error keychainError(int status);

// One stored generic-password item.
struct KeychainItem {
    QByteArray persistentReference;  // opaque; names the item (Secret Service: its D-Bus object path)
    QByteArray data;
};

// One item's account and data, as a whole service's items are listed.
struct KeychainEntry {
    QString account;
    QByteArray data;
    bool operator==(const KeychainEntry&) const = default;
};

// A store of generic-password items by service and account. Every call is synchronous
// and returns a KeychainStatus value; none may block on a prompt.
class KeychainStore {
public:
    virtual ~KeychainStore() = default;

    virtual int copyMatching(const QString& service, const QString& account, KeychainItem* item) = 0;
    virtual int add(const QString& service, const QString& account, const QByteArray& data,
                    QByteArray* persistentReference) = 0;
    virtual int update(const QString& service, const QString& account, const QByteArray& data) = 0;
    virtual int remove(const QString& service, const QString& account) = 0;
    // The item a persistent reference names (as returned by copyMatching or add), or
    // itemNotFound. The VPN service resolves the tunnel password this way, since the
    // configuration holds only the reference.
    virtual int copyByReference(const QByteArray& persistentReference, KeychainItem* item) = 0;
    // Every item of a service (success with none); what moves items between stores.
    virtual int copyAll(const QString& service, QList<KeychainEntry>* entries);
    virtual int removeAll(const QString& service);
    // Asks whoever keeps the store locked to unlock it (the desktop's own prompt), without
    // waiting for the answer; a store that is never locked does nothing.
    virtual void requestUnlock() {}
    // Asks whoever keeps the store to make it able to keep items (unlock it, or make it
    // when there is none yet, through their own prompt) and calls `done` on the main
    // thread once the person answered: success, interactionNotAllowed (the unlock was
    // declined) or noDefaultKeychain (making one was declined). A store that needs nothing
    // answers success on the next turn of the main loop.
    virtual void requestAccess(std::function<void(int status)> done);

    // The store the program uses, chosen once per run by openSystemStore().
    static KeychainStore& system();
    // Chooses the store for a start: the Secret Service when one is running on the session
    // bus or can be started there by D-Bus activation, else the file store (after one printed
    // line). With the Secret Service, items a start without it left in the file store move
    // into it once, and the file copy is wiped. Then items of the legacy bundle identifier
    // move once to the current one.
    static std::shared_ptr<KeychainStore> openSystemStore();
    // The file store's path when system() had to fall back to it; nullopt with a Secret
    // Service (or a store set by setSystem()).
    static std::optional<QString> fallbackFilePath();
    // The file store's path for a bundle identifier: $XDG_DATA_HOME/<id>/keychain.
    static QString fileStorePath(const QString& bundleIdentifier);
    // Moves every item of `legacyService` (in `store`, and in the legacy file store at
    // `legacyFilePath`) to `currentService` in `store`, once: only while `store` holds no
    // item of `currentService`. Items that cannot be read or written stay where they are.
    static void moveLegacyItems(KeychainStore& store, const QString& legacyService, const QString& legacyFilePath,
                                const QString& currentService);
    // From now on for this run, the file store: the person declined to make a keyring.
    // fallbackFilePath() names it, so the program tells where the credentials are kept.
    static void useFileStore();
    // Replaces the system store (tests; the program never calls it).
    static void setSystem(std::shared_ptr<KeychainStore> store);

    // A file store (mode 0600, replaced atomically on every write).
    static std::shared_ptr<KeychainStore> makeFileStore(const QString& filePath);
    // The freedesktop Secret Service through libsecret; nullptr when none answers.
    static std::shared_ptr<KeychainStore> makeSecretServiceStore();
};

// A keychain handle under one service name, with text values (stored as UTF-8).
class Keychain {
public:
    explicit Keychain(QString service, std::shared_ptr<KeychainStore> store = {});

    const QString& service() const { return m_service; }

    // Adds or replaces the item's value.
    std::optional<Error> set(const QString& value, const QString& account);
    // The stored text; nullopt when absent. When `error` is given it receives a failure
    // other than "absent" (locked, unreadable).
    std::optional<QString> get(const QString& account, std::optional<Error>* error = nullptr) const;
    // Removing an absent item is no error.
    std::optional<Error> remove(const QString& account);

    // `keychain["email"]`: the text or nullopt, read errors hidden.
    std::optional<QString> operator[](const QString& account) const { return get(account); }

private:
    KeychainStore& store() const;

    QString m_service;
    std::shared_ptr<KeychainStore> m_store;  // empty: the system store at each call
};

}  // namespace tandrel
