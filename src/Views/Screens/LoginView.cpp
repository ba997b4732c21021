#include "Views/Screens/LoginView.h"

#include "BuildConfig.h"
#include "ContentViewModel.h"
#include "Controllers/TandrelController.h"
#include "Extensions/UserDefaultsKey.h"
#include "Platform/MainQueue.h"
#include "Platform/UserDefaults.h"
#include "Platform/Workspace.h"
#include "Views/Kit/AlertText.h"
#include "Views/Kit/Assets.h"
#include "Views/Kit/LinkButton.h"
#include "Views/Kit/Windows.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPainterPath>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

namespace tandrel {
namespace {

const QColor kBlue(0, 122, 255);
const QColor kGray(142, 142, 147);
const QColor kSecondary(60, 60, 67, 153);
constexpr int kDefaultPadding = 8;
constexpr int kPendingLogoutCheckMs = 2000;

// The controller's own failure texts have Spanish forms (context "LoginController"); the
// backend's messages have none and show as they came.
QString shownMessage(const QString& message)
{
    const QByteArray key = message.toUtf8();
    return QCoreApplication::translate("LoginController", key.constData());
}
constexpr int kFieldHorizontalPadding = 12;

// The screen keeps the light appearance whatever the desktop's theme is.
QPalette lightPalette()
{
    QPalette palette;
    palette.setColor(QPalette::Window, QColor(236, 236, 236));
    palette.setColor(QPalette::WindowText, Qt::black);
    palette.setColor(QPalette::Base, Qt::white);
    palette.setColor(QPalette::AlternateBase, QColor(245, 245, 245));
    palette.setColor(QPalette::Text, Qt::black);
    palette.setColor(QPalette::Button, QColor(245, 245, 245));
    palette.setColor(QPalette::ButtonText, Qt::black);
    palette.setColor(QPalette::PlaceholderText, QColor(0, 0, 0, 64));
    palette.setColor(QPalette::Highlight, kBlue);
    palette.setColor(QPalette::HighlightedText, Qt::white);
    palette.setColor(QPalette::ToolTipBase, Qt::white);
    palette.setColor(QPalette::ToolTipText, Qt::black);
    return palette;
}

// The gray rounded outline shared by the e-mail and password fields.
QWidget* framed(QWidget* field, const QString& frameName, QWidget* parent)
{
    auto* frame = new QFrame(parent);
    frame->setObjectName(frameName);
    frame->setStyleSheet(QStringLiteral("QFrame#%1 { border: 1px solid rgba(142, 142, 147, 178); border-radius: 2px; "
                                        "background: white; }")
                             .arg(frameName));
    auto* layout = new QHBoxLayout(frame);
    layout->setContentsMargins(kFieldHorizontalPadding, 10, kFieldHorizontalPadding, 10);
    layout->addWidget(field);
    return frame;
}

void stylePlainField(QLineEdit* field)
{
    field->setFrame(false);
    field->setStyleSheet(QStringLiteral("QLineEdit { border: none; background: transparent; color: black; }"));
}

// The blue main button: the title centred, an arrow at the trailing edge.
class MainButton : public QPushButton {
public:
    using QPushButton::QPushButton;

