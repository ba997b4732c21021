#include "BuildConfig.h"
#include "Classes/Preferences.h"
#include "ContentView.h"
#include "DemoBackend.h"
#include "Network/Client.h"
#include "Platform/Keychain.h"
#include "Platform/NotificationCenter.h"
#include "Platform/UserDefaults.h"
#include "Platform/Workspace.h"
#include "TandrelApp.h"
#include "Views/Kit/Assets.h"
#include "Views/Kit/Windows.h"
#include "Views/Screens/LoginView.h"
#include "Views/Screens/VPNMainView.h"
#include "support/TestMain.h"

#include <QAction>
#include <QCheckBox>
#include <QDirIterator>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QThread>
#include <QToolButton>

using namespace tandrel;
using ProgramState = ContentViewModel::ProgramState;
using State = LoginView::LoginViewState;

namespace {

// Where the screenshots of the screen go for a look (outside the repository).
void saveScreenshot(QWidget* widget, const QString& name)
{
    const QString folder = qEnvironmentVariable("TANDREL_SCREENSHOTS");
    if (folder.isEmpty()) {
        return;
    }
    QDir().mkpath(folder);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    QVERIFY(widget->window()->grab().save(folder + QLatin1Char('/') + name + QStringLiteral(".png")));
}

// The window with its alert drawn over it, as a window-modal alert shows.
void saveScreenshotWithAlert(QWidget* widget, QWidget* alert, const QString& name)
{
    const QString folder = qEnvironmentVariable("TANDREL_SCREENSHOTS");
    if (folder.isEmpty()) {
        return;
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    QPixmap picture = widget->window()->grab();
    const QPixmap box = alert->grab();
    QPainter painter(&picture);
    painter.fillRect(picture.rect(), QColor(0, 0, 0, 40));
    const QPoint topLeft((picture.width() - box.width()) / 2, 60);
    painter.setPen(QColor(0, 0, 0, 90));
    painter.drawRect(QRect(topLeft, box.size()).adjusted(-1, -1, 0, 0));
    painter.drawPixmap(topLeft, box);
    painter.end();
    QVERIFY(picture.save(folder + QLatin1Char('/') + name + QStringLiteral(".png")));
}

void typeInto(QWidget* root, const char* objectName, const QString& text)
{
    auto* field = root->findChild<QLineEdit*>(QLatin1String(objectName));
    QVERIFY2(field, objectName);
    field->clear();
    QTest::keyClicks(field, text);
}

// The bounding box of the pixels that differ from the background.
QRectF inkBox(const QImage& image, const QColor& background)
{
    const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
    const QRgb plain = background.rgba();
    QRect box;
    for (int y = 0; y < argb.height(); ++y) {
        for (int x = 0; x < argb.width(); ++x) {
            const QRgb pixel = argb.pixel(x, y);
            const bool ink = background.alpha() == 0
                                 ? qAlpha(pixel) > 16
                                 : qAbs(qRed(pixel) - qRed(plain)) + qAbs(qGreen(pixel) - qGreen(plain)) +
                                           qAbs(qBlue(pixel) - qBlue(plain)) >
                                       24;
            if (ink) {
                box |= QRect(x, y, 1, 1);
            }
        }
    }
    return QRectF(box);
}

QMessageBox* visibleAlert(QWidget* root)
{
    for (auto* box : root->window()->findChildren<QMessageBox*>(QStringLiteral("loginAlert"))) {
        if (box->isVisible()) {
            return box;
        }
    }
    return nullptr;
}

}  // namespace

class LoginViewTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_backend.listen(0));
        Client::setServerPath(m_backend.apiBase());
    }

    void init()
    {
        m_keychainDir.emplace();
        KeychainStore::setSystem(KeychainStore::makeFileStore(m_keychainDir->filePath(QStringLiteral("keychain"))));
        UserDefaults::standard().removeObject(QStringLiteral("CompactView"));
        m_opened.clear();
        Workspace::setOpener([this](const QUrl& url) {
            m_opened << url;
            return true;
        });
        m_app = std::make_unique<TandrelApp>(QUrl());
    }

    void cleanup()
    {
        m_app.reset();
        Workspace::setOpener({});
    }

    void firstScreenFollowsTheKeychain_data()
    {
        QTest::addColumn<QVariant>("email");
        QTest::addColumn<QVariant>("token");
        QTest::addColumn<bool>("loggedIn");
        QTest::newRow("empty keychain") << QVariant() << QVariant() << false;
        QTest::newRow("email without token") << QVariant("a@b.example") << QVariant() << false;
        QTest::newRow("token without email") << QVariant() << QVariant("t0ken") << false;
        QTest::newRow("empty email") << QVariant("") << QVariant("t0ken") << false;
        QTest::newRow("empty token") << QVariant("a@b.example") << QVariant("") << false;
        QTest::newRow("both present") << QVariant("a@b.example") << QVariant("t0ken") << true;
        QTest::newRow("blanks count as present") << QVariant(" ") << QVariant(" ") << true;
    }

    void firstScreenFollowsTheKeychain()
    {
        QFETCH(QVariant, email);
        QFETCH(QVariant, token);
        QFETCH(bool, loggedIn);
        if (email.isValid()) {
            QVERIFY(!Preferences::defaultKeychain().set(email.toString(), QStringLiteral("email")));
        }
        if (token.isValid()) {
            QVERIFY(!Preferences::defaultKeychain().set(token.toString(), QStringLiteral("token")));
        }
        m_backend.clearRequests();
        QMainWindow* window = showWindow();
        auto* root = window->findChild<ContentView*>();
        QCOMPARE(root->vm().state(), loggedIn ? ProgramState::loggedIn : ProgramState::needLogin);
        QCOMPARE(qobject_cast<VPNMainView*>(root->screen()) != nullptr, loggedIn);
        QCOMPARE(qobject_cast<LoginView*>(root->screen()) != nullptr, !loggedIn);
        QVERIFY(m_backend.requests().isEmpty());
    }

    void loginScreenSizesTheWindowEachTimeItShows()
    {
        QMainWindow* window = showWindow();
        QTRY_COMPARE(window->findChild<ContentView*>()->size(), LoginView::kLoginWindowSize);
        window->resize(640, 480);
        auto* root = window->findChild<ContentView*>();
        root->vm().state = ProgramState::loggedIn;
        root->vm().state = ProgramState::needLogin;
        QTRY_COMPARE(window->findChild<ContentView*>()->size(), LoginView::kLoginWindowSize);
    }

    void invalidEmailPassesThroughLoadingAndComesBackWithTheAlert()
    {
        QMainWindow* window = showWindow();
        LoginView* login = loginView(window);
        typeInto(login, "emailField", QStringLiteral("not-an-address"));
        typeInto(login, "passwordLineEdit", QStringLiteral("secret12"));
        saveScreenshot(login, QStringLiteral("login-form"));
        clickMainButton(login);

        QCOMPARE(login->loginViewState(), State::loading);
        QVERIFY(login->findChild<QWidget*>(QStringLiteral("loadingPanel"))->isVisibleTo(login));
        QVERIFY(!login->findChild<QWidget*>(QStringLiteral("loginForm"))->isVisibleTo(login));
        saveScreenshot(login, QStringLiteral("login-loading"));

        QTRY_COMPARE(login->loginViewState(), State::logIn);
        QTRY_VERIFY(visibleAlert(login));
        QMessageBox* alert = visibleAlert(login);
        QCOMPARE(alert->windowTitle(), QStringLiteral("Message"));
        QCOMPARE(alert->informativeText(), QStringLiteral("Please enter valid email"));
        QCOMPARE(login->findChild<QLineEdit*>(QStringLiteral("emailField"))->text(), QStringLiteral("not-an-address"));
        saveScreenshotWithAlert(login, alert, QStringLiteral("login-alert"));
    }

    void okEmptiesTheMessageAndLowersTheFlag()
    {
        QMainWindow* window = showWindow();
        LoginView* login = loginView(window);
        typeInto(login, "emailField", QStringLiteral("user@tandrel.example"));
        typeInto(login, "passwordLineEdit", QStringLiteral("short"));
        clickMainButton(login);
        QTRY_VERIFY(visibleAlert(login));
        QCOMPARE(login->ctrl().loginErrorMsg(), QStringLiteral("Password should be 6 chars at least"));

        QTest::mouseClick(visibleAlert(login)->findChild<QPushButton*>(QStringLiteral("alertOkButton")),
                          Qt::LeftButton);
        QCOMPARE(login->ctrl().loginErrorMsg(), QString());
        QTRY_VERIFY(!visibleAlert(login));
        QCOMPARE(login->ctrl().loginError(), false);

        // The next failure raises the alert again with its own text.
        clickMainButton(login);
        QTRY_VERIFY(visibleAlert(login));
        QCOMPARE(visibleAlert(login)->informativeText(), QStringLiteral("Password should be 6 chars at least"));
    }

    // The controller's text may come from the backend; it is never read as markup.
    void alertShowsTheControllersMessageAsItIs()
    {
        QMainWindow* window = showWindow();
        LoginView* login = loginView(window);
        const QString message = QStringLiteral("<b>Blocked</b> & try again");
        login->ctrl().loginErrorMsg = message;
        login->ctrl().loginError = true;
        QTRY_VERIFY(visibleAlert(login));
        const auto* shown = visibleAlert(login)->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"));
        QVERIFY(shown);
        QCOMPARE(shown->text(), message);
        QCOMPARE(shown->textFormat(), Qt::PlainText);
    }

    void failedSignUpReturnsToTheSignUpFormKeepingItsFields_data()
    {
        QTest::addColumn<QString>("email");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("repeatPassword");
        QTest::addColumn<QString>("message");
        QTest::newRow("passwords differ") << "new@tandrel.example"
                                          << "secret12"
                                          << "secret13"
                                          << "Passwords are not the same";
        QTest::newRow("account taken by the backend") << demo::DemoBackend::demoEmail << "secret12"
                                                      << "secret12"
                                                      << "The email has already been taken.";
    }

    void failedSignUpReturnsToTheSignUpFormKeepingItsFields()
    {
        QFETCH(QString, email);
        QFETCH(QString, password);
        QFETCH(QString, repeatPassword);
        QFETCH(QString, message);
        QMainWindow* window = showWindow();
        LoginView* login = loginView(window);
        QTest::mouseClick(login->findChild<QAbstractButton*>(QStringLiteral("signUpLink")), Qt::LeftButton);
        QCOMPARE(login->loginViewState(), State::signUp);
        typeInto(login, "emailField", email);
        typeInto(login, "passwordLineEdit", password);
        typeInto(login, "repeatPasswordLineEdit", repeatPassword);
        saveScreenshot(login, QStringLiteral("signup-form"));
        clickMainButton(login);
        QCOMPARE(login->loginViewState(), State::loading);

        QTRY_VERIFY_WITH_TIMEOUT(visibleAlert(login), 10000);
        QTRY_COMPARE(login->loginViewState(), State::signUp);
        QCOMPARE(visibleAlert(login)->informativeText(), message);
        auto* repeat = login->findChild<QLineEdit*>(QStringLiteral("repeatPasswordLineEdit"));
        QVERIFY(repeat->isVisibleTo(login));
        QCOMPARE(repeat->text(), repeatPassword);

        // Switching forms keeps what was typed.
        QTest::mouseClick(visibleAlert(login)->findChild<QPushButton*>(QStringLiteral("alertOkButton")),
                          Qt::LeftButton);
        QTest::mouseClick(login->findChild<QAbstractButton*>(QStringLiteral("logInLink")), Qt::LeftButton);
        QVERIFY(!repeat->isVisibleTo(login));
        QTest::mouseClick(login->findChild<QAbstractButton*>(QStringLiteral("signUpLink")), Qt::LeftButton);
        QCOMPARE(repeat->text(), repeatPassword);
    }

    void returnPressesTheVisibleMainButton_data()
    {
        QTest::addColumn<bool>("signUpForm");
        QTest::addColumn<QString>("field");
        QTest::newRow("log-in form, e-mail field") << false << "emailField";
        QTest::newRow("log-in form, password field") << false << "passwordLineEdit";
        QTest::newRow("sign-up form, repeated password") << true << "repeatPasswordLineEdit";
    }

    void returnPressesTheVisibleMainButton()
    {
        QFETCH(bool, signUpForm);
        QFETCH(QString, field);
        QMainWindow* window = showWindow();
        LoginView* login = loginView(window);
        if (signUpForm) {
            QTest::mouseClick(login->findChild<QAbstractButton*>(QStringLiteral("signUpLink")), Qt::LeftButton);
        }
        typeInto(login, "emailField", QStringLiteral("no-at-sign"));
        auto* target = login->findChild<QLineEdit*>(field);
        target->setFocus();
        QTest::keyClick(target, Qt::Key_Return);
        QCOMPARE(login->loginViewState(), State::loading);
        // Each form's own action ran: the failure leads back to the form it came from.
        QTRY_COMPARE(login->loginViewState(), signUpForm ? State::signUp : State::logIn);
        QCOMPARE(login->ctrl().loginResult(), signUpForm ? Status::signUpFalse : Status::logInFalse);
    }

    void successfulLogInSwitchesToTheMainScreenAndSizesTheWindow_data()
    {
        QTest::addColumn<QVariant>("compactView");
        QTest::addColumn<QSize>("afterLogIn");
        QTest::addColumn<QSize>("mainScreen");
        // A never-written "CompactView" reads false on log-in but true for the main screen.
        QTest::newRow("never written") << QVariant() << QSize(900, 700) << QSize(300, 700);
        QTest::newRow("stored true") << QVariant(true) << QSize(300, 700) << QSize(300, 700);
        QTest::newRow("stored false") << QVariant(false) << QSize(900, 700) << QSize(900, 700);
    }

    void successfulLogInSwitchesToTheMainScreenAndSizesTheWindow()
    {
        QFETCH(QVariant, compactView);
        QFETCH(QSize, afterLogIn);
        QFETCH(QSize, mainScreen);
        if (compactView.isValid()) {
            UserDefaults::standard().set(compactView.toBool(), QStringLiteral("CompactView"));
        }
        QCOMPARE(LoginView::mainWindowSizeAfterLogIn(), afterLogIn);
        QCOMPARE(VPNMainView::windowSize(), mainScreen);

        QMainWindow* window = showWindow();
        QTRY_COMPARE(window->findChild<ContentView*>()->size(), LoginView::kLoginWindowSize);
        const QPoint bottomLeft = Windows::frame(window).bottomLeft();
        LoginView* login = loginView(window);
        auto* root = window->findChild<ContentView*>();
        typeInto(login, "emailField", demo::DemoBackend::demoEmail);
        typeInto(login, "passwordLineEdit", demo::DemoBackend::demoPassword);
        clickMainButton(login);

        QTRY_COMPARE_WITH_TIMEOUT(root->vm().state(), ProgramState::loggedIn, 10000);
        QVERIFY(qobject_cast<VPNMainView*>(root->screen()));
        QCOMPARE(Preferences::defaultKeychain()[QStringLiteral("email")], demo::DemoBackend::demoEmail);
        QVERIFY(!Preferences::defaultKeychain()[QStringLiteral("token")].value_or(QString()).isEmpty());
        QTRY_COMPARE(Windows::frame(window).size(), mainScreen);
        QCOMPARE(Windows::frame(window).bottomLeft(), bottomLeft);
    }

    void logOutFromTheMainScreenShowsAFreshLoginScreen()
    {
        QVERIFY(!Preferences::defaultKeychain().set(QStringLiteral("a@b.example"), QStringLiteral("email")));
        QVERIFY(!Preferences::defaultKeychain().set(QStringLiteral("t0ken"), QStringLiteral("token")));
        int logoutPosts = 0;
        const auto token = NotificationCenter::defaultCenter().addObserver(QStringLiteral("logout"), nullptr,
                                                                           NotificationCenter::Delivery::postingThread,
                                                                           [&](const Notification&) { ++logoutPosts; });
        QMainWindow* window = showWindow();
        auto* root = window->findChild<ContentView*>();
        QVERIFY(qobject_cast<VPNMainView*>(root->screen()));
        root->findChild<QAction*>(QStringLiteral("logOutAction"))->trigger();
        NotificationCenter::defaultCenter().removeObserver(token);
        QCOMPARE(logoutPosts, 1);
        QCOMPARE(root->vm().state(), ProgramState::needLogin);
        LoginView* login = qobject_cast<LoginView*>(root->screen());
        QVERIFY(login);
        QCOMPARE(login->findChild<QLineEdit*>(QStringLiteral("emailField"))->text(), QString());
        QTRY_COMPARE(window->findChild<ContentView*>()->size(), LoginView::kLoginWindowSize);
    }

    void showLoginViewNotificationReturnsToTheLoginScreen()
    {
        QVERIFY(!Preferences::defaultKeychain().set(QStringLiteral("a@b.example"), QStringLiteral("email")));
        QVERIFY(!Preferences::defaultKeychain().set(QStringLiteral("t0ken"), QStringLiteral("token")));
        QMainWindow* window = showWindow();
        auto* root = window->findChild<ContentView*>();
        NotificationCenter::defaultCenter().post(QStringLiteral("showLoginView"));
        QCOMPARE(root->vm().state(), ProgramState::needLogin);
        QWidget* login = root->screen();
        QVERIFY(qobject_cast<LoginView*>(login));
        // Again while the login screen shows: the same screen stays.
        NotificationCenter::defaultCenter().post(QStringLiteral("showLoginView"));
        QCOMPARE(root->screen(), login);
    }

    void showLoginViewFromAnotherThreadSwitchesOnTheMainThread()
    {
        QVERIFY(!Preferences::defaultKeychain().set(QStringLiteral("a@b.example"), QStringLiteral("email")));
        QVERIFY(!Preferences::defaultKeychain().set(QStringLiteral("t0ken"), QStringLiteral("token")));
        QMainWindow* window = showWindow();
        auto* root = window->findChild<ContentView*>();
        std::unique_ptr<QThread> poster(
            QThread::create([] { NotificationCenter::defaultCenter().post(QStringLiteral("showLoginView")); }));
        poster->start();
        QVERIFY(poster->wait(5000));
        QTRY_VERIFY(qobject_cast<LoginView*>(root->screen()));
        QCOMPARE(root->screen()->thread(), QCoreApplication::instance()->thread());
    }

    void keepLoggedInStoresAndSendsNothing()
    {
        QMainWindow* window = showWindow();
        LoginView* login = loginView(window);
        const auto snapshot = [this] {
            QMap<QString, QByteArray> files;
            for (const QString& root : {m_keychainDir->path(), qEnvironmentVariable("XDG_CONFIG_HOME")}) {
                QDirIterator it(root, QDir::Files, QDirIterator::Subdirectories);
                while (it.hasNext()) {
                    QFile file(it.next());
                    if (file.open(QIODevice::ReadOnly)) {
                        files.insert(file.fileName(), file.readAll());
                    }
                }
            }
            return files;
        };
        UserDefaults::standard().synchronize();
        const auto before = snapshot();
        m_backend.clearRequests();
        auto* box = login->findChild<QCheckBox*>(QStringLiteral("keepLoggedInCheckBox"));
        QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(4, box->height() / 2));
        QVERIFY(box->isChecked());
        UserDefaults::standard().synchronize();
        QCOMPARE(snapshot(), before);
        QVERIFY(m_backend.requests().isEmpty());
    }

    void forgetPasswordOpensTheResetPage()
    {
        QMainWindow* window = showWindow();
        LoginView* login = loginView(window);
        QTest::mouseClick(login->findChild<QAbstractButton*>(QStringLiteral("forgetPasswordLink")), Qt::LeftButton);
        QCOMPARE(m_opened, QList<QUrl>{QUrl(QString::fromUtf8(BuildConfig::webBase) + "/reset_password")});
        QCOMPARE(login->loginViewState(), State::logIn);
    }

    void eyeButtonShowsAndMasksThePasswordKeepingIt()
    {
        QMainWindow* window = showWindow();
        LoginView* login = loginView(window);
        auto* field = login->findChild<QLineEdit*>(QStringLiteral("passwordLineEdit"));
        auto* eye = login->findChild<QToolButton*>(QStringLiteral("passwordEyeButton"));
        QTest::keyClicks(field, QStringLiteral("hunter22"));
        QCOMPARE(field->echoMode(), QLineEdit::Password);
        QTest::mouseClick(eye, Qt::LeftButton);
        QCOMPARE(field->echoMode(), QLineEdit::Normal);
        QCOMPARE(field->text(), QStringLiteral("hunter22"));
        QTest::mouseClick(eye, Qt::LeftButton);
        QCOMPARE(field->echoMode(), QLineEdit::Password);
        // Without a pointer: Tab from the field reaches the eye, Space shows the password.
        window->activateWindow();
        field->setFocus();
        QTRY_VERIFY(field->hasFocus());
        QTest::keyClick(field, Qt::Key_Tab);
        QTRY_VERIFY(eye->hasFocus());
        QTest::keyClick(eye, Qt::Key_Space);
        QCOMPARE(field->echoMode(), QLineEdit::Normal);
    }

    // Runs at scale 1 with the other tests and once more in a process of its own under
    // QT_SCALE_FACTOR=2 (see CMakeLists.txt).
    void logoKeepsItsSizeInPointsAtAnyScale()
    {
        QMainWindow* window = showWindow();
        LoginView* login = loginView(window);
        auto* logo = login->findChild<QLabel*>(QStringLiteral("logo"));
        QVERIFY(logo);
        const qreal scale =
            qEnvironmentVariableIsSet("QT_SCALE_FACTOR") ? qEnvironmentVariable("QT_SCALE_FACTOR").toDouble() : 1.0;
        QCOMPARE(logo->devicePixelRatioF(), scale);
        QCOMPARE(logo->pixmap().deviceIndependentSize(), QSizeF(128, 128));
        // What the label draws, measured in points, against the artwork drawn at scale 1.
        const QImage drawn = logo->grab().toImage();
        const QImage reference =
            Assets::image(QString::fromLatin1(AssetName::logo)).pixmap(QSize(128, 128), 1.0).toImage();
        const QRectF drawnBox = inkBox(drawn, logo->palette().color(logo->backgroundRole()));
        const QRectF referenceBox = inkBox(reference, Qt::transparent);
        QVERIFY(!referenceBox.isEmpty());
        const QRectF drawnInPoints(drawnBox.topLeft() / drawn.devicePixelRatio(),
                                   drawnBox.size() / drawn.devicePixelRatio());
        QVERIFY2(qAbs(drawnInPoints.width() - referenceBox.width()) <= 1.5 &&
                     qAbs(drawnInPoints.height() - referenceBox.height()) <= 1.5 &&
                     qAbs(drawnInPoints.left() - referenceBox.left()) <= 1.5,
                 qPrintable(QStringLiteral("drawn %1x%2 at %3, artwork %4x%5 at %6")
                                .arg(drawnInPoints.width())
                                .arg(drawnInPoints.height())
                                .arg(drawnInPoints.left())
                                .arg(referenceBox.width())
                                .arg(referenceBox.height())
                                .arg(referenceBox.left())));
        saveScreenshot(window, QStringLiteral("login-scale-%1").arg(scale));
    }

    void everyControlIsNamedForAccessibility()
    {
        QMainWindow* window = showWindow();
        LoginView* login = loginView(window);
        QTest::mouseClick(login->findChild<QAbstractButton*>(QStringLiteral("signUpLink")), Qt::LeftButton);
        const auto controls = login->findChildren<QWidget*>();
        for (QWidget* control : controls) {
            if (qobject_cast<QAbstractButton*>(control) || qobject_cast<QLineEdit*>(control)) {
                if (!control->isVisibleTo(login)) {
                    continue;
                }
                QVERIFY2(!control->objectName().isEmpty(), qPrintable(control->accessibleName()));
                QVERIFY2(!control->accessibleName().isEmpty(), qPrintable(control->objectName()));
            }
        }
    }

private:
    QMainWindow* showWindow()
    {
        QMainWindow* window = m_app->body();
        return window;
    }

    static LoginView* loginView(QMainWindow* window)
    {
        // The screen has sized its window.
        [&] { QTRY_COMPARE(window->findChild<ContentView*>()->size(), LoginView::kLoginWindowSize); }();
        auto* login = qobject_cast<LoginView*>(window->findChild<ContentView*>()->screen());
        [&] { QVERIFY(login); }();
        return login;
    }

    static void clickMainButton(LoginView* login)
    {
        QTest::mouseClick(login->findChild<QPushButton*>(QStringLiteral("mainButton")), Qt::LeftButton);
    }

    demo::DemoBackend m_backend;
    std::optional<QTemporaryDir> m_keychainDir;
    std::unique_ptr<TandrelApp> m_app;
    QList<QUrl> m_opened;
};

TANDREL_TEST_MAIN_WIDGETS(LoginViewTest)
#include "tst_loginview.moc"
