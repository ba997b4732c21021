#include "BuildConfig.h"
#include "CapturedOutput.h"
#include "Platform/Keychain.h"
#include "support/TestMain.h"

#include <QStandardPaths>
#include <QThread>

#include <sys/stat.h>

using namespace tandrel;
using tandrel::testing::CapturedOutput;

namespace {

const QString kService = QStringLiteral("example.tandrel.test");

QByteArray readAll(const QString& path)
{
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    return file.readAll();
}

unsigned modeOf(const QString& path)
{
    struct stat info {};
    ::stat(QFile::encodeName(path).constData(), &info);
    return info.st_mode & 0777;
}

}  // namespace

class KeychainTest : public QObject {
    Q_OBJECT
private:
    QTemporaryDir m_dir;
    QString m_path;
    std::shared_ptr<KeychainStore> m_store;

private Q_SLOTS:
    void init()
    {
        static int round = 0;
        m_path = m_dir.filePath(QStringLiteral("round%1/keychain").arg(++round));
        m_store = KeychainStore::makeFileStore(m_path);
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
        Keychain keychain(kService, m_store);
        QCOMPARE(keychain.set(value, QStringLiteral("password")), std::nullopt);
        std::optional<Error> error;
        QCOMPARE(keychain.get(QStringLiteral("password"), &error), value);
        QCOMPARE(error, std::nullopt);
        // A fresh store on the same file: the value was really written.
        Keychain reopened(kService, KeychainStore::makeFileStore(m_path));
        QCOMPARE(reopened[QStringLiteral("password")], value);
    }

    void setReplacesAndRemoveForgets()
    {
        Keychain keychain(kService, m_store);
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
        Keychain mine(kService, m_store);
        Keychain other(QStringLiteral("other.service"), m_store);
        QCOMPARE(mine.set(QStringLiteral("a"), QStringLiteral("email")), std::nullopt);
        QCOMPARE(other.set(QStringLiteral("b"), QStringLiteral("email")), std::nullopt);
        QCOMPARE(mine.set(QStringLiteral("c"), QStringLiteral("token")), std::nullopt);
        QCOMPARE(other.remove(QStringLiteral("email")), std::nullopt);
        QCOMPARE(mine[QStringLiteral("email")], QStringLiteral("a"));
        QCOMPARE(mine[QStringLiteral("token")], QStringLiteral("c"));
        QCOMPARE(other[QStringLiteral("email")], std::nullopt);
    }

    void itemOperationsKeepThePersistentReference()
    {
        KeychainStore& store = *m_store;
        const QString account = QStringLiteral("vpnPassword");
        KeychainItem item;
        QCOMPARE(store.copyMatching(kService, account, &item), KeychainStatus::itemNotFound);
        QCOMPARE(store.update(kService, account, "x"), KeychainStatus::itemNotFound);
        QCOMPARE(store.remove(kService, account), KeychainStatus::itemNotFound);

        QByteArray reference;
        QCOMPARE(store.add(kService, account, "secret", &reference), KeychainStatus::success);
        QVERIFY(!reference.isEmpty());
        QCOMPARE(store.add(kService, account, "again", nullptr), KeychainStatus::duplicateItem);

        QCOMPARE(store.update(kService, account, "changed"), KeychainStatus::success);
        QCOMPARE(store.copyMatching(kService, account, &item), KeychainStatus::success);
        QCOMPARE(item.persistentReference, reference);
        QCOMPARE(item.data, QByteArray("changed"));

        QByteArray otherReference;
        QCOMPARE(store.add(kService, QStringLiteral("other"), "s", &otherReference), KeychainStatus::success);
        QVERIFY(otherReference != reference);

        // The reference outlives the process that made it.
        KeychainItem reread;
        QCOMPARE(KeychainStore::makeFileStore(m_path)->copyMatching(kService, account, &reread),
                 KeychainStatus::success);
        QCOMPARE(reread.persistentReference, reference);
    }

    void fileIsOwnerOnlyAlsoWhenItWasNot()
    {
        Keychain keychain(kService, m_store);
        QCOMPARE(keychain.set(QStringLiteral("s"), QStringLiteral("token")), std::nullopt);
        QCOMPARE(modeOf(m_path), 0600u);
        QCOMPARE(modeOf(QFileInfo(m_path).absolutePath()), 0700u);
        QVERIFY(::chmod(QFile::encodeName(m_path).constData(), 0644) == 0);
        QCOMPARE(keychain.set(QStringLiteral("t"), QStringLiteral("token")), std::nullopt);
        QCOMPARE(modeOf(m_path), 0600u);
    }

