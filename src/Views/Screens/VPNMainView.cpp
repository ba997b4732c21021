#include "Views/Screens/VPNMainView.h"

#include "BuildConfig.h"
#include "Classes/Preferences.h"
#include "ContentViewModel.h"
#include "Extensions/NotificationName.h"
#include "Extensions/UserDefaultsKey.h"
#include "Platform/Host.h"
#include "Platform/MainQueue.h"
#include "Platform/NotificationCenter.h"
#include "Platform/UserDefaults.h"
#include "Platform/Workspace.h"
#include "TandrelApp.h"
#include "Views/App/StatusTray.h"
#include "Views/Kit/AlertText.h"
#include "Views/Kit/Assets.h"
#include "Views/Kit/SingleTap.h"
#include "Views/Kit/Windows.h"
#include "Views/Regions/VPNRegionsView.h"

#include "Views/Map/MapView.h"
#include "Views/Sheets/ManageDevicesView.h"
#include "Views/Sheets/PricingView.h"
#include "Views/Sheets/RedeemCodeView.h"
#include "Views/Sheets/SettingsView.h"
#include "Views/Sheets/SheetStyle.h"

#include <QCoreApplication>
#include <QDialog>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QHash>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QShowEvent>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

namespace tandrel {
namespace {

constexpr int kColumnWidth = 300;
constexpr int kConnectImageSide = 150;
constexpr int kDefaultPadding = 8;
constexpr int kLockedCheckIntervalMs = 2000;

// Every key is marked where it is written (QT_TRANSLATE_NOOP), so lupdate finds them all
// and keeps the Spanish table in step.
QString localized(const char* text)
{
    return QCoreApplication::translate("VPNMainView", text);
}

// A sheet's window title and accessible name: the menu item that opens it.
QString sheetTitle(const char* objectName)
{
    const QLatin1String name(objectName);
    if (name == QLatin1String("redeemSheet")) {
        return localized(QT_TRANSLATE_NOOP("VPNMainView", "Redeem Code"));
    }
    if (name == QLatin1String("settingsSheet")) {
        return localized(QT_TRANSLATE_NOOP("VPNMainView", "Settings"));
    }
    if (name == QLatin1String("pricingSheet")) {
        return localized(QT_TRANSLATE_NOOP("VPNMainView", "Pricing"));
    }
    return localized(QT_TRANSLATE_NOOP("VPNMainView", "Manage Devices"));
}

// The left column: 300 wide beside the map. It may give up a few pixels where the window
// frame drawn around a 300 wide compact window takes them, no more: its status line is
// fitted to the 300 points.
constexpr int kColumnFrameAllowance = 8;
class Column : public QWidget {
public:
    using QWidget::QWidget;
    QSize sizeHint() const override { return {kColumnWidth, QWidget::sizeHint().height()}; }
    QSize minimumSizeHint() const override
    {
        return QWidget::minimumSizeHint().expandedTo({kColumnWidth - kColumnFrameAllowance, 0});
    }
};

// Clears the controller's alert when it is still the one shown.
void clearAlert(TandrelController& ctrl, const QString& id)
{
    if (ctrl.activeAlert() && ctrl.activeAlert()->id() == id) {
        ctrl.activeAlert.set(std::optional<TandrelController::ActiveAlert>());
    }
}

QString firstPreferredLanguage()
{
    // The language chosen in the settings comes first, as it does for the interface.
    if (const auto chosen = UserDefaults::standard().stringArray(kAppleLanguagesKey); chosen && !chosen->isEmpty()) {
        return chosen->first();
    }
    const QStringList preferred = Host::preferredLanguages();
    return preferred.isEmpty() ? QString() : preferred.first();
}

// Sets the text in the largest bold size, from `largest` down to `smallest` pixels, at
// which each of its lines fits `width`; a line that fits at none is cut with an ellipsis.
void fitLines(QLabel* label, const QString& text, int width, int largest, int smallest)
{
    QFont font = label->font();
    int size = largest;
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (; size > smallest; --size) {
        font.setPixelSize(size);
        const QFontMetrics metrics(font);
        if (std::all_of(lines.begin(), lines.end(),
                        [&](const QString& line) { return metrics.horizontalAdvance(line) <= width; })) {
            break;
        }
    }
    font.setPixelSize(size);
    label->setFont(font);
    const QFontMetrics metrics(font);
    QStringList shown;
    for (const QString& line : lines) {
        shown << metrics.elidedText(line, Qt::ElideRight, width);
    }
    label->setText(shown.join(QLatin1Char('\n')));
    label->setAccessibleName(text);
    label->setToolTip(shown == lines ? QString() : text);
}

// The main screen's alert. Its buttons are all of the default kind, so a message box
// would ignore Escape and its close button; here both dismiss it, as a cancel would.
class DismissibleAlert : public QMessageBox {
public:
    using QMessageBox::QMessageBox;

protected:
    void keyPressEvent(QKeyEvent* event) override
    {
        if (event->matches(QKeySequence::Cancel)) {
            reject();
            return;
        }
        QMessageBox::keyPressEvent(event);
    }
    void closeEvent(QCloseEvent* event) override { QDialog::closeEvent(event); }
};

// The busy indicator over the connect button's image, on a light disc so it stands out
// from the image's own colours.
class BusyBadge : public QWidget {
public:
    explicit BusyBadge(QWidget* parent) : QWidget(parent)
    {
        setObjectName(QStringLiteral("busyIndicator"));
        setFixedSize(48, 48);
        setAttribute(Qt::WA_TransparentForMouseEvents);
        auto* spinner = new ActivityIndicator(SheetStyle::blue, this);
        spinner->setFixedSize(32, 32);
        spinner->move((width() - spinner->width()) / 2, (height() - spinner->height()) / 2);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(255, 255, 255, 230));
        painter.drawEllipse(QRectF(rect()).adjusted(1, 1, -1, -1));
    }
};

// What an alert says and which buttons it offers, each with the effect it has once the
// alert is closed.
struct AlertContent {
    struct Button {
        const char* objectName;
        QString text;
        std::function<void()> effect;
    };
    QString title;
    QString message;
    std::vector<Button> buttons;
};

AlertContent alertContent(const TandrelController::ActiveAlert& alert, QPointer<TandrelController> ctrl)
{
    using Kind = TandrelController::ActiveAlert::Kind;
    switch (alert.kind()) {
        case Kind::slotsExceeded:
            return {localized(QT_TRANSLATE_NOOP("VPNMainView", "Device Limit Exceeded")),
                    localized(QT_TRANSLATE_NOOP(
                        "VPNMainView", "You have reached the maximum number of devices allowed on your plan.")),
                    {{"buyMoreSlotsButton", localized(QT_TRANSLATE_NOOP("VPNMainView", "Buy More Slots")),
                      [ctrl] {
                          ctrl->showExtraSlotsPricing = true;
                          ctrl->showPricing = true;
                      }},
                     {"alertManageDevicesButton", localized(QT_TRANSLATE_NOOP("VPNMainView", "Manage Devices")),
                      [ctrl] { ctrl->showManageDevices = true; }}}};
        case Kind::subscriptionExpired:
            return {
                localized(QT_TRANSLATE_NOOP("VPNMainView", "Subscription Expired")),
                localized(QT_TRANSLATE_NOOP(
                    "VPNMainView", "Your plan has expired. Please renew your subscription to continue using the VPN.")),
                {{"renewSubscriptionButton", localized(QT_TRANSLATE_NOOP("VPNMainView", "Renew Subscription")),
                  [ctrl] { ctrl->showPricing = true; }},
                 {"alertRedeemCodeButton", localized(QT_TRANSLATE_NOOP("VPNMainView", "Redeem Code")), [ctrl] {
                      ctrl->code = QString();
                      ctrl->showRedeem = true;
                  }}}};
        case Kind::redeem:
            // The backend's message is shown as it is.
            return {localized(QT_TRANSLATE_NOOP("VPNMainView", "Redeem Code")),
                    alert.message(),
                    {{"alertOkButton", localized(QT_TRANSLATE_NOOP("VPNMainView", "OK")), nullptr}}};
    }
    return {};
}

}  // namespace

