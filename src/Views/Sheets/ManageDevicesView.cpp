#include "Views/Sheets/ManageDevicesView.h"

#include "Classes/Preferences.h"
#include "Controllers/TandrelController.h"
#include "Network/Client.h"
#include "Platform/MainQueue.h"
#include "Views/Kit/SingleTap.h"
#include "Views/Sheets/SheetControls.h"
#include "Views/Sheets/SheetStyle.h"

#include <QCoreApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QScrollArea>
#include <QShowEvent>
#include <QVBoxLayout>

#include <algorithm>

namespace tandrel {
namespace {

using SheetStyle::TextStyle;

// Every key is marked where it is written (QT_TRANSLATE_NOOP), so lupdate finds them all
// and keeps the Spanish table in step.
QString text(const char* key)
{
    return QCoreApplication::translate("ManageDevicesView", key);
}

// What decides whether the rows on screen still show the state: every field and the
// deleting look of each row, in order.
QStringList rowsKey(const std::vector<Device>& devices, const QSet<QString>& isDeleting)
{
    QStringList key;
    for (const Device& device : devices) {
        key << device.id << device.name << device.os << device.platform << device.lastLogin << device.uid
            << (isDeleting.contains(device.id) ? QStringLiteral("1") : QStringLiteral("0"));
    }
    return key;
}

// Red, a little deeper while the pointer is over it; dimmed while its delete is in flight.
GradientButton::Look deleteLook(bool isHovered)
{
    GradientButton::Look look;
    look.color = SheetStyle::red;
    look.topOpacity = isHovered ? 0.9 : 0.7;
    look.bottomOpacity = look.topOpacity;
    look.cornerRadius = 8;
    look.height = 30;
    look.fontPixelSize = 12;
    look.fontWeight = QFont::Medium;
    look.symbol = QStringLiteral("trash");
    look.disabledOpacity = 0.5;
    return look;
}

// A thin gray line with 5 above and below it.
QLayout* dividerLine(QWidget* parent)
{
    auto* divider = new QFrame(parent);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Plain);
    divider->setStyleSheet(QStringLiteral("color: rgba(60, 60, 67, 74);"));
    auto* dividerBox = new QVBoxLayout;
    dividerBox->setContentsMargins(0, 5, 0, 5);
    dividerBox->addWidget(divider);
    return dividerBox;
}

}  // namespace

DeviceRow::DeviceRow(const Device& device, bool isDeleting, std::function<void()> onDelete, QWidget* parent)
    : QFrame(parent), device(device), isDeleting(isDeleting), m_onDelete(std::move(onDelete))
{
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(15, 10, 15, 10);
    row->setSpacing(15);

    auto* icon = new SymbolLabel(platformIcon(device.platform), SheetStyle::gray, 20, this);
    icon->setObjectName(QStringLiteral("platformIcon"));
    icon->setToolTip(device.platform);
    row->addWidget(icon);

    row->addLayout(buildTexts());
    row->addStretch(1);
    row->addWidget(buildDeleteButton());
}

// The name (with the "This device" mark beside it), the system and the last login.
QLayout* DeviceRow::buildTexts()
{
    auto* texts = new QVBoxLayout;
    texts->setSpacing(5);
    // The name comes from the device as it registered; the two lines around the system
    // and the last login are looked up by their patterns ("Never" is passed as it is).
    QLabel* name = SheetStyle::label(device.name, SheetStyle::systemFont(16, QFont::DemiBold), Qt::black, this);
    name->setObjectName(QStringLiteral("deviceName"));
    auto* nameLine = new QHBoxLayout;
    nameLine->setSpacing(8);
    nameLine->addWidget(name);
    m_thisDevice = SheetStyle::label(text(QT_TRANSLATE_NOOP("ManageDevicesView", "This device")),
                                     SheetStyle::systemFont(11, QFont::DemiBold), SheetStyle::blue, this);
    m_thisDevice->setObjectName(QStringLiteral("thisDeviceMark"));
    m_thisDevice->setStyleSheet(
        QStringLiteral("QLabel { background: rgba(0, 122, 255, 38); border-radius: 8px; padding: 1px 7px; }"));
    m_thisDevice->hide();
    nameLine->addWidget(m_thisDevice);
    nameLine->addStretch(1);
    texts->addLayout(nameLine);
    QLabel* os =
        SheetStyle::label(SheetStyle::formatted(text(QT_TRANSLATE_NOOP("ManageDevicesView", "OS: %@")), {device.os}),
                          SheetStyle::font(TextStyle::subheadline), SheetStyle::gray, this);
    os->setObjectName(QStringLiteral("deviceOS"));
    texts->addWidget(os);
    QLabel* lastLogin = SheetStyle::label(
        SheetStyle::formatted(text(QT_TRANSLATE_NOOP("ManageDevicesView", "Last Login: %@")), {device.lastLogin}),
        SheetStyle::font(TextStyle::footnote), SheetStyle::secondary, this);
    lastLogin->setObjectName(QStringLiteral("deviceLastLogin"));
    texts->addWidget(lastLogin);
    return texts;
}