    QSize sizeHint() const override
    {
        const QFontMetrics metrics(font());
        return {metrics.horizontalAdvance(text()) + 2 * kDefaultPadding + 40, metrics.height() + 20};
    }
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QPainterPath shape;
        shape.addRoundedRect(QRectF(rect()), 2, 2);
        painter.fillPath(shape, isDown() ? kBlue.darker(120) : kBlue);
        painter.setPen(Qt::white);
        painter.drawText(rect(), Qt::AlignCenter, text());
        const int iconSide = QFontMetrics(font()).height();
        const QRect iconRect(width() - kDefaultPadding * 2 - iconSide, (height() - iconSide) / 2, iconSide, iconSide);
        Assets::systemSymbol(QStringLiteral("arrow.right"), Qt::white).paint(&painter, iconRect);
        if (hasFocus()) {
            painter.setPen(QPen(QColor(255, 255, 255, 160), 1, Qt::DotLine));
            painter.drawRoundedRect(QRectF(rect()).adjusted(2.5, 2.5, -2.5, -2.5), 2, 2);
        }
    }
};

// An image that fills its space as far as its aspect ratio allows.
class FittedImage : public QWidget {
public:
    FittedImage(QString assetName, QWidget* parent) : QWidget(parent), m_icon(Assets::image(assetName))
    {
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    }
    QSize sizeHint() const override { return {128, 128}; }
    QSize minimumSizeHint() const override { return {0, 0}; }

protected:
    void paintEvent(QPaintEvent*) override
    {
        const int side = std::min(width(), height());
        QPainter painter(this);
        m_icon.paint(&painter, QRect((width() - side) / 2, (height() - side) / 2, side, side));
    }

private:
    QIcon m_icon;
};

}  // namespace

LoginView::PasswordField::PasswordField(const QString& secureFieldLabel, QWidget* parent)
    : QWidget(parent), m_field(new QLineEdit(this)), m_eye(new QToolButton(this))
{
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(8);
    auto* row = new QHBoxLayout;
    row->setContentsMargins(0, 0, 0, 0);
    column->addLayout(row);
    // The placeholder is shown as given, not looked up.
    m_field->setPlaceholderText(secureFieldLabel);
    m_field->setAccessibleName(secureFieldLabel);
    stylePlainField(m_field);
    m_eye->setAutoRaise(true);
    // Reached with Tab right after its field, so the password can be shown without a pointer.
    m_eye->setFocusPolicy(Qt::StrongFocus);
    m_eye->setCursor(Qt::PointingHandCursor);
    m_eye->setStyleSheet(
        QStringLiteral("QToolButton { border: none; background: transparent; }"
                       "QToolButton:focus { border: 2px solid palette(highlight); border-radius: 4px; }"));
    row->addWidget(m_field, 1);
    row->addWidget(m_eye);
    QObject::connect(m_eye, &QToolButton::clicked, m_eye, [this] { setSecure(!m_isSecure); });
    setSecure(true);
}

void LoginView::PasswordField::setSecure(bool secure)
{
    m_isSecure = secure;
    m_field->setEchoMode(secure ? QLineEdit::Password : QLineEdit::Normal);
    m_eye->setIcon(
        Assets::systemSymbol(secure ? QStringLiteral("eye.fill") : QStringLiteral("eye.slash.fill"), kSecondary));
    m_eye->setAccessibleName(secure ? QCoreApplication::translate("Tandrel", "Show Password")
                                    : QCoreApplication::translate("Tandrel", "Hide Password"));
}

LoginView::LoginView(ContentViewModel& vm, QWidget* parent)
    : QWidget(parent), m_vm(vm), m_ctrl(new LoginController(this))
{
    setObjectName(QStringLiteral("loginView"));
    setPalette(lightPalette());
    setAutoFillBackground(true);

    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    row->addStretch(1);
    QWidget* left = buildLeftPanel();
    m_rightPanel = buildRightPanel();
    row->addWidget(left, 1);
    row->addWidget(m_rightPanel, 1);

    QPointer<LoginView> self(this);
    // Every outcome, the first `none` too, is handled one turn later on the main queue.
    m_resultSubscription = m_ctrl->loginResult.sink([self](Status status) {
        MainQueue::async([self, status] {
            if (self) {
                self->handleLoginResult(status);
            }
        });
    });
    m_errorSubscription = m_ctrl->loginError.sink([self](bool raised) {
        MainQueue::async([self, raised] {
            if (!self) {
                return;
            }
            if (raised && self->m_ctrl->loginError()) {
                self->presentAlert();
            } else if (!raised && !self->m_ctrl->loginError()) {
                self->dismissAlert();
            }
        });
    });
    m_pendingSubscription = m_ctrl->requestPending.sink([self](bool) {
        MainQueue::async([self] {
            if (self) {
                self->render();
            }
        });
    });
    // A log-out made while the keyring was locked is completed as soon as it is unlocked.
    if (TandrelController::logoutPending()) {
        auto* pendingLogout = new QTimer(this);
        pendingLogout->setInterval(kPendingLogoutCheckMs);
        connect(pendingLogout, &QTimer::timeout, this, [pendingLogout] {
            if (TandrelController::finishPendingLogout()) {
                pendingLogout->stop();
            }
        });
        pendingLogout->start();
    }
    m_sessionSubscription = m_vm.sessionExpired.sink([self](bool expired) {
        if (self) {
            self->m_sessionNotice->setVisible(expired);
        }
    });
    m_messageSubscription = m_ctrl->loginErrorMsg.sink([self](const QString& message) {
        if (self && self->m_alert) {
            setPlainInformativeText(self->m_alert, shownMessage(message));
        }
    });
    render();
}

