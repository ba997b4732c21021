#include "../Controllers/ServiceTesting.h"
#include "Classes/VPNHelper.h"
#include "StatusNotifierHost.h"
#include "AssetNames.h"
#include "Classes/Preferences.h"
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
#include <QProcess>
#include <QSystemTrayIcon>
#include <QThread>

#include <xcb/xcb.h>

#include <cstdlib>

using namespace tandrel;
using tandrel::testing::ServiceEnvironment;

namespace {

// A text property of the window as the X server holds it.
QByteArray windowProperty(QWidget* window, const QByteArray& name)
{
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (!x11) {
        return {};
    }
    xcb_connection_t* connection = x11->connection();
    xcb_intern_atom_reply_t* atom =
        xcb_intern_atom_reply(connection, xcb_intern_atom(connection, 1, uint16_t(name.size()), name.constData()), nullptr);
    QByteArray value;
    if (atom) {
        xcb_get_property_reply_t* property = xcb_get_property_reply(
            connection,
            xcb_get_property(connection, 0, xcb_window_t(window->winId()), atom->atom, XCB_GET_PROPERTY_TYPE_ANY, 0, 1024),
            nullptr);
        if (property) {
            value = QByteArray(static_cast<const char*>(xcb_get_property_value(property)),
                               xcb_get_property_value_length(property));
            std::free(property);
        }
        std::free(atom);
    }
    return value;
}

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
        QVERIFY(m_host.start());
        TandrelApp::installPlatformHooks();
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
        QVariantMap received;
        connect(&instance, &SingleInstance::activationRequested, this, [this, &received](const QVariantMap& data) {
            received = data;
            m_app->showMainWindow(data);
        });
        QVERIFY(QTest::qWaitForWindowExposed(window));
        window->showMinimized();
        QTRY_VERIFY(window->isMinimized());

        QProcess second;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        // What a launcher hands the program it starts, for the compositor to let it raise a window.
        environment.insert(QStringLiteral("XDG_ACTIVATION_TOKEN"), QStringLiteral("token-of-the-second-launch"));
        environment.insert(QStringLiteral("DESKTOP_STARTUP_ID"), QStringLiteral("launcher-1234_TIME5678"));
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
        if (sessionBus) {
            // Forwarded in Activate's platform data, and applied before the window is raised.
            QCOMPARE(received.value(QStringLiteral("activation-token")).toString(),
                     QStringLiteral("token-of-the-second-launch"));
            QCOMPARE(received.value(QStringLiteral("desktop-startup-id")).toString(),
                     QStringLiteral("launcher-1234_TIME5678"));
            QCOMPARE(qgetenv("DESKTOP_STARTUP_ID"), QByteArray("launcher-1234_TIME5678"));
            QCOMPARE(windowProperty(window, "_NET_STARTUP_ID"), QByteArray("launcher-1234_TIME5678"));
        }
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
        m_app->showInStatusArea();
        QTRY_VERIFY(m_app->statusTray());
        StatusTray* tray = m_app->statusTray();
        QCOMPARE(StatusTray::current(), tray);
        QVERIFY(tray->trayIcon()->isVisible());
        QTRY_VERIFY(!m_host.watcher().items().isEmpty());
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
        m_app->showInStatusArea();
        QTRY_VERIFY(m_app->statusTray());
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
        m_app->showInStatusArea();
        QTRY_VERIFY(m_app->statusTray());
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
        // The tooltip says what the main screen's status line says.
        const QString connectedLine =
            VPNMainView::statusAppearance(NEVPNStatus::connected, Preferences::countryConnected()).text;
        QVERIFY(connectedLine.startsWith(QStringLiteral("Connected to ")));
        QCOMPARE(m_app->statusTray()->toolTip(), connectedLine);
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
        QCoreApplication::processEvents();
        QVERIFY(!m_app->statusTray());
        QVERIFY(QApplication::quitOnLastWindowClosed());
        QPointer<QMainWindow> window = m_app->body();
        QVERIFY(window->testAttribute(Qt::WA_DeleteOnClose));
        QVERIFY(window->close());
        QTRY_VERIFY(!window);
    }

private:
    StatusNotifierHost m_host;
    std::unique_ptr<TandrelApp> m_app;
};

TANDREL_TEST_MAIN_WIDGETS(DesktopTest)
#include "tst_desktop.moc"