VPNMainView::VPNMainView(ContentViewModel& vm, QWidget* parent)
    : QWidget(parent), m_vm(vm), m_redraw(this, [this] { render(); })
{
    setObjectName(QStringLiteral("vpnMainView"));
    auto* root = new QVBoxLayout(this);
    root->setContentsMargins(0, 0, 0, 0);
    root->setSpacing(0);

    auto* pleaseLogIn = new QLabel(localized(QT_TRANSLATE_NOOP("VPNMainView", "Please log in")), this);
    pleaseLogIn->setObjectName(QStringLiteral("pleaseLogInLabel"));
    pleaseLogIn->setAlignment(Qt::AlignCenter);
    pleaseLogIn->hide();
    m_pleaseLogIn = pleaseLogIn;
    root->addWidget(m_pleaseLogIn);

    connect(&UserDefaults::standard(), &UserDefaults::valueChanged, this, [this](const QString& key) {
        if (key == kCompactViewKey) {
            m_redraw.schedule();
        }
    });
}

VPNMainView::~VPNMainView()
{
    StatusTray::setStatusLine({});
    for (Sheet& sheet : m_sheets) {
        delete sheet.dialog;
    }
    delete m_alert;
}

VPNMainView::StatusAppearance VPNMainView::statusAppearance(NEVPNStatus status, const QString& country)
{
    const QString notConnected = QStringLiteral("notConnectedButton");
    const QString connecting = QStringLiteral("connectingButton");
    switch (status) {
        case NEVPNStatus::invalid:
            return {notConnected, false, localized(QT_TRANSLATE_NOOP("VPNMainView", "VPN Not Connected"))};
        case NEVPNStatus::disconnected:
            return {notConnected, false, localized(QT_TRANSLATE_NOOP("VPNMainView", "Not Connected"))};
        case NEVPNStatus::connecting:
            return {connecting, true, localized(QT_TRANSLATE_NOOP("VPNMainView", "Connecting..."))};
        case NEVPNStatus::connected:
            return {
                QStringLiteral("connectedButton"), false,
                localized(QT_TRANSLATE_NOOP("VPNMainView", "Connected to %@")).replace(QStringLiteral("%@"), country)};
        case NEVPNStatus::reasserting:
            return {connecting, true, reconnectingText(Preferences::killSwitch())};
        case NEVPNStatus::disconnecting:
            return {connecting, true, localized(QT_TRANSLATE_NOOP("VPNMainView", "Disconnecting..."))};
    }
    return {connecting, true, localized(QT_TRANSLATE_NOOP("VPNMainView", "Error. Reconnecting..."))};
}

