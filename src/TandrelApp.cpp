#include "TandrelApp.h"

#include "BuildConfig.h"
#include "ContentView.h"
#include "Platform/ApplicationIcon.h"
#include "Platform/Host.h"
#include "Platform/Keychain.h"
#include "Platform/SessionBus.h"
#include "Platform/UserDefaults.h"
#include "Platform/Workspace.h"
#include "Views/AppDelegate.h"
#include "Views/CheckForUpdatesView.h"
#include "Views/Platform/Assets.h"
#include "Views/Platform/Windows.h"
#include "Views/StandardUpdaterController.h"
#include "Views/UpdaterSettingsView.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QMainWindow>
#include <QMenuBar>
#include <QMessageBox>
#include <QTranslator>
#include <QVBoxLayout>

namespace tandrel {

int TandrelApp::main(int argc, char** argv)
{
    // Before anything looks for the session bus, so nothing can launch one.
    preventSessionBusAutolaunch();
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tandrel"));
    QApplication::setApplicationDisplayName(QStringLiteral("Tandrel"));
    QApplication::setApplicationVersion(QString::fromUtf8(BuildConfig::applicationVersion));
    QApplication::setDesktopFileName(QString::fromUtf8(BuildConfig::bundleIdentifier));
    QApplication::setWindowIcon(Assets::image(QString::fromLatin1(AssetName::AppIconMacOS)));
    loadTranslations();
    installPlatformHooks();

    TandrelApp app(QUrl(QString::fromUtf8(BuildConfig::updateFeed)));
    app.appDelegate().applicationWillFinishLaunching();
    app.body();
    return QApplication::exec();
}

TandrelApp::TandrelApp(const QUrl& updateFeed)
    : m_appDelegate(std::make_unique<AppDelegate>()),
      m_updaterController(std::make_unique<StandardUpdaterController>(
          true, updateFeed, QString::fromUtf8(BuildConfig::applicationVersion)))
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
    QMainWindow* window = makeWindow();
    window->show();
    showKeychainFileNotice(window);
    return window;
}

QMessageBox* TandrelApp::showKeychainFileNotice(QWidget* window)
{
    const QString shownKey = QStringLiteral("KeychainFileNoticeShown");
    KeychainStore::system();  // the choice is made at the first use
    const std::optional<QString> path = KeychainStore::fallbackFilePath();
    if (!path || UserDefaults::standard().boolForKey(shownKey)) {
        return nullptr;
    }
    UserDefaults::standard().set(true, shownKey);
    const QString text = QCoreApplication::translate("Tandrel",
                                                     "No keyring (Secret Service) is available on this desktop, so "
                                                     "Tandrel keeps your credentials in a file only you can read:");
    auto* notice = new QMessageBox(QMessageBox::Information, QCoreApplication::translate("Tandrel", "Keychain"), text,
                                   QMessageBox::Ok, window);
    notice->setObjectName(QStringLiteral("keychainFileNotice"));
    notice->setInformativeText(*path);
    notice->setAttribute(Qt::WA_DeleteOnClose);
    notice->open();  // not modal to the program: nothing waits on it
    return notice;
}

QMainWindow* TandrelApp::makeWindow()
{
    auto* window = new QMainWindow;
    window->setObjectName(QStringLiteral("mainWindow"));
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->setCentralWidget(new ContentView(window));
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
    QObject::connect(about, &QAction::triggered, window, [window] {
        QMessageBox::about(window, QCoreApplication::translate("Tandrel", "About Tandrel"),
                           QStringLiteral("Tandrel %1").arg(QApplication::applicationVersion()));
    });
    // A fresh view (and model) each time the commands are built, starting from the
    // updater's current state.
    auto* checkForUpdates = new CheckForUpdatesView(m_updaterController->updater(), appMenu);
    appMenu->addAction(checkForUpdates->action());
    appMenu->addSeparator();
    QAction* settings = appMenu->addAction(QCoreApplication::translate("Tandrel", "Settings…"));
    settings->setObjectName(QStringLiteral("settingsAction"));
    settings->setMenuRole(QAction::PreferencesRole);
    settings->setShortcut(QKeySequence::Preferences);
    QObject::connect(settings, &QAction::triggered, window, [this] { showSettings(); });
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

QWidget* TandrelApp::showSettings()
{
    if (!m_settingsWindow) {
        auto* window = new QWidget(nullptr, Qt::Window);
        window->setObjectName(QStringLiteral("settingsWindow"));
        window->setWindowTitle(QCoreApplication::translate("Tandrel", "Settings"));
        window->setAttribute(Qt::WA_DeleteOnClose);
        auto* layout = new QVBoxLayout(window);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addWidget(new UpdaterSettingsView(m_updaterController->updater(), window));
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
}

void TandrelApp::installPlatformHooks()
{
    Workspace::setOpener([](const QUrl& url) { return QDesktopServices::openUrl(url); });
    ApplicationIcon::setSetter([](const QString& assetName) {
        // The core may call this from any thread; windows belong to the main thread.
        QMetaObject::invokeMethod(qApp, [assetName] {
            QIcon icon = Assets::image(assetName);
            if (icon.isNull()) {
                icon = Assets::image(QString::fromLatin1(AssetName::AppIconMacOS));
            }
            QApplication::setWindowIcon(icon);
        });
    });
}

QString TandrelApp::loadTranslations()
{
    QString language;
    if (const auto languages = UserDefaults::standard().stringArray(QStringLiteral("AppleLanguages"));
        languages && !languages->isEmpty()) {
        language = languages->first();
    } else if (const QStringList preferred = Host::preferredLanguages(); !preferred.isEmpty()) {
        language = preferred.first();
    }
    // "es-ES", "es_MX" and "es" all use the Spanish table.
    language = language.section(QLatin1Char('-'), 0, 0).section(QLatin1Char('_'), 0, 0).toLower();
    // Each screen keeps its own table (":/i18n/<screen>_<language>.qm"); install them all.
    static QList<QTranslator*> installed;
    for (QTranslator* translator : std::as_const(installed)) {
        QCoreApplication::removeTranslator(translator);
        delete translator;
    }
    installed.clear();
    if (language.isEmpty() || language == QStringLiteral("en")) {
        return QStringLiteral("en");
    }
    const QStringList tables =
        QDir(QStringLiteral(":/i18n")).entryList({QStringLiteral("*_%1.qm").arg(language)}, QDir::Files, QDir::Name);
    for (const QString& table : tables) {
        auto* translator = new QTranslator(qApp);
        if (translator->load(QStringLiteral(":/i18n/") + table)) {
            QCoreApplication::installTranslator(translator);
            installed << translator;
        } else {
            delete translator;
        }
    }
    if (installed.isEmpty()) {
        return QStringLiteral("en");
    }
    return language;
}

}  // namespace tandrel
