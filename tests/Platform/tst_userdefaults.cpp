#include "BuildConfig.h"
#include "Platform/UserDefaults.h"
#include "support/CapturedOutput.h"
#include "support/TestMain.h"

#include <QSignalSpy>
#include <QStandardPaths>
#include <QProcess>
#include <QThread>

#include <memory>
#include <vector>

using namespace tandrel;
using tandrel::testing::CapturedOutput;

Q_DECLARE_METATYPE(std::optional<QString>)

namespace {

QByteArray readAll(const QString& path)
{
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    return file.readAll();
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

}  // namespace

class UserDefaultsTest : public QObject {
    Q_OBJECT
private:
    QTemporaryDir m_dir;
    QString settingsPath() const { return m_dir.filePath(QStringLiteral("settings.conf")); }

private Q_SLOTS:
    // Run as one of several copies (copiesStartingWithoutAFileKeepEveryKey): waits for the
    // go file, writes its key and ends.
    void initTestCase()
    {
        const QStringList job = qEnvironmentVariable("TANDREL_TEST_WRITE_SETTING").split(QLatin1Char('|'));
        if (job.size() != 3) {
            return;
        }
        while (!QFile::exists(job.at(1))) {
            QThread::usleep(200);
        }
        UserDefaults copy(job.at(0));
        copy.set(true, job.at(2));
        std::exit(copy.synchronize() ? 0 : 1);
    }

    void init()
    {
        QDir(settingsPath()).removeRecursively();  // left by a failed unreadable-file case
        QFile::remove(settingsPath());
        QFile::remove(settingsPath() + QStringLiteral(".corrupt"));
    }

    void valuesComeBackWithTheirTypesAfterARestart_data()
    {
        QTest::addColumn<QVariant>("value");
        QTest::newRow("bool true") << QVariant(true);
        QTest::newRow("integer") << QVariant(qint64(42));
        QTest::newRow("negative 64-bit integer") << QVariant(qint64(-9000000000000));
        QTest::newRow("text that reads like a bool") << QVariant(QStringLiteral("true"));
        QTest::newRow("text with a type prefix") << QVariant(QStringLiteral("int:7"));
        QTest::newRow("text with commas and quotes") << QVariant(QStringLiteral("a, \"b\", c"));
        QTest::newRow("text with an at sign and blanks") << QVariant(QStringLiteral(" @Variant(x) "));
        QTest::newRow("text over two lines") << QVariant(QStringLiteral("one\ntwo=three"));
        QTest::newRow("empty text") << QVariant(QString());
        QTest::newRow("list of one text") << QVariant(QStringList{QStringLiteral("es")});
        QTest::newRow("empty list") << QVariant(QStringList{});
        QTest::newRow("list with commas")
            << QVariant(QStringList{QStringLiteral("a,b"), QStringLiteral(""), QStringLiteral("c")});
    }
    void valuesComeBackWithTheirTypesAfterARestart()
    {
        QFETCH(QVariant, value);
        {
            UserDefaults defaults(settingsPath());
            defaults.setObject(value, QStringLiteral("key"));
            QVERIFY(defaults.synchronize());
            QCOMPARE(defaults.object(QStringLiteral("key")), value);
        }
        UserDefaults reopened(settingsPath());
        const std::optional<QVariant> stored = reopened.object(QStringLiteral("key"));
        QVERIFY(stored.has_value());
        QCOMPARE(stored->metaType(), value.metaType());
        QCOMPARE(*stored, value);
    }

