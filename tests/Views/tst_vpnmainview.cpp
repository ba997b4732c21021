#include "../Controllers/ServiceTesting.h"
#include "BuildConfig.h"
#include "ContentView.h"
#include "Platform/NetworkExtension/NetworkManagerFailure.h"
#include "Platform/Workspace.h"
#include "TandrelApp.h"
#include "Views/Kit/Windows.h"
#include "Views/Regions/VPNRegionsView.h"
#include "Views/Screens/LoginView.h"
#include "Views/Screens/VPNMainView.h"
#include "Views/Sheets/PricingView.h"
#include "support/Screenshots.h"
#include "support/TestMain.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMainWindow>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QToolButton>

using namespace tandrel;
using demo::DemoBackend;
using testing::NotificationCounter;
using testing::ServiceEnvironment;
using ProgramState = ContentViewModel::ProgramState;
using Appearance = VPNMainView::StatusAppearance;

Q_DECLARE_METATYPE(VPNMainView::StatusAppearance)

namespace {

QMessageBox* visibleAlert(QWidget* screen)
{
    for (auto* box : screen->window()->findChildren<QMessageBox*>(QStringLiteral("mainAlert"))) {
        if (box->isVisible()) {
            return box;
        }
    }
    return nullptr;
}

QDialog* visibleSheet(QWidget* screen, const char* name)
{
    for (auto* dialog : screen->window()->findChildren<QDialog*>(QLatin1String(name))) {
        if (dialog->isVisible()) {
            return dialog;
        }
    }
    return nullptr;
}

}  // namespace

class VPNMainViewTest : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<ServiceEnvironment> env;
    std::unique_ptr<TandrelApp> app;
    QList<QUrl> opened;

    // The application's window on the main screen, its regions loaded.
    VPNMainView* showMainScreen()
    {
        QMainWindow* window = app->body();
        auto* root = window->findChild<ContentView*>();
        auto* screen = qobject_cast<VPNMainView*>(root->screen());
        [&] { QVERIFY(screen); }();
        [&] { QTRY_VERIFY_WITH_TIMEOUT(screen->ctrl() && screen->ctrl()->regions().size() > 3, 5000); }();
        [&] { QTRY_COMPARE(Windows::frame(window).size(), VPNMainView::windowSize()); }();
        return screen;
    }

    // The interface in this language until the result goes.
    [[nodiscard]] static Cancellable speak(const QString& language)
    {
        UserDefaults::standard().set(QStringList{language}, QStringLiteral("AppleLanguages"));
        TandrelApp::loadTranslations();
        return Cancellable([] {
            UserDefaults::standard().removeObject(QStringLiteral("AppleLanguages"));
            TandrelApp::loadTranslations();
        });
    }

    static QString statusText(VPNMainView* screen)
    {
        return screen->findChild<QLabel*>(QStringLiteral("statusLabel"))->text();
    }
    static QString buttonImage(VPNMainView* screen)
    {
        return screen->findChild<QPushButton*>(QStringLiteral("connectButton"))->property("imageName").toString();
    }
    static void choose(VPNMainView* screen, const char* action)
    {
        auto* item = screen->findChild<QAction*>(QLatin1String(action));
        [&] { QVERIFY2(item, action); }();
        item->trigger();
    }

