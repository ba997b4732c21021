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
    void cleanup()
    {
        QFile::remove(LaunchAtLogin::entryPath());
        QFile::remove(QFileInfo(LaunchAtLogin::entryPath()).absolutePath());
        QDir(QFileInfo(LaunchAtLogin::entryPath()).absolutePath()).removeRecursively();
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