    void corruptFileIsReportedAndNeverWiped_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("not JSON") << QByteArray("\x00\x01 garbage", 10);
        QTest::newRow("truncated") << QByteArray("{\"version\":1,\"items\":[{\"service\":\"");
        QTest::newRow("wrong shape") << QByteArray("[1,2,3]");
        QTest::newRow("item without data")
            << QByteArray("{\"items\":[{\"service\":\"s\",\"account\":\"a\",\"reference\":\"r\"}]}");
        QTest::newRow("data not base64") << QByteArray(
            "{\"items\":[{\"service\":\"s\",\"account\":\"a\",\"reference\":\"r\",\"data\":\"!!\"}]}");
    }
    void corruptFileIsReportedAndNeverWiped()
    {
        QFETCH(QByteArray, content);
        QVERIFY(QDir().mkpath(QFileInfo(m_path).absolutePath()));
        QFile file(m_path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
        file.close();

        Keychain keychain(kService, m_store);
        std::optional<Error> error;
        QCOMPARE(keychain.get(QStringLiteral("token"), &error), std::nullopt);
        QCOMPARE(error, keychainError(KeychainStatus::decode));
        QCOMPARE(keychain.set(QStringLiteral("new"), QStringLiteral("token")), keychainError(KeychainStatus::decode));
        QCOMPARE(keychain.remove(QStringLiteral("token")), keychainError(KeychainStatus::decode));
        QCOMPARE(readAll(m_path), content);
    }

    void unwritableStoreReportsNotAvailable()
    {
        const QString blocker = m_dir.filePath(QStringLiteral("blocker"));
        QFile file(blocker);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        Keychain keychain(kService, KeychainStore::makeFileStore(blocker + QStringLiteral("/keychain")));
        QCOMPARE(keychain.set(QStringLiteral("s"), QStringLiteral("token")),
                 keychainError(KeychainStatus::notAvailable));
        QCOMPARE(keychain[QStringLiteral("token")], std::nullopt);
    }

    void textThatIsNotUtf8IsAReadError()
    {
        QCOMPARE(m_store->add(kService, QStringLiteral("token"), QByteArray("\xc3\x28"), nullptr),
                 KeychainStatus::success);
        std::optional<Error> error;
        QCOMPARE(Keychain(kService, m_store).get(QStringLiteral("token"), &error), std::nullopt);
        QCOMPARE(error, keychainError(KeychainStatus::decode));
    }

    void concurrentSetsFromThreadsLoseNothing()
    {
        // Two stores on one file, as the program's handle and a second one would be.
        std::shared_ptr<KeychainStore> second = KeychainStore::makeFileStore(m_path);
        std::vector<std::unique_ptr<QThread>> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back(QThread::create([this, second, t] {
                Keychain keychain(kService, t % 2 ? second : m_store);
                for (int i = 0; i < 10; ++i) {
                    keychain.set(QString::number(i), QStringLiteral("t%1_%2").arg(t).arg(i));
                }
            }));
            threads.back()->start();
        }
        for (auto& thread : threads) {
            QVERIFY(thread->wait(30000));
        }
        Keychain keychain(kService, m_store);
        for (int t = 0; t < 4; ++t) {
            for (int i = 0; i < 10; ++i) {
                QCOMPARE(keychain[QStringLiteral("t%1_%2").arg(t).arg(i)], QString::number(i));
            }
        }
    }

    void systemStoreFallsBackToTheDataFolderFileOnce()
    {
        // The test process has no session bus, so no Secret Service can answer.
        const QString expected = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                                 QStringLiteral("/%1/keychain").arg(QString::fromUtf8(BuildConfig::bundleIdentifier));
        QVERIFY(expected.startsWith(qEnvironmentVariable("XDG_DATA_HOME")));
        CapturedOutput output;
        KeychainStore& first = KeychainStore::system();
        QCOMPARE(&KeychainStore::system(), &first);
        Keychain keychain(QString::fromUtf8(BuildConfig::bundleIdentifier));
        QCOMPARE(keychain.set(QStringLiteral("me@example.com"), QStringLiteral("email")), std::nullopt);
        QCOMPARE(output.lines().size(), 1);
        QVERIFY(output.lines().constFirst().contains(expected));
        QCOMPARE(Keychain(keychain.service(), KeychainStore::makeFileStore(expected))[QStringLiteral("email")],
                 QStringLiteral("me@example.com"));

        KeychainStore::setSystem(m_store);
        QCOMPARE(&KeychainStore::system(), m_store.get());
        QCOMPARE(keychain[QStringLiteral("email")], std::nullopt);
    }
};

TANDREL_TEST_MAIN_CORE(KeychainTest)
#include "tst_keychain.moc"