QWidget* LoginView::buildLeftPanel()
{
    auto* panel = new QWidget(this);
    panel->setObjectName(QStringLiteral("loginPanel"));
    panel->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    QPalette white = lightPalette();
    white.setColor(QPalette::Window, Qt::white);
    panel->setPalette(white);
    panel->setAutoFillBackground(true);

    auto* column = new QVBoxLayout(panel);
    column->setContentsMargins(50, 0, 50, 0);
    column->setSpacing(kDefaultPadding);
    column->addStretch(1);

    auto* logo = new QLabel(panel);
    logo->setObjectName(QStringLiteral("logo"));
    logo->setFixedSize(128, 128);
    logo->setPixmap(Assets::pixmap(QString::fromLatin1(AssetName::logo), {128, 128}, devicePixelRatioF()));
    column->addWidget(logo, 0, Qt::AlignHCenter);

    auto* title = new QLabel(QCoreApplication::translate("Tandrel", "Tandrel"), panel);
    title->setObjectName(QStringLiteral("titleLabel"));
    QFont titleFont = title->font();
    titleFont.setPixelSize(26);
    titleFont.setWeight(QFont::ExtraBold);
    title->setFont(titleFont);
    title->setStyleSheet(QStringLiteral("color: black;"));
    title->setContentsMargins(0, 10, 0, 10);
    column->addWidget(title, 0, Qt::AlignHCenter);

    m_loadingPanel = new QWidget(panel);
    m_loadingPanel->setObjectName(QStringLiteral("loadingPanel"));
    auto* loading = new QVBoxLayout(m_loadingPanel);
    loading->addStretch(1);
    auto* spinner = new QProgressBar(m_loadingPanel);
    spinner->setObjectName(QStringLiteral("loadingIndicator"));
    spinner->setRange(0, 0);
    spinner->setTextVisible(false);
    spinner->setFixedSize(160, 6);
    loading->addWidget(spinner, 0, Qt::AlignHCenter);
    auto* loadingLabel = new QLabel(QCoreApplication::translate("Tandrel", "Loading…"), m_loadingPanel);
    loadingLabel->setObjectName(QStringLiteral("loadingLabel"));
    loadingLabel->setStyleSheet(QStringLiteral("color: rgba(60, 60, 67, 153);"));
    spinner->setAccessibleName(loadingLabel->text());
    loading->addWidget(loadingLabel, 0, Qt::AlignHCenter);
    loading->addStretch(1);
    column->addWidget(m_loadingPanel, 1);

    // Why the user is here again, when the backend ended the session.
    m_sessionNotice =
        new QLabel(QCoreApplication::translate("Tandrel", "Your session has expired. Please log in again."), panel);
    m_sessionNotice->setObjectName(QStringLiteral("sessionExpiredNotice"));
    m_sessionNotice->setWordWrap(true);
    m_sessionNotice->setAlignment(Qt::AlignCenter);
    m_sessionNotice->setStyleSheet(QStringLiteral("color: rgb(215, 0, 21);"));
    m_sessionNotice->setContentsMargins(0, 0, 0, kDefaultPadding);
    m_sessionNotice->hide();
    column->addWidget(m_sessionNotice);

    m_form = buildForm();
    column->addWidget(m_form);
    column->addStretch(1);
    return panel;
}

