#pragma once

#include "BuildConfig.h"

#include <QIcon>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <QVariantMap>

#include <memory>
#include <optional>

class QMainWindow;
class QMessageBox;
class QWidget;

namespace tandrel {

class AppDelegate;
class ContentView;
class StandardUpdaterController;
class StatusArea;
class StatusTray;

// The application: its delegate, the updater (started before any window), the window
// group whose windows show the root view, the menu commands and the settings window.
class TandrelApp {
public:
    // Runs the application; returns when its event loop ends.
    static int main(int argc, char** argv);
    // Answers --help and --version on standard output (0) and a bad option or argument
    // with the usage on standard error (2); nothing when the program is to start.
    static std::optional<int> answerCommandLine(int argc, char** argv);

    // Builds the delegate, then the updater controller, which starts its updater at once.
    explicit TandrelApp(const QUrl& updateFeed);
    ~TandrelApp();
    TandrelApp(const TandrelApp&) = delete;
    TandrelApp& operator=(const TandrelApp&) = delete;

    AppDelegate& appDelegate() const { return *m_appDelegate; }
#if TANDREL_WITH_UPDATER
    // Only in a build with the updater (BuildConfig::withUpdater).
    StandardUpdaterController& updaterController() const { return *m_updaterController; }
#endif

    // The scenes: opens the window group's first window and keeps zoom off everywhere.
    QMainWindow* body();
    // A window of the window group: the root view with the menu commands.
    QMainWindow* makeWindow();
    // Opens the settings window (or raises the open one); nullptr in a build without the
    // updater, whose settings are all that window holds.
    QWidget* showSettings();
    // When no Secret Service could be reached and the credentials go to the private file,
    // says so once (ever) in a notice over `window`; the notice, or null when nothing is said.
    static QMessageBox* showKeychainFileNotice(QWidget* window);
    // The About box, with the licences of the embedded third-party assets under its details.
    static QMessageBox* showAbout(QWidget* window);

    // Shows the status icon in the desktop's status area as soon as there is one (now, or
    // when a panel starts later); while it shows, closing the window only hides it and
    // Tandrel keeps running until it is quit. Returns whether the icon is shown already.
    bool showInStatusArea();
    // Whether closing the main window now would only hide it: an icon shown in a status
    // area that is still there.
    bool closesToStatusArea() const;
    StatusTray* statusTray() const { return m_statusTray.get(); }
    // Brings the main window forward (shown, not minimized, raised, active), opening it
    // when there is none: a click on the status icon, its "Show Tandrel", a second launch
    // (with the activation token or startup id it was launched with, see takeActivation).
    QWidget* showMainWindow(const QVariantMap& platformData = {});
    // Applies org.freedesktop.Application platform data before a window is raised:
    // "activation-token" becomes XDG_ACTIVATION_TOKEN (Qt's Wayland plugin passes it to the
    // compositor), "desktop-startup-id" DESKTOP_STARTUP_ID and, on X11, the window's
    // _NET_STARTUP_ID.
    static void takeActivation(const QVariantMap& platformData, QWidget* window);
    // The image for an application-icon asset name; the application's own for an empty
    // or unknown name.
    static QIcon applicationIcon(const QString& assetName);

    // Hooks the core calls: opening URLs on the desktop and setting the window icon.
    static void installPlatformHooks();
    // Loads the interface language named by the first entry of "AppleLanguages" (else the
    // desktop's first language), with Qt's own texts in that language. Returns the language
    // applied.
    static QString loadTranslations();

private:
    void addMenuCommands(QMainWindow* window);
    void addStatusIcon();

    std::unique_ptr<AppDelegate> m_appDelegate;
#if TANDREL_WITH_UPDATER
    std::unique_ptr<StandardUpdaterController> m_updaterController;
#endif
    QPointer<QWidget> m_settingsWindow;
    std::unique_ptr<StatusArea> m_statusArea;
    std::unique_ptr<StatusTray> m_statusTray;
};

}  // namespace tandrel