// Under the kill switch nothing leaves while the tunnel is back on its way: never leave
// the machine without network silently.
QString VPNMainView::reconnectingText(bool killSwitch)
{
    return killSwitch ? localized(QT_TRANSLATE_NOOP("VPNMainView", "Reconnecting... Traffic is held back"))
                      : localized(QT_TRANSLATE_NOOP("VPNMainView", "Reconnecting..."));
}

QString VPNMainView::supportMailText(const QString& systemVersion, const QString& applicationVersion,
                                     const QString& language, const QString& userName)
{
    // The platform line is a key: its table names the system Tandrel runs on.
    const QString body = QStringLiteral("\n\n") + localized(QT_TRANSLATE_NOOP("VPNMainView", "Platform: macOS")) +
                         QLatin1Char(' ') + systemVersion + QStringLiteral("\nApp version: ") + applicationVersion +
                         QStringLiteral("\nDevice language ISO: ") + language + QStringLiteral("\nUsername: ") +
                         userName;
    const QString subject = QStringLiteral("Tandrel Support ticket");
    // Letters, digits and -._~ stay as they are by default; these stay too.
    const QByteArray alsoKept = QByteArrayLiteral("!$&'()*+,:;=[]");
    const auto encoded = [&](const QString& text) {
        return QString::fromLatin1(QUrl::toPercentEncoding(text, alsoKept));
    };
    return QStringLiteral("mailto:") + QString::fromUtf8(BuildConfig::supportEmail) + QStringLiteral("?subject=") +
           encoded(subject) + QStringLiteral("&body=") + encoded(body);
}

