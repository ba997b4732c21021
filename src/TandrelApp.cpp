#include "TandrelApp.h"

#include "BuildConfig.h"
#include "Classes/VPNHelper.h"
#include "ContentView.h"
#include "Controllers/TandrelController.h"
#include "Extensions/UserDefaultsKey.h"
#include "Platform/ApplicationIcon.h"
#include "Platform/CoreDumps.h"
#include "Platform/Host.h"
#include "Platform/Keychain.h"
#include "Platform/LaunchAtLogin.h"
#include "Platform/SessionBus.h"
#include "Platform/SingleInstance.h"
#include "Platform/UserDefaults.h"
#include "Platform/Workspace.h"
#include "Views/App/AppDelegate.h"
#include "Views/App/StatusArea.h"
#include "Views/App/StatusTray.h"
#include "Views/Kit/Assets.h"
#include "Views/Kit/Windows.h"
#if TANDREL_WITH_UPDATER
#include "Views/Updater/CheckForUpdatesView.h"
#include "Views/Updater/StandardUpdaterController.h"
#include "Views/Updater/UpdaterSettingsView.h"
#endif

#include <QApplication>
#include <QCommandLineParser>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QMainWindow>
#include <QMenuBar>
#include <QMessageBox>
#include <QScrollArea>
#include <QSystemTrayIcon>
#include <QTranslator>
#include <QVBoxLayout>

#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <functional>

namespace tandrel {

namespace {

// Qt's own command-line options, which QApplication takes out of the arguments itself.
// They are known to the parser (hidden from the help) so that they are not refused.
const char* const kQtValueOptions[] = {
    "platform",     "platformpluginpath", "platformtheme", "plugin",     "qwindowgeometry",
    "qwindowtitle", "qwindowicon",        "style",         "stylesheet", "session",
    "display",      "geometry",           "name",          "title",      "visual",
    "dialogs",      "fontengine"};
const char* const kQtFlagOptions[] = {"reverse", "widgetcount", "nograb", "dograb", "sync"};

// Runs a decision each time the watched window is about to close, before Qt acts on
// WA_DeleteOnClose and on the last window closing.
class CloseDecider : public QObject {
public:
    CloseDecider(QObject* parent, std::function<void()> decide) : QObject(parent), m_decide(std::move(decide)) {}

    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Close) {
            m_decide();
        }
        return false;
    }

private:
    std::function<void()> m_decide;
};

}  // namespace

