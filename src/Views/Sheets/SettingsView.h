#pragma once

#include "Classes/Preferences.h"
#include "Platform/Error.h"

#include <QLocale>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <optional>
#include <utility>
#include <vector>

class QAbstractButton;
class QComboBox;
class QLabel;
class QMessageBox;
class QScrollArea;

namespace tandrel {

class ContentViewModel;
class TandrelController;
class SheetCloseButton;
class GradientButton;

// The settings sheet: compact view, kill switch, local-network exclusion, launch at login,
// the interface language and removal of the VPN profile, in one scrolling column. The two
// tunnel settings only write the user defaults; the next connection reads them. Results of
// the language change and the profile removal are told in the sheet's own alert.
class SettingsView : public QWidget {
    Q_OBJECT
public:
    // The sheet's alert: a title and a message shown as they are, and "OK".
    class ActiveAlert {
    public:
        static ActiveAlert message(QString title, QString message)
        {
            return ActiveAlert(std::move(title), std::move(message));
        }
        // What the language change tells: the new language applies at the next launch.
        static ActiveAlert restartRequired();
        // What a profile removal tells, by its outcome.
        static ActiveAlert profileRemoval(const std::optional<Error>& error);

        const QString& title() const { return m_title; }
        const QString& messageText() const { return m_message; }
        // The title followed directly by the message.
        QString id() const { return m_title + m_message; }
        bool operator==(const ActiveAlert&) const = default;

    private:
        ActiveAlert(QString title, QString message) : m_title(std::move(title)), m_message(std::move(message)) {}
        QString m_title;
        QString m_message;
    };

    // One switch row: a toggle, then its title and description shown as they are.
    class SettingRow : public QWidget {
    public:
        SettingRow(const QString& title, const QString& description, QWidget* parent = nullptr);
        QAbstractButton* toggle() const { return m_toggle; }

    private:
        QAbstractButton* m_toggle;
    };

    SettingsView(TandrelController& ctrl, ContentViewModel& vm, QWidget* parent = nullptr);
    SettingsView(TandrelController& ctrl, ContentViewModel& vm, VPNProtocol selectedProtocol,
                 QWidget* parent = nullptr);

    // The languages offered, by code in ascending order, each with its name.
    static std::vector<std::pair<QString, QString>> supportedLanguages();
    // A code's name, or the code itself when it has none.
    static QString languageName(const QString& code);
    // What "SelectedLanguage" reads while nothing is stored: the locale's language code,
    // or "en" when the locale names no language.
    static QString defaultLanguage(const QLocale& locale = QLocale::system());
    // The stored choice, else the default.
    static QString selectedLanguage();
    // The main window's size that the compact-view switch asks for.
    static QSize windowSize(bool compact);

    const std::optional<ActiveAlert>& activeAlert() const { return m_activeAlert; }
    // Shows an alert (or clears it, closing the one on screen).
    void setActiveAlert(const std::optional<ActiveAlert>& alert);
    // The language picker's choice: stores it and, when it differs from the stored one,
    // applies it for the next launch.
    void pickLanguage(const QString& code);
    // The remove button's action.
    void removeVPNProfile();

    // Tall enough for all six rows without scrolling, where the screen has the room.
    QSize sizeHint() const override;

private:
    QWidget* buildHeader();
    QWidget* buildList();
    QWidget* buildLaunchAtLoginRow(QWidget* parent);
    QWidget* buildLanguageRow(QWidget* parent);
    QWidget* buildRemoveRow(QWidget* parent);
    void setAppLanguage(const QString& code);
    void updateWindowSize(bool compact);
    void showLanguageInPicker();

    TandrelController& m_ctrl;
    ContentViewModel& m_vm;
    VPNProtocol m_selectedProtocol;
    bool m_compactView;
    std::optional<ActiveAlert> m_activeAlert;

    QWidget* m_header = nullptr;
    QScrollArea* m_list = nullptr;
    SheetCloseButton* m_closeButton = nullptr;
    SettingRow* m_compactRow = nullptr;
    SettingRow* m_killSwitchRow = nullptr;
    SettingRow* m_excludeLocalRow = nullptr;
    QAbstractButton* m_launchAtLoginToggle = nullptr;
    QComboBox* m_languagePicker = nullptr;
    GradientButton* m_removeButton = nullptr;
    QPointer<QMessageBox> m_alert;
};

}  // namespace tandrel
