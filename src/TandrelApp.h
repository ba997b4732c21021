#pragma once

#include <QPointer>
#include <QString>
#include <QUrl>

#include <memory>

class QMainWindow;
class QMessageBox;
class QWidget;

namespace tandrel {

class AppDelegate;
class ContentView;
class StandardUpdaterController;

// The application: its delegate, the updater (started before any window), the window
// group whose windows show the root view, the menu commands and the settings window.
class TandrelApp {
public:
    // Runs the application; returns when its event loop ends.
    static int main(int argc, char** argv);

    // Builds the delegate, then the updater controller, which starts its updater at once.
    explicit TandrelApp(const QUrl& updateFeed);
    ~TandrelApp();
    TandrelApp(const TandrelApp&) = delete;
    TandrelApp& operator=(const TandrelApp&) = delete;

    AppDelegate& appDelegate() const { return *m_appDelegate; }
    StandardUpdaterController& updaterController() const { return *m_updaterController; }

    // The scenes: opens the window group's first window and keeps zoom off everywhere.
    QMainWindow* body();
    // A window of the window group: the root view with the menu commands.
    QMainWindow* makeWindow();
    // Opens the settings window (or raises the open one).
    QWidget* showSettings();
    // When no Secret Service could be reached and the credentials go to the private file,
    // says so once (ever) in a notice over `window`; the notice, or null when nothing is said.
    static QMessageBox* showKeychainFileNotice(QWidget* window);

    // Hooks the core calls: opening URLs on the desktop and setting the window icon.
    static void installPlatformHooks();
    // Loads the interface language named by the first entry of "AppleLanguages" (else the
    // desktop's first language). English needs no table. Returns the language applied.
    static QString loadTranslations();

private:
    void addMenuCommands(QMainWindow* window);

    std::unique_ptr<AppDelegate> m_appDelegate;
    std::unique_ptr<StandardUpdaterController> m_updaterController;
    QPointer<QWidget> m_settingsWindow;
};

}  // namespace tandrel
