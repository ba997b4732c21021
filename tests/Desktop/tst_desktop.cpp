#include "../Controllers/ServiceTesting.h"
#include "Classes/VPNHelper.h"
#include "AssetNames.h"
#include "BuildConfig.h"
#include "ContentView.h"
#include "Controllers/TandrelController.h"
#include "Platform/ApplicationIcon.h"
#include "Platform/SingleInstance.h"
#include "Platform/UserDefaults.h"
#include "TandrelApp.h"
#include "Views/App/StatusTray.h"
#include "Views/Kit/Assets.h"
#include "Views/Screens/VPNMainView.h"
#include "support/Screenshots.h"
#include "support/TestMain.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QFileInfo>
#include <QMainWindow>
#include <QMenu>
#include <QMutex>
#include <QProcess>
#include <QSystemTrayIcon>
#include <QThread>

using namespace tandrel;
using tandrel::testing::ServiceEnvironment;

// The desktop's status-area host as the StatusNotifierItem protocol has it: owns the
// watcher name, says a host is registered and records the items that register. It runs
// on a thread of its own, so the program's blocking calls to it are answered.
class StatusNotifierWatcher : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ isHostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ items)
public:
    bool isHostRegistered() const { return true; }
    int protocolVersion() const { return 0; }
    QStringList items() const
    {
        QMutexLocker locker(&m_lock);
        return m_items;
    }

public Q_SLOTS:
    void RegisterStatusNotifierItem(const QString& service)
    {
        QMutexLocker locker(&m_lock);
        m_items << service;
    }
    void RegisterStatusNotifierHost(const QString&) {}

Q_SIGNALS:
    void StatusNotifierItemRegistered(const QString& service);
    void StatusNotifierItemUnregistered(const QString& service);
    void StatusNotifierHostRegistered();

private:
    mutable QMutex m_lock;
    QStringList m_items;
};

namespace {

QImage iconImage(const QIcon& icon)
{
    return icon.pixmap(QSize(32, 32), 1.0).toImage().convertToFormat(QImage::Format_ARGB32);
}

}  // namespace

class DesktopTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        if (!SingleInstance::sessionBusAvailable()) {
            QSKIP("needs a session bus (run under dbus-run-session, as CTest does)");
        }
        m_watcherThread.start();
        m_watcher.moveToThread(&m_watcherThread);
        QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("host"));
        QVERIFY(bus.isConnected());
        QVERIFY(bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), &m_watcher,
                                   QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties |
                                       QDBusConnection::ExportAllSignals));
        QVERIFY(bus.registerService(QStringLiteral("org.kde.StatusNotifierWatcher")));
        TandrelApp::installPlatformHooks();
    }

    void cleanupTestCase()
    {
        QDBusConnection::disconnectFromBus(QStringLiteral("host"));
        m_watcherThread.quit();
        m_watcherThread.wait();
    }

    void cleanup()
    {
        m_app.reset();
        QApplication::setQuitOnLastWindowClosed(true);
    }

    void secondLaunchShowsTheFirstWindowAndExitsZero_data()
    {
        QTest::addColumn<bool>("sessionBus");
        QTest::newRow("name on the session bus") << true;
        QTest::newRow("local socket without a session bus") << false;
    }

    void secondLaunchShowsTheFirstWindowAndExitsZero()
    {
        QFETCH(bool, sessionBus);
        const QByteArray busAddress = qgetenv("DBUS_SESSION_BUS_ADDRESS");
        if (!sessionBus) {
            qunsetenv("DBUS_SESSION_BUS_ADDRESS");
        }
        SingleInstance instance(QString::fromUtf8(BuildConfig::bundleIdentifier));
        const bool claimed = instance.claim();
        qputenv("DBUS_SESSION_BUS_ADDRESS", busAddress);
        QVERIFY(claimed);
        QCOMPARE(instance.mechanism(), sessionBus ? QStringLiteral("session bus") : QStringLiteral("local socket"));

        m_app = std::make_unique<TandrelApp>(QUrl());
        QMainWindow* window = m_app->body();
        connect(&instance, &SingleInstance::activationRequested, this, [this] { m_app->showMainWindow(); });
        QVERIFY(QTest::qWaitForWindowExposed(window));
        window->showMinimized();
        QTRY_VERIFY(window->isMinimized());

        QProcess second;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        if (!sessionBus) {
            environment.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
        }
        second.setProcessEnvironment(environment);
        second.start(QStringLiteral(TANDREL_EXECUTABLE), QStringList());
        // The first instance answers on this thread's event loop while the second waits.
        QTRY_VERIFY_WITH_TIMEOUT(second.state() == QProcess::NotRunning, 10000);
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QVERIFY2(second.readAllStandardOutput().contains("Tandrel is already running; showing its window."),
                 second.readAllStandardError().constData());
        QTRY_VERIFY(window->isVisible() && !window->isMinimized());
    }

    void instanceOfAKilledProgramIsTakenOver()
    {
        QProcess first;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
        first.setProcessEnvironment(environment);
        first.start(QStringLiteral(TANDREL_EXECUTABLE), QStringList());
        const QString socket = SingleInstance::socketPath(QString::fromUtf8(BuildConfig::bundleIdentifier));
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(socket).exists(), 10000);
        first.kill();  // no chance to clean up: the lock and the socket stay behind
        QVERIFY(first.waitForFinished(5000));
        QVERIFY(QFileInfo::exists(socket + QStringLiteral(".lock")));

        const QByteArray busAddress = qgetenv("DBUS_SESSION_BUS_ADDRESS");
        qunsetenv("DBUS_SESSION_BUS_ADDRESS");
        SingleInstance instance(QString::fromUtf8(BuildConfig::bundleIdentifier));
        const bool claimed = instance.claim();
        qputenv("DBUS_SESSION_BUS_ADDRESS", busAddress);
        QVERIFY(claimed);
        QSignalSpy activations(&instance, &SingleInstance::activationRequested);
        QProcess second;
        second.setProcessEnvironment(environment);
        second.start(QStringLiteral(TANDREL_EXECUTABLE), QStringList());
        QTRY_VERIFY_WITH_TIMEOUT(second.state() == QProcess::NotRunning, 10000);
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(activations.size(), 1);
    }

    void trayOffersShowAndQuitAndRegistersWithTheHost()
    {
        m_app = std::make_unique<TandrelApp>(QUrl());
        QVERIFY(m_app->showInStatusArea());
        StatusTray* tray = m_app->statusTray();
        QVERIFY(tray->trayIcon()->isVisible());
        QTRY_VERIFY(!m_watcher.items().isEmpty());
        QCOMPARE(tray->menu()->actions().first()->text(), QStringLiteral("Show Tandrel"));
        QCOMPARE(tray->menu()->actions().last()->text(), QStringLiteral("Quit"));

        // "Show Tandrel" and a click open the window, or bring the closed one back.
        tray->showAction()->trigger();
        QWidget* window = m_app->showMainWindow();
        QVERIFY(window->isVisible());
        window->close();
        QVERIFY(!window->isVisible());
        Q_EMIT tray->trayIcon()->activated(QSystemTrayIcon::Trigger);
        QTRY_VERIFY(window->isVisible());

        tray->menu()->popup(QPoint(200, 200));
        QVERIFY(QTest::qWaitForWindowExposed(tray->menu()));
        testing::saveScreenshot(tray->menu(), QStringLiteral("tray-menu"));
        tray->menu()->hide();

        // "Quit" ends the application's event loop at once, asking nothing.
        QTimer::singleShot(0, tray->quitAction(), &QAction::trigger);
        QTimer watchdog;
        watchdog.setSingleShot(true);
        connect(&watchdog, &QTimer::timeout, qApp, [] { QCoreApplication::exit(1); });
        watchdog.start(5000);
        QCOMPARE(QApplication::exec(), 0);
    }

    void trayIconFollowsEveryStatus_data()
    {
        QTest::addColumn<NEVPNStatus>("status");
        QTest::addColumn<QString>("shown");
        QTest::newRow("invalid") << NEVPNStatus::invalid << AssetName::iconInvalid;
        QTest::newRow("disconnected") << NEVPNStatus::disconnected << AssetName::AppIconMacOS;
        QTest::newRow("connecting") << NEVPNStatus::connecting << AssetName::iconConnecting;
        QTest::newRow("reasserting") << NEVPNStatus::reasserting << AssetName::iconConnecting;
        QTest::newRow("connected") << NEVPNStatus::connected << AssetName::iconConnected;
        QTest::newRow("disconnecting") << NEVPNStatus::disconnecting << AssetName::iconDisconnecting;
        QTest::newRow("unknown: the application's own") << static_cast<NEVPNStatus>(42) << AssetName::AppIconMacOS;
    }

    void trayIconFollowsEveryStatus()
    {
        QFETCH(NEVPNStatus, status);
        QFETCH(QString, shown);
        m_app = std::make_unique<TandrelApp>(QUrl());
        QVERIFY(m_app->showInStatusArea());
        QIcon other = Assets::image(shown == AssetName::iconConnected ? AssetName::iconInvalid : AssetName::iconConnected);
        m_app->statusTray()->setIcon(other);
        // The tray follows the tunnel's status signal, whichever thread reports it; the
        // window icon, the name the controller sets.
        std::unique_ptr<QThread> worker(QThread::create([status] {
            emit VPNHelper::shared().statusDidChange(status, {});
            ApplicationIcon::set(TandrelController::statusIconName(status));
        }));
        worker->start();
        QVERIFY(worker->wait(5000));
        QTRY_COMPARE(iconImage(m_app->statusTray()->trayIcon()->icon()), iconImage(Assets::image(shown)));
        QTRY_COMPARE(iconImage(QApplication::windowIcon()), iconImage(Assets::image(shown)));
    }

    void closingTheWindowWithATrayKeepsTheControllerObservingTheTunnel()
    {
        ServiceEnvironment env;
        env.signIn();
        UserDefaults::standard().set(true, QStringLiteral("KillSwitch"));
        m_app = std::make_unique<TandrelApp>(QUrl());
        QVERIFY(m_app->showInStatusArea());
        QPointer<QMainWindow> window = m_app->body();
        auto* screen = qobject_cast<VPNMainView*>(window->findChild<ContentView*>()->screen());
        QVERIFY(screen);
        QPointer<TandrelController> ctrl = screen->ctrl();
        QTRY_VERIFY_WITH_TIMEOUT(ctrl->regions().size() > 3, 5000);
        ctrl->didSelectRegion(ctrl->regions()[1].id);
        QTRY_COMPARE_WITH_TIMEOUT(ctrl->connectionStatus(), NEVPNStatus::connected, 10000);

        QVERIFY(window->close());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(window);
        QVERIFY(!window->isVisible());
        QVERIFY(!QApplication::quitOnLastWindowClosed());
        QVERIFY(ctrl);

        // The tunnel drops and comes back while the window is closed: the controller and
        // the tray icon follow it.
        QList<NEVPNStatus> seen;
        const Cancellable watching = ctrl->connectionStatus.sink([&seen](NEVPNStatus status) { seen << status; });
        env.vpn->dropTunnel(true);
        QTRY_VERIFY_WITH_TIMEOUT(seen.contains(NEVPNStatus::reasserting), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(ctrl->connectionStatus(), NEVPNStatus::connected, 10000);
        QTRY_COMPARE(iconImage(m_app->statusTray()->trayIcon()->icon()),
                     iconImage(Assets::image(AssetName::iconConnected)));
        UserDefaults::standard().removeObject(QStringLiteral("KillSwitch"));
    }

    void withoutATrayClosingTheWindowEndsAsBefore()
    {
        const QByteArray busAddress = qgetenv("DBUS_SESSION_BUS_ADDRESS");
        qunsetenv("DBUS_SESSION_BUS_ADDRESS");
        m_app = std::make_unique<TandrelApp>(QUrl());
        const bool shown = m_app->showInStatusArea();
        qputenv("DBUS_SESSION_BUS_ADDRESS", busAddress);
        QVERIFY(!shown);
        QVERIFY(QApplication::quitOnLastWindowClosed());
        QPointer<QMainWindow> window = m_app->body();
        QVERIFY(window->testAttribute(Qt::WA_DeleteOnClose));
        QVERIFY(window->close());
        QTRY_VERIFY(!window);
    }

private:
    QThread m_watcherThread;
    StatusNotifierWatcher m_watcher;
    std::unique_ptr<TandrelApp> m_app;
};

TANDREL_TEST_MAIN_WIDGETS(DesktopTest)
#include "tst_desktop.moc"