QWidget* LoginView::buildForm()
{
    auto* form = new QWidget(this);
    form->setObjectName(QStringLiteral("loginForm"));
    auto* column = new QVBoxLayout(form);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(kDefaultPadding);
    addCredentialFields(column, form);
    column->addLayout(buildOptionsRow(form));
    column->addWidget(buildMainButton(form));
    column->addLayout(buildSwitchRow(form));
    return form;
}

// The e-mail, password and repeated-password fields, each in its rounded frame.
void LoginView::addCredentialFields(QVBoxLayout* column, QWidget* form)
{
    m_emailField = new QLineEdit(form);
    m_emailField->setObjectName(QStringLiteral("emailField"));
    m_emailField->setPlaceholderText(QCoreApplication::translate("Tandrel", "Email"));
    m_emailField->setAccessibleName(m_emailField->placeholderText());
    stylePlainField(m_emailField);
    column->addWidget(framed(m_emailField, QStringLiteral("emailFrame"), form));
    connect(m_emailField, &QLineEdit::textChanged, this, [this](const QString& value) { m_email = value; });

    // The two password placeholders are shown as they are, not looked up.
    m_passwordField = new PasswordField(QStringLiteral("Password"), form);
    m_passwordField->setObjectName(QStringLiteral("passwordField"));
    m_passwordField->lineEdit()->setObjectName(QStringLiteral("passwordLineEdit"));
    m_passwordField->eyeButton()->setObjectName(QStringLiteral("passwordEyeButton"));
    column->addWidget(framed(m_passwordField, QStringLiteral("passwordFrame"), form));
    connect(m_passwordField->lineEdit(), &QLineEdit::textChanged, this,
            [this](const QString& value) { m_password = value; });

    m_repeatPasswordField = new PasswordField(QStringLiteral("Repeat Password"), form);
    m_repeatPasswordField->setObjectName(QStringLiteral("repeatPasswordField"));
    m_repeatPasswordField->lineEdit()->setObjectName(QStringLiteral("repeatPasswordLineEdit"));
    m_repeatPasswordField->eyeButton()->setObjectName(QStringLiteral("repeatPasswordEyeButton"));
    m_repeatPasswordFrame = framed(m_repeatPasswordField, QStringLiteral("repeatPasswordFrame"), form);
    column->addWidget(m_repeatPasswordFrame);
    connect(m_repeatPasswordField->lineEdit(), &QLineEdit::textChanged, this,
            [this](const QString& value) { m_repeatPassword = value; });
}

// "Keep Logged In" on the left, "Forget Password" on the right.
QLayout* LoginView::buildOptionsRow(QWidget* form)
{
    auto* optionsRow = new QHBoxLayout;
    m_keepLoggedIn = new QCheckBox(form);
    m_keepLoggedIn->setObjectName(QStringLiteral("keepLoggedInCheckBox"));
    auto* keepLabel = new QLabel(QCoreApplication::translate("Tandrel", "Keep Logged In"), form);
    keepLabel->setStyleSheet(QStringLiteral("color: black;"));
    m_keepLoggedIn->setAccessibleName(keepLabel->text());
    connect(m_keepLoggedIn, &QCheckBox::toggled, this, [this](bool checked) { m_keeplogged = checked; });
    m_forgetPassword = new LinkButton(QCoreApplication::translate("Tandrel", "Forget Password"), Qt::black, form);
    m_forgetPassword->setObjectName(QStringLiteral("forgetPasswordLink"));
    connect(m_forgetPassword, &LinkButton::clicked, this, &LoginView::openResetPasswordPage);
    optionsRow->addWidget(m_keepLoggedIn);
    optionsRow->addWidget(keepLabel);
    optionsRow->addStretch(1);
    optionsRow->addWidget(m_forgetPassword);
    return optionsRow;
}