GradientButton* DeviceRow::buildDeleteButton()
{
    m_deleteButton =
        new GradientButton(text(QT_TRANSLATE_NOOP("ManageDevicesView", "Delete")), deleteLook(false), this);
    m_deleteButton->setObjectName(QStringLiteral("deleteButton_%1").arg(device.id));
    m_deleteButton->setAccessibleName(text(QT_TRANSLATE_NOOP("ManageDevicesView", "Delete")) + QLatin1Char(' ') +
                                      device.name);
    m_deleteButton->setFixedWidth(80 + 6);
    m_deleteButton->setEnabled(!isDeleting);
    treatDoubleClickAsOneTap(m_deleteButton);
    connect(m_deleteButton, &GradientButton::hoverChanged, this, [this](bool hovered) {
        m_isHovered = hovered;
        m_deleteButton->setLook(deleteLook(hovered));
    });
    connect(m_deleteButton, &QAbstractButton::clicked, this, [this] {
        if (m_onDelete) {
            m_onDelete();
        }
    });
    return m_deleteButton;
}

void DeviceRow::markAsThisDevice()
{
    m_thisDevice->show();
}

void DeviceRow::setDeleteEnabled(bool enabled)
{
    m_deleteButton->setEnabled(enabled && !isDeleting);
}

QString DeviceRow::platformIcon(const QString& platform)
{
    const QString lowered = platform.toLower();
    if (lowered == QLatin1String("web") || lowered == QLatin1String("chrome-webstore") ||
        lowered == QLatin1String("edge-webstore")) {
        return QStringLiteral("globe");
    }
    if (lowered == QLatin1String("macsa") || lowered == QLatin1String("mac")) {
        return QStringLiteral("laptopcomputer");
    }
    if (lowered == QLatin1String("ios")) {
        return QStringLiteral("applelogo");
    }
    if (lowered == QLatin1String("winstore")) {
        return QStringLiteral("desktopcomputer");
    }
    if (lowered == QLatin1String("tvos")) {
        return QStringLiteral("appletv");
    }
    return QStringLiteral("questionmark.circle");
}

void DeviceRow::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    // A row whose delete is in flight shrinks to 0.95 about its centre.
    const qreal inset = isDeleting ? 0.025 : 0.0;
    const QRectF shape = QRectF(rect()).adjusted(width() * inset + 0.5, height() * inset + 0.5, -width() * inset - 0.5,
                                                 -height() * inset - 0.5);
    QPainterPath path;
    path.addRoundedRect(shape, 12, 12);
    painter.fillPath(path, SheetStyle::withAlpha(SheetStyle::gray, 0.05));
    painter.setPen(QPen(SheetStyle::withAlpha(SheetStyle::gray, 0.3), 1));
    painter.drawPath(path);
}

ManageDevicesView::ManageDevicesView(TandrelController& ctrl, QWidget* parent) : QWidget(parent), m_ctrl(&ctrl)
{
    setObjectName(QStringLiteral("manageDevicesView"));
    setMinimumSize(500, 400);
    SheetStyle::setSheetBackground(this);

    auto* column = new QVBoxLayout(this);
    column->setSpacing(20);
    column->setContentsMargins(0, 0, 0, 20);
    column->addLayout(buildHeader());
    // One of the three panels shows at a time (render() picks it).
    column->addWidget(buildLoadingPanel(), 1);
    column->addWidget(buildErrorPanel(), 1);
    column->addWidget(buildListPanel(), 1);

    connect(&ctrl, &ObservableObject::objectWillChange, this, &ManageDevicesView::scheduleRender);
    render();
}

QLayout* ManageDevicesView::buildHeader()
{
    auto* header = new QHBoxLayout;
    header->setContentsMargins(20, 20, 20, 0);
    QLabel* title = SheetStyle::label(text(QT_TRANSLATE_NOOP("ManageDevicesView", "Manage Devices")),
                                      SheetStyle::systemFont(22, QFont::Bold), Qt::black, this);
    title->setObjectName(QStringLiteral("titleLabel"));
    header->addWidget(title);
    header->addStretch(1);
    auto* close = new SheetCloseButton(1.0, this);
    close->setObjectName(QStringLiteral("closeButton"));
    close->setAccessibleName(text(QT_TRANSLATE_NOOP("ManageDevicesView", "Close")));
    connect(close, &QAbstractButton::clicked, this, [this] {
        if (m_ctrl) {
            m_ctrl->showManageDevices = false;
        }
    });
    header->addWidget(close);
    return header;
}

