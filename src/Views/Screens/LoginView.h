#pragma once

#include "Controllers/LoginController.h"
#include "Platform/Published.h"

#include <QPointer>
#include <QUrl>
#include <QWidget>

class QCheckBox;
class QLabel;
class QLayout;
class QLineEdit;
class QMessageBox;
class QPushButton;
class QToolButton;
class QVBoxLayout;

namespace tandrel {

class ContentViewModel;
class LinkButton;

// The login screen: log-in and sign-up forms on the left, the brand panel on the right.
// It owns one LoginController; the controller validates and talks to the backend, the
// screen shows a loading state while an attempt runs and the controller's failure text in
// an alert, and hands over to the main screen on success.
class LoginView : public QWidget {
    Q_OBJECT
public:
    enum class LoginViewState { loading, logIn, signUp };

    // A password field with an eye button that shows or masks the text. The text stays
    // across the switch.
    class PasswordField : public QWidget {
    public:
        PasswordField(const QString& secureFieldLabel, QWidget* parent = nullptr);

        QLineEdit* lineEdit() const { return m_field; }
        QToolButton* eyeButton() const { return m_eye; }
        bool isSecure() const { return m_isSecure; }
        void setSecure(bool secure);

    private:
        QLineEdit* m_field;
        QToolButton* m_eye;
        bool m_isSecure = true;
    };

    explicit LoginView(ContentViewModel& vm, QWidget* parent = nullptr);

    LoginViewState loginViewState() const { return m_loginViewState; }
    LoginController& ctrl() { return *m_ctrl; }

    // The main button's actions and the forgotten-password link.
    void logIn();
    void signUp();
    void openResetPasswordPage();

    // "reset_password" under the web site's base address.
    static QUrl resetPasswordUrl();
    // The window size after a successful log-in, by a plain read of "CompactView" (a key
    // never written reads false here, unlike the typed preference).
    static QSize mainWindowSizeAfterLogIn();
    static constexpr QSize kLoginWindowSize{800, 500};

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    QWidget* buildLeftPanel();
    QWidget* buildForm();
    // The form's parts, top to bottom.
    void addCredentialFields(QVBoxLayout* column, QWidget* form);
    QLayout* buildOptionsRow(QWidget* form);
    QWidget* buildMainButton(QWidget* form);
    QLayout* buildSwitchRow(QWidget* form);
    QWidget* buildRightPanel();
    void setLoginViewState(LoginViewState state);
    void render();
    void handleLoginResult(Status status);
    void resizeWindowForLogin();
    void presentAlert();
    void dismissAlert();

    ContentViewModel& m_vm;
    LoginViewState m_loginViewState = LoginViewState::logIn;
    LoginController* m_ctrl;
    QString m_email;
    QString m_password;
    QString m_repeatPassword;
    bool m_keeplogged = false;

    QWidget* m_loadingPanel = nullptr;
    QWidget* m_form = nullptr;
    QLineEdit* m_emailField = nullptr;
    PasswordField* m_passwordField = nullptr;
    QWidget* m_repeatPasswordFrame = nullptr;
    PasswordField* m_repeatPasswordField = nullptr;
    QCheckBox* m_keepLoggedIn = nullptr;
    LinkButton* m_forgetPassword = nullptr;
    QPushButton* m_mainButton = nullptr;
    QLabel* m_switchPrompt = nullptr;
    LinkButton* m_signUpLink = nullptr;
    LinkButton* m_logInLink = nullptr;
    QWidget* m_rightPanel = nullptr;
    QPointer<QMessageBox> m_alert;
    QLabel* m_sessionNotice = nullptr;

    Cancellable m_resultSubscription;
    Cancellable m_errorSubscription;
    Cancellable m_messageSubscription;
    Cancellable m_sessionSubscription;
    Cancellable m_pendingSubscription;
};

}  // namespace tandrel
