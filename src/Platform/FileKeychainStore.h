#pragma once

#include "Platform/Keychain.h"

#include <QString>

namespace tandrel {

// Generic-password items in one JSON file readable only by its owner. Every operation
// reads the file afresh and replaces it atomically, so two handles (or two processes) on
// the same file see each other's writes, and a crash never leaves half a file.
class FileKeychainStore : public KeychainStore {
public:
    explicit FileKeychainStore(QString filePath);

    const QString& filePath() const { return m_filePath; }

    int copyMatching(const QString& service, const QString& account, KeychainItem* item) override;
    int add(const QString& service, const QString& account, const QByteArray& data,
            QByteArray* persistentReference) override;
    int update(const QString& service, const QString& account, const QByteArray& data) override;
    int remove(const QString& service, const QString& account) override;
    int copyByReference(const QByteArray& persistentReference, KeychainItem* item) override;
    int copyAll(const QString& service, QList<KeychainEntry>* entries) override;
    // The file goes once its last item does: nothing of the secrets stays on disk.
    int removeAll(const QString& service) override;

private:
    struct Items;
    int read(Items* items) const;
    int write(const Items& items) const;

    QString m_filePath;
};

}  // namespace tandrel