QWidget* LoginView::buildMainButton(QWidget* form)
{
    m_mainButton = new MainButton(form);
    m_mainButton->setObjectName(QStringLiteral("mainButton"));
    m_mainButton->setCursor(Qt::PointingHandCursor);
    connect(m_mainButton, &QPushButton::clicked, this, [this] {
        if (m_loginViewState == LoginViewState::logIn) {
            logIn();
        } else if (m_loginViewState == LoginViewState::signUp) {
            signUp();
        }
    });
    return m_mainButton;
}

// The prompt with the link to the other state (sign up from log-in, and back).
QLayout* LoginView::buildSwitchRow(QWidget* form)
{
    auto* switchRow = new QHBoxLayout;
    switchRow->setContentsMargins(0, 10 - kDefaultPadding, 0, 0);
    m_switchPrompt = new QLabel(form);
    m_switchPrompt->setObjectName(QStringLiteral("switchPrompt"));
    m_switchPrompt->setStyleSheet(QStringLiteral("color: rgb(142, 142, 147);"));
    m_signUpLink = new LinkButton(QCoreApplication::translate("Tandrel", "Sign Up"), kBlue, form);
    m_signUpLink->setObjectName(QStringLiteral("signUpLink"));
    connect(m_signUpLink, &LinkButton::clicked, this, [this] { setLoginViewState(LoginViewState::signUp); });
    m_logInLink = new LinkButton(QCoreApplication::translate("Tandrel", "Log In"), kBlue, form);
    m_logInLink->setObjectName(QStringLiteral("logInLink"));
    connect(m_logInLink, &LinkButton::clicked, this, [this] { setLoginViewState(LoginViewState::logIn); });
    switchRow->setSpacing(4);
    switchRow->addWidget(m_switchPrompt);
    switchRow->addWidget(m_signUpLink);
    switchRow->addWidget(m_logInLink);
    switchRow->addStretch(1);
    return switchRow;
}

QWidget* LoginView::buildRightPanel()
{
    auto* panel = new QWidget(this);
    panel->setObjectName(QStringLiteral("brandPanel"));
    panel->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    QPalette palette = lightPalette();
    palette.setColor(QPalette::Window, Assets::color(QString::fromLatin1(AssetName::rightBarColor)));
    panel->setPalette(palette);
    panel->setAutoFillBackground(true);
    auto* column = new QVBoxLayout(panel);
    column->setContentsMargins(0, 0, 0, 0);
    column->addWidget(new FittedImage(QString::fromLatin1(AssetName::rightBarLogo), panel));
    return panel;
}

void LoginView::setLoginViewState(LoginViewState state)
{
    m_loginViewState = state;
    render();
}

void LoginView::render()
{
    const bool loading = m_loginViewState == LoginViewState::loading;
    const bool signingUp = m_loginViewState == LoginViewState::signUp;
    // Hiding the focused field would lose the focus; keep it on the form's first field.
    QWidget* focused = focusWidget();
    m_loadingPanel->setVisible(loading);
    m_form->setVisible(!loading);
    m_repeatPasswordFrame->setVisible(signingUp);
    m_mainButton->setText(signingUp ? QCoreApplication::translate("Tandrel", "Sign Up")
                                    : QCoreApplication::translate("Tandrel", "Login"));
    m_mainButton->setAccessibleName(m_mainButton->text());
    // Off while an attempt is answered, so a second one never races the first.
    m_mainButton->setEnabled(!m_ctrl->requestPending());
    m_switchPrompt->setText(signingUp ? QCoreApplication::translate("Tandrel", "If you already have an account, ")
                                      : QCoreApplication::translate("Tandrel", "Don't have account yet?"));
    m_signUpLink->setVisible(!signingUp);
    m_logInLink->setVisible(signingUp);
    if (!loading && focused && !focused->isVisibleTo(this) && isVisible()) {
        m_emailField->setFocus();
    }
}

void LoginView::logIn()
{
    setLoginViewState(LoginViewState::loading);
    m_ctrl->loginPressed(m_email, m_password);
}

void LoginView::signUp()
{
    setLoginViewState(LoginViewState::loading);
    m_ctrl->signupPressed(m_email, m_password, m_repeatPassword);
}

