#pragma once

#include "Controllers/TandrelController.h"
#include "Platform/NetworkExtension/NEVPNStatus.h"
#include "Platform/Published.h"
#include "Views/Sheets/SheetStyle.h"

#include <QPointer>
#include <QString>
#include <QWidget>

#include <array>
#include <functional>

class QDialog;
class QHBoxLayout;
class QLabel;
class QMenu;
class QMessageBox;
class QPushButton;
class QTimer;
class QToolButton;
class QVBoxLayout;

namespace tandrel {

class ContentViewModel;
class VPNRegionsView;

// The logged-in screen: the plan and the account menu on top, the connect button, the
// status line and the region list in a 300 wide column, and the map beside it unless the
// compact view is on. It owns the one connection controller, made when the screen is
// first shown, and hosts the account sheets and the controller's alert.
class VPNMainView : public QWidget {
    Q_OBJECT
public:
    explicit VPNMainView(ContentViewModel& vm, QWidget* parent = nullptr);
    ~VPNMainView() override;

    // What the status block shows for a tunnel status: the connect button's image, whether
    // the busy indicator spins over it, and the status line.
    struct StatusAppearance {
        QString imageName;
        bool busy = false;
        QString text;
        bool operator==(const StatusAppearance&) const = default;
    };
    // `country` is the region last chosen, shown in the connected text.
    static StatusAppearance statusAppearance(NEVPNStatus status, const QString& country);
    // The status line while reconnecting; with the kill switch on it says that traffic waits.
    static QString reconnectingText(bool killSwitch);

    // The support mail's address text: the support address with the subject and the
    // body (the system and application versions, the language and the user) encoded.
    static QString supportMailText(const QString& systemVersion, const QString& applicationVersion,
                                   const QString& language, const QString& userName);

    // The main window's size while this screen shows: compact (300 wide) or full (900).
    static QSize windowSize();
    // What the screen needs without cutting a text: the status column and, while it
    // shows, the top bar.
    QSize minimumSizeHint() const override;

    // The screen's controller; null until the screen is first shown.
    TandrelController* ctrl() const { return m_ctrl; }

    // The account menu's items.
    void redeemCode();
    void openSupportMail();
    void logOut();

protected:
    void showEvent(QShowEvent* event) override;

private:
    struct Sheet {
        Published<bool> TandrelController::*flag;
        const char* objectName;
        std::function<QWidget*()> make;
        QPointer<QDialog> dialog;
    };

    void build();
    QWidget* buildTopBar();
    QWidget* buildColumn();
    QMenu* buildAccountMenu();
    void render();
    void renderKeyringLock(bool locked);
    void renderStatus();
    void renderMap(bool compact);
    void renderSheets();
    void renderAlert();
    void presentAlert(const TandrelController::ActiveAlert& alert);
    // Drops the alert on screen if it is this one.
    void forgetAlert(const QString& id);
    void adjustWindowSize();

    ContentViewModel& m_vm;
    TandrelController* m_ctrl = nullptr;
    NextTurnRedraw m_redraw;

    QWidget* m_pleaseLogIn = nullptr;
    QLabel* m_keyringLocked = nullptr;
    QTimer* m_lockedCheck = nullptr;
    QWidget* m_content = nullptr;
    QWidget* m_topBar = nullptr;
    QLabel* m_planLabel = nullptr;
    QToolButton* m_accountButton = nullptr;
    QPushButton* m_connectButton = nullptr;
    QWidget* m_busyIndicator = nullptr;
    QLabel* m_statusLabel = nullptr;
    QLabel* m_errorLabel = nullptr;
    VPNRegionsView* m_regionsView = nullptr;
    QHBoxLayout* m_mainRow = nullptr;
    QPointer<QWidget> m_map;
    std::array<Sheet, 4> m_sheets;
    QPointer<QMessageBox> m_alert;
    QString m_alertId;
};

}  // namespace tandrel
