#include "BuildConfig.h"
#include "Platform/LaunchAtLogin.h"
#include "support/TestMain.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

using namespace tandrel;

namespace {

QByteArray readEntry()
{
    QFile file(LaunchAtLogin::entryPath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeEntry(const QByteArray& contents)
{
    QDir().mkpath(QFileInfo(LaunchAtLogin::entryPath()).absolutePath());
    QFile file(LaunchAtLogin::entryPath());
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(contents);
}

// Where an installed desktop entry is looked up first (the test's own data folder).
QString installedApplications()
{
    return qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/applications");
}

QByteArray execLine(const QByteArray& entry)
{
    for (const QByteArray& line : entry.split('\n')) {
        if (line.startsWith("Exec=")) {
            return line.mid(5);
        }
    }
    return {};
}

}  // namespace

class LaunchAtLoginTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        // Only the test's own data folder holds installed entries, whatever this machine has.
        qputenv("XDG_DATA_DIRS", (qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/none")).toUtf8());
    }

    void cleanup()
    {
        QFile::remove(LaunchAtLogin::entryPath());
        QFile::remove(QFileInfo(LaunchAtLogin::entryPath()).absolutePath());
        QDir(QFileInfo(LaunchAtLogin::entryPath()).absolutePath()).removeRecursively();
        QDir(installedApplications()).removeRecursively();
    }

    void entryCarriesTheInstalledEntrysExecAndIcon_data()
    {
        QTest::addColumn<QByteArray>("installed");
        QTest::addColumn<QByteArray>("exec");
        QTest::addColumn<QByteArray>("icon");
        const QByteArray ownExec = '"' + QCoreApplication::applicationFilePath().toUtf8() + '"';
        const QByteArray id(BuildConfig::bundleIdentifier);
        QTest::newRow("not installed: this executable, the id as icon") << QByteArray() << ownExec << id;
        QTest::newRow("installed") << QByteArray("[Desktop Entry]\nType=Application\nExec=tandrel\nIcon=" + id + "\n")
                                   << QByteArray("tandrel") << id;
        QTest::newRow("installed, keys of another group ignored")
            << QByteArray("[Desktop Action x]\nExec=other\n[Desktop Entry]\nIcon=custom\nExec=/usr/bin/tandrel\n")
            << QByteArray("/usr/bin/tandrel") << QByteArray("custom");
        QTest::newRow("installed without Exec: this executable")
            << QByteArray("[Desktop Entry]\nIcon=custom\n") << ownExec << id;
    }

    void entryCarriesTheInstalledEntrysExecAndIcon()
    {
        QFETCH(QByteArray, installed);
        QFETCH(QByteArray, exec);
        QFETCH(QByteArray, icon);
        if (!installed.isEmpty()) {
            QDir().mkpath(installedApplications());
            QFile file(installedApplications() + QStringLiteral("/%1.desktop").arg(BuildConfig::bundleIdentifier));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(installed);
        }
        QCOMPARE(LaunchAtLogin::setEnabled(true), std::nullopt);
        const QByteArray entry = readEntry();
        QCOMPARE(execLine(entry), exec);
        QVERIFY2(entry.contains("\nIcon=" + icon + "\n"), entry.constData());
    }

    void legacyEntryMovesOverOnce_data()
    {
        QTest::addColumn<QByteArray>("legacy");
        QTest::addColumn<bool>("current");  // an entry under the current id already exists
        QTest::addColumn<bool>("enabled");
        QTest::newRow("on") << QByteArray("[Desktop Entry]\nExec=x\n") << false << true;
        QTest::newRow("switched off by the session")
            << QByteArray("[Desktop Entry]\nExec=x\nHidden=true\n") << false << false;
        QTest::newRow("on, current one switched off stays off")
            << QByteArray("[Desktop Entry]\nExec=x\n") << true << false;
    }

    void legacyEntryMovesOverOnce()
    {
        QFETCH(QByteArray, legacy);
        QFETCH(bool, current);
        QFETCH(bool, enabled);
        const QString folder = QFileInfo(LaunchAtLogin::entryPath()).absolutePath();
        const QString legacyPath = folder + QStringLiteral("/%1.desktop").arg(BuildConfig::legacyBundleIdentifier);
        QVERIFY(legacyPath != LaunchAtLogin::entryPath());
        QDir().mkpath(folder);
        QFile file(legacyPath);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(legacy);
        file.close();
        if (current) {
            writeEntry("[Desktop Entry]\nExec=x\nHidden=true\n");
        }
        LaunchAtLogin::migrateLegacyEntry();
        QVERIFY(!QFile::exists(legacyPath));
        QCOMPARE(LaunchAtLogin::isEnabled(), enabled);
        if (enabled) {
            QCOMPARE(execLine(readEntry()), '"' + QCoreApplication::applicationFilePath().toUtf8() + '"');
        }
        // Once: a second start finds nothing to move and changes nothing.
        LaunchAtLogin::migrateLegacyEntry();
        QCOMPARE(LaunchAtLogin::isEnabled(), enabled);
    }

    void entryLivesInTheUsersAutostartFolderUnderTheBundleId()
    {
        QCOMPARE(LaunchAtLogin::entryPath(), qEnvironmentVariable("XDG_CONFIG_HOME") + QStringLiteral("/autostart/") +
                                                 QString::fromUtf8(BuildConfig::bundleIdentifier) +
                                                 QStringLiteral(".desktop"));
    }

    void enablingWritesAnEntryThatStartsThisExecutableAndDisablingRemovesIt()
    {
        QVERIFY(!LaunchAtLogin::isEnabled());
        QCOMPARE(LaunchAtLogin::setEnabled(true), std::nullopt);
        QVERIFY(LaunchAtLogin::isEnabled());
        const QByteArray entry = readEntry();
        QVERIFY(entry.startsWith("[Desktop Entry]\n"));
        QVERIFY(entry.contains("\nType=Application\n"));
        QCOMPARE(execLine(entry), '"' + QCoreApplication::applicationFilePath().toUtf8() + '"');
        // No temporary file is left next to the entry.
        QCOMPARE(QDir(QFileInfo(LaunchAtLogin::entryPath()).absolutePath()).entryList(QDir::Files).size(), 1);

        QCOMPARE(LaunchAtLogin::setEnabled(false), std::nullopt);
        QVERIFY(!QFile::exists(LaunchAtLogin::entryPath()));
        QVERIFY(!LaunchAtLogin::isEnabled());
        // Disabling what is already off is no failure.
        QCOMPARE(LaunchAtLogin::setEnabled(false), std::nullopt);
    }

    void switchedOffEntryCountsAsOff_data()
    {
        QTest::addColumn<QByteArray>("entry");
        QTest::addColumn<bool>("enabled");
        QTest::newRow("plain") << QByteArray("[Desktop Entry]\nType=Application\nExec=x\n") << true;
        QTest::newRow("hidden") << QByteArray("[Desktop Entry]\nExec=x\nHidden=true\n") << false;
        QTest::newRow("hidden with blanks") << QByteArray("[Desktop Entry]\nHidden = true \n") << false;
        QTest::newRow("not hidden") << QByteArray("[Desktop Entry]\nHidden=false\n") << true;
        QTest::newRow("switched off by the session")
            << QByteArray("[Desktop Entry]\nX-GNOME-Autostart-enabled=false\n") << false;
        QTest::newRow("hidden in another group")
            << QByteArray("[Desktop Entry]\nExec=x\n[Desktop Action quit]\nHidden=true\n") << true;
        QTest::newRow("empty file") << QByteArray() << true;
    }

    void switchedOffEntryCountsAsOff()
    {
        QFETCH(QByteArray, entry);
        QFETCH(bool, enabled);
        writeEntry(entry);
        QCOMPARE(LaunchAtLogin::isEnabled(), enabled);
        // Switching on again replaces a hidden entry with a live one.
        QCOMPARE(LaunchAtLogin::setEnabled(true), std::nullopt);
        QVERIFY(LaunchAtLogin::isEnabled());
    }

    void execQuotesThePathSoTheSessionStartsExactlyIt_data()
    {
        QTest::addColumn<QString>("executable");
        QTest::addColumn<QByteArray>("exec");
        QTest::newRow("plain") << "/opt/tandrel/tandrel" << QByteArray(R"("/opt/tandrel/tandrel")");
        QTest::newRow("blank") << "/home/a b/tandrel" << QByteArray(R"("/home/a b/tandrel")");
        QTest::newRow("quote and dollar") << "/x/\"$HOME\"/t" << QByteArray(R"("/x/\\"\\$HOME\\"/t")");
        QTest::newRow("backslash") << "/x/a\\b" << QByteArray(R"("/x/a\\\\b")");
        QTest::newRow("percent") << "/x/100%/t" << QByteArray(R"("/x/100%%/t")");
    }

    void execQuotesThePathSoTheSessionStartsExactlyIt()
    {
        QFETCH(QString, executable);
        QFETCH(QByteArray, exec);
        QCOMPARE(execLine(LaunchAtLogin::desktopEntry(executable)), exec);
    }

    void failedWriteReportsAndKeepsThePreviousState()
    {
        // A plain file where the autostart folder should be: nothing can be written there.
        const QString folder = QFileInfo(LaunchAtLogin::entryPath()).absolutePath();
        QDir().mkpath(QFileInfo(folder).absolutePath());
        QFile blocker(folder);
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();

        const std::optional<Error> error = LaunchAtLogin::setEnabled(true);
        QVERIFY(error.has_value());
        QVERIFY(!error->localizedDescription().isEmpty());
        QVERIFY(!LaunchAtLogin::isEnabled());
    }
};

TANDREL_TEST_MAIN_CORE(LaunchAtLoginTest)
#include "tst_launchatlogin.moc"