std::optional<int> TandrelApp::answerCommandLine(int argc, char** argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        arguments << QString::fromLocal8Bit(argv[i]);
    }
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(QStringLiteral("Tandrel, a VPN client."));
    // Not addHelpOption(): it also offers --help-all, whose Qt options are hidden here and
    // which parse() alone would leave unanswered, starting the program instead.
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Displays help on commandline options."));
    parser.addOption(help);
    const QCommandLineOption version = parser.addVersionOption();
    for (const char* name : kQtValueOptions) {
        QCommandLineOption option(QString::fromLatin1(name), QString(), QStringLiteral("value"));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
    for (const char* name : kQtFlagOptions) {
        QCommandLineOption option(QString::fromLatin1(name));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
    const bool parsed = parser.parse(arguments);
    QString error = parser.errorText();
    if (parsed && !parser.positionalArguments().isEmpty()) {
        error = QStringLiteral("Unexpected argument '%1'.").arg(parser.positionalArguments().first());
    }
    if (error.isEmpty() && !parser.isSet(help) && !parser.isSet(version)) {
        return std::nullopt;
    }
    // The help text names the executable through the application object; a core one is
    // enough here and needs no display.
    QCoreApplication core(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Tandrel"));
    QCoreApplication::setApplicationVersion(QString::fromUtf8(BuildConfig::applicationVersion));
    if (!error.isEmpty()) {
        std::fputs(qPrintable(QStringLiteral("tandrel: %1\n\n").arg(error) + parser.helpText()), stderr);
        return 2;
    }
    if (parser.isSet(help)) {
        std::fputs(qPrintable(parser.helpText()), stdout);
    } else {
        std::fputs(qPrintable(QStringLiteral("Tandrel %1\n").arg(QCoreApplication::applicationVersion())), stdout);
    }
    std::fflush(stdout);
    return 0;
}

int TandrelApp::main(int argc, char** argv)
{
    // First of all, before a secret is read: no core file may hold one.
    CoreDumps::disable();
    // Before anything looks for the session bus, so nothing can launch one.
    preventSessionBusAutolaunch();
    if (const std::optional<int> answered = answerCommandLine(argc, argv)) {
        return *answered;
    }
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tandrel"));
    QApplication::setApplicationDisplayName(QStringLiteral("Tandrel"));
    QApplication::setApplicationVersion(QString::fromUtf8(BuildConfig::applicationVersion));
    QApplication::setDesktopFileName(QString::fromUtf8(BuildConfig::bundleIdentifier));
    // A second launch shows the running program's window and ends here.
    SingleInstance instance(QString::fromUtf8(BuildConfig::bundleIdentifier));
    if (!instance.claim()) {
        return 0;
    }
    QApplication::setWindowIcon(Assets::image(QString::fromLatin1(AssetName::AppIconMacOS)));
    loadTranslations();
    installPlatformHooks();
    LaunchAtLogin::migrateLegacyEntry();

    TandrelApp app(QUrl(QString::fromUtf8(BuildConfig::updateFeed)));
    app.appDelegate().applicationWillFinishLaunching();
    app.showInStatusArea();
    app.body();
    QObject::connect(&instance, &SingleInstance::activationRequested, &application,
                     [&app](const QVariantMap& platformData) { app.showMainWindow(platformData); });
    return QApplication::exec();
}

TandrelApp::TandrelApp([[maybe_unused]] const QUrl& updateFeed)
    : m_appDelegate(std::make_unique<AppDelegate>())
#if TANDREL_WITH_UPDATER
      ,
      m_updaterController(std::make_unique<StandardUpdaterController>(
          true, updateFeed, QString::fromUtf8(BuildConfig::applicationVersion)))
#endif
{
}

TandrelApp::~TandrelApp()
{
    // Windows still open when the event loop ends go before the application object does.
    for (QWidget* window : Windows::windowList()) {
        delete window;
    }
}

QMainWindow* TandrelApp::body()
{
    Windows::keepZoomDisabled();
    Windows::shareQuitWithDialogs();
    QMainWindow* window = makeWindow();
    window->show();
    showKeychainFileNotice(window);
    return window;
}

QMessageBox* TandrelApp::showKeychainFileNotice(QWidget* window)
{
    KeychainStore::system();  // the choice is made at the first use
    const std::optional<QString> path = KeychainStore::fallbackFilePath();
    if (!path || UserDefaults::standard().boolForKey(kKeychainFileNoticeShownKey)) {
        return nullptr;
    }
    UserDefaults::standard().set(true, kKeychainFileNoticeShownKey);
    const QString text = QCoreApplication::translate("Tandrel",
                                                     "No keyring (Secret Service) is available on this desktop, so "
                                                     "Tandrel keeps your credentials in a file only you can read:");
    auto* notice = new QMessageBox(QMessageBox::Information, QCoreApplication::translate("Tandrel", "Keychain"), text,
                                   QMessageBox::Ok, window);
    notice->setObjectName(QStringLiteral("keychainFileNotice"));
    notice->setInformativeText(*path);
    notice->setAttribute(Qt::WA_DeleteOnClose);
    // Over the window, also once the window has been placed (one turn after it shows).
    Windows::keepCentredOver(notice, window);
    notice->open();  // not modal to the program: nothing waits on it
    return notice;
}

QMainWindow* TandrelApp::makeWindow()
{
    auto* window = new QMainWindow;
    window->setObjectName(QStringLiteral("mainWindow"));
    window->setAccessibleName(QStringLiteral("Tandrel"));
    // With a status icon, closing only hides the window: the screen and its controller stay,
    // and with them the tunnel's reconnection. Whether there is one is asked again at each
    // close: a panel may come or go while Tandrel runs.
    window->setAttribute(Qt::WA_DeleteOnClose, !closesToStatusArea());
    window->installEventFilter(new CloseDecider(window, [this, window] {
        const bool hide = closesToStatusArea();
        window->setAttribute(Qt::WA_DeleteOnClose, !hide);
        QApplication::setQuitOnLastWindowClosed(!hide);
    }));
    // The content scrolls only where the screen's usable area is smaller than it needs
    // (a small screen at a large scale); the window never grows past that area.
    auto* scroller = new QScrollArea(window);
    scroller->setObjectName(QStringLiteral("contentScroller"));
    scroller->setFrameShape(QFrame::NoFrame);
    scroller->setFocusPolicy(Qt::NoFocus);
    scroller->setWidgetResizable(true);
    auto* content = new ContentView;
    scroller->setWidget(content);
    window->setCentralWidget(scroller);
    Windows::limitToScreen(window, content);
    addMenuCommands(window);
    Windows::disableZoom(window);
    Windows::registerWindow(window);
    return window;
}

void TandrelApp::addMenuCommands(QMainWindow* window)
{
    QMenuBar* bar = window->menuBar();
    QMenu* appMenu = bar->addMenu(QStringLiteral("Tandrel"));
    appMenu->setObjectName(QStringLiteral("applicationMenu"));
    QAction* about = appMenu->addAction(QCoreApplication::translate("Tandrel", "About Tandrel"));
    about->setObjectName(QStringLiteral("aboutAction"));
    about->setMenuRole(QAction::AboutRole);
    QObject::connect(about, &QAction::triggered, window, [window] { showAbout(window); });
    // A build without the updater has neither its menu item nor its settings window.
#if TANDREL_WITH_UPDATER
    if (m_updaterController) {
        // A fresh view (and model) each time the commands are built, starting from the
        // updater's current state.
        auto* checkForUpdates = new CheckForUpdatesView(m_updaterController->updater(), appMenu);
        appMenu->addAction(checkForUpdates->action());
        appMenu->addSeparator();
        QAction* settings = appMenu->addAction(QCoreApplication::translate("Tandrel", "Settings…"));
        settings->setObjectName(QStringLiteral("settingsAction"));
        settings->setMenuRole(QAction::PreferencesRole);
        // The platform's Preferences shortcut is empty on Linux desktops; Ctrl+, is the usual one.
        const QKeySequence preferences(QKeySequence::Preferences);
        settings->setShortcut(preferences.isEmpty() ? QKeySequence(Qt::CTRL | Qt::Key_Comma) : preferences);
        QObject::connect(settings, &QAction::triggered, window, [this] { showSettings(); });
    }
#endif
    appMenu->addSeparator();
    QAction* quit = appMenu->addAction(QCoreApplication::translate("Tandrel", "Quit Tandrel"));
    quit->setObjectName(QStringLiteral("quitAction"));
    quit->setMenuRole(QAction::QuitRole);
    quit->setShortcut(QKeySequence::Quit);
    QObject::connect(quit, &QAction::triggered, qApp, &QApplication::quit, Qt::QueuedConnection);

    // The File menu has no New item: the application has one main window.
    QMenu* fileMenu = bar->addMenu(QCoreApplication::translate("Tandrel", "File"));
    fileMenu->setObjectName(QStringLiteral("fileMenu"));
    QAction* close = fileMenu->addAction(QCoreApplication::translate("Tandrel", "Close"));
    close->setObjectName(QStringLiteral("closeAction"));
    close->setShortcut(QKeySequence::Close);
    QObject::connect(close, &QAction::triggered, window, [] {
        if (QWidget* active = QApplication::activeWindow()) {
            active->close();
        }
    });
}

QMessageBox* TandrelApp::showAbout(QWidget* window)
{
    auto* box = new QMessageBox(window);
    box->setObjectName(QStringLiteral("aboutBox"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowTitle(QCoreApplication::translate("Tandrel", "About Tandrel"));
    box->setAccessibleName(box->windowTitle());
    box->setIconPixmap(QApplication::windowIcon().pixmap(64, 64));
    box->setText(QStringLiteral("Tandrel %1").arg(QApplication::applicationVersion()));
    // The embedded third-party assets' licences, as installed beside the program.
    QString licences;
    for (const QString& name : QDir(QStringLiteral(":/licenses")).entryList(QDir::Files, QDir::Name)) {
        QFile file(QStringLiteral(":/licenses/") + name);
        if (file.open(QIODevice::ReadOnly)) {
            licences += QStringLiteral("== %1 ==\n\n").arg(QFileInfo(name).completeBaseName()) +
                        QString::fromUtf8(file.readAll()).trimmed() + QStringLiteral("\n\n");
        }
    }
    if (!licences.isEmpty()) {
        box->setInformativeText(QCoreApplication::translate(
            "Tandrel",
            "Includes icons from Tabler Icons and flag-icons and map data from Natural Earth (world-atlas); "
            "their licences are under Show Details."));
        box->setDetailedText(licences.trimmed());
    }
    box->setStandardButtons(QMessageBox::Ok);
    box->open();
    return box;
}

QWidget* TandrelApp::showSettings()
{
#if TANDREL_WITH_UPDATER
    if (!m_updaterController) {
        return nullptr;
    }
    if (!m_settingsWindow) {
        auto* window = new QWidget(nullptr, Qt::Window);
        window->setObjectName(QStringLiteral("settingsWindow"));
        window->setWindowTitle(QCoreApplication::translate("Tandrel", "Settings"));
        window->setAccessibleName(window->windowTitle());
        window->setAttribute(Qt::WA_DeleteOnClose);
        auto* layout = new QVBoxLayout(window);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addWidget(new UpdaterSettingsView(m_updaterController->updater(), window));
        // The window has no menu bar of its own, so the main window's Close does not reach it.
        auto* close = new QAction(QCoreApplication::translate("Tandrel", "Close"), window);
        close->setObjectName(QStringLiteral("closeSettingsAction"));
        close->setShortcuts({QKeySequence(Qt::Key_Escape), QKeySequence(QKeySequence::Close)});
        close->setShortcutContext(Qt::WindowShortcut);
        QObject::connect(close, &QAction::triggered, window, &QWidget::close);
        window->addAction(close);
        Windows::disableZoom(window);
        Windows::registerWindow(window);
        Windows::setCanBecomeMain(window, false);
        m_settingsWindow = window;
        window->adjustSize();
        Windows::center(window);
    }
    m_settingsWindow->show();
    m_settingsWindow->raise();
    m_settingsWindow->activateWindow();
    return m_settingsWindow;
#else
    return nullptr;
#endif
}

bool TandrelApp::showInStatusArea()
{
    if (!m_statusArea && sessionBusAvailable()) {
        m_statusArea = std::make_unique<StatusArea>();
        QObject::connect(m_statusArea.get(), &StatusArea::appeared, m_statusArea.get(), [this] { addStatusIcon(); });
    }
    return m_statusTray != nullptr;
}

void TandrelApp::addStatusIcon()
{
    // Qt draws the icon, so its own answer counts too; asked only now that a status area
    // is there (see StatusArea).
    if (m_statusTray || !QSystemTrayIcon::isSystemTrayAvailable()) {
        return;
    }
    m_statusTray =
        std::make_unique<StatusTray>(applicationIcon(ApplicationIcon::current()), [this] { showMainWindow(); });
    // The status area is where a Linux desktop shows an application's status.
    QObject::connect(&VPNHelper::shared(), &VPNHelper::statusDidChange, m_statusTray.get(),
                     [tray = m_statusTray.get()](NEVPNStatus status) {
                         tray->setIcon(applicationIcon(TandrelController::statusIconName(status)));
                     });
}

bool TandrelApp::closesToStatusArea() const
{
    return m_statusTray && m_statusTray->trayIcon()->isVisible() && m_statusArea && m_statusArea->isPresent();
}

QWidget* TandrelApp::showMainWindow(const QVariantMap& platformData)
{
    for (QWidget* window : Windows::windowList()) {
        if (window->objectName() == QStringLiteral("mainWindow")) {
            takeActivation(platformData, window);
            window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
            window->show();
            window->raise();
            window->activateWindow();
            return window;
        }
    }
    takeActivation(platformData, nullptr);
    return body();
}

void TandrelApp::takeActivation(const QVariantMap& platformData, QWidget* window)
{
    // Qt's Wayland plugin hands XDG_ACTIVATION_TOKEN to the compositor with the next
    // activation request, and clears it.
    if (const QString token = platformData.value(QStringLiteral("activation-token")).toString(); !token.isEmpty()) {
        qputenv("XDG_ACTIVATION_TOKEN", token.toUtf8());
    }
    const QString startupId = platformData.value(QStringLiteral("desktop-startup-id")).toString();
    if (startupId.isEmpty()) {
        return;
    }
    qputenv("DESKTOP_STARTUP_ID", startupId.toUtf8());
    // On X11 the window manager reads the launch's id (and the time in it) from the window
    // it is asked to raise.
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (!x11 || !window || !window->windowHandle()) {
        return;
    }
    xcb_connection_t* connection = x11->connection();
    const auto atom = [connection](const QByteArray& name) {
        xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
            connection, xcb_intern_atom(connection, 0, uint16_t(name.size()), name.constData()), nullptr);
        const xcb_atom_t value = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
        std::free(reply);
        return value;
    };
    const QByteArray id = startupId.toUtf8();
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, xcb_window_t(window->winId()), atom("_NET_STARTUP_ID"),
                        atom("UTF8_STRING"), 8, uint32_t(id.size()), id.constData());
    xcb_flush(connection);
}

QIcon TandrelApp::applicationIcon(const QString& assetName)
{
    const QIcon icon = Assets::image(assetName);
    return icon.isNull() ? Assets::image(QString::fromLatin1(AssetName::AppIconMacOS)) : icon;
}

void TandrelApp::installPlatformHooks()
{
    Workspace::setOpener([](const QUrl& url) { return QDesktopServices::openUrl(url); });
    ApplicationIcon::setSetter([](const QString& assetName) {
        // The core may call this from any thread; windows belong to the main thread.
        QMetaObject::invokeMethod(qApp, [assetName] {
            const QIcon icon = applicationIcon(assetName);
            QApplication::setWindowIcon(icon);
        });
    });
}

QString TandrelApp::loadTranslations()
{
    QString language;
    if (const auto languages = UserDefaults::standard().stringArray(kAppleLanguagesKey);
        languages && !languages->isEmpty()) {
        language = languages->first();
    } else if (const QStringList preferred = Host::preferredLanguages(); !preferred.isEmpty()) {
        language = preferred.first();
    }
    // "es-ES", "es_MX" and "es" all use the Spanish table.
    language = language.section(QLatin1Char('-'), 0, 0).section(QLatin1Char('_'), 0, 0).toLower();
    // Each screen keeps its own table (":/i18n/<screen>_<language>.qm"). The English tables
    // hold only the texts whose keys speak of another platform; they lie under every other
    // language, so a text a table lacks falls back to the Linux wording.
    static QList<QTranslator*> installed;
    for (QTranslator* translator : std::as_const(installed)) {
        QCoreApplication::removeTranslator(translator);
        delete translator;
    }
    installed.clear();
    const auto install = [](const QString& folder, const QString& table) {
        auto* translator = new QTranslator(qApp);
        if (!translator->load(table, folder)) {
            delete translator;
            return false;
        }
        QCoreApplication::installTranslator(translator);
        installed << translator;
        return true;
    };
    const QString ours = QStringLiteral(":/i18n");
    const auto installOurs = [&](const QString& code) {
        bool any = false;
        for (const QString& table :
             QDir(ours).entryList({QStringLiteral("*_%1.qm").arg(code)}, QDir::Files, QDir::Name)) {
            any = install(ours, table) || any;
        }
        return any;
    };
    installOurs(QStringLiteral("en"));
    if (language.isEmpty() || language == QStringLiteral("en") || !installOurs(language)) {
        return QStringLiteral("en");
    }
    // Qt's own texts (context menus, standard buttons) in the same language, where the
    // system has them.
    install(QLibraryInfo::path(QLibraryInfo::TranslationsPath), QStringLiteral("qtbase_") + language);
    return language;
}

}  // namespace tandrel