    void absentKeysGiveTheCallersDefaultAndWriteNothing()
    {
        UserDefaults defaults(settingsPath());
        QSignalSpy changes(&defaults, &UserDefaults::valueChanged);
        QCOMPARE(defaults.object(QStringLiteral("KillSwitch")), std::nullopt);
        QCOMPARE(defaults.boolValue(QStringLiteral("KillSwitch"), true), true);
        QCOMPARE(defaults.integerValue(QStringLiteral("configId"), 5), 5);
        QCOMPARE(defaults.stringValue(QStringLiteral("CountryConnected"), QStringLiteral("VPN")),
                 QStringLiteral("VPN"));
        QCOMPARE(defaults.boolForKey(QStringLiteral("KillSwitch")), false);
        QCOMPARE(defaults.integer(QStringLiteral("configId")), 0);
        QCOMPARE(defaults.string(QStringLiteral("CountryConnected")), std::nullopt);
        QCOMPARE(defaults.stringArray(QStringLiteral("AppleLanguages")), std::nullopt);
        QVERIFY(defaults.synchronize());
        QVERIFY(!QFile::exists(settingsPath()));
        QCOMPARE(defaults.object(QStringLiteral("KillSwitch")), std::nullopt);
        QCOMPARE(changes.count(), 0);
    }

    void storedFalseWinsOverATrueDefault()
    {
        UserDefaults defaults(settingsPath());
        defaults.set(false, QStringLiteral("KillSwitch"));
        defaults.set(0, QStringLiteral("configId"));
        QCOMPARE(defaults.boolValue(QStringLiteral("KillSwitch"), true), false);
        QCOMPARE(defaults.integerValue(QStringLiteral("configId"), 5), 0);
    }

    void typedReadsConvertStoredValues_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<bool>("asBool");
        QTest::addColumn<qint64>("asInteger");
        QTest::addColumn<std::optional<QString>>("asString");
        QTest::newRow("true") << QVariant(true) << true << qint64(1) << std::optional<QString>(QStringLiteral("1"));
        QTest::newRow("number 3") << QVariant(qint64(3)) << true << qint64(3)
                                  << std::optional<QString>(QStringLiteral("3"));
        QTest::newRow("text YES") << QVariant(QStringLiteral("YES")) << true << qint64(0)
                                  << std::optional<QString>(QStringLiteral("YES"));
        QTest::newRow("text 12ab") << QVariant(QStringLiteral(" 12ab")) << true << qint64(12)
                                   << std::optional<QString>(QStringLiteral(" 12ab"));
        QTest::newRow("list") << QVariant(QStringList{QStringLiteral("1")}) << false << qint64(0)
                              << std::optional<QString>();
    }
    void typedReadsConvertStoredValues()
    {
        QFETCH(QVariant, stored);
        QFETCH(bool, asBool);
        QFETCH(qint64, asInteger);
        QFETCH(std::optional<QString>, asString);
        UserDefaults defaults(settingsPath());
        defaults.setObject(stored, QStringLiteral("key"));
        QCOMPARE(defaults.boolForKey(QStringLiteral("key")), asBool);
        QCOMPARE(defaults.boolValue(QStringLiteral("key"), !asBool), asBool);
        QCOMPARE(defaults.integer(QStringLiteral("key")), asInteger);
        QCOMPARE(defaults.string(QStringLiteral("key")), asString);
    }

    void handEditedValuesReadAsText()
    {
        writeFile(
            settingsPath(),
            "\xef\xbb\xbf; edited by hand\n[General]\nKillSwitch=true\nconfigId=int:oops\nAppleLanguages=es, en\n");
        UserDefaults defaults(settingsPath());
        QCOMPARE(defaults.object(QStringLiteral("KillSwitch")), QVariant(QStringLiteral("true")));
        QCOMPARE(defaults.boolForKey(QStringLiteral("KillSwitch")), true);
        QCOMPARE(defaults.string(QStringLiteral("configId")), QStringLiteral("int:oops"));
        QCOMPARE(defaults.stringArray(QStringLiteral("AppleLanguages")),
                 (QStringList{QStringLiteral("es"), QStringLiteral("en")}));
    }