QWidget* ManageDevicesView::buildLoadingPanel()
{
    m_loadingPanel = new QWidget(this);
    m_loadingPanel->setObjectName(QStringLiteral("loadingPanel"));
    auto* loading = new QVBoxLayout(m_loadingPanel);
    loading->setSpacing(10);
    loading->addStretch(1);
    auto* spinner = new ActivityIndicator(SheetStyle::blue, m_loadingPanel);
    spinner->setAccessibleName(text(QT_TRANSLATE_NOOP("ManageDevicesView", "Loading devices...")));
    loading->addWidget(spinner, 0, Qt::AlignHCenter);
    loading->addWidget(SheetStyle::label(text(QT_TRANSLATE_NOOP("ManageDevicesView", "Loading devices...")),
                                         SheetStyle::font(TextStyle::subheadline), SheetStyle::gray, m_loadingPanel),
                       0, Qt::AlignHCenter);
    loading->addStretch(1);
    return m_loadingPanel;
}

QWidget* ManageDevicesView::buildErrorPanel()
{
    m_errorPanel = new QWidget(this);
    m_errorPanel->setObjectName(QStringLiteral("errorPanel"));
    auto* error = new QVBoxLayout(m_errorPanel);
    error->setSpacing(10);
    error->setContentsMargins(20, 0, 20, 0);
    error->addStretch(1);
    error->addWidget(
        new SymbolLabel(QStringLiteral("exclamationmark.triangle.fill"), SheetStyle::red, 40, m_errorPanel), 0,
        Qt::AlignHCenter);
    m_errorText = SheetStyle::label(QString(), SheetStyle::font(TextStyle::subheadline), SheetStyle::red, m_errorPanel);
    m_errorText->setObjectName(QStringLiteral("errorText"));
    m_errorText->setAlignment(Qt::AlignCenter);
    m_errorText->setWordWrap(true);
    error->addWidget(m_errorText);
    GradientButton::Look retryLook;
    retryLook.color = SheetStyle::blue;
    retryLook.diagonal = false;
    retryLook.cornerRadius = 10;
    retryLook.height = 30;
    auto* retry = new GradientButton(text(QT_TRANSLATE_NOOP("ManageDevicesView", "Retry")), retryLook, m_errorPanel);
    retry->setObjectName(QStringLiteral("retryButton"));
    connect(retry, &QAbstractButton::clicked, this, &ManageDevicesView::loadDevices);
    error->addWidget(retry, 0, Qt::AlignHCenter);
    error->addStretch(1);
    return m_errorPanel;
}

// The heading with the slot count, a divider, and the scrolling rows.
QWidget* ManageDevicesView::buildListPanel()
{
    m_listPanel = new QWidget(this);
    m_listPanel->setObjectName(QStringLiteral("listPanel"));
    auto* list = new QVBoxLayout(m_listPanel);
    list->setContentsMargins(0, 0, 0, 0);
    list->setSpacing(20);
    auto* heading = new QVBoxLayout;
    heading->setSpacing(5);
    heading->addWidget(SheetStyle::label(text(QT_TRANSLATE_NOOP("ManageDevicesView", "Your Devices")),
                                         SheetStyle::font(TextStyle::headline), Qt::black, m_listPanel),
                       0, Qt::AlignHCenter);
    m_slotsLine = SheetStyle::label(QString(), SheetStyle::font(TextStyle::subheadline), SheetStyle::gray, m_listPanel);
    m_slotsLine->setObjectName(QStringLiteral("slotsLine"));
    heading->addWidget(m_slotsLine, 0, Qt::AlignHCenter);
    list->addLayout(heading);
    list->addLayout(dividerLine(m_listPanel));
    list->addWidget(buildDeviceList(), 1);
    return m_listPanel;
}

QScrollArea* ManageDevicesView::buildDeviceList()
{
    m_scrollArea = new QScrollArea(m_listPanel);
    m_scrollArea->setObjectName(QStringLiteral("deviceList"));
    m_scrollArea->setFrameShape(QFrame::NoFrame);
    m_scrollArea->setWidgetResizable(true);
    m_scrollArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto* rowsHolder = new QWidget(m_scrollArea);
    rowsHolder->setAutoFillBackground(false);
    m_rows = new QVBoxLayout(rowsHolder);
    m_rows->setContentsMargins(10, 0, 10, 0);
    m_rows->setSpacing(10);
    m_rows->addStretch(1);
    m_scrollArea->setWidget(rowsHolder);
    m_scrollArea->viewport()->setAutoFillBackground(false);
    return m_scrollArea;
}

