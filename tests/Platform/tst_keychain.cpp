#include "BuildConfig.h"
#include "KeychainStoreContract.h"
#include "Platform/Keychain.h"
#include "support/CapturedOutput.h"
#include "support/TestMain.h"

#include <QStandardPaths>
#include <QThread>

#include <sys/stat.h>

using namespace tandrel;
using tandrel::testing::CapturedOutput;

namespace {

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

class FileKeychainTest : public tandrel::testing::KeychainStoreContract {
    Q_OBJECT
private:
    QTemporaryDir m_dir;
    QString m_path;

    std::shared_ptr<KeychainStore> makeStore() override
    {
        static int round = 0;
        m_path = m_dir.filePath(QStringLiteral("round%1/keychain").arg(++round));
        return KeychainStore::makeFileStore(m_path);
    }
    std::shared_ptr<KeychainStore> reopenStore() override { return KeychainStore::makeFileStore(m_path); }

private Q_SLOTS:
    void fileIsOwnerOnlyAlsoWhenItWasNot()
    {
        Keychain keychain(m_service, m_store);
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
        QTest::newRow("wrong shape") << QByteArray("[1,2,3]");
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

        Keychain keychain(m_service, m_store);
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
        Keychain keychain(m_service, KeychainStore::makeFileStore(blocker + QStringLiteral("/keychain")));
        QCOMPARE(keychain.set(QStringLiteral("s"), QStringLiteral("token")),
                 keychainError(KeychainStatus::notAvailable));
        QCOMPARE(keychain[QStringLiteral("token")], std::nullopt);
    }

    void textThatIsNotUtf8IsAReadError()
    {
        QCOMPARE(m_store->add(m_service, QStringLiteral("token"), QByteArray("\xc3\x28"), nullptr),
                 KeychainStatus::success);
        std::optional<Error> error;
        QCOMPARE(Keychain(m_service, m_store).get(QStringLiteral("token"), &error), std::nullopt);
        QCOMPARE(error, keychainError(KeychainStatus::decode));
    }

    void concurrentSetsFromThreadsLoseNothing()
    {
        // Two stores on one file, as the program's handle and a second one would be.
        std::shared_ptr<KeychainStore> second = KeychainStore::makeFileStore(m_path);
        std::vector<std::unique_ptr<QThread>> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back(QThread::create([this, second, t] {
                Keychain keychain(m_service, t % 2 ? second : m_store);
                for (int i = 0; i < 10; ++i) {
                    keychain.set(QString::number(i), QStringLiteral("t%1_%2").arg(t).arg(i));
                }
            }));
            threads.back()->start();
        }
        for (auto& thread : threads) {
            QVERIFY(thread->wait(30000));
        }
        Keychain keychain(m_service, m_store);
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

TANDREL_TEST_MAIN_CORE(FileKeychainTest)
#include "tst_keychain.moc"
