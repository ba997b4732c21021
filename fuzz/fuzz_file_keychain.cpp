// The file keychain's own file, whatever it holds (a truncated write of another version, a
// file edited by hand): every read answers with items or a status, never a crash.
#include "FuzzSupport.h"
#include "Platform/FileKeychainStore.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    tandrel::fuzzing::prepareProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    tandrel::FileKeychainStore store(tandrel::fuzzing::fileHolding(tandrel::fuzzing::bytesOf(data, size), "keychain"));
    const QString service = QStringLiteral("org.tandrel.Tandrel");
    tandrel::KeychainItem item;
    if (store.copyMatching(service, QStringLiteral("token"), &item) == tandrel::KeychainStatus::success) {
        tandrel::KeychainItem again;
        (void)store.copyByReference(item.persistentReference, &again);
    }
    QList<tandrel::KeychainEntry> entries;
    (void)store.copyAll(service, &entries);
    (void)store.copyByReference(QByteArray("item:token"), &item);
    return 0;
}
