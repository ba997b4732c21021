#pragma once

#include "Platform/Keychain.h"

#include <QtTest>

#include <memory>

namespace tandrel::testing {

// What every keychain store must answer alike. A suite derives from this, says how to
// make its store, and adds what is particular to that store; QtTest runs these cases too.
class KeychainStoreContract : public QObject {
    Q_OBJECT
protected:
    // A store for the next case, and a second one on the same items (as a later run
    // would see them).
    virtual std::shared_ptr<KeychainStore> makeStore() = 0;
    virtual std::shared_ptr<KeychainStore> reopenStore() = 0;

    std::shared_ptr<KeychainStore> m_store;
    QString m_service;  // fresh for every case, so items never leak between cases

private Q_SLOTS:
    void init()
    {
        static int round = 0;
        m_service = QStringLiteral("example.tandrel.test%1").arg(++round);
        m_store = makeStore();
        QVERIFY(m_store);
    }

    void textValuesRoundTripThroughTheHandle_data()
    {
        QTest::addColumn<QString>("value");
        QTest::newRow("token") << QStringLiteral("eyJhbGciOiJIUzI1NiJ9.e30.x");
        QTest::newRow("non-ASCII password") << QStringLiteral("contraseña ✓ 密码");
        QTest::newRow("empty") << QString();
        QTest::newRow("quotes and newlines") << QStringLiteral("a\"b\\c\n{\"items\":[]}");
    }
    void textValuesRoundTripThroughTheHandle()
    {
        QFETCH(QString, value);
        Keychain keychain(m_service, m_store);
        QCOMPARE(keychain.set(value, QStringLiteral("password")), std::nullopt);
        std::optional<Error> error;
        QCOMPARE(keychain.get(QStringLiteral("password"), &error), value);
        QCOMPARE(error, std::nullopt);
        QCOMPARE(Keychain(m_service, reopenStore())[QStringLiteral("password")], value);
    }

    void setReplacesAndRemoveForgets()
    {
        Keychain keychain(m_service, m_store);
        QCOMPARE(keychain.set(QStringLiteral("one"), QStringLiteral("token")), std::nullopt);
        QCOMPARE(keychain.set(QStringLiteral("two"), QStringLiteral("token")), std::nullopt);
        QCOMPARE(keychain[QStringLiteral("token")], QStringLiteral("two"));
        QCOMPARE(keychain.remove(QStringLiteral("token")), std::nullopt);
        std::optional<Error> error = Error(QStringLiteral("stale"), 1);
        QCOMPARE(keychain.get(QStringLiteral("token"), &error), std::nullopt);
        QCOMPARE(error, std::nullopt);
        // Removing what is not there is no error.
        QCOMPARE(keychain.remove(QStringLiteral("token")), std::nullopt);
        QCOMPARE(keychain.remove(QStringLiteral("never-stored")), std::nullopt);
    }

    void itemsAreKeptApartByServiceAndAccount()
    {
        Keychain mine(m_service, m_store);
        Keychain other(m_service + QStringLiteral(".other"), m_store);
        QCOMPARE(mine.set(QStringLiteral("a"), QStringLiteral("email")), std::nullopt);
        QCOMPARE(other.set(QStringLiteral("b"), QStringLiteral("email")), std::nullopt);
        QCOMPARE(mine.set(QStringLiteral("c"), QStringLiteral("token")), std::nullopt);
        QCOMPARE(other.remove(QStringLiteral("email")), std::nullopt);
        // Empty names are names like any other, not wildcards.
        QCOMPARE(m_store->remove(QString(), QString()), KeychainStatus::itemNotFound);
        QCOMPARE(m_store->remove(m_service, QString()), KeychainStatus::itemNotFound);
        QCOMPARE(mine[QStringLiteral("email")], QStringLiteral("a"));
        QCOMPARE(mine[QStringLiteral("token")], QStringLiteral("c"));
        QCOMPARE(other[QStringLiteral("email")], std::nullopt);
    }

    void itemOperationsKeepThePersistentReference()
    {
        KeychainStore& store = *m_store;
        const QString account = QStringLiteral("vpnPassword");
        KeychainItem item;
        QCOMPARE(store.copyMatching(m_service, account, &item), KeychainStatus::itemNotFound);
        QCOMPARE(store.update(m_service, account, "x"), KeychainStatus::itemNotFound);
        QCOMPARE(store.remove(m_service, account), KeychainStatus::itemNotFound);

        QByteArray reference;
        QCOMPARE(store.add(m_service, account, "secret", &reference), KeychainStatus::success);
        QVERIFY(!reference.isEmpty());
        QCOMPARE(store.add(m_service, account, "again", nullptr), KeychainStatus::duplicateItem);
        QCOMPARE(store.copyMatching(m_service, account, &item), KeychainStatus::success);
        QCOMPARE(item.persistentReference, reference);
        QCOMPARE(item.data, QByteArray("secret"));

        QCOMPARE(store.update(m_service, account, QByteArray("changed\0bytes", 13)), KeychainStatus::success);
        QByteArray otherReference;
        QCOMPARE(store.add(m_service, QStringLiteral("other"), "s", &otherReference), KeychainStatus::success);
        QVERIFY(otherReference != reference);

        // The reference outlives the store that made it, and names the item's current data.
        std::shared_ptr<KeychainStore> reopened = reopenStore();
        QCOMPARE(reopened->copyMatching(m_service, account, &item), KeychainStatus::success);
        QCOMPARE(item.persistentReference, reference);
        QCOMPARE(item.data, QByteArray("changed\0bytes", 13));
        KeychainItem resolved;
        QCOMPARE(reopened->copyByReference(reference, &resolved), KeychainStatus::success);
        QCOMPARE(resolved.data, QByteArray("changed\0bytes", 13));
        QCOMPARE(reopened->copyByReference(otherReference, &resolved), KeychainStatus::success);
        QCOMPARE(resolved.data, QByteArray("s"));

        QCOMPARE(reopened->remove(m_service, account), KeychainStatus::success);
        QCOMPARE(store.copyByReference(reference, &resolved), KeychainStatus::itemNotFound);
        QCOMPARE(store.copyByReference(QByteArray(), &resolved), KeychainStatus::itemNotFound);
        QCOMPARE(store.copyByReference("no such reference", &resolved), KeychainStatus::itemNotFound);
    }
};

}  // namespace tandrel::testing