private Q_SLOTS:
    void init()
    {
        env = std::make_unique<ServiceEnvironment>();
        env->signIn();
        TandrelApp::loadTranslations();
        Preferences::setConfigId(0);
        UserDefaults::standard().set(false, QStringLiteral("CompactView"));
        opened.clear();
        Workspace::setOpener([this](const QUrl& url) {
            opened << url;
            return true;
        });
        app = std::make_unique<TandrelApp>(QUrl());
    }

    void cleanup()
    {
        app.reset();
        Workspace::setOpener({});
        env.reset();
    }

    void statusChoosesImageAndText_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<Appearance>("look");
        QTest::newRow("invalid") << 0 << Appearance{"notConnectedButton", false, "VPN Not Connected"};
        QTest::newRow("disconnected") << 1 << Appearance{"notConnectedButton", false, "Not Connected"};
        QTest::newRow("connecting") << 2 << Appearance{"connectingButton", true, "Connecting..."};
        QTest::newRow("connected") << 3 << Appearance{"connectedButton", false, "Connected to Austria"};
        QTest::newRow("reasserting (kill switch on by default)")
            << 4 << Appearance{"connectingButton", true, "Reconnecting... Traffic is held back"};
        QTest::newRow("disconnecting") << 5 << Appearance{"connectingButton", true, "Disconnecting..."};
        QTest::newRow("unknown") << 9 << Appearance{"connectingButton", true, "Error. Reconnecting..."};
    }

    void statusChoosesImageAndText()
    {
        QFETCH(int, status);
        QFETCH(Appearance, look);
        QCOMPARE(VPNMainView::statusAppearance(static_cast<NEVPNStatus>(status), QStringLiteral("Austria")), look);
    }

    void reconnectingSaysTrafficIsHeldBackOnlyUnderTheKillSwitch()
    {
        Preferences::setKillSwitch(false);
        QCOMPARE(VPNMainView::statusAppearance(NEVPNStatus::reasserting, {}).text, QStringLiteral("Reconnecting..."));
        Preferences::setKillSwitch(true);
        QCOMPARE(VPNMainView::statusAppearance(NEVPNStatus::reasserting, {}).text,
                 QStringLiteral("Reconnecting... Traffic is held back"));
    }

    void statusBlockShowsEachStatus_data() { statusChoosesImageAndText_data(); }

    // The real status block, driven by the controller's published status.
    void statusBlockShowsEachStatus()
    {
        QFETCH(int, status);
        QFETCH(Appearance, look);
        VPNMainView* screen = showMainScreen();
        Preferences::setCountryConnected(QStringLiteral("Austria"));
        screen->ctrl()->connectionStatus = static_cast<NEVPNStatus>(status);
        QTRY_COMPARE(statusText(screen), look.text);
        QCOMPARE(buttonImage(screen), look.imageName);
        QCOMPARE(screen->findChild<QWidget*>(QStringLiteral("busyIndicator"))->isVisible(), look.busy);
        testing::saveScreenshot(screen->findChild<QWidget*>(QStringLiteral("statusColumn")),
                                QStringLiteral("status-") + QString::fromLatin1(QTest::currentDataTag()));
    }

    void alertNotificationsShowTheirAlert_data()
    {
        QTest::addColumn<QString>("notification");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("firstButton");
        QTest::newRow("slots") << "showSlotsPaymentAlert"
                               << "Device Limit Exceeded"
                               << "buyMoreSlotsButton";
        QTest::newRow("expired plan") << "showSubscriptionExpiredAlert"
                                      << "Subscription Expired"
                                      << "renewSubscriptionButton";
    }

    // The notifications the backend client and the tunnel set-up post bring up the alert.
    void alertNotificationsShowTheirAlert()
    {
        QFETCH(QString, notification);
        QFETCH(QString, title);
        QFETCH(QString, firstButton);
        VPNMainView* screen = showMainScreen();
        NotificationCenter::defaultCenter().post(notification);
        QTRY_VERIFY(visibleAlert(screen));
        QCOMPARE(visibleAlert(screen)->windowTitle(), title);
        QVERIFY(visibleAlert(screen)->findChild<QPushButton*>(firstButton));
    }

    void spanishTablesTranslateTheScreen()
    {
        UserDefaults::standard().set(QStringList{QStringLiteral("es")}, QStringLiteral("AppleLanguages"));
        QCOMPARE(TandrelApp::loadTranslations(), QStringLiteral("es"));
        const Appearance connected = VPNMainView::statusAppearance(NEVPNStatus::connected, QStringLiteral("Austria"));
        const QString heldBack = VPNMainView::reconnectingText(true);
        const QString searchHint = QCoreApplication::translate("VPNRegionsView", "Search by country or city...");
        UserDefaults::standard().removeObject(QStringLiteral("AppleLanguages"));
        TandrelApp::loadTranslations();
        QCOMPARE(connected.text, QStringLiteral("Conectado a Austria"));
        QCOMPARE(heldBack, QStringLiteral("Reconectando... El tráfico queda retenido"));
        QCOMPARE(searchHint, QStringLiteral("Buscar por país o ciudad..."));
    }

    void everySheetIsNamedAndItsCloseButtonIsReachedWithTab_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("sheet");
        QTest::addColumn<QString>("title");
        QTest::newRow("redeem code") << "redeemCodeAction"
                                     << "redeemSheet"
                                     << "Redeem Code";
        QTest::newRow("settings") << "settingsAction"
                                  << "settingsSheet"
                                  << "Settings";
        QTest::newRow("pricing") << "pricingAction"
                                 << "pricingSheet"
                                 << "Pricing";
        QTest::newRow("manage devices") << "manageDevicesAction"
                                        << "manageDevicesSheet"
                                        << "Manage Devices";
    }

    void everySheetIsNamedAndItsCloseButtonIsReachedWithTab()
    {
        QFETCH(QString, action);
        QFETCH(QString, sheet);
        QFETCH(QString, title);
        VPNMainView* screen = showMainScreen();
        QCOMPARE(screen->window()->accessibleName(), QStringLiteral("Tandrel"));
        choose(screen, action.toLatin1().constData());
        QDialog* dialog = nullptr;
        QTRY_VERIFY((dialog = screen->window()->findChild<QDialog*>(sheet)) && dialog->isVisible());
        QCOMPARE(dialog->accessibleName(), title);
        QCOMPARE(dialog->windowTitle(), title);
        auto* close = dialog->findChild<QAbstractButton*>(QStringLiteral("closeButton"));
        QVERIFY(close);
        QVERIFY(!close->accessibleName().isEmpty());
        // Walk the sheet's Tab chain from its first control: the close button is on it.
        dialog->activateWindow();
        QTRY_VERIFY(dialog->isActiveWindow());
        bool reached = false;
        for (int step = 0; step < 40 && !reached; ++step) {
            QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : dialog, Qt::Key_Tab);
            reached = QApplication::focusWidget() == close;
        }
        QVERIFY(reached);
        QTest::keyClick(close, Qt::Key_Space);
        QTRY_VERIFY(!screen->window()->findChild<QDialog*>(sheet));
    }

    void supportMailEncodesLikeAHostAndNamesLinux_data()
    {
        QTest::addColumn<QString>("language");
        QTest::newRow("English") << "en";
        QTest::newRow("Spanish") << "es";
        QTest::newRow("no table for it") << "fr";
    }

    void supportMailEncodesLikeAHostAndNamesLinux()
    {
        QFETCH(QString, language);
        UserDefaults::standard().set(QStringList{language}, QStringLiteral("AppleLanguages"));
        TandrelApp::loadTranslations();
        const QString text = VPNMainView::supportMailText("12.0.0", "1.0.0", "es-ES", "a+b&c@x.example");
        UserDefaults::standard().removeObject(QStringLiteral("AppleLanguages"));
        TandrelApp::loadTranslations();
        QCOMPARE(text, QStringLiteral("mailto:") + QString::fromUtf8(BuildConfig::supportEmail) +
                           "?subject=Tandrel%20Support%20ticket&body=%0A%0APlatform:%20Linux%2012.0.0%0AApp%20version:"
                           "%201.0.0%0ADevice%20language%20ISO:%20es-ES%0AUsername:%20a+b&c%40x.example");
    }

    void customerSupportOpensTheMailWithTheUser()
    {
        VPNMainView* screen = showMainScreen();
        choose(screen, "customerSupportAction");
        QCOMPARE(opened.size(), 1);
        const QString url = opened.first().toString(QUrl::FullyEncoded);
        QVERIFY2(url.startsWith(QStringLiteral("mailto:") + QString::fromUtf8(BuildConfig::supportEmail) +
                                "?subject=Tandrel%20Support%20ticket&body=%0A%0APlatform:%20Linux%20"),
                 qPrintable(url));
        QVERIFY2(url.endsWith(QStringLiteral("%0AUsername:%20demo%40tandrel.example")), qPrintable(url));

        // Without an e-mail the menu reads UNDEFINED (on the next redraw) and the mail says Unknown.
        Preferences::setEmail(std::nullopt);
        choose(screen, "customerSupportAction");
        QVERIFY(opened.last().toString(QUrl::FullyEncoded).endsWith(QStringLiteral("%0AUsername:%20Unknown")));
    }

    void mainScreenShowsTheOptimalRegionFirstAndConnectsOnATap()
    {
        VPNMainView* screen = showMainScreen();
        TandrelController& ctrl = *screen->ctrl();
        auto* regions = screen->findChild<VPNRegionsView*>();
        QTRY_VERIFY(regions->shownRegionIds().size() > 3);
        QVERIFY(ctrl.regions().front().country_name.startsWith(QStringLiteral("Optimal region\n")));
        QCOMPARE(regions->shownRegionIds().first(), ctrl.regions().front().id);
        auto* list = regions->findChild<QListView*>(QStringLiteral("regionList"));
        const auto spoken = [list](int row) {
            return QAccessible::queryAccessibleInterface(list)->child(row)->text(QAccessible::Name);
        };
        QTRY_VERIFY(spoken(0).endsWith(QStringLiteral(", selected")));
        QTRY_VERIFY(!screen->findChild<QLabel*>(QStringLiteral("planLabel"))->text().isEmpty());
        QCOMPARE(buttonImage(screen), QStringLiteral("notConnectedButton"));
        testing::saveScreenshot(screen->window(), QStringLiteral("main-disconnected-full"));

        const VPNRegion target = ctrl.regions()[2];
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(list->model()->index(2, 0)).center());
        QTRY_COMPARE_WITH_TIMEOUT(ctrl.connectionStatus(), NEVPNStatus::connected, 10000);
        QTRY_COMPARE(statusText(screen), QStringLiteral("Connected to ") + target.country_name);
        QCOMPARE(buttonImage(screen), QStringLiteral("connectedButton"));
        testing::saveScreenshot(screen->window(), QStringLiteral("main-connected-full"));
    }

    void connectButtonToggles()
    {
        VPNMainView* screen = showMainScreen();
        TandrelController& ctrl = *screen->ctrl();
        auto* button = screen->findChild<QPushButton*>(QStringLiteral("connectButton"));
        QTest::mouseClick(button, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(ctrl.connectionStatus(), NEVPNStatus::connected, 10000);
        QTRY_COMPARE(buttonImage(screen), QStringLiteral("connectedButton"));
        QCOMPARE(statusText(screen), QStringLiteral("Connected to ") + Preferences::countryConnected());

        QTest::mouseClick(button, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(ctrl.connectionStatus(), NEVPNStatus::disconnected, 10000);
        QTRY_COMPARE(statusText(screen), QStringLiteral("Not Connected"));
        QCOMPARE(buttonImage(screen), QStringLiteral("notConnectedButton"));
    }

    void aDropUnderTheKillSwitchSaysTrafficIsHeldBackUntilTheTunnelIsBack()
    {
        Preferences::setKillSwitch(true);
        VPNMainView* screen = showMainScreen();
        QTest::mouseClick(screen->findChild<QPushButton*>(QStringLiteral("connectButton")), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(screen->ctrl()->connectionStatus(), NEVPNStatus::connected, 10000);
        env->vpn->holdStatus(NEVPNStatus::reasserting);
        env->vpn->dropTunnel(true);
        QTRY_COMPARE(statusText(screen), QStringLiteral("Reconnecting... Traffic is held back"));
        QCOMPARE(buttonImage(screen), QStringLiteral("connectingButton"));
        testing::saveScreenshot(screen->window(), QStringLiteral("main-reconnecting-full"));
        env->vpn->holdStatus(std::nullopt);
        QTRY_COMPARE_WITH_TIMEOUT(screen->ctrl()->connectionStatus(), NEVPNStatus::connected, 10000);
    }

    void failedConnectSaysWhyUnderTheStatus_data()
    {
        QTest::addColumn<QString>("language");
        QTest::addColumn<QString>("said");
        QTest::newRow("English") << "en"
                                 << "The server answered with an error. Please try again later.";
        QTest::newRow("Spanish") << "es" << "El servidor respondió con un error. Inténtalo más tarde.";
    }

    // A configuration answer that is an error page: the spinner turns while it is awaited,
    // then the reason stands under the status line until the next attempt.
    void failedConnectSaysWhyUnderTheStatus()
    {
        QFETCH(QString, language);
        QFETCH(QString, said);
        Cancellable english = speak(language);
        VPNMainView* screen = showMainScreen();
        TandrelController& ctrl = *screen->ctrl();
        demo::Fault slowErrorPage;
        slowErrorPage.status = 502;
        slowErrorPage.body = "<html><body>Bad gateway</body></html>";
        slowErrorPage.contentType = "text/html";
        slowErrorPage.delayMs = 400;
        env->backend.setFault("GET", QStringLiteral("config/ipsec/*"), slowErrorPage);
        auto* button = screen->findChild<QPushButton*>(QStringLiteral("connectButton"));
        auto* busy = screen->findChild<QWidget*>(QStringLiteral("busyIndicator"));
        auto* error = screen->findChild<QLabel*>(QStringLiteral("connectionErrorLabel"));
        QVERIFY(!busy->isVisible());
        QTest::mouseClick(button, Qt::LeftButton);
        QTRY_VERIFY(busy->isVisible());
        QCOMPARE(ctrl.connectionStatus(), NEVPNStatus::invalid);  // nothing saved yet
        QTRY_VERIFY_WITH_TIMEOUT(error->isVisible(), 5000);
        QCOMPARE(error->text(), said);
        QVERIFY(!busy->isVisible());
        QCOMPARE(buttonImage(screen), QStringLiteral("notConnectedButton"));
        testing::saveScreenshot(screen->window(), QStringLiteral("main-connect-failed-") + language);

        // The next attempt clears it, and a tunnel that comes up shows no failure.
        env->backend.clearFaults();
        QTest::mouseClick(button, Qt::LeftButton);
        QTRY_VERIFY(!error->isVisible());
        QTRY_COMPARE_WITH_TIMEOUT(ctrl.connectionStatus(), NEVPNStatus::connected, 10000);
        QVERIFY(!error->isVisible());
    }

    // Every reason a connect can end with, in both languages, under the status line.
    void everyConnectFailureIsSaidInBothLanguages()
    {
        const Error timedOut(Client::networkErrorDomain, -1001);
        const Error refused(Client::networkErrorDomain, -1004);
        const Error service = Error::withDescription(QStringLiteral("NEVPNErrorDomain"), 5, QStringLiteral("busy"));
        const Error missing = Error::withDescription(QStringLiteral("VPNServiceUnavailable"), 1,
                                                     QStringLiteral("NetworkManager is not running."));
        QList<ConnectFailure> failures{
            *ConnectFailure::fromConfigurationError(timedOut),
            *ConnectFailure::fromConfigurationError(refused),
            *ConnectFailure::fromConfigurationError(Error(Client::serverErrorDomain, 500)),
            *ConnectFailure::fromConfigurationError(Error(Client::tooLargeErrorDomain, -1103)),
            *ConnectFailure::fromConfigurationError(keychainError(KeychainStatus::interactionNotAllowed)),
            ConnectFailure::unusableConfiguration(),
            ConnectFailure::vpnSettingsUnreadable(service),
            ConnectFailure::passwordNotStored(service),
            ConnectFailure::saveFailed(service),
            ConnectFailure::saveFailed(missing),
            ConnectFailure::startFailed(service),
            ConnectFailure::tunnelFailed(QStringLiteral("peer unreachable"))};
        for (const QString& sentence : NetworkManagerFailure::sentences()) {
            failures << ConnectFailure::tunnelFailed(sentence);
        }
        UserDefaults::standard().set(true, QStringLiteral("CompactView"));
        VPNMainView* screen = showMainScreen();
        auto* said = screen->findChild<QLabel*>(QStringLiteral("connectionErrorLabel"));
        for (const QString& language : {QStringLiteral("en"), QStringLiteral("es")}) {
            Cancellable back = speak(language);
            for (qsizetype i = 0; i < failures.size(); ++i) {
                screen->ctrl()->connectionError = failures[i];
                QTRY_COMPARE(said->text(), failures[i].text());
                QVERIFY(said->isVisible());
                const QString sentence = said->text().section(QLatin1Char('\n'), 0, 0);
                QVERIFY2((language == QStringLiteral("en")) == (sentence == failures[i].reason), qPrintable(sentence));
                testing::saveScreenshot(screen->findChild<QWidget*>(QStringLiteral("statusColumn")),
                                        QStringLiteral("failure-%1-%2").arg(i, 2, 10, QLatin1Char('0')).arg(language));
            }
        }
    }

    // A double-click is one tap: the tunnel comes up and stays up, and the click leaves no
    // focus ring on the button.
    void doubleClickOnTheConnectButtonConnectsOnce()
    {
        VPNMainView* screen = showMainScreen();
        TandrelController& ctrl = *screen->ctrl();
        auto* button = screen->findChild<QPushButton*>(QStringLiteral("connectButton"));
        const QPoint middle = button->rect().center();
        QTest::mouseClick(button, Qt::LeftButton, {}, middle);
        QMouseEvent second(QEvent::MouseButtonDblClick, middle, button->mapToGlobal(middle), Qt::LeftButton,
                           Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(button, &second);
        QTest::mouseRelease(button, Qt::LeftButton, {}, middle);
        QTRY_COMPARE_WITH_TIMEOUT(ctrl.connectionStatus(), NEVPNStatus::connected, 10000);
        QTest::qWait(200);
        QCOMPARE(ctrl.connectionStatus(), NEVPNStatus::connected);
        QCOMPARE(env->requestCount("GET", QStringLiteral("config/ipsec/%1").arg(Preferences::configId())), 1);
        QVERIFY(!button->hasFocus());
    }

    void compactViewFollowsTheStoredSettingLive()
    {
        UserDefaults::standard().removeObject(QStringLiteral("CompactView"));
        VPNMainView* screen = showMainScreen();
        // Never stored counts as compact: no plan text, no map, a 300 wide window.
        QCOMPARE(Windows::frame(screen->window()).size(), QSize(300, 700));
        QVERIFY(!screen->findChild<QLabel*>(QStringLiteral("planLabel"))->isVisible());
        QVERIFY(!screen->findChild<QWidget*>(QStringLiteral("mapView")));
        testing::saveScreenshot(screen->window(), QStringLiteral("main-disconnected-compact"));

        UserDefaults::standard().set(false, QStringLiteral("CompactView"));
        QTRY_VERIFY(screen->findChild<QWidget*>(QStringLiteral("mapView")));
        QVERIFY(screen->findChild<QLabel*>(QStringLiteral("planLabel"))->isVisible());
        // The screen leaves the window alone then; the settings sheet sizes it.
        QCOMPARE(Windows::frame(screen->window()).size(), QSize(300, 700));

        UserDefaults::standard().set(true, QStringLiteral("CompactView"));
        QTRY_VERIFY(!screen->findChild<QWidget*>(QStringLiteral("mapView")));
        QVERIFY(!screen->findChild<QLabel*>(QStringLiteral("planLabel"))->isVisible());

        QTest::mouseClick(screen->findChild<QPushButton*>(QStringLiteral("connectButton")), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(buttonImage(screen), QStringLiteral("connectedButton"), 10000);
        testing::saveScreenshot(screen->window(), QStringLiteral("main-connected-compact"));
    }

    void logOutReturnsToTheLoginScreen()
    {
        VPNMainView* screen = showMainScreen();
        auto* root = screen->window()->findChild<ContentView*>();
        NotificationCounter logouts(QStringLiteral("logout"));
        choose(screen, "logOutAction");
        QCOMPARE(logouts.count(), 1);
        QCOMPARE(root->vm().state(), ProgramState::needLogin);
        QVERIFY(qobject_cast<LoginView*>(root->screen()));
        QCOMPARE(Preferences::token(), std::nullopt);
        QCOMPARE(Preferences::email(), std::nullopt);
        QTRY_COMPARE(root->size(), LoginView::kLoginWindowSize);  // the screen itself, inside the frame
    }

    void anEndedSessionSaysWhyOnTheLoginScreen_data()
    {
        QTest::addColumn<QString>("language");
        QTest::addColumn<bool>("revoked");
        QTest::addColumn<QString>("said");
        QTest::newRow("expired, English") << "en" << false << "Your session has expired. Please log in again.";
        QTest::newRow("revoked, Spanish") << "es" << true << "Tu sesión ha caducado. Vuelve a iniciar sesión.";
    }

    // The backend ends the session (E0114 expired, E0115 revoked): the login screen says why,
    // until the next log-in. A log-out of the user's own says nothing.
    void anEndedSessionSaysWhyOnTheLoginScreen()
    {
        QFETCH(QString, language);
        QFETCH(bool, revoked);
        QFETCH(QString, said);
        Cancellable english = speak(language);
        VPNMainView* screen = showMainScreen();
        auto* root = screen->window()->findChild<ContentView*>();
        const QString token = *Preferences::token();
        revoked ? env->backend.revokeToken(token) : env->backend.expireToken(token);
        QTest::mouseClick(screen->findChild<QPushButton*>(QStringLiteral("connectButton")), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(qobject_cast<LoginView*>(root->screen()), 5000);
        auto* notice = root->screen()->findChild<QLabel*>(QStringLiteral("sessionExpiredNotice"));
        QVERIFY(notice);
        QTRY_VERIFY(notice->isVisible());
        QCOMPARE(notice->text(), said);
        testing::saveScreenshot(root->window(), QStringLiteral("login-session-expired-") + language);

        // A new log-in clears it; the user's own log-out afterwards says nothing.
        auto* login = qobject_cast<LoginView*>(root->screen());
        login->findChild<QLineEdit*>(QStringLiteral("emailField"))->setText(DemoBackend::demoEmail);
        login->findChild<QLineEdit*>(QStringLiteral("passwordLineEdit"))->setText(DemoBackend::demoPassword);
        login->logIn();
        QTRY_VERIFY_WITH_TIMEOUT(qobject_cast<VPNMainView*>(root->screen()), 5000);
        QVERIFY(!root->vm().sessionExpired());
        screen = qobject_cast<VPNMainView*>(root->screen());
        QTRY_VERIFY(screen->ctrl());
        choose(screen, "logOutAction");
        QVERIFY(qobject_cast<LoginView*>(root->screen()));
        QTest::qWait(50);
        QVERIFY(!root->screen()->findChild<QLabel*>(QStringLiteral("sessionExpiredNotice"))->isVisible());
    }

    // A log-out from the backend's side while a sheet and an alert are open, then a new
    // log-in, several times over: each main screen comes with its own controller and
    // leaves nothing behind that still points at the old one.
    void logOutAndInAgainWithASheetAndAnAlertOpen()
    {
        VPNMainView* screen = showMainScreen();
        auto* root = screen->window()->findChild<ContentView*>();
        ContentViewModel* const model = &root->vm();
        for (int round = 0; round < 3; ++round) {
            QPointer<TandrelController> ctrl = screen->ctrl();
            QPointer<VPNMainView> leaving = screen;
            choose(screen, "manageDevicesAction");
            QTRY_VERIFY(visibleSheet(screen, "manageDevicesSheet"));
            ctrl->activeAlert = TandrelController::ActiveAlert::slotsExceeded();
            QTRY_VERIFY(visibleAlert(screen));

            NotificationCenter::defaultCenter().post(QStringLiteral("logout"));
            QVERIFY(qobject_cast<LoginView*>(root->screen()));
            QTRY_VERIFY(!leaving && !ctrl);
            QVERIFY(root->window()->findChildren<QDialog*>().isEmpty());

            env->signIn();
            root->vm().state = ProgramState::loggedIn;
            screen = qobject_cast<VPNMainView*>(root->screen());
            QVERIFY(screen);
            QTRY_VERIFY_WITH_TIMEOUT(screen->ctrl() && screen->ctrl()->regions().size() > 3, 5000);
            QCOMPARE(&root->vm(), model);
        }
        NotificationCounter logouts(QStringLiteral("logout"));
        choose(screen, "logOutAction");
        QCOMPARE(logouts.count(), 1);
        QVERIFY(qobject_cast<LoginView*>(root->screen()));
    }

    void eachRedrawChecksTheKeychain_data()
    {
        QTest::addColumn<QVariant>("token");
        QTest::addColumn<QVariant>("email");
        QTest::addColumn<bool>("staysLoggedIn");
        // "keep" leaves the signed-in item as it is (a made-up token would log out by itself).
        QTest::newRow("token removed") << QVariant() << QVariant("keep") << false;
        QTest::newRow("email removed") << QVariant("keep") << QVariant() << false;
        QTest::newRow("empty texts are present") << QVariant("") << QVariant("") << true;
    }

    void eachRedrawChecksTheKeychain()
    {
        QFETCH(QVariant, token);
        QFETCH(QVariant, email);
        QFETCH(bool, staysLoggedIn);
        VPNMainView* screen = showMainScreen();
        auto* root = screen->window()->findChild<ContentView*>();
        NotificationCounter logouts(QStringLiteral("logout"));
        const auto change = [](const QVariant& value, auto set) {
            if (value != QVariant("keep")) {
                set(value.isValid() ? std::optional(value.toString()) : std::nullopt);
            }
        };
        change(token, &Preferences::setToken);
        change(email, &Preferences::setEmail);
        // Any published change redraws the screen, which reads the keychain again.
        screen->ctrl()->showAlert = false;
        if (staysLoggedIn) {
            QTRY_COMPARE(screen->findChild<QToolButton*>(QStringLiteral("accountMenuButton"))->text(), QString());
            QCOMPARE(logouts.count(), 0);
            QVERIFY(screen->findChild<QPushButton*>(QStringLiteral("connectButton"))->isVisible());
            return;
        }
        QTRY_COMPARE(logouts.count(), 1);
        QTRY_VERIFY(qobject_cast<LoginView*>(root->screen()));
        QCOMPARE(root->vm().state(), ProgramState::needLogin);
    }

    // The menu's title is the stored address as it is: an ampersand in it is no shortcut.
    void accountTitleShowsTheAddressAsItIs()
    {
        VPNMainView* screen = showMainScreen();
        const QString address = QStringLiteral("tom&jerry@tandrel.example");
        Preferences::setEmail(address);
        screen->ctrl()->showAlert = false;
        auto* title = screen->findChild<QToolButton*>(QStringLiteral("accountMenuButton"));
        QTRY_COMPARE(title->accessibleName(), address);
        QVERIFY(QKeySequence::mnemonic(title->text()).isEmpty());
        QCOMPARE(QString(title->text()).replace(QStringLiteral("&&"), QStringLiteral("&")), address);
    }

    void expiredPlanAlertLeadsToPricingOrRedeem_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("sheet");
        QTest::newRow("renew") << "renewSubscriptionButton"
                               << "pricingSheet";
        QTest::newRow("redeem") << "alertRedeemCodeButton"
                                << "redeemSheet";
    }

    void expiredPlanAlertLeadsToPricingOrRedeem()
    {
        QFETCH(QString, button);
        QFETCH(QString, sheet);
        env->signIn(DemoBackend::expiredEmail);
        VPNMainView* screen = showMainScreen();
        TandrelController& ctrl = *screen->ctrl();
        QTRY_COMPARE_WITH_TIMEOUT(ctrl.subscription(), TandrelController::expiredPlanText, 5000);
        ctrl.code = QStringLiteral("LEFT-OVER");
        QTest::mouseClick(screen->findChild<QPushButton*>(QStringLiteral("connectButton")), Qt::LeftButton);
        QTRY_VERIFY(visibleAlert(screen));
        QCOMPARE(visibleAlert(screen)->windowTitle(), QStringLiteral("Subscription Expired"));
        testing::saveScreenshot(visibleAlert(screen), QStringLiteral("main-alert-expired"));
        QCOMPARE(buttonImage(screen), QStringLiteral("notConnectedButton"));

        QTest::mouseClick(visibleAlert(screen)->findChild<QPushButton*>(button), Qt::LeftButton);
        QCOMPARE(ctrl.activeAlert(), std::nullopt);
        QTRY_VERIFY(!visibleAlert(screen));
        QTRY_VERIFY(visibleSheet(screen, qPrintable(sheet)));
        if (sheet == QStringLiteral("redeemSheet")) {
            QCOMPARE(ctrl.code(), QString());
        }
        // The window manager's close lowers the flag.
        visibleSheet(screen, qPrintable(sheet))->reject();
        QTRY_VERIFY(!ctrl.showPricing() && !ctrl.showRedeem());
        QCOMPARE(ctrl.showExtraSlotsPricing(), false);
    }

    void slotsAlertOpensTheExtraSlotPricing()
    {
        VPNMainView* screen = showMainScreen();
        TandrelController& ctrl = *screen->ctrl();
        ctrl.activeAlert = TandrelController::ActiveAlert::slotsExceeded();
        QTRY_VERIFY(visibleAlert(screen));
        QTest::mouseClick(visibleAlert(screen)->findChild<QPushButton*>(QStringLiteral("buyMoreSlotsButton")),
                          Qt::LeftButton);
        QVERIFY(ctrl.showExtraSlotsPricing());
        QVERIFY(ctrl.showPricing());
        QTRY_VERIFY(visibleSheet(screen, "pricingSheet"));
        // The sheet closes when its flag goes down, and "Pricing" opens it again.
        ctrl.showPricing = false;
        QTRY_VERIFY(!visibleSheet(screen, "pricingSheet"));
        choose(screen, "pricingAction");
        QTRY_VERIFY(visibleSheet(screen, "pricingSheet"));
        QVERIFY(ctrl.showExtraSlotsPricing());
    }

    void accountMenuTogglesTheSheets_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("sheet");
        QTest::newRow("redeem") << "redeemCodeAction"
                                << "redeemSheet";
        QTest::newRow("settings") << "settingsAction"
                                  << "settingsSheet";
        QTest::newRow("pricing") << "pricingAction"
                                 << "pricingSheet";
        QTest::newRow("devices") << "manageDevicesAction"
                                 << "manageDevicesSheet";
    }

    void accountMenuTogglesTheSheets()
    {
        QFETCH(QString, action);
        QFETCH(QString, sheet);
        VPNMainView* screen = showMainScreen();
        QCOMPARE(screen->findChild<QToolButton*>(QStringLiteral("accountMenuButton"))->text(), DemoBackend::demoEmail);
        QStringList items;
        for (QAction* item : screen->findChild<QMenu*>(QStringLiteral("accountMenu"))->actions()) {
            items << item->text();
        }
        QCOMPARE(items,
                 (QStringList{"Redeem Code", "Settings", "Pricing", "Manage Devices", "Customer support", "Log out"}));
        screen->ctrl()->code = QStringLiteral("LEFT-OVER");
        choose(screen, qPrintable(action));
        QTRY_VERIFY(visibleSheet(screen, qPrintable(sheet)));
        testing::saveScreenshot(visibleSheet(screen, qPrintable(sheet)), QStringLiteral("main-") + sheet);
        QCOMPARE(screen->ctrl()->code(), action == QStringLiteral("redeemCodeAction") ? QString() : "LEFT-OVER");
        visibleSheet(screen, qPrintable(sheet))->reject();
        QTRY_VERIFY(!screen->ctrl()->showRedeem() && !screen->ctrl()->showSettings() &&
                    !screen->ctrl()->showPricing() && !screen->ctrl()->showManageDevices());
    }

    void alertsCloseWithEscapeOrTheirCloseButton_data()
    {
        QTest::addColumn<bool>("deviceLimit");
        QTest::addColumn<bool>("escape");
        QTest::newRow("device limit, Escape") << true << true;
        QTest::newRow("device limit, close button") << true << false;
        QTest::newRow("expired plan, Escape") << false << true;
        QTest::newRow("expired plan, close button") << false << false;
    }

    // Dismissed without a choice: the alert goes and no sheet opens.
    void alertsCloseWithEscapeOrTheirCloseButton()
    {
        QFETCH(bool, deviceLimit);
        QFETCH(bool, escape);
        VPNMainView* screen = showMainScreen();
        TandrelController& ctrl = *screen->ctrl();
        ctrl.activeAlert = deviceLimit ? TandrelController::ActiveAlert::slotsExceeded()
                                       : TandrelController::ActiveAlert::subscriptionExpired();
        QTRY_VERIFY(visibleAlert(screen));
        if (escape) {
            QTest::keyClick(visibleAlert(screen), Qt::Key_Escape);
        } else {
            QVERIFY(visibleAlert(screen)->close());
        }
        QTRY_VERIFY(!visibleAlert(screen));
        QCOMPARE(ctrl.activeAlert(), std::nullopt);
        QTest::qWait(50);
        QVERIFY(!ctrl.showPricing() && !ctrl.showManageDevices() && !ctrl.showRedeem());
        QVERIFY(!ctrl.showExtraSlotsPricing());
        // The next alert of the same kind comes up again.
        ctrl.activeAlert = TandrelController::ActiveAlert::slotsExceeded();
        QTRY_VERIFY(visibleAlert(screen));
    }

    // The pricing sheet grows when its plans arrive; it stays centred over the main window
    // and inside the screen, also when the window sits low on the screen.
    void sheetsStayCentredAndOnScreen()
    {
        VPNMainView* screen = showMainScreen();
        QWidget* window = screen->window();
        const QRect room = window->screen()->availableGeometry();
        Windows::setFrame(window, QRect(QPoint(room.left() + 100, room.bottom() - 700 + 1), QSize(900, 700)), false);
        choose(screen, "pricingAction");
        QTRY_VERIFY(visibleSheet(screen, "pricingSheet"));
        QDialog* sheet = visibleSheet(screen, "pricingSheet");
        QTRY_VERIFY_WITH_TIMEOUT(!sheet->findChildren<PricingView::PlanRow*>().isEmpty(), 5000);
        QTRY_VERIFY(room.contains(Windows::frame(sheet)));
        QTRY_COMPARE(Windows::frame(sheet).center().x(), Windows::frame(window).center().x());
        testing::saveScreenshot(sheet, QStringLiteral("pricing-sheet-placed"));
    }

    void settingsSheetShowsAllItsRows()
    {
        VPNMainView* screen = showMainScreen();
        choose(screen, "settingsAction");
        QTRY_VERIFY(visibleSheet(screen, "settingsSheet"));
        auto* list = visibleSheet(screen, "settingsSheet")->findChild<QScrollArea*>(QStringLiteral("settingsList"));
        QTRY_VERIFY(list->widget()->height() > 0);
        QCOMPARE(list->verticalScrollBar()->maximum(), 0);
        testing::saveScreenshot(visibleSheet(screen, "settingsSheet"), QStringLiteral("settings-sheet-whole"));
    }

    void longConnectedTextKeepsToTheColumn_data()
    {
        QTest::addColumn<QString>("country");
        QTest::addColumn<QString>("shown");
        QTest::newRow("optimal entry, two lines") << "Optimal region\nGermany"
                                                  << "Connected to Optimal region\nGermany";
        QTest::newRow("a name longer than the column") << "The United Kingdom of Great Britain and Northern Ireland"
                                                       << "";
    }

    // "Connected to" and the country keep their own lines inside the 300 wide column: the
    // text is set smaller rather than wrapped, and cut only where even that does not fit.
    void longConnectedTextKeepsToTheColumn()
    {
        QFETCH(QString, country);
        QFETCH(QString, shown);
        UserDefaults::standard().set(true, QStringLiteral("CompactView"));
        VPNMainView* screen = showMainScreen();
        Preferences::setCountryConnected(country);
        screen->ctrl()->connectionStatus = NEVPNStatus::connected;
        auto* label = screen->findChild<QLabel*>(QStringLiteral("statusLabel"));
        QTRY_VERIFY(label->text().startsWith(QStringLiteral("Connected to")));
        const QString full = QStringLiteral("Connected to ") + country;
        QCOMPARE(label->accessibleName(), full);
        if (!shown.isEmpty()) {
            QCOMPARE(label->text(), shown);
        } else {
            QVERIFY(label->text().endsWith(QStringLiteral("…")));
            QCOMPARE(label->toolTip(), full);
        }
        QCOMPARE(label->text().count(QLatin1Char('\n')), country.count(QLatin1Char('\n')));
        QVERIFY(!label->wordWrap());
        const QFontMetrics metrics(label->font());
        for (const QString& line : label->text().split(QLatin1Char('\n'))) {
            QVERIFY2(metrics.horizontalAdvance(line) <= label->contentsRect().width(), qPrintable(line));
        }
        testing::saveScreenshot(screen->window(),
                                QStringLiteral("main-connected-compact-") +
                                    (shown.isEmpty() ? QStringLiteral("long") : QStringLiteral("optimal")));
    }

    void quitShortcutWorksOverASheetOrAnAlert_data()
    {
        QTest::addColumn<bool>("alert");
        QTest::newRow("settings sheet") << false;
        QTest::newRow("device-limit alert") << true;
    }

    void quitShortcutWorksOverASheetOrAnAlert()
    {
        QFETCH(bool, alert);
        VPNMainView* screen = showMainScreen();
        auto* quit = screen->window()->findChild<QAction*>(QStringLiteral("quitAction"));
        QVERIFY(quit);
        QObject::disconnect(quit, &QAction::triggered, qApp, nullptr);  // counted, not obeyed
        // The desktop's Quit binding; the offscreen platform has none of its own.
        quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
        int quits = 0;
        connect(quit, &QAction::triggered, this, [&quits] { ++quits; });
        QWidget* front = nullptr;
        if (alert) {
            screen->ctrl()->activeAlert = TandrelController::ActiveAlert::slotsExceeded();
            QTRY_VERIFY(visibleAlert(screen));
            front = visibleAlert(screen);
        } else {
            choose(screen, "settingsAction");
            QTRY_VERIFY(visibleSheet(screen, "settingsSheet"));
            front = visibleSheet(screen, "settingsSheet");
        }
        front->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(front));
        QTest::keyClick(front, Qt::Key_Q, Qt::ControlModifier);
        QTRY_COMPARE(quits, 1);
    }

    void redeemAlertShowsTheMessageAsItIs_data()
    {
        QTest::addColumn<QString>("message");
        QTest::newRow("markup") << QStringLiteral("<b>Code</b> used");
        QTest::newRow("ampersand") << QStringLiteral("Tom & Jerry's code is redeemed");
        QTest::newRow("entity") << QStringLiteral("Code &lt;ABC&gt; redeemed");
    }

    void redeemAlertShowsTheMessageAsItIs()
    {
        QFETCH(QString, message);
        VPNMainView* screen = showMainScreen();
        screen->ctrl()->activeAlert = TandrelController::ActiveAlert::redeem(message);
        QTRY_VERIFY(visibleAlert(screen));
        const auto* shown = visibleAlert(screen)->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"));
        QVERIFY(shown);
        QCOMPARE(shown->text(), message);
        QCOMPARE(shown->textFormat(), Qt::PlainText);
        QTest::mouseClick(visibleAlert(screen)->findChild<QPushButton*>(QStringLiteral("alertOkButton")),
                          Qt::LeftButton);
        QCOMPARE(screen->ctrl()->activeAlert(), std::nullopt);
        QTRY_VERIFY(!visibleAlert(screen));
    }
};

TANDREL_TEST_MAIN_WIDGETS(VPNMainViewTest)
#include "tst_vpnmainview.moc"