QSize VPNMainView::minimumSizeHint() const
{
    // As wide as the top bar's texts (the plan and the account's address) need: the window
    // is never made so narrow that they are cut.
    QSize least = QWidget::minimumSizeHint();
    if (m_topBar && m_topBar->isVisibleTo(this) && m_topBar->layout()) {
        least.setWidth(std::max(least.width(), m_topBar->layout()->sizeHint().width()));
    }
    return least;
}

QSize VPNMainView::windowSize()
{
    return {Preferences::compactView() ? 300 : 900, 700};
}

void VPNMainView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (event->spontaneous()) {
        return;
    }
    if (!m_ctrl) {
        m_ctrl = new TandrelController(this);
        build();
        connect(m_ctrl, &ObservableObject::objectWillChange, this, [this] { m_redraw.schedule(); });
        render();
        // A log-in that found no keyring, and whose person declined to make one, keeps the
        // credentials in the file: said once, as at a start without a keyring.
        TandrelApp::showKeychainFileNotice(window());
    }
    adjustWindowSize();
}

void VPNMainView::build()
{
    m_content = new QWidget(this);
    m_content->setObjectName(QStringLiteral("mainContent"));
    auto* column = new QVBoxLayout(m_content);
    column->setContentsMargins(0, kDefaultPadding, 0, 0);
    column->setSpacing(kDefaultPadding);
    m_topBar = buildTopBar();
    column->addWidget(m_topBar, 0, Qt::AlignHCenter);

    // Shown while the keyring is locked: the session and the tunnel stay, nothing is asked
    // of the backend, and the screen looks again every few seconds until it is unlocked.
    m_keyringLocked =
        new QLabel(localized(QT_TRANSLATE_NOOP("VPNMainView",
                                               "Your keyring is locked. Unlock it to go on; Tandrel keeps your "
                                               "session and the tunnel meanwhile.")),
                   m_content);
    m_keyringLocked->setObjectName(QStringLiteral("keyringLockedNotice"));
    m_keyringLocked->setWordWrap(true);
    m_keyringLocked->setAlignment(Qt::AlignCenter);
    m_keyringLocked->setContentsMargins(kDefaultPadding, 0, kDefaultPadding, 0);
    m_keyringLocked->hide();
    column->addWidget(m_keyringLocked);
    m_lockedCheck = new QTimer(this);
    m_lockedCheck->setInterval(kLockedCheckIntervalMs);
    connect(m_lockedCheck, &QTimer::timeout, this, [this] { m_redraw.schedule(); });

    m_mainRow = new QHBoxLayout;
    m_mainRow->setSpacing(kDefaultPadding);
    m_mainRow->setContentsMargins(0, 0, 0, 0);
    m_mainRow->addWidget(buildColumn());
    column->addLayout(m_mainRow, 1);
    layout()->addWidget(m_content);

    TandrelController* ctrl = m_ctrl;
    ContentViewModel* vm = &m_vm;
    auto makeRedeem = [ctrl]() -> QWidget* { return new RedeemCodeView(*ctrl); };
    auto makeSettings = [ctrl, vm]() -> QWidget* { return new SettingsView(*ctrl, *vm, VPNProtocol::Optimal); };
    auto makePricing = [ctrl]() -> QWidget* { return new PricingView(*ctrl); };
    auto makeDevices = [ctrl]() -> QWidget* { return new ManageDevicesView(*ctrl); };
    m_sheets = {Sheet{&TandrelController::showRedeem, "redeemSheet", makeRedeem, {}},
                Sheet{&TandrelController::showSettings, "settingsSheet", makeSettings, {}},
                Sheet{&TandrelController::showPricing, "pricingSheet", makePricing, {}},
                Sheet{&TandrelController::showManageDevices, "manageDevicesSheet", makeDevices, {}}};
}

