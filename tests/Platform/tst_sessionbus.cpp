#include "Platform/SessionBus.h"

#include "support/TestMain.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <csignal>

using namespace tandrel;

namespace {

// Bus processes (dbus-launch, dbus-daemon) whose environment holds `marker`: only a
// process started from one we ran can have it.
QList<qint64> busProcessesWith(const QByteArray& marker)
{
    QList<qint64> found;
    QDirIterator entries(QStringLiteral("/proc"), QDir::Dirs | QDir::NoDotAndDotDot);
    while (entries.hasNext()) {
        entries.next();
        bool isNumber = false;
        const qint64 pid = entries.fileName().toLongLong(&isNumber);
        if (!isNumber) {
            continue;
        }
        QFile comm(entries.filePath() + QStringLiteral("/comm"));
        if (!comm.open(QIODevice::ReadOnly) || !comm.readAll().startsWith("dbus-")) {
            continue;
        }
        QFile environ(entries.filePath() + QStringLiteral("/environ"));
        if (environ.open(QIODevice::ReadOnly) && environ.readAll().split('\0').contains(marker)) {
            found << pid;
        }
    }
    return found;
}

class EnvironmentVariable {
public:
    EnvironmentVariable(const char* name, const std::optional<QByteArray>& value)
        : m_name(name), m_saved(qEnvironmentVariableIsSet(name) ? std::optional(qgetenv(name)) : std::nullopt)
    {
        value ? qputenv(name, *value) : qunsetenv(name);
    }
    ~EnvironmentVariable() { m_saved ? qputenv(m_name, *m_saved) : qunsetenv(m_name); }

private:
    const char* m_name;
    std::optional<QByteArray> m_saved;
};

}  // namespace

Q_DECLARE_METATYPE(std::optional<QByteArray>)

class SessionBusTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void addressNeverNeedsALaunch_data()
    {
        QTest::addColumn<std::optional<QByteArray>>("variable");
        QTest::addColumn<bool>("socket");  // $XDG_RUNTIME_DIR/bus exists
        QTest::addColumn<QString>("address");
        const std::optional<QByteArray> unset;
        QTest::newRow("unset, no socket") << unset << false << "";
        QTest::newRow("unset, standard socket") << unset << true << "unix:path=<runtime>/bus";
        QTest::newRow("autolaunch only") << std::optional<QByteArray>("autolaunch:") << true << "";
        QTest::newRow("disabled") << std::optional<QByteArray>("disabled:") << true << "";
        QTest::newRow("autolaunch as a fallback") << std::optional<QByteArray>("unix:path=/run/user/7/bus;autolaunch:")
                                                  << false << "unix:path=/run/user/7/bus";
    }

    void addressNeverNeedsALaunch()
    {
        QFETCH(std::optional<QByteArray>, variable);
        QFETCH(bool, socket);
        QFETCH(QString, address);
        QTemporaryDir runtime;
        if (socket) {
            QFile bus(runtime.filePath(QStringLiteral("bus")));
            QVERIFY(bus.open(QIODevice::WriteOnly));
        }
        EnvironmentVariable runtimeDir("XDG_RUNTIME_DIR", runtime.path().toUtf8());
        EnvironmentVariable busAddress("DBUS_SESSION_BUS_ADDRESS", variable);
        address.replace(QStringLiteral("<runtime>"), runtime.path());
        QCOMPARE(sessionBusAddress(), address);
        QCOMPARE(sessionBusAvailable(), !address.isEmpty());
    }

    // The program on an X display without a session bus: Qt's accessibility bridge and menu
    // bar ask for the session bus, which D-Bus would autolaunch through the display.
    void programWithoutASessionBusLeavesNoBusDaemon()
    {
#ifndef TANDREL_EXECUTABLE
        QSKIP("built without the program");
#else
        const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
        const QString xwininfo = QStandardPaths::findExecutable(QStringLiteral("xwininfo"));
        if (xvfb.isEmpty() || xwininfo.isEmpty()) {
            QSKIP("needs Xvfb and xwininfo");
        }
        QTemporaryDir home;
        const QByteArray marker = "HOME=" + home.path().toUtf8();
        QCOMPARE(busProcessesWith(marker), QList<qint64>());

        // A display number nobody uses.
        int display = 90 + static_cast<int>(QCoreApplication::applicationPid() % 100);
        while (QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(display)) ||
               QFile::exists(QStringLiteral("/tmp/.X%1-lock").arg(display))) {
            ++display;
        }
        const QString displayName = QStringLiteral(":%1").arg(display);
        QProcess server;
        server.start(xvfb, {displayName, QStringLiteral("-nolisten"), QStringLiteral("tcp")});
        QVERIFY(server.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(display)), 10000);

        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
        environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
        environment.insert(QStringLiteral("DISPLAY"), displayName);
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        environment.insert(QStringLiteral("HOME"), home.path());
        for (const char* sub : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"}) {
            const QString folder = home.filePath(QString::fromLatin1(sub));
            QVERIFY(QDir().mkpath(folder));
            QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
            environment.insert(QString::fromLatin1(sub), folder);
        }
        QProcess program;
        program.setProcessEnvironment(environment);
        program.setProcessChannelMode(QProcess::MergedChannels);
        program.start(QStringLiteral(TANDREL_EXECUTABLE), {});
        QVERIFY(program.waitForStarted());

        // Once its window is mapped, the program has built its menu bar and its first
        // screen; a bus, if any, was launched on the way there.
        auto windowShown = [&] {
            QProcess query;
            query.setProcessEnvironment(environment);
            query.start(xwininfo, {QStringLiteral("-root"), QStringLiteral("-tree")});
            query.waitForFinished(5000);
            return query.readAllStandardOutput().contains("\"Tandrel\"");
        };
        QTRY_VERIFY_WITH_TIMEOUT(windowShown(), 20000);
        program.terminate();
        QVERIFY(program.waitForFinished(10000));
        server.terminate();
        server.waitForFinished(10000);

        const QList<qint64> left = busProcessesWith(marker);
        for (const qint64 pid : left) {
            ::kill(static_cast<pid_t>(pid), SIGTERM);  // started from our own child
        }
        QCOMPARE(left, QList<qint64>());
#endif
    }
};

TANDREL_TEST_MAIN_CORE(SessionBusTest)
#include "tst_sessionbus.moc"
