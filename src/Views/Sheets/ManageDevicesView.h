#pragma once

#include "Models/Device.h"
#include "Network/JSON.h"
#include "Views/Sheets/SheetStyle.h"

#include <QFrame>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QLabel;
class QLayout;
class QScrollArea;
class QVBoxLayout;

namespace tandrel {

class GradientButton;
class TandrelController;

// The row of one device: its platform's symbol, name, system and last login, and a Delete
// button that is dimmed and disabled while its delete is in flight. The device this
// program runs on is marked "This device"; it can be deleted all the same.
class DeviceRow : public QFrame {
    Q_OBJECT
public:
    DeviceRow(const Device& device, bool isDeleting, std::function<void()> onDelete, QWidget* parent = nullptr);

    // Marks the row as the device this program runs on.
    void markAsThisDevice();
    // Off while any delete is in flight, so a second click cannot land on another row.
    void setDeleteEnabled(bool enabled);

    // The symbol for a platform identifier, whatever its letter case.
    static QString platformIcon(const QString& platform);

    const Device device;
    const bool isDeleting;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QLayout* buildTexts();
    GradientButton* buildDeleteButton();

    std::function<void()> m_onDelete;
    GradientButton* m_deleteButton;
    QLabel* m_thisDevice = nullptr;
    bool m_isHovered = false;
};

// The sheet that lists the account's devices with the slots they take and deletes them.
// It talks to the backend itself and writes one thing back into the controller: usedSlots,
// the number of devices it last listed. Answers are never cancelled: one that arrives
// after the sheet closed still sets usedSlots (when the controller is still there).
class ManageDevicesView : public QWidget {
    Q_OBJECT
public:
    explicit ManageDevicesView(TandrelController& ctrl, QWidget* parent = nullptr);
    ~ManageDevicesView() override;

    const std::vector<Device>& devices() const { return m_state->devices; }
    bool isLoading() const { return m_state->isLoading; }
    const std::optional<QString>& errorMessage() const { return m_state->errorMessage; }
    const QSet<QString>& isDeleting() const { return m_state->isDeleting; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    // The view state of one presentation. Answers hold it, so an answer that arrives after
    // the sheet closed still finds the list it belongs to and counts it right.
    struct State {
        std::vector<Device> devices;
        bool isLoading = false;
        std::optional<QString> errorMessage;
        QSet<QString> isDeleting;
    };

    // The sheet's parts, top to bottom.
    QLayout* buildHeader();
    QWidget* buildLoadingPanel();
    QWidget* buildErrorPanel();
    QWidget* buildListPanel();
    QScrollArea* buildDeviceList();

    void loadDevices();
    void deleteDevice(const QString& id);
    void scheduleRender();
    void render();
    void rebuildRows();

    QPointer<TandrelController> m_ctrl;
    std::shared_ptr<State> m_state = std::make_shared<State>();
    bool m_presented = false;
    NextTurnRedraw m_redraw{this, [this] { render(); }};

    QWidget* m_loadingPanel = nullptr;
    QWidget* m_errorPanel = nullptr;
    QLabel* m_errorText = nullptr;
    QWidget* m_listPanel = nullptr;
    QLabel* m_slotsLine = nullptr;
    QScrollArea* m_scrollArea = nullptr;
    QVBoxLayout* m_rows = nullptr;
    QStringList m_rowsKey;
};

}  // namespace tandrel