QWidget* VPNMainView::buildTopBar()
{
    auto* bar = new QWidget(m_content);
    bar->setObjectName(QStringLiteral("topBar"));
    // The bar's own minimum is left to the screen's (minimumSizeHint), which counts its
    // texts only while they show.
    bar->setMinimumWidth(1);
    auto* row = new QHBoxLayout(bar);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(kDefaultPadding);

    // The plan text is the controller's, shown as it is.
    m_planLabel = new QLabel(bar);
    m_planLabel->setObjectName(QStringLiteral("planLabel"));
    m_planLabel->setTextFormat(Qt::PlainText);
    QFont planFont = m_planLabel->font();
    planFont.setPixelSize(18);
    m_planLabel->setFont(planFont);
    m_planLabel->setContentsMargins(60, 0, 0, 0);
    row->addWidget(m_planLabel);

    m_accountButton = new QToolButton(bar);
    m_accountButton->setObjectName(QStringLiteral("accountMenuButton"));
    m_accountButton->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    m_accountButton->setPopupMode(QToolButton::InstantPopup);
    m_accountButton->setAutoRaise(true);
    m_accountButton->setIcon(Assets::systemSymbol(QStringLiteral("person.crop.circle.fill"), SheetStyle::blue));
    m_accountButton->setIconSize({20, 20});
    m_accountButton->setMenu(buildAccountMenu());
    auto* menuPadding = new QWidget(bar);
    auto* menuRow = new QHBoxLayout(menuPadding);
    menuRow->setContentsMargins(0, 0, 20, 0);
    menuRow->addWidget(m_accountButton);
    row->addWidget(menuPadding);
    return bar;
}

QMenu* VPNMainView::buildAccountMenu()
{
    auto* menu = new QMenu(m_accountButton);
    menu->setObjectName(QStringLiteral("accountMenu"));
    const auto add = [menu](const char* objectName, const char* text, const char* symbol, auto action) {
        QAction* item = menu->addAction(Assets::systemSymbol(QString::fromLatin1(symbol)), localized(text));
        item->setObjectName(QString::fromLatin1(objectName));
        QObject::connect(item, &QAction::triggered, menu, action);
    };
    add("redeemCodeAction", QT_TRANSLATE_NOOP("VPNMainView", "Redeem Code"), "rectangle.and.pencil.and.ellipsis.rtl",
        [this] { redeemCode(); });
    add("settingsAction", QT_TRANSLATE_NOOP("VPNMainView", "Settings"), "gearshape",
        [this] { m_ctrl->showSettings = !m_ctrl->showSettings(); });
    add("pricingAction", QT_TRANSLATE_NOOP("VPNMainView", "Pricing"), "cart",
        [this] { m_ctrl->showPricing = !m_ctrl->showPricing(); });
    add("manageDevicesAction", QT_TRANSLATE_NOOP("VPNMainView", "Manage Devices"), "server.rack",
        [this] { m_ctrl->showManageDevices = !m_ctrl->showManageDevices(); });
    add("customerSupportAction", QT_TRANSLATE_NOOP("VPNMainView", "Customer support"), "envelope",
        [this] { openSupportMail(); });
    add("logOutAction", QT_TRANSLATE_NOOP("VPNMainView", "Log out"), "rectangle.portrait.and.arrow.right",
        [this] { logOut(); });
    return menu;
}

