#include "AssetNames.h"
#include "BuildConfig.h"
#include "Platform/ApplicationIcon.h"
#include "Platform/Keychain.h"
#include "Platform/UserDefaults.h"
#include "TandrelApp.h"
#include "Views/Kit/Assets.h"
#include "Views/Kit/Windows.h"
#include "support/Screenshots.h"
#include "support/TestMain.h"

#include <QAction>
#include <QCheckBox>
#include <QDirIterator>
#include <QLibraryInfo>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>

using namespace tandrel;

namespace {

QList<QAction*> menuItems(QMainWindow* window)
{
    QList<QAction*> items;
    for (QAction* menu : window->menuBar()->actions()) {
        items << menu;
        if (menu->menu()) {
            items << menu->menu()->actions();
        }
    }
    return items;
}

QImage iconImage(const QIcon& icon)
{
    return icon.pixmap(32, 32).toImage().convertToFormat(QImage::Format_ARGB32);
}

}  // namespace

class ApplicationTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() { m_app = std::make_unique<TandrelApp>(QUrl()); }
    void cleanup() { m_app.reset(); }

    void fileKeychainIsNoticedOnceOnScreen()
    {
        // This test has no session bus, so a fresh choice falls back to the file store.
        UserDefaults::standard().removeObject(QStringLiteral("KeychainFileNoticeShown"));
        KeychainStore::setSystem({});
        QMainWindow window;
        QMessageBox* notice = TandrelApp::showKeychainFileNotice(&window);
        QVERIFY(notice);
        QCOMPARE(notice->informativeText(),
                 KeychainStore::fileStorePath(QString::fromUtf8(BuildConfig::bundleIdentifier)));
        QVERIFY(notice->text().contains(QStringLiteral("in a file only you can read")));
        QTRY_VERIFY_WITH_TIMEOUT(notice->isVisible(), 5000);
        testing::saveScreenshot(notice, QStringLiteral("keychain-file-notice"));
        notice->close();
        QVERIFY(!TandrelApp::showKeychainFileNotice(&window));
        // With a keyring there is nothing to say.
        UserDefaults::standard().removeObject(QStringLiteral("KeychainFileNoticeShown"));
        KeychainStore::setSystem(KeychainStore::makeFileStore(QStringLiteral("/nonexistent/keychain")));
        QVERIFY(!TandrelApp::showKeychainFileNotice(&window));
    }

    void keychainNoticeOpensOverTheWindow()
    {
        UserDefaults::standard().removeObject(QStringLiteral("KeychainFileNoticeShown"));
        KeychainStore::setSystem({});
        // As at start: the notice opens as the window shows, and the window is then placed.
        QMainWindow* window = m_app->body();
        auto* notice = window->findChild<QMessageBox*>(QStringLiteral("keychainFileNotice"));
        QVERIFY(notice);
        QTRY_VERIFY(notice->isVisible());
        const auto centreGap = [&] {
            return (Windows::frame(notice).center() - Windows::frame(window).center()).manhattanLength();
        };
        QTRY_VERIFY2(centreGap() <= 2, qPrintable(QString::number(centreGap())));
        // And it follows the window.
        window->move(window->pos() + QPoint(-120, 40));
        QTRY_VERIFY2(centreGap() <= 2, qPrintable(QString::number(centreGap())));
        notice->close();
    }

    void settingsWindowClosesFromTheKeyboard_data()
    {
        QTest::addColumn<QKeySequence>("keys");
        QTest::newRow("Escape") << QKeySequence(Qt::Key_Escape);
        QTest::newRow("Ctrl+W") << QKeySequence(QKeySequence::Close);
    }

    void settingsWindowClosesFromTheKeyboard()
    {
        QFETCH(QKeySequence, keys);
        m_app->body();
        QPointer<QWidget> settings = m_app->showSettings();
        QVERIFY(QTest::qWaitForWindowActive(settings));
        QTest::keySequence(settings, keys);
        QTRY_VERIFY(!settings);
    }

    void menusOfferUpdatesAfterAboutAndNoNewItem()
    {
        QMainWindow* window = m_app->body();
        const QList<QAction*> items = menuItems(window);
        for (QAction* item : items) {
            QVERIFY2(item->shortcut() != QKeySequence(QKeySequence::New), qPrintable(item->text()));
            QVERIFY2(!item->text().remove(QLatin1Char('&')).startsWith(QStringLiteral("New")),
                     qPrintable(item->text()));
        }
        QMenu* appMenu = window->findChild<QMenu*>(QStringLiteral("applicationMenu"));
        const QList<QAction*> appItems = appMenu->actions();
        QCOMPARE(appItems.value(0)->objectName(), QStringLiteral("aboutAction"));
        QCOMPARE(appItems.value(1)->objectName(), QStringLiteral("checkForUpdatesAction"));
        QCOMPARE(appItems.value(1)->text(), QStringLiteral("Check for Updates\u2026"));
        QVERIFY(appItems.value(1)->isEnabled());
    }

    void commandLineIsAnsweredWithoutAWindow_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("err");
        const QString version = QStringLiteral("Tandrel %1\n").arg(QString::fromUtf8(BuildConfig::applicationVersion));
        QTest::newRow("--version") << QStringList{"--version"} << 0 << version << "";
        QTest::newRow("-v") << QStringList{"-v"} << 0 << version << "";
        QTest::newRow("--help") << QStringList{"--help"} << 0 << "Usage: "
                                << "";
        QTest::newRow("-h") << QStringList{"-h"} << 0 << "Usage: "
                            << "";
        QTest::newRow("unknown option") << QStringList{"--frobnicate"} << 2 << ""
                                        << "tandrel: Unknown option 'frobnicate'.";
        QTest::newRow("--help-all is not offered") << QStringList{"--help-all"} << 2 << ""
                                                   << "tandrel: Unknown option 'help-all'.";
        QTest::newRow("stray argument") << QStringList{"somewhere"} << 2 << ""
                                        << "tandrel: Unexpected argument 'somewhere'.";
        QTest::newRow("Qt's own option with --help")
            << QStringList{"-platform", "offscreen", "--help"} << 0 << "Usage: "
            << "";
    }

    void commandLineIsAnsweredWithoutAWindow()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, out);
        QFETCH(QString, err);
        QProcess program;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        // No display at all: answering must not need one.
        environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
        environment.remove(QStringLiteral("DISPLAY"));
        environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
        program.setProcessEnvironment(environment);
        program.start(QStringLiteral(TANDREL_EXECUTABLE), arguments);
        QVERIFY(program.waitForFinished(10000));
        const QString stdOut = QString::fromLocal8Bit(program.readAllStandardOutput());
        const QString stdErr = QString::fromLocal8Bit(program.readAllStandardError());
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QVERIFY2(program.exitCode() == exitCode, qPrintable(stdErr));
        if (out.isEmpty()) {
            QCOMPARE(stdOut, QString());
        } else {
            QVERIFY2(out.endsWith(QLatin1Char('\n')) ? stdOut == out : stdOut.startsWith(out), qPrintable(stdOut));
        }
        if (err.isEmpty()) {
            QCOMPARE(stdErr, QString());
        } else {
            QVERIFY2(stdErr.startsWith(err), qPrintable(stdErr));
            QVERIFY2(stdErr.contains(QStringLiteral("Usage: ")), qPrintable(stdErr));
        }
        if (stdOut.startsWith(QStringLiteral("Usage: "))) {
            QVERIFY(stdOut.contains(QStringLiteral("--version")));
            QVERIFY(!stdOut.contains(QStringLiteral("platform")));
            QVERIFY(!stdOut.contains(QStringLiteral("--help-all")));
        }
    }

    void controlCommaOpensSettings()
    {
        QMainWindow* window = m_app->body();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        window->activateWindow();
        QTRY_VERIFY(window->isActiveWindow());
        QTest::keyClick(window, Qt::Key_Comma, Qt::ControlModifier);
        QWidget* settings = nullptr;
        QTRY_VERIFY((settings = QApplication::activeWindow()) &&
                    settings->objectName() == QStringLiteral("settingsWindow"));
    }

    void firstWindowGetsItsContentSizeAndIsCentred()
    {
        QMainWindow* window = m_app->makeWindow();
        window->resize(300, 200);
        window->show();
        // The login screen then sizes it by its own rule (the screen itself 800 by 500),
        // keeping the bottom-left corner of the centred 900 by 700 content.
        QTRY_COMPARE(window->centralWidget()->size(), QSize(800, 500));
        const QRect screen = window->screen()->availableGeometry();
        const QSize decorations = Windows::frame(window).size() - window->geometry().size();
        QRect centred(QPoint(0, 0), QSize(900, 700 + window->menuBar()->height()) + decorations);
        centred.moveCenter(screen.center());
        QCOMPARE(Windows::frame(window).bottomLeft(), centred.bottomLeft());
    }

    void framesKeepTheirBottomLeftCorner_data()
    {
        QTest::addColumn<QRect>("start");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<bool>("animate");
        const QRect onScreen(100, 700, 500, 400);
        QTest::newRow("grow, at once") << onScreen << QSize(900, 700) << false;
        QTest::newRow("shrink, at once") << onScreen << QSize(300, 200) << false;
        QTest::newRow("grow, animated") << onScreen << QSize(900, 700) << true;
        QTest::newRow("shrink, animated") << onScreen << QSize(300, 600) << true;
        // A frame asked partly off the left edge is put back inside the screen's usable area
        // first; at the edge the platform shifts client areas by its frame margin, on every
        // step of an animation.
        const QRect offLeft(-50, 300, 800, 500);
        QTest::newRow("off the left edge, at once") << offLeft << QSize(900, 700) << false;
        QTest::newRow("off the left edge, grow, animated") << offLeft << QSize(900, 700) << true;
        QTest::newRow("off the left edge, shrink, animated") << offLeft << QSize(300, 700) << true;
    }

    void framesKeepTheirBottomLeftCorner()
    {
        QFETCH(QRect, start);
        QFETCH(QSize, size);
        QFETCH(bool, animate);
        QWidget window;
        window.show();
        Windows::setFrame(&window, start, false);
        const QRect placed = Windows::fittedFrame(start, window.screen()->availableGeometry());
        QCOMPARE(Windows::frame(&window), placed);
        start = placed;
        Windows::setFrameSizeKeepingOrigin(&window, size, animate);
        QTRY_COMPARE(Windows::frame(&window).size(), size);
        QCOMPARE(Windows::frame(&window).bottomLeft(), start.bottomLeft());
        // Nor do the platform's reports still queued move it again.
        QCoreApplication::processEvents();
        QCOMPARE(Windows::frame(&window), QRect(QPoint(start.left(), start.bottom() - size.height() + 1), size));
    }

    void zoomIsNeverAvailable()
    {
        QMainWindow* window = m_app->body();
        QWidget* settings = m_app->showSettings();
        QWidget later;  // any window opened later
        later.show();
        for (QWidget* each : {static_cast<QWidget*>(window), settings, &later}) {
            QTRY_VERIFY2(!(each->windowFlags() & Qt::WindowMaximizeButtonHint), qPrintable(each->objectName()));
            QVERIFY(each->isVisible());
        }
        // Asking for it again is undone on the next pass.
        later.setWindowFlag(Qt::WindowMaximizeButtonHint, true);
        later.show();
        QTRY_VERIFY(!(later.windowFlags() & Qt::WindowMaximizeButtonHint));
    }

    void settingsWindowHoldsTheUpdaterToggles()
    {
        m_app->body();
        QWidget* settings = m_app->showSettings();
        auto* checks = settings->findChild<QCheckBox*>(QStringLiteral("automaticallyChecksToggle"));
        auto* downloads = settings->findChild<QCheckBox*>(QStringLiteral("automaticallyDownloadsToggle"));
        QVERIFY(checks && downloads);
        QCOMPARE(checks->text(), QStringLiteral("Automatically check for updates"));
        QCOMPARE(downloads->text(), QStringLiteral("Automatically download updates"));
        checks->click();
        QVERIFY(!downloads->isEnabled());
        // The settings window is never the main window the screens resize.
        QVERIFY(Windows::mainWindow() != settings);
        QCOMPARE(m_app->showSettings(), settings);
    }

    void applicationIconFollowsTheCoreFromAnyThread_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("shown");
        QTest::newRow("dock state") << AssetName::iconConnected << AssetName::iconConnected;
        QTest::newRow("empty name") << "" << AssetName::AppIconMacOS;
        QTest::newRow("unknown name") << "noSuchIcon" << AssetName::AppIconMacOS;
    }

    void applicationIconFollowsTheCoreFromAnyThread()
    {
        QFETCH(QString, name);
        QFETCH(QString, shown);
        TandrelApp::installPlatformHooks();
        QApplication::setWindowIcon(Assets::image(AssetName::iconInvalid));
        std::unique_ptr<QThread> worker(QThread::create([name] { ApplicationIcon::set(name); }));
        worker->start();
        QVERIFY(worker->wait(5000));
        QTRY_COMPARE(iconImage(QApplication::windowIcon()), iconImage(Assets::image(shown)));
    }

    void everyAssetSymbolAndFlagIsBundled()
    {
        for (const char* name :
             {AssetName::logo, AssetName::rightBarLogo, AssetName::AppIconMacOS, AssetName::iconInvalid,
              AssetName::iconConnecting, AssetName::iconConnected, AssetName::iconDisconnecting,
              AssetName::notConnectedButton, AssetName::connectingButton, AssetName::connectedButton}) {
            QVERIFY2(!iconImage(Assets::image(name)).isNull(), name);
        }
        QVERIFY(Assets::color(AssetName::rightBarColor).isValid());
        QFile symbols(QFINDTESTDATA("../../resources/symbols.txt"));
        QVERIFY(symbols.open(QIODevice::ReadOnly));
        while (!symbols.atEnd()) {
            const QString line = QString::fromUtf8(symbols.readLine()).trimmed();
            if (line.isEmpty() || line.startsWith(QLatin1Char('#'))) {
                continue;
            }
            const QString symbol = line.section(QLatin1Char(' '), 0, 0);
            QVERIFY2(!Assets::systemSymbol(symbol).isNull(), qPrintable(symbol));
        }
        for (const char* code : {"de", "us", "gb", "jp", "es"}) {
            QVERIFY2(!Assets::flag(code).isNull(), code);
        }
        QVERIFY(Assets::flag(QStringLiteral("../assets/logo")).isNull());
        QVERIFY(Assets::image(QStringLiteral("missing")).isNull());
    }

    void languageComesFromAppleLanguages_data()
    {
        QTest::addColumn<QStringList>("languages");
        QTest::addColumn<QString>("applied");
        QTest::addColumn<QString>("login");
        QTest::newRow("Spanish") << QStringList{"es"} << "es" << QString::fromUtf8("Iniciar sesión");
        QTest::newRow("Spanish of a region, first entry wins")
            << QStringList{"es-MX", "en"} << "es" << QString::fromUtf8("Iniciar sesión");
        QTest::newRow("English") << QStringList{"en", "es"} << "en"
                                 << "Login";
        QTest::newRow("no table for it") << QStringList{"fr"} << "en"
                                         << "Login";
    }

    void languageComesFromAppleLanguages()
    {
        QFETCH(QStringList, languages);
        QFETCH(QString, applied);
        QFETCH(QString, login);
        UserDefaults::standard().set(languages, QStringLiteral("AppleLanguages"));
        QCOMPARE(TandrelApp::loadTranslations(), applied);
        QCOMPARE(QCoreApplication::translate("Tandrel", "Login"), login);
        QCOMPARE(QCoreApplication::translate("Tandrel", "Check for Updates…").isEmpty(), false);
        // Qt's own texts (standard buttons, context menus) follow, where the system has them.
        if (applied == QStringLiteral("es") &&
            QFile::exists(QLibraryInfo::path(QLibraryInfo::TranslationsPath) + QStringLiteral("/qtbase_es.qm"))) {
            QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("Cancelar"));
        } else {
            QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("Cancel"));
        }
        UserDefaults::standard().removeObject(QStringLiteral("AppleLanguages"));
        TandrelApp::loadTranslations();
    }

    void spanishTableCoversEveryText()
    {
        UserDefaults::standard().set(QStringList{"es"}, QStringLiteral("AppleLanguages"));
        QCOMPARE(TandrelApp::loadTranslations(), QStringLiteral("es"));
        const QString entry = QFINDTESTDATA("../../src/TandrelApp.cpp");
        QVERIFY(!entry.isEmpty());
        const QString sources = QFileInfo(entry).absolutePath();
        // translate("Tandrel", "<key>") with the key's escaped quotes.
        static const QRegularExpression key(
            QStringLiteral("translate\\(\\s*\"Tandrel\",\\s*\"((?:[^\"\\\\]|\\\\.)*)\"\\)"));
        int checked = 0;
        QDirIterator it(sources, {QStringLiteral("*.cpp")}, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            QFile file(it.next());
            QVERIFY(file.open(QIODevice::ReadOnly));
            const QString code = QString::fromUtf8(file.readAll());
            for (const QRegularExpressionMatch& match : key.globalMatch(code)) {
                const QString english = match.captured(1).replace(QStringLiteral("\\\""), QStringLiteral("\""));
                const QString spanish = QCoreApplication::translate("Tandrel", english.toUtf8().constData());
                QVERIFY2(spanish != english || english == QStringLiteral("Tandrel"), qPrintable(english));
                ++checked;
            }
        }
        QVERIFY(checked > 20);
        UserDefaults::standard().removeObject(QStringLiteral("AppleLanguages"));
        TandrelApp::loadTranslations();
    }

private:
    std::unique_ptr<TandrelApp> m_app;
};

TANDREL_TEST_MAIN_WIDGETS(ApplicationTest)
#include "tst_application.moc"