QUrl LoginView::resetPasswordUrl()
{
    return QUrl(QString::fromUtf8(BuildConfig::webBase) + QStringLiteral("/reset_password"));
}

void LoginView::openResetPasswordPage()
{
    Workspace::open(resetPasswordUrl());
}

QSize LoginView::mainWindowSizeAfterLogIn()
{
    const bool compact = UserDefaults::standard().boolForKey(kCompactViewKey);
    return {compact ? 300 : 900, 700};
}

void LoginView::handleLoginResult(Status status)
{
    switch (status) {
        case Status::none:
        case Status::logInFalse:
            setLoginViewState(LoginViewState::logIn);
            break;
        case Status::logInTrue:
            m_vm.sessionExpired = false;
            m_vm.state = ContentViewModel::ProgramState::loggedIn;
            setLoginViewState(LoginViewState::logIn);
            if (QWidget* window = Windows::mainWindow()) {
                Windows::setFrameSizeKeepingOrigin(window, mainWindowSizeAfterLogIn(), true);
            }
            break;
        case Status::signUpTrue:
            // The screen is replaced; it stays in its loading state until then.
            m_vm.sessionExpired = false;
            m_vm.state = ContentViewModel::ProgramState::loggedIn;
            break;
        case Status::signUpFalse:
            setLoginViewState(LoginViewState::signUp);
            break;
    }
}

void LoginView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (!event->spontaneous()) {
        resizeWindowForLogin();
    }
}

void LoginView::resizeWindowForLogin()
{
    MainQueue::async([] {
        if (QWidget* window = Windows::mainWindow()) {
            // The screen itself is 800 by 500; the menu bar and the frame go around it.
            Windows::setFrameSizeKeepingOrigin(window, Windows::frameSizeForContent(window, kLoginWindowSize), false);
        }
    });
}

void LoginView::keyPressEvent(QKeyEvent* event)
{
    // Return is the form's default action: it presses the visible main button.
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && m_form->isVisible()) {
        m_mainButton->click();
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

void LoginView::presentAlert()
{
    if (m_alert) {
        setPlainInformativeText(m_alert, shownMessage(m_ctrl->loginErrorMsg()));
        return;
    }
    auto* alert = new QMessageBox(m_rightPanel);
    alert->setObjectName(QStringLiteral("loginAlert"));
    alert->setPalette(lightPalette());
    // Room for a sentence on one line, as an alert sheet gives it.
    alert->setStyleSheet(QStringLiteral("QLabel { min-width: 260px; }"));
    alert->setIcon(QMessageBox::NoIcon);
    alert->setWindowTitle(QCoreApplication::translate("Tandrel", "Message"));
    alert->setText(QStringLiteral("<b>%1</b>").arg(QCoreApplication::translate("Tandrel", "Message").toHtmlEscaped()));
    alert->setTextFormat(Qt::RichText);
    // The controller's text is shown as it is, not looked up.
    setPlainInformativeText(alert, shownMessage(m_ctrl->loginErrorMsg()));
    QPushButton* ok = alert->addButton(QCoreApplication::translate("Tandrel", "OK"), QMessageBox::DestructiveRole);
    ok->setObjectName(QStringLiteral("alertOkButton"));
    ok->setAccessibleName(ok->text());
    alert->setEscapeButton(ok);
    alert->setAttribute(Qt::WA_DeleteOnClose);
    alert->setWindowModality(Qt::WindowModal);
    QPointer<LoginController> ctrl(m_ctrl);
    connect(ok, &QPushButton::clicked, this, [ctrl] {
        if (ctrl) {
            ctrl->loginErrorMsg = QString();
        }
    });
    // However the alert goes away, the flag is lowered.
    connect(alert, &QMessageBox::finished, this, [ctrl] {
        if (ctrl && ctrl->loginError()) {
            ctrl->loginError = false;
        }
    });
    m_alert = alert;
    alert->open();
}

void LoginView::dismissAlert()
{
    if (m_alert) {
        m_alert->close();
    }
}

}  // namespace tandrel
