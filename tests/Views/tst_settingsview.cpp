#include "Classes/Preferences.h"
#include "ContentViewModel.h"
#include "Controllers/ServiceTesting.h"
#include "Controllers/TandrelController.h"
#include "Platform/LaunchAtLogin.h"
#include "Platform/UserDefaults.h"
#include "Views/Kit/Windows.h"
#include "Views/Sheets/SettingsView.h"
#include "support/TestMain.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QDialog>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMainWindow>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QTranslator>
#include <QVBoxLayout>

using namespace tandrel;
using testing::ServiceEnvironment;
using Alert = SettingsView::ActiveAlert;

namespace {

QMessageBox* visibleAlert(QWidget* sheet)
{
    for (auto* box : sheet->findChildren<QMessageBox*>(QStringLiteral("settingsAlert"))) {
        if (box->isVisible()) {
            return box;
        }
    }
    return nullptr;
}

void saveScreenshot(QWidget* sheet, const QString& name)
{
    const QString folder = qEnvironmentVariable("TANDREL_SCREENSHOTS");
    if (folder.isEmpty()) {
        return;
    }
    QDir().mkpath(folder);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    QPixmap picture = sheet->window()->grab();
    if (QMessageBox* alert = visibleAlert(sheet)) {
        const QPixmap box = alert->grab();
        QPainter painter(&picture);
        painter.fillRect(picture.rect(), QColor(0, 0, 0, 40));
        painter.drawPixmap((picture.width() - box.width()) / 2, 60, box);
    }
    QVERIFY(picture.save(folder + QLatin1Char('/') + name + QStringLiteral(".png")));
}

QStringList storedLanguages()
{
    return UserDefaults::standard().stringArray(QStringLiteral("AppleLanguages")).value_or(QStringList());
}

}  // namespace

class SettingsViewTest : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<ServiceEnvironment> env;
    std::unique_ptr<QMainWindow> mainWindow;
    std::unique_ptr<TandrelController> ctrl;
    std::unique_ptr<ContentViewModel> vm;
    QDialog* dialog = nullptr;
    SettingsView* sheet = nullptr;

    // The sheet as the main screen presents it: in a window-modal dialog over the main window.
    void presentSheet()
    {
        dialog = new QDialog(mainWindow.get());
        dialog->setWindowModality(Qt::WindowModal);
        auto* layout = new QVBoxLayout(dialog);
        layout->setContentsMargins(0, 0, 0, 0);
        sheet = new SettingsView(*ctrl, *vm, dialog);
        layout->addWidget(sheet);
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog));
    }

    QAbstractButton* button(const char* name) { return sheet->findChild<QAbstractButton*>(QLatin1String(name)); }
    QComboBox* picker() { return sheet->findChild<QComboBox*>(QStringLiteral("languagePicker")); }

    void pick(const QString& code)
    {
        const int index = picker()->findData(code);
        QVERIFY(index >= 0);
        picker()->setCurrentIndex(index);
        Q_EMIT picker()->activated(index);
    }

