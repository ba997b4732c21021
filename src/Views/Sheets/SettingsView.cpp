#include "Views/Sheets/SettingsView.h"

#include "Classes/VPNHelper.h"
#include "ContentViewModel.h"
#include "Controllers/TandrelController.h"
#include "Extensions/UserDefaultsKey.h"
#include "Platform/LaunchAtLogin.h"
#include "Platform/MainQueue.h"
#include "Platform/UserDefaults.h"
#include "Views/Kit/AlertText.h"
#include "Views/Kit/Windows.h"
#include "Views/Sheets/SheetControls.h"
#include "Views/Sheets/SheetStyle.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QCoreApplication>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QVBoxLayout>

namespace tandrel {
namespace {

const QColor& kBlue = SheetStyle::blue;
constexpr int kToggleFrameWidth = 50;

// Every key is marked where it is written (QT_TRANSLATE_NOOP), so lupdate finds them all
// and keeps the Spanish table in step.
QString localized(const char* key)
{
    return QCoreApplication::translate("SettingsView", key);
}

// An on/off switch: a rounded track, blue while on, with a white knob.
class SwitchToggle : public QAbstractButton {
public:
    explicit SwitchToggle(QWidget* parent) : QAbstractButton(parent)
    {
        setCheckable(true);
        setCursor(Qt::PointingHandCursor);
        setFixedSize(kToggleFrameWidth, 24);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF track(5.5, 2.5, 38, 21);
        painter.setPen(isChecked() ? Qt::NoPen : QPen(QColor(0, 0, 0, 30), 1));
        painter.setBrush(isChecked() ? kBlue : QColor(0, 0, 0, 25));
        painter.drawRoundedRect(track, track.height() / 2, track.height() / 2);
        const qreal knob = track.height() - 2;
        const qreal knobX = isChecked() ? track.right() - knob - 1 : track.left() + 1;
        painter.setPen(QPen(QColor(0, 0, 0, 40), 0.5));
        painter.setBrush(Qt::white);
        painter.drawEllipse(QRectF(knobX, track.top() + 1, knob, knob));
        if (hasFocus()) {
            painter.setPen(QPen(QColor(kBlue.red(), kBlue.green(), kBlue.blue(), 120), 2));
            painter.setBrush(Qt::NoBrush);
            painter.drawRoundedRect(track.adjusted(-1.5, -1.5, 1.5, 1.5), track.height() / 2 + 1.5,
                                    track.height() / 2 + 1.5);
        }
    }
};

QLabel* rowTitle(const QString& text, QWidget* parent)
{
    return SheetStyle::label(text, SheetStyle::systemFont(16, QFont::DemiBold), Qt::black, parent);
}

QLabel* rowDescription(const QString& text, QWidget* parent)
{
    QLabel* label =
        SheetStyle::label(text, SheetStyle::font(SheetStyle::TextStyle::footnote), SheetStyle::gray, parent);
    label->setWordWrap(true);
    return label;
}

// The toggle and the two texts side by side, as every switch row lays them out.
QWidget* toggleRow(QAbstractButton* toggle, QLabel* title, QLabel* description, QWidget* row)
{
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 5, 0, 5);
    layout->setSpacing(15);
    layout->addWidget(toggle, 0, Qt::AlignTop);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(5);
    texts->addWidget(title);
    texts->addWidget(description);
    layout->addLayout(texts, 1);
    toggle->setAccessibleName(title->text());
    toggle->setAccessibleDescription(description->text());
    return row;
}

QVBoxLayout* stackedColumn(QWidget* row, int spacing)
{
    auto* column = new QVBoxLayout(row);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(spacing);
    return column;
}

// The picker's menu button: the chosen name on a white rounded field with a small chevron.
class LanguagePicker : public QComboBox {
public:
    using QComboBox::QComboBox;

protected:
    void paintEvent(QPaintEvent* event) override
    {
        QComboBox::paintEvent(event);
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(QColor(60, 60, 67), 1.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        const QPointF centre(width() - 14, height() / 2.0);
        painter.drawPolyline(QPolygonF{centre + QPointF(-4, -2), centre + QPointF(0, 2), centre + QPointF(4, -2)});
    }
};

QWidget* divider(QWidget* parent)
{
    auto* holder = new QWidget(parent);
    auto* layout = new QVBoxLayout(holder);
    layout->setContentsMargins(0, 5, 0, 5);
    auto* line = new QFrame(holder);
    line->setFixedHeight(1);
    line->setStyleSheet(QStringLiteral("background: rgba(0, 0, 0, 25); border: none;"));
    layout->addWidget(line);
    return holder;
}

}  // namespace

SettingsView::ActiveAlert SettingsView::ActiveAlert::restartRequired()
{
    return message(QStringLiteral("Restart Required"),
                   QStringLiteral("Please restart the app to apply the new language."));
}

SettingsView::ActiveAlert SettingsView::ActiveAlert::profileRemoval(const std::optional<Error>& error)
{
    if (error) {
        return message(QStringLiteral("Error"),
                       QStringLiteral("Failed to remove VPN profile: ") + error->localizedDescription());
    }
    return message(QStringLiteral("Success"), QStringLiteral("VPN profile removed successfully."));
}

SettingsView::SettingRow::SettingRow(const QString& title, const QString& description, QWidget* parent)
    : QWidget(parent), m_toggle(new SwitchToggle(this))
{
    toggleRow(m_toggle, rowTitle(title, this), rowDescription(description, this), this);
}

SettingsView::SettingsView(TandrelController& ctrl, ContentViewModel& vm, QWidget* parent)
    : SettingsView(ctrl, vm, VPNProtocol::Optimal, parent)
{
}

SettingsView::SettingsView(TandrelController& ctrl, ContentViewModel& vm, VPNProtocol selectedProtocol, QWidget* parent)
    : QWidget(parent),
      m_ctrl(ctrl),
      m_vm(vm),
      m_selectedProtocol(selectedProtocol),
      m_compactView(Preferences::compactView())
{
    setObjectName(QStringLiteral("settingsView"));
    setMinimumSize(600, 400);
    QPalette light = palette();
    light.setColor(QPalette::Window, QColor(236, 236, 236));
    light.setColor(QPalette::WindowText, Qt::black);
    light.setColor(QPalette::Base, Qt::white);
    light.setColor(QPalette::Text, Qt::black);
    light.setColor(QPalette::Button, Qt::white);
    light.setColor(QPalette::ButtonText, Qt::black);
    setPalette(light);
    setAutoFillBackground(true);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(20);
    m_header = buildHeader();
    column->addWidget(m_header);
    column->addWidget(buildList(), 1);

    // The tunnel switches show what is stored, also when something else writes it.
    connect(&UserDefaults::standard(), &UserDefaults::valueChanged, this, [this](const QString& key) {
        if (key == kKillSwitchKey) {
            const QSignalBlocker blocker(m_killSwitchRow->toggle());
            m_killSwitchRow->toggle()->setChecked(Preferences::killSwitch());
        } else if (key == kExcludeLocalNetworksKey) {
            const QSignalBlocker blocker(m_excludeLocalRow->toggle());
            m_excludeLocalRow->toggle()->setChecked(Preferences::excludeLocalNetworks());
        }
    });
}

QSize SettingsView::sizeHint() const
{
    const QSize least = minimumSize();
    int height = m_header->sizeHint().height() + layout()->spacing() + m_list->widget()->sizeHint().height() +
                 2 * m_list->frameWidth();
    if (const QScreen* shown = screen()) {
        // Room for the window's own frame around the sheet.
        height = std::min(height, shown->availableGeometry().height() - 80);
    }
    return {least.width(), std::max(least.height(), height)};
}

QWidget* SettingsView::buildHeader()
{
    auto* header = new QWidget(this);
    header->setObjectName(QStringLiteral("settingsHeader"));
    auto* row = new QHBoxLayout(header);
    row->setContentsMargins(20, 20, 20, 0);
    QLabel* title = SheetStyle::label(localized(QT_TRANSLATE_NOOP("SettingsView", "Settings")),
                                      SheetStyle::font(SheetStyle::TextStyle::title2), Qt::black, header);
    title->setObjectName(QStringLiteral("titleLabel"));
    row->addWidget(title);
    row->addStretch(1);
    m_closeButton = new SheetCloseButton(1.0, header);
    m_closeButton->setObjectName(QStringLiteral("closeButton"));
    m_closeButton->setAccessibleName(localized(QT_TRANSLATE_NOOP("SettingsView", "Close")));
    connect(m_closeButton, &QAbstractButton::clicked, this, [this] { m_ctrl.showSettings = false; });
    row->addWidget(m_closeButton);
    return header;
}

QWidget* SettingsView::buildList()
{
    auto* scroll = new QScrollArea(this);
    m_list = scroll;
    scroll->setObjectName(QStringLiteral("settingsList"));
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    auto* content = new QWidget(scroll);
    content->setAutoFillBackground(false);
    scroll->viewport()->setAutoFillBackground(false);
    auto* column = new QVBoxLayout(content);
    column->setContentsMargins(20, 10, 20, 10);
    column->setSpacing(20);

    // The three switch rows' texts are shown as they are, not looked up.
    m_compactRow = new SettingRow(
        QStringLiteral("Compact View"),
        QStringLiteral(
            "Simplify the main screen for a clutter-free experience, hiding the map and additional details."),
        content);
    m_compactRow->setObjectName(QStringLiteral("compactViewRow"));
    m_compactRow->toggle()->setObjectName(QStringLiteral("compactViewToggle"));
    m_compactRow->toggle()->setChecked(m_compactView);
    connect(m_compactRow->toggle(), &QAbstractButton::toggled, this, [this](bool compact) {
        m_compactView = compact;
        Preferences::setCompactView(compact);
        updateWindowSize(compact);
    });

    m_killSwitchRow = new SettingRow(
        QStringLiteral("Kill Switch"),
        QStringLiteral("Automatically reconnect to the VPN if the connection drops, ensuring continuous security."),
        content);
    m_killSwitchRow->setObjectName(QStringLiteral("killSwitchRow"));
    m_killSwitchRow->toggle()->setObjectName(QStringLiteral("killSwitchToggle"));
    m_killSwitchRow->toggle()->setChecked(Preferences::killSwitch());
    connect(m_killSwitchRow->toggle(), &QAbstractButton::toggled, this, &Preferences::setKillSwitch);

    m_excludeLocalRow = new SettingRow(
        QStringLiteral("Exclude Local Network"),
        QStringLiteral("Allow access to local devices like printers or media servers while using VPN."), content);
    m_excludeLocalRow->setObjectName(QStringLiteral("excludeLocalNetworkRow"));
    m_excludeLocalRow->toggle()->setObjectName(QStringLiteral("excludeLocalNetworkToggle"));
    m_excludeLocalRow->toggle()->setChecked(Preferences::excludeLocalNetworks());
    connect(m_excludeLocalRow->toggle(), &QAbstractButton::toggled, this, &Preferences::setExcludeLocalNetworks);

    const QList<QWidget*> rows{m_compactRow, m_killSwitchRow, m_excludeLocalRow, buildLaunchAtLoginRow(content),
                               buildLanguageRow(content)};
    for (QWidget* row : rows) {
        column->addWidget(row);
        column->addWidget(divider(content));
    }
    column->addWidget(buildRemoveRow(content));
    column->addStretch(1);
    scroll->setWidget(content);
    return scroll;
}

QWidget* SettingsView::buildLaunchAtLoginRow(QWidget* parent)
{
    auto* row = new QWidget(parent);
    row->setObjectName(QStringLiteral("launchAtLoginRow"));
    m_launchAtLoginToggle = new SwitchToggle(row);
    m_launchAtLoginToggle->setObjectName(QStringLiteral("launchAtLoginToggle"));
    m_launchAtLoginToggle->setChecked(LaunchAtLogin::isEnabled());
    connect(m_launchAtLoginToggle, &QAbstractButton::toggled, this, [this](bool enabled) {
        // The switch shows the entry as it is: a write that failed leaves it as it was.
        if (LaunchAtLogin::setEnabled(enabled)) {
            const QSignalBlocker blocker(m_launchAtLoginToggle);
            m_launchAtLoginToggle->setChecked(LaunchAtLogin::isEnabled());
        }
    });
    return toggleRow(
        m_launchAtLoginToggle, rowTitle(localized(QT_TRANSLATE_NOOP("SettingsView", "Launch at Login")), row),
        rowDescription(localized(QT_TRANSLATE_NOOP("SettingsView", "Start Tandrel automatically when your Mac boots.")),
                       row),
        row);
}

QWidget* SettingsView::buildLanguageRow(QWidget* parent)
{
    auto* row = new QWidget(parent);
    row->setObjectName(QStringLiteral("languageRow"));
    QVBoxLayout* column = stackedColumn(row, 5);
    QLabel* title = rowTitle(localized(QT_TRANSLATE_NOOP("SettingsView", "Language")), row);
    column->addWidget(title);
    m_languagePicker = new LanguagePicker(row);
    m_languagePicker->setObjectName(QStringLiteral("languagePicker"));
    m_languagePicker->setAccessibleName(title->text());
    m_languagePicker->setMaximumWidth(200);
    m_languagePicker->setMinimumWidth(200);
    m_languagePicker->setCursor(Qt::PointingHandCursor);
    m_languagePicker->setStyleSheet(
        QStringLiteral("QComboBox { background: white; color: black; border: 1px solid rgba(0, 122, 255, 128); "
                       "border-radius: 8px; padding: 4px 24px 4px 10px; }"
                       "QComboBox::drop-down { border: none; width: 24px; }"
                       "QComboBox::down-arrow { image: none; }"
                       "QComboBox QAbstractItemView { background: white; color: black; "
                       "selection-background-color: rgb(0, 122, 255); selection-color: white; }"));
    for (const auto& [code, name] : supportedLanguages()) {
        m_languagePicker->addItem(name, code);
    }
    showLanguageInPicker();
    connect(m_languagePicker, &QComboBox::activated, this,
            [this](int index) { pickLanguage(m_languagePicker->itemData(index).toString()); });
    column->addWidget(m_languagePicker);
    column->addWidget(
        rowDescription(localized(QT_TRANSLATE_NOOP("SettingsView",
                                                   "Select the app's UI language. Restart required to apply changes.")),
                       row));
    return row;
}

QWidget* SettingsView::buildRemoveRow(QWidget* parent)
{
    auto* row = new QWidget(parent);
    row->setObjectName(QStringLiteral("removeProfileRow"));
    // The button and its description are two entries of the list, spaced as the list spaces them.
    QVBoxLayout* column = stackedColumn(row, 20);
    GradientButton::Look look;
    look.color = SheetStyle::red;
    look.topOpacity = 0.9;
    look.bottomOpacity = 0.7;
    look.cornerRadius = 12;
    look.height = 40;
    look.fontPixelSize = 14;
    look.symbol = QStringLiteral("trash");
    look.scaleOnHover = true;
    m_removeButton = new GradientButton(localized(QT_TRANSLATE_NOOP("SettingsView", "Remove VPN Profile")), look, row);
    m_removeButton->setObjectName(QStringLiteral("removeProfileButton"));
    m_removeButton->setMaximumWidth(200);
    m_removeButton->setMinimumWidth(200);
    connect(m_removeButton, &QAbstractButton::clicked, this, &SettingsView::removeVPNProfile);
    column->addWidget(m_removeButton, 0, Qt::AlignLeft);
    QLabel* description =
        rowDescription(localized(QT_TRANSLATE_NOOP("SettingsView", "Remove the VPN profile from your device.")), row);
    description->setContentsMargins(10, 0, 0, 0);
    m_removeButton->setAccessibleDescription(description->text());
    column->addWidget(description);
    return row;
}

std::vector<std::pair<QString, QString>> SettingsView::supportedLanguages()
{
    return {{QStringLiteral("en"), QStringLiteral("English")}, {QStringLiteral("es"), QStringLiteral("Español")}};
}

QString SettingsView::languageName(const QString& code)
{
    for (const auto& [known, name] : supportedLanguages()) {
        if (known == code) {
            return name;
        }
    }
    return code;
}

QString SettingsView::defaultLanguage(const QLocale& locale)
{
    const QLocale::Language language = locale.language();
    if (language == QLocale::AnyLanguage || language == QLocale::C) {
        return QStringLiteral("en");
    }
    return QLocale::languageToCode(language);
}

QString SettingsView::selectedLanguage()
{
    return UserDefaults::standard().stringValue(kSelectedLanguageKey, defaultLanguage());
}

QSize SettingsView::windowSize(bool compact)
{
    return {compact ? 300 : 800, 600};
}

void SettingsView::showLanguageInPicker()
{
    // A code without an entry (a system language that is not offered) selects nothing.
    m_languagePicker->setCurrentIndex(m_languagePicker->findData(selectedLanguage()));
}

void SettingsView::pickLanguage(const QString& code)
{
    if (code == selectedLanguage()) {
        showLanguageInPicker();
        return;
    }
    UserDefaults::standard().set(code, kSelectedLanguageKey);
    showLanguageInPicker();
    setAppLanguage(code);
}

void SettingsView::setAppLanguage(const QString& code)
{
    UserDefaults::standard().set(QStringList{code}, kAppleLanguagesKey);
    UserDefaults::standard().synchronize();
    setActiveAlert(ActiveAlert::restartRequired());
}

void SettingsView::updateWindowSize(bool compact)
{
    MainQueue::async([compact] {
        if (QWidget* window = Windows::mainWindow()) {
            Windows::setFrameSizeKeepingOrigin(window, windowSize(compact), true);
        }
    });
}

void SettingsView::removeVPNProfile()
{
    QPointer<SettingsView> self(this);
    // The removal may answer on any thread; the alert is set on the main queue. A sheet
    // closed meanwhile has nothing left to tell.
    VPNHelper::shared().removeVPNProfile([self](std::optional<Error> error) {
        MainQueue::async([self, error] {
            if (self) {
                self->setActiveAlert(ActiveAlert::profileRemoval(error));
            }
        });
    });
}

void SettingsView::setActiveAlert(const std::optional<ActiveAlert>& alert)
{
    m_activeAlert = alert;
    if (m_alert) {
        QMessageBox* previous = m_alert;
        m_alert = nullptr;
        previous->disconnect(this);
        previous->close();
        previous->deleteLater();
    }
    if (!alert) {
        return;
    }
    auto* box = new QMessageBox(this);
    box->setObjectName(QStringLiteral("settingsAlert"));
    box->setWindowModality(Qt::WindowModal);
    box->setIcon(QMessageBox::NoIcon);
    // Wide enough that a one-sentence message stays on one or two lines.
    box->setStyleSheet(QStringLiteral("QLabel { min-width: 280px; }"));
    box->setWindowTitle(alert->title());
    box->setText(QStringLiteral("<b>%1</b>").arg(alert->title().toHtmlEscaped()));
    box->setTextFormat(Qt::RichText);
    setPlainInformativeText(box, alert->messageText());
    box->setAccessibleName(alert->title());
    box->setAccessibleDescription(alert->messageText());
    QPushButton* ok = box->addButton(localized(QT_TRANSLATE_NOOP("SettingsView", "OK")), QMessageBox::AcceptRole);
    ok->setObjectName(QStringLiteral("alertOkButton"));
    box->setDefaultButton(ok);
    connect(box, &QMessageBox::finished, this, [this, box] {
        if (m_alert == box) {
            m_alert = nullptr;
            m_activeAlert.reset();
            box->deleteLater();
        }
    });
    m_alert = box;
    box->open();
}

}  // namespace tandrel