QWidget* VPNMainView::buildColumn()
{
    auto* columnWidget = new Column(m_content);
    columnWidget->setObjectName(QStringLiteral("statusColumn"));
    columnWidget->setMaximumWidth(kColumnWidth);
    columnWidget->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    auto* column = new QVBoxLayout(columnWidget);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(kDefaultPadding);
    column->addStretch(0);

    m_connectButton = new QPushButton(columnWidget);
    m_connectButton->setObjectName(QStringLiteral("connectButton"));
    m_connectButton->setFlat(true);
    m_connectButton->setCursor(Qt::PointingHandCursor);
    m_connectButton->setStyleSheet(QStringLiteral("QPushButton { border: none; background: transparent; }"));
    m_connectButton->setIconSize({kConnectImageSide, kConnectImageSide});
    m_connectButton->setFixedSize(kConnectImageSide + 2 * kDefaultPadding, kConnectImageSide + 2 * kDefaultPadding);
    // A click does not leave a focus ring behind; the keyboard still reaches the button.
    m_connectButton->setFocusPolicy(Qt::TabFocus);
    treatDoubleClickAsOneTap(m_connectButton);
    connect(m_connectButton, &QPushButton::clicked, this, [this] { m_ctrl->doConnect(); });
    m_busyIndicator = new BusyBadge(m_connectButton);
    m_busyIndicator->move((m_connectButton->width() - m_busyIndicator->width()) / 2,
                          (m_connectButton->height() - m_busyIndicator->height()) / 2);
    column->addWidget(m_connectButton, 0, Qt::AlignHCenter);
    column->addStretch(0);

    m_statusLabel = new QLabel(columnWidget);
    m_statusLabel->setObjectName(QStringLiteral("statusLabel"));
    m_statusLabel->setTextFormat(Qt::PlainText);
    QFont statusFont = m_statusLabel->font();
    statusFont.setPixelSize(20);
    statusFont.setBold(true);
    m_statusLabel->setFont(statusFont);
    m_statusLabel->setAlignment(Qt::AlignCenter);
    // The text keeps its own lines (the optimal entry's country has two); a line too long
    // for the column is set smaller rather than wrapped.
    m_statusLabel->setWordWrap(false);
    m_statusLabel->setMinimumWidth(1);
    column->addWidget(m_statusLabel);

    m_errorLabel = new QLabel(columnWidget);
    m_errorLabel->setObjectName(QStringLiteral("connectionErrorLabel"));
    m_errorLabel->setTextFormat(Qt::PlainText);
    m_errorLabel->setFont(SheetStyle::systemFont(13));
    SheetStyle::setTextColor(m_errorLabel, SheetStyle::red);
    m_errorLabel->setAlignment(Qt::AlignCenter);
    m_errorLabel->setWordWrap(true);
    m_errorLabel->setContentsMargins(kDefaultPadding, 0, kDefaultPadding, 0);
    m_errorLabel->hide();
    column->addWidget(m_errorLabel);
    column->addStretch(0);

    m_regionsView = new VPNRegionsView(*m_ctrl, columnWidget);
    column->addWidget(m_regionsView, 1);
    return columnWidget;
}

void VPNMainView::render()
{
    if (!m_ctrl) {
        return;
    }
    const std::optional<QString> token = Preferences::token();
    const std::optional<QString> email = Preferences::email();
    // A locked keyring is not a log-out: the items are there, only unreadable for now.
    const bool tokenLocked = !token && Preferences::isLocked(Preferences::Keys::token);
    const bool emailLocked = !email && Preferences::isLocked(Preferences::Keys::email);
    renderKeyringLock(tokenLocked || emailLocked);
    // Presence is enough here; an empty item still shows the screen. A log-out made while
    // the keyring was locked has ended the session, whatever the keyring holds.
    const bool signedIn = (token || tokenLocked) && (email || emailLocked) && !TandrelController::logoutPending();
    const bool wasAskingToLogIn = m_pleaseLogIn->isVisible();
    m_content->setVisible(signedIn);
    m_pleaseLogIn->setVisible(!signedIn);
    if (!signedIn) {
        if (!wasAskingToLogIn) {
            // The controller answers with its log-out, which brings the login screen back.
            QTimer::singleShot(0, this, [] { NotificationCenter::defaultCenter().post(kLogoutNotification); });
        }
        return;
    }

    const bool compact = Preferences::compactView();
    m_planLabel->setVisible(!compact);
    m_planLabel->setText(m_ctrl->subscription());
    // The e-mail is shown as it is.
    // A button reads "&" as a shortcut mark; an address may well hold one.
    const QString accountTitle =
        emailLocked ? localized(QT_TRANSLATE_NOOP("VPNMainView", "Keyring locked")) : email.value_or(QString());
    m_accountButton->setText(QString(accountTitle).replace(QLatin1Char('&'), QStringLiteral("&&")));
    m_accountButton->setAccessibleName(accountTitle);
    renderStatus();
    renderMap(compact);
    renderSheets();
    renderAlert();
}