ManageDevicesView::~ManageDevicesView() = default;

void ManageDevicesView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (event->spontaneous()) {
        return;
    }
    // Shown again, the sheet starts afresh; answers to the last presentation keep their
    // own state and change nothing on screen.
    if (m_presented) {
        m_state = std::make_shared<State>();
    }
    m_presented = true;
    loadDevices();
}

void ManageDevicesView::loadDevices()
{
    m_state->isLoading = true;
    m_state->errorMessage.reset();
    scheduleRender();
    std::shared_ptr<State> state = m_state;
    QPointer<ManageDevicesView> self(this);
    QPointer<TandrelController> ctrl = m_ctrl;
    Client::shared().getDevices([state, self, ctrl](std::optional<Error> error, std::optional<JSON> json) {
        MainQueue::async([state, self, ctrl, error = std::move(error), json = std::move(json)] {
            state->isLoading = false;
            if (error) {
                state->errorMessage = QStringLiteral("Failed to load devices: ") + error->localizedDescription();
            } else if (json) {
                std::vector<Device> devices;
                for (const JSON& element : json->arrayValue()) {
                    devices.emplace_back(element);
                }
                state->devices = std::move(devices);
                if (ctrl) {
                    ctrl->usedSlots = static_cast<qint64>(state->devices.size());
                }
            }
            if (self) {
                self->scheduleRender();
            }
        });
    });
}

void ManageDevicesView::deleteDevice(const QString& id)
{
    // One delete at a time: a double-click's second click may land on the next row.
    if (!m_state->isDeleting.isEmpty()) {
        return;
    }
    m_state->isDeleting.insert(id);
    scheduleRender();
    std::shared_ptr<State> state = m_state;
    QPointer<ManageDevicesView> self(this);
    QPointer<TandrelController> ctrl = m_ctrl;
    Client::shared().deleteDevice(id, [state, self, ctrl, id](std::optional<Error> error, std::optional<JSON> json) {
        MainQueue::async([state, self, ctrl, id, error = std::move(error), json = std::move(json)] {
            if (error) {
                state->errorMessage = QStringLiteral("Failed to delete device: ") + error->localizedDescription();
                state->isDeleting.remove(id);
            } else if (json) {
                std::erase_if(state->devices, [&id](const Device& device) { return device.id == id; });
                // A later reload that lists the id again shows it as a row like any other.
                state->isDeleting.remove(id);
                if (ctrl) {
                    ctrl->usedSlots = static_cast<qint64>(state->devices.size());
                }
            }
            if (self) {
                self->scheduleRender();
            }
        });
    });
}

void ManageDevicesView::scheduleRender()
{
    m_redraw.schedule();
}

void ManageDevicesView::render()
{
    const State& state = *m_state;
    m_loadingPanel->setVisible(state.isLoading);
    m_errorPanel->setVisible(!state.isLoading && state.errorMessage);
    m_listPanel->setVisible(!state.isLoading && !state.errorMessage);
    // The error text is the client's description, shown as it is.
    m_errorText->setText(state.errorMessage.value_or(QString()));
    const qint64 used = m_ctrl ? m_ctrl->usedSlots() : 0;
    const qint64 max = m_ctrl ? m_ctrl->maxSlots() : 0;
    m_slotsLine->setText(
        SheetStyle::formatted(text(QT_TRANSLATE_NOOP("ManageDevicesView", "%lld of %lld slots in use")),
                              {QString::number(used), QString::number(max)}));
    rebuildRows();
}

void ManageDevicesView::rebuildRows()
{
    // Rows are remade only when what they show changed, so a hovered button keeps its look.
    const QStringList key = rowsKey(m_state->devices, m_state->isDeleting);
    if (key == m_rowsKey && m_rows->count() == static_cast<int>(m_state->devices.size()) + 1) {
        return;
    }
    m_rowsKey = key;
    while (m_rows->count() > 1) {
        QLayoutItem* item = m_rows->takeAt(0);
        delete item->widget();
        delete item;
    }
    int position = 0;
    const std::optional<QString> ourUid = Preferences::uid();
    for (const Device& device : m_state->devices) {
        auto* row = new DeviceRow(
            device, m_state->isDeleting.contains(device.id), [this, id = device.id] { deleteDevice(id); },
            m_scrollArea->widget());
        row->setObjectName(QStringLiteral("deviceRow_%1").arg(device.id));
        row->setDeleteEnabled(m_state->isDeleting.isEmpty());
        if (ourUid && !ourUid->isEmpty() && device.uid == *ourUid) {
            row->markAsThisDevice();
        }
        m_rows->insertWidget(position++, row);
    }
}

}  // namespace tandrel