private Q_SLOTS:
    void init()
    {
        env = std::make_unique<ServiceEnvironment>();
        for (const char* key : {"CompactView", "ExcludeLocalNetworks", "SelectedLanguage", "AppleLanguages"}) {
            UserDefaults::standard().removeObject(QString::fromLatin1(key));
        }
        LaunchAtLogin::setEnabled(false);
        mainWindow = std::make_unique<QMainWindow>();
        Windows::registerWindow(mainWindow.get());
        mainWindow->setGeometry(200, 150, 900, 700);
        mainWindow->show();
        QVERIFY(QTest::qWaitForWindowExposed(mainWindow.get()));
        ctrl = std::make_unique<TandrelController>();
        vm = std::make_unique<ContentViewModel>();
        ctrl->showSettings = true;
        presentSheet();
    }

    void cleanup()
    {
        delete dialog;
        dialog = nullptr;
        sheet = nullptr;
        ctrl.reset();
        vm.reset();
        mainWindow.reset();
        env.reset();
    }

    void sheetShowsItsRowsWithTheStoredSettings()
    {
        QVERIFY(button("compactViewToggle")->isChecked());  // compact view defaults to on
        QCOMPARE(button("killSwitchToggle")->isChecked(), Preferences::killSwitch());
        QCOMPARE(button("excludeLocalNetworkToggle")->isChecked(), Preferences::excludeLocalNetworks());
        QVERIFY(!button("launchAtLoginToggle")->isChecked());
        QCOMPARE(picker()->count(), 2);
        QCOMPARE(picker()->itemText(0), QStringLiteral("English"));
        QCOMPARE(picker()->itemText(1), QStringLiteral("Español"));
        QVERIFY(sheet->minimumSize().width() >= 600 && sheet->minimumSize().height() >= 400);
        saveScreenshot(sheet, QStringLiteral("settings-sheet"));
        dialog->resize(600, 860);
        saveScreenshot(sheet, QStringLiteral("settings-sheet-all-rows"));
    }

    void switchesWriteTheirUserDefaults_data()
    {
        QTest::addColumn<QString>("toggle");
        QTest::addColumn<QString>("key");
        QTest::newRow("compact view") << "compactViewToggle"
                                      << "CompactView";
        QTest::newRow("kill switch") << "killSwitchToggle"
                                     << "KillSwitch";
        QTest::newRow("local network") << "excludeLocalNetworkToggle"
                                       << "ExcludeLocalNetworks";
    }

    void switchesWriteTheirUserDefaults()
    {
        QFETCH(QString, toggle);
        QFETCH(QString, key);
        QAbstractButton* control = button(toggle.toLatin1().constData());
        const bool before = control->isChecked();
        QTest::mouseClick(control, Qt::LeftButton);
        QCOMPARE(UserDefaults::standard().object(key), std::optional<QVariant>(!before));
        QTest::mouseClick(control, Qt::LeftButton);
        QCOMPARE(UserDefaults::standard().object(key)->toBool(), before);
    }

    void tunnelSwitchesFollowAStoredValueWrittenElsewhere()
    {
        Preferences::setKillSwitch(true);
        QVERIFY(button("killSwitchToggle")->isChecked());
        Preferences::setExcludeLocalNetworks(!button("excludeLocalNetworkToggle")->isChecked());
        QCOMPARE(button("excludeLocalNetworkToggle")->isChecked(), Preferences::excludeLocalNetworks());
    }

    void compactSwitchResizesTheMainWindowKeepingItsBottomLeft_data()
    {
        QTest::addColumn<bool>("storedCompact");
        QTest::addColumn<QSize>("size");
        QTest::newRow("to full") << true << QSize(800, 600);
        QTest::newRow("to compact") << false << QSize(300, 600);
    }

    void compactSwitchResizesTheMainWindowKeepingItsBottomLeft()
    {
        QFETCH(bool, storedCompact);
        QFETCH(QSize, size);
        Preferences::setCompactView(storedCompact);
        delete dialog;
        presentSheet();
        QCOMPARE(button("compactViewToggle")->isChecked(), storedCompact);
        const QPoint bottomLeft = Windows::frame(mainWindow.get()).bottomLeft();
        QTest::mouseClick(button("compactViewToggle"), Qt::LeftButton);
        QCOMPARE(Preferences::compactView(), !storedCompact);
        QTRY_COMPARE_WITH_TIMEOUT(Windows::frame(mainWindow.get()).size(), size, 5000);
        QCOMPARE(Windows::frame(mainWindow.get()).bottomLeft(), bottomLeft);
    }

    void languagePickStoresBothKeysAndAsksForARestartOnce()
    {
        UserDefaults::standard().set(QStringLiteral("en"), QStringLiteral("SelectedLanguage"));
        delete dialog;
        presentSheet();
        QCOMPARE(picker()->currentData().toString(), QStringLiteral("en"));

        // The entry already selected changes nothing.
        pick(QStringLiteral("en"));
        QVERIFY(!sheet->activeAlert());
        QVERIFY(!UserDefaults::standard().object(QStringLiteral("AppleLanguages")));

        pick(QStringLiteral("es"));
        QCOMPARE(UserDefaults::standard().string(QStringLiteral("SelectedLanguage")), QStringLiteral("es"));
        QCOMPARE(storedLanguages(), QStringList{QStringLiteral("es")});
        QCOMPARE(sheet->activeAlert(), std::optional<Alert>(Alert::restartRequired()));
        QTRY_VERIFY(visibleAlert(sheet));
        QCOMPARE(visibleAlert(sheet)->windowTitle(), QStringLiteral("Restart Required"));
        QCOMPARE(visibleAlert(sheet)->informativeText(),
                 QStringLiteral("Please restart the app to apply the new language."));
        saveScreenshot(sheet, QStringLiteral("settings-restart-alert"));

        // OK dismisses the alert and clears it; no second alert follows.
        QTest::mouseClick(visibleAlert(sheet)->findChild<QPushButton*>(QStringLiteral("alertOkButton")),
                          Qt::LeftButton);
        QTRY_VERIFY(!visibleAlert(sheet));
        QVERIFY(!sheet->activeAlert());
        pick(QStringLiteral("es"));
        QVERIFY(!sheet->activeAlert());
    }

    void languageWithoutAnEntrySelectsNothingUntilPicked()
    {
        QCOMPARE(SettingsView::defaultLanguage(QLocale(QLocale::French, QLocale::France)), QStringLiteral("fr"));
        QCOMPARE(SettingsView::defaultLanguage(QLocale::c()), QStringLiteral("en"));
        QCOMPARE(SettingsView::languageName(QStringLiteral("fr")), QStringLiteral("fr"));
        UserDefaults::standard().set(QStringLiteral("fr"), QStringLiteral("SelectedLanguage"));
        delete dialog;
        presentSheet();
        QCOMPARE(picker()->currentIndex(), -1);
        pick(QStringLiteral("en"));
        QCOMPARE(storedLanguages(), QStringList{QStringLiteral("en")});
        QVERIFY(sheet->activeAlert());
    }

    void removeProfileTellsWhatTheServiceReports_data()
    {
        QTest::addColumn<bool>("fails");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("description");
        QTest::addColumn<QString>("message");
        QTest::newRow("removed") << false << "Success"
                                 << ""
                                 << "VPN profile removed successfully.";
        QTest::newRow("refused") << true << "Error"
                                 << "The profile is locked."
                                 << "Failed to remove VPN profile: The profile is locked.";
        QTest::newRow("marks shown as they are") << true << "Error"
                                                 << "No profile \"Tandrel & Co\" <vpn0>"
                                                 << "Failed to remove VPN profile: No profile \"Tandrel & Co\" <vpn0>";
    }

    void removeProfileTellsWhatTheServiceReports()
    {
        QFETCH(bool, fails);
        QFETCH(QString, title);
        QFETCH(QString, description);
        QFETCH(QString, message);
        if (fails) {
            env->vpn->setRemoveError(Error::withDescription(QStringLiteral("NEVPNErrorDomain"), 5, description));
        }
        QTest::mouseClick(button("removeProfileButton"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(visibleAlert(sheet), 5000);
        QCOMPARE(sheet->activeAlert(), std::optional<Alert>(Alert::message(title, message)));
        QCOMPARE(visibleAlert(sheet)->windowTitle(), title);
        QCOMPARE(visibleAlert(sheet)->informativeText(), message);
        auto* shown = visibleAlert(sheet)->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"));
        QVERIFY(shown);
        QCOMPARE(shown->textFormat(), Qt::PlainText);
        if (fails) {
            saveScreenshot(sheet, QStringLiteral("settings-remove-error"));
        }
    }

    void launchAtLoginSwitchWritesAndRemovesTheAutostartEntry()
    {
        QTest::mouseClick(button("launchAtLoginToggle"), Qt::LeftButton);
        QVERIFY(QFile::exists(LaunchAtLogin::entryPath()));
        QVERIFY(button("launchAtLoginToggle")->isChecked());
        QTest::mouseClick(button("launchAtLoginToggle"), Qt::LeftButton);
        QVERIFY(!QFile::exists(LaunchAtLogin::entryPath()));

        // A sheet opened later shows the entry as it is.
        LaunchAtLogin::setEnabled(true);
        delete dialog;
        presentSheet();
        QVERIFY(button("launchAtLoginToggle")->isChecked());
        LaunchAtLogin::setEnabled(false);
    }

    void launchAtLoginSwitchStaysOffWhenTheEntryCannotBeWritten()
    {
        const QString folder = QFileInfo(LaunchAtLogin::entryPath()).absolutePath();
        QDir(folder).removeRecursively();
        QFile blocker(folder);
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        QTest::mouseClick(button("launchAtLoginToggle"), Qt::LeftButton);
        QVERIFY(!button("launchAtLoginToggle")->isChecked());
        QFile::remove(folder);
    }

    void keysComeFromTheSpanishTableWhileSwitchTextsStayAsTheyAre()
    {
        QTranslator spanish;
        QVERIFY(spanish.load(QStringLiteral(":/i18n/settingsview_es.qm")));
        QCoreApplication::installTranslator(&spanish);
        delete dialog;
        presentSheet();
        QCoreApplication::removeTranslator(&spanish);
        QStringList texts;
        for (QLabel* label : sheet->findChildren<QLabel*>()) {
            texts << label->text();
        }
        QVERIFY(texts.contains(QStringLiteral("Ajustes")));
        QVERIFY(texts.contains(QStringLiteral("Idioma")));
        QVERIFY(texts.contains(QStringLiteral("Compact View")));
        QVERIFY(texts.contains(QStringLiteral("Kill Switch")));
        QCOMPARE(button("removeProfileButton")->text(), QStringLiteral("Eliminar perfil VPN"));
        QCOMPARE(picker()->itemText(1), QStringLiteral("Español"));
        dialog->resize(600, 860);
        saveScreenshot(sheet, QStringLiteral("settings-sheet-es"));
    }

    void closeButtonLowersTheFlag()
    {
        QTest::mouseClick(button("closeButton"), Qt::LeftButton);
        QCOMPARE(ctrl->showSettings(), false);
    }
};

TANDREL_TEST_MAIN_WIDGETS(SettingsViewTest)
#include "tst_settingsview.moc"