void VPNMainView::renderKeyringLock(bool locked)
{
    m_keyringLocked->setVisible(locked);
    if (!locked) {
        if (m_lockedCheck->isActive()) {
            // Unlocked: the screen carries on by itself with what the lock held back.
            m_lockedCheck->stop();
            m_ctrl->resumeAfterUnlock();
        }
        return;
    }
    if (!m_lockedCheck->isActive()) {
        // Once per locked spell: the keyring shows the desktop's own unlock prompt.
        KeychainStore::system().requestUnlock();
        m_lockedCheck->start();
    }
}

void VPNMainView::renderStatus()
{
    const StatusAppearance look = statusAppearance(m_ctrl->connectionStatus(), Preferences::countryConnected());
    m_connectButton->setIcon(Assets::image(look.imageName));
    m_connectButton->setProperty("imageName", look.imageName);
    m_connectButton->setAccessibleName(look.text);
    // Also busy while the configuration is fetched, before the service reports anything.
    m_busyIndicator->setVisible(look.busy || m_ctrl->preparingConnection());
    fitLines(m_statusLabel, look.text, kColumnWidth - 2 * kDefaultPadding, 20, 14);
    StatusTray::setStatusLine(look.text);
    const std::optional<ConnectFailure> failure = m_ctrl->connectionError();
    m_errorLabel->setVisible(failure.has_value());
    m_errorLabel->setText(failure ? failure->text() : QString());
}

void VPNMainView::renderMap(bool compact)
{
    if (compact) {
        // The map is left out of the screen and made anew when it returns.
        delete m_map;
        return;
    }
    if (m_map) {
        return;
    }
    m_map = new MapView(*m_ctrl, m_content);
    m_map->setObjectName(QStringLiteral("mapView"));
    // The map takes what the column leaves, down to nothing.
    m_map->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Expanding);
    m_mainRow->addWidget(m_map, 1);
    m_map->show();
}

void VPNMainView::renderSheets()
{
    for (Sheet& sheet : m_sheets) {
        const bool wanted = (m_ctrl->*sheet.flag)();
        if (wanted && !sheet.dialog) {
            auto* dialog = new QDialog(window());
            dialog->setObjectName(QString::fromLatin1(sheet.objectName));
            // Over the middle of the main window, and back on screen when it grows.
            Windows::keepCentredOver(dialog, window());
            dialog->setWindowModality(Qt::WindowModal);
            dialog->setAttribute(Qt::WA_DeleteOnClose);
            auto* column = new QVBoxLayout(dialog);
            column->setContentsMargins(0, 0, 0, 0);
            QWidget* content = sheet.make();
            content->setParent(dialog);
            dialog->setWindowTitle(sheetTitle(sheet.objectName));
            dialog->setAccessibleName(dialog->windowTitle());
            column->addWidget(content);
            QPointer<TandrelController> ctrl = m_ctrl;
            Published<bool> TandrelController::*flag = sheet.flag;
            // However the sheet goes away, its flag goes back to false.
            connect(dialog, &QDialog::finished, this, [ctrl, flag] {
                if (ctrl && (ctrl->*flag)()) {
                    (ctrl->*flag) = false;
                }
            });
            sheet.dialog = dialog;
            dialog->open();
        } else if (!wanted && sheet.dialog) {
            QPointer<QDialog> dialog = sheet.dialog;
            sheet.dialog = nullptr;
            dialog->close();
        }
    }
}