    void everyWriteAndRemovalAnnouncesItsKey()
    {
        UserDefaults defaults(settingsPath());
        QSignalSpy changes(&defaults, &UserDefaults::valueChanged);
        defaults.set(true, QStringLiteral("CompactView"));
        defaults.set(true, QStringLiteral("CompactView"));
        defaults.set(QStringList{QStringLiteral("es")}, QStringLiteral("AppleLanguages"));
        defaults.removeObject(QStringLiteral("CompactView"));
        defaults.setObject(QVariant(), QStringLiteral("AppleLanguages"));
        QStringList keys;
        for (const QList<QVariant>& arguments : changes) {
            keys << arguments.at(0).toString();
        }
        QCOMPARE(keys, (QStringList{"CompactView", "CompactView", "AppleLanguages", "CompactView", "AppleLanguages"}));
        QCOMPARE(defaults.object(QStringLiteral("CompactView")), std::nullopt);
        QCOMPARE(UserDefaults(settingsPath()).object(QStringLiteral("AppleLanguages")), std::nullopt);
    }

    void corruptFileReadsEmptyAndIsKeptAside_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("binary garbage") << QByteArray("\x01\x02\xff\xfe\x00garbage", 13);
        QTest::newRow("invalid UTF-8") << QByteArray("[General]\nCountryConnected=string:\xc3\x28\n");
    }
    void corruptFileReadsEmptyAndIsKeptAside()
    {
        QFETCH(QByteArray, content);
        writeFile(settingsPath(), content);
        CapturedOutput output;
        UserDefaults defaults(settingsPath());
        QCOMPARE(output.lines().size(), 1);
        QVERIFY(output.lines().constFirst().contains(settingsPath() + QStringLiteral(".corrupt")));
        QCOMPARE(defaults.object(QStringLiteral("KillSwitch")), std::nullopt);
        QCOMPARE(defaults.boolValue(QStringLiteral("KillSwitch"), true), true);
        // The user's file survives, and new settings still persist.
        QCOMPARE(readAll(settingsPath() + QStringLiteral(".corrupt")), content);
        defaults.set(false, QStringLiteral("KillSwitch"));
        QVERIFY(defaults.synchronize());
        QCOMPARE(UserDefaults(settingsPath()).object(QStringLiteral("KillSwitch")), QVariant(false));
        QCOMPARE(output.lines().size(), 1);
    }

    void damagedLineLosesOnlyItself_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("dropped");
        QTest::newRow("stray line among settings")
            << QByteArray("[General]\nKillSwitch=bool:false\nthis is not a setting\nconfigId=int:7\n")
            << QStringLiteral("this is not a setting");
        QTest::newRow("unterminated section")
            << QByteArray("[General\nKillSwitch=bool:false\nconfigId=int:7\n") << QStringLiteral("[General");
    }
    void damagedLineLosesOnlyItself()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, dropped);
        writeFile(settingsPath(), content);
        CapturedOutput output;
        UserDefaults defaults(settingsPath());
        QCOMPARE(output.lines().size(), 1);
        QVERIFY2(output.lines().constFirst().endsWith(dropped), qPrintable(output.lines().constFirst()));
        QCOMPARE(defaults.object(QStringLiteral("KillSwitch")), QVariant(false));
        QCOMPARE(defaults.object(QStringLiteral("configId")), QVariant(qint64(7)));
        defaults.set(QStringLiteral("Spain"), QStringLiteral("CountryConnected"));
        QVERIFY(defaults.synchronize());
        UserDefaults reopened(settingsPath());
        QCOMPARE(reopened.object(QStringLiteral("KillSwitch")), QVariant(false));
        QCOMPARE(reopened.object(QStringLiteral("configId")), QVariant(qint64(7)));
        QCOMPARE(reopened.string(QStringLiteral("CountryConnected")), QStringLiteral("Spain"));
        QVERIFY(!QFile::exists(settingsPath() + QStringLiteral(".corrupt")));
    }

    void unreadableFileReadsEmptyAndIsNeverOverwritten()
    {
        // A folder where the file should be cannot be read, even by root.
        QVERIFY(QDir().mkpath(settingsPath()));
        CapturedOutput output;
        {
            UserDefaults defaults(settingsPath());
            QCOMPARE(defaults.object(QStringLiteral("configId")), std::nullopt);
            defaults.set(9, QStringLiteral("configId"));
            QCOMPARE(defaults.integer(QStringLiteral("configId")), 9);
            QVERIFY(!defaults.synchronize());
        }
        QCOMPARE(output.lines().size(), 1);
        QVERIFY(QFileInfo(settingsPath()).isDir());
    }

    void unwritableFileKeepsValuesForTheRunAndSaysSoOnce()
    {
        // A regular file where the folder should be: nobody can create the settings there.
        const QString blocker = m_dir.filePath(QStringLiteral("blocker"));
        writeFile(blocker, "not a folder");
        const QString path = blocker + QStringLiteral("/settings.conf");
        CapturedOutput output;
        UserDefaults defaults(path);
        QSignalSpy changes(&defaults, &UserDefaults::valueChanged);
        defaults.set(true, QStringLiteral("KillSwitch"));
        defaults.set(QStringLiteral("Spain"), QStringLiteral("CountryConnected"));
        QVERIFY(!defaults.synchronize());
        QVERIFY(!defaults.synchronize());
        QCOMPARE(defaults.object(QStringLiteral("KillSwitch")), QVariant(true));
        QCOMPARE(defaults.string(QStringLiteral("CountryConnected")), QStringLiteral("Spain"));
        QCOMPARE(changes.count(), 2);
        QCOMPARE(output.lines().size(), 1);
    }

    void writesFromManyThreadsAreAllKept()
    {
        UserDefaults defaults(settingsPath());
        constexpr int threadCount = 4;
        constexpr int writesPerThread = 10;
        std::vector<std::unique_ptr<QThread>> threads;
        for (int t = 0; t < threadCount; ++t) {
            threads.emplace_back(QThread::create([&defaults, t] {
                for (int i = 0; i < writesPerThread; ++i) {
                    defaults.set(qint64(i), QStringLiteral("t%1_%2").arg(t).arg(i));
                    defaults.integer(QStringLiteral("t%1_%2").arg((t + 1) % threadCount).arg(i));
                }
            }));
            threads.back()->start();
        }
        for (auto& thread : threads) {
            QVERIFY(thread->wait(30000));
        }
        UserDefaults reopened(settingsPath());
        for (int t = 0; t < threadCount; ++t) {
            for (int i = 0; i < writesPerThread; ++i) {
                QCOMPARE(reopened.integerValue(QStringLiteral("t%1_%2").arg(t).arg(i), -1), i);
            }
        }
    }

    void twoWritersOfOneFileKeepEachOthersKeys()
    {
        // Two copies of the program, each with the file as it was when it started.
        writeFile(settingsPath(), "[General]\nCountryConnected=string:Spain\nCompactView=bool:true\n");
        UserDefaults first(settingsPath());
        UserDefaults second(settingsPath());
        first.set(false, QStringLiteral("KillSwitch"));
        second.set(qint64(17), QStringLiteral("configId"));
        first.removeObject(QStringLiteral("CompactView"));
        second.set(QStringLiteral("France"), QStringLiteral("CountryConnected"));
        first.removeObject(QStringLiteral("configId"));  // written by the other copy only
        second.set(true, QStringLiteral("ExcludeLocalNetworks"));

        UserDefaults reopened(settingsPath());
        QCOMPARE(reopened.object(QStringLiteral("KillSwitch")), QVariant(false));
        QCOMPARE(reopened.object(QStringLiteral("configId")), std::nullopt);
        QCOMPARE(reopened.object(QStringLiteral("CompactView")), std::nullopt);
        QCOMPARE(reopened.string(QStringLiteral("CountryConnected")), QStringLiteral("France"));
        QCOMPARE(reopened.object(QStringLiteral("ExcludeLocalNetworks")), QVariant(true));
        // Each copy reads what the other wrote once it writes itself.
        QCOMPARE(second.object(QStringLiteral("KillSwitch")), QVariant(false));
    }

    // Copies of the program started at once, none finding a file: each keeps its own key.
    void copiesStartingWithoutAFileKeepEveryKey()
    {
        constexpr int kRounds = 25;
        constexpr int kCopies = 4;
        for (int round = 0; round < kRounds; ++round) {
            QFile::remove(settingsPath());
            const QString go = m_dir.filePath(QStringLiteral("go"));
            QFile::remove(go);
            std::vector<std::unique_ptr<QProcess>> copies;
            for (int copy = 0; copy < kCopies; ++copy) {
                auto process = std::make_unique<QProcess>();
                QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
                environment.insert(QStringLiteral("TANDREL_TEST_WRITE_SETTING"),
                                   settingsPath() + QLatin1Char('|') + go + QStringLiteral("|Key%1").arg(copy));
                process->setProcessEnvironment(environment);
                process->start(QCoreApplication::applicationFilePath(), {});
                QVERIFY(process->waitForStarted());
                copies.push_back(std::move(process));
            }
            writeFile(go, "go");
            for (const auto& process : copies) {
                QVERIFY(process->waitForFinished(10000));
                QCOMPARE(process->exitCode(), 0);
            }
            UserDefaults reopened(settingsPath());
            for (int copy = 0; copy < kCopies; ++copy) {
                QVERIFY2(reopened.object(QStringLiteral("Key%1").arg(copy)) == QVariant(true),
                         qPrintable(QStringLiteral("round %1 lost Key%2").arg(round).arg(copy)));
            }
        }
    }

    void legacySettingsMoveOnceToTheCurrentPlace_data()
    {
        QTest::addColumn<bool>("currentExists");
        QTest::newRow("current place empty: moved") << false;
        QTest::newRow("current place in use: left alone") << true;
    }

    void legacySettingsMoveOnceToTheCurrentPlace()
    {
        QFETCH(bool, currentExists);
        const QString legacy = m_dir.filePath(QStringLiteral("example.tandrel.legacy/settings.conf"));
        const QString current = m_dir.filePath(QStringLiteral("example.tandrel.Current/settings.conf"));
        QDir(m_dir.filePath(QStringLiteral("example.tandrel.Current"))).removeRecursively();
        QVERIFY(QDir().mkpath(QFileInfo(legacy).absolutePath()));
        writeFile(legacy, "[General]\nKillSwitch=bool:false\nconfigId=int:17\n");
        if (currentExists) {
            UserDefaults(current).set(true, QStringLiteral("KillSwitch"));
        }
        CapturedOutput output;
        QCOMPARE(UserDefaults::moveLegacySettings(legacy, current), !currentExists);
        QCOMPARE(QFile::exists(legacy), currentExists);
        QCOMPARE(UserDefaults(current).object(QStringLiteral("KillSwitch")), QVariant(currentExists));
        QCOMPARE(UserDefaults(current).integer(QStringLiteral("configId")), currentExists ? 0 : 17);
        // A second start has nothing left to move.
        QVERIFY(!UserDefaults::moveLegacySettings(legacy, current));
        QCOMPARE(output.lines().size(), currentExists ? 0 : 1);
        QDir(QFileInfo(legacy).absolutePath()).removeRecursively();
    }

    void standardSettingsLiveInTheConfigFolderUnderTheBundleIdentifier()
    {
        UserDefaults& standard = UserDefaults::standard();
        QCOMPARE(&standard, &UserDefaults::standard());
        standard.set(QStringLiteral("Spain"), QStringLiteral("CountryConnected"));
        QVERIFY(standard.synchronize());
        const QString expected =
            QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
            QStringLiteral("/%1/settings.conf").arg(QString::fromUtf8(BuildConfig::bundleIdentifier));
        QVERIFY(expected.startsWith(qEnvironmentVariable("XDG_CONFIG_HOME")));
        QCOMPARE(UserDefaults(expected).string(QStringLiteral("CountryConnected")), QStringLiteral("Spain"));
    }
};

TANDREL_TEST_MAIN_CORE(UserDefaultsTest)
#include "tst_userdefaults.moc"