void VPNMainView::renderAlert()
{
    const std::optional<TandrelController::ActiveAlert> alert = m_ctrl->activeAlert();
    if (!alert) {
        if (m_alert) {
            m_alertId.clear();
            std::exchange(m_alert, nullptr)->close();
        }
        return;
    }
    if (m_alert && m_alertId == alert->id()) {
        return;
    }
    if (m_alert) {
        std::exchange(m_alert, nullptr)->close();
    }
    presentAlert(*alert);
}

void VPNMainView::presentAlert(const TandrelController::ActiveAlert& alert)
{
    auto* box = new DismissibleAlert(window());
    box->setObjectName(QStringLiteral("mainAlert"));
    box->setIcon(QMessageBox::NoIcon);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    box->setStyleSheet(QStringLiteral("QLabel { min-width: 260px; }"));
    QPointer<TandrelController> ctrl = m_ctrl;
    const AlertContent content = alertContent(alert, ctrl);
    auto effects = std::make_shared<QHash<QAbstractButton*, std::function<void()>>>();
    for (const AlertContent::Button& choice : content.buttons) {
        QPushButton* button = box->addButton(choice.text, QMessageBox::AcceptRole);
        button->setObjectName(QString::fromLatin1(choice.objectName));
        button->setAccessibleName(choice.text);
        effects->insert(button, choice.effect);
    }
    box->setWindowTitle(content.title);
    box->setTextFormat(Qt::RichText);
    box->setText(QStringLiteral("<b>%1</b>").arg(content.title.toHtmlEscaped()));
    setPlainInformativeText(box, content.message);
    // Closing the alert clears it, then the chosen button has its effect.
    const QString id = alert.id();
    connect(box, &QMessageBox::buttonClicked, this, [this, ctrl, id, effects](QAbstractButton* button) {
        if (!ctrl) {
            return;
        }
        forgetAlert(id);
        clearAlert(*ctrl, id);
        if (const auto effect = effects->value(button)) {
            effect();
        }
    });
    // Escape and the window's close button dismiss it with no further effect.
    connect(box, &QDialog::finished, this, [this, ctrl, id] {
        forgetAlert(id);
        if (ctrl) {
            clearAlert(*ctrl, id);
        }
    });
    m_alert = box;
    m_alertId = id;
    box->open();
}

void VPNMainView::forgetAlert(const QString& id)
{
    if (m_alertId == id) {
        m_alert = nullptr;
        m_alertId.clear();
    }
}

void VPNMainView::redeemCode()
{
    m_ctrl->code = QString();
    m_ctrl->showRedeem = !m_ctrl->showRedeem();
}

void VPNMainView::openSupportMail()
{
    const std::array<int, 3> system = Host::operatingSystemVersion();
    const QString systemVersion = QStringLiteral("%1.%2.%3").arg(system[0]).arg(system[1]).arg(system[2]);
    QString applicationVersion = QString::fromUtf8(BuildConfig::applicationVersion);
    if (applicationVersion.isEmpty()) {
        applicationVersion = QStringLiteral("Unknown");
    }
    QString language = firstPreferredLanguage();
    if (language.isEmpty()) {
        language = QStringLiteral("Unknown");
    }
    const QString userName = Preferences::email().value_or(QStringLiteral("Unknown"));
    const QUrl url(supportMailText(systemVersion, applicationVersion, language, userName), QUrl::StrictMode);
    if (url.isValid()) {
        Workspace::open(url);
    }
}

void VPNMainView::logOut()
{
    // The post runs the log-out handlers first; only then does this screen switch.
    NotificationCenter::defaultCenter().post(kLogoutNotification);
    m_vm.state = ContentViewModel::ProgramState::needLogin;
}

void VPNMainView::adjustWindowSize()
{
    // Whether the view is compact is read when the resize runs, not now.
    MainQueue::async([] {
        if (QWidget* window = Windows::mainWindow()) {
            Windows::setFrameSizeKeepingOrigin(window, windowSize(), true);
        }
    });
}

}  // namespace tandrel
