#include "Views/Sheets/PricingView.h"

#include "Controllers/PricingController.h"
#include "Controllers/TandrelController.h"
#include "Platform/MainQueue.h"
#include "Platform/Workspace.h"
#include "Views/Sheets/SheetControls.h"
#include "Views/Sheets/SheetStyle.h"

#include <QCoreApplication>
#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QShowEvent>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <memory>

namespace tandrel {
namespace {

using SheetStyle::TextStyle;

constexpr int kDefaultPadding = 16;
// Room around a card for its shadow and for the selected card to grow into.
constexpr int kCardMargin = 8;

// Every key is marked where it is written (QT_TRANSLATE_NOOP), so lupdate finds them all
// and keeps the Spanish table in step.
QString text(const char* key)
{
    return QCoreApplication::translate("PricingView", key);
}

QLabel* makeLabel(const QString& content, const QFont& font, const QColor& color, QWidget* parent)
{
    QLabel* label = SheetStyle::label(content, font, color, parent);
    label->setAlignment(Qt::AlignCenter);
    label->setWordWrap(true);
    return label;
}

// The selected card is drawn 5% larger, its texts too.
QFont scaled(QFont font, bool isSelected)
{
    if (isSelected) {
        font.setPixelSize(qRound(font.pixelSize() * 1.05));
    }
    return font;
}

// Retry's gradient deepens while the pointer is over Retry or Purchase.
GradientButton::Look retryLook(bool isHovered)
{
    GradientButton::Look look;
    look.color = SheetStyle::blue;
    look.bottomOpacity = isHovered ? 0.9 : 0.7;
    look.diagonal = false;
    look.cornerRadius = 15;
    look.fontPixelSize = 16;
    return look;
}

GradientButton::Look switchLook(bool showsExtraSlots)
{
    GradientButton::Look look;
    look.color = SheetStyle::blue;
    look.topOpacity = 0.8;
    look.bottomOpacity = 0.6;
    look.cornerRadius = 15;
    look.fontWeight = QFont::Medium;
    look.symbol = showsExtraSlots ? QStringLiteral("arrow.left") : QStringLiteral("arrow.right");
    return look;
}

}  // namespace

PricingView::PlanRow::PlanRow(const Plan& plan, bool isTrialPossible, bool isSelected, QWidget* parent)
    : QFrame(parent), plan(plan), isTrialPossible(isTrialPossible), isSelected(isSelected)
{
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    // Wide enough that a benefit line wraps at most once.
    setMinimumWidth(190);
    setAccessibleName(plan.name);
    auto* column = new QVBoxLayout(this);
    column->setSpacing(10);
    column->setContentsMargins(kCardMargin + kDefaultPadding, kCardMargin + kDefaultPadding,
                               kCardMargin + kDefaultPadding, kCardMargin + kDefaultPadding);
    auto add = [&](QLabel* label, const char* name) {
        label->setObjectName(QLatin1String(name));
        column->addWidget(label);
        return label;
    };
    // Names, durations and prices come from the backend and the pricing controller as
    // they are; only the patterns around them are looked up.
    add(makeLabel(plan.name, scaled(SheetStyle::font(TextStyle::headline), isSelected), Qt::black, this), "planName");
    add(makeLabel(plan.duration, scaled(SheetStyle::font(TextStyle::subheadline), isSelected), SheetStyle::gray, this),
        "planDuration");
    QFont priceFont = scaled(SheetStyle::font(TextStyle::title2), isSelected);
    priceFont.setBold(true);
    add(makeLabel(SheetStyle::formatted(text(QT_TRANSLATE_NOOP("PricingView", "$%@")), {plan.price}), priceFont,
                  Qt::black, this),
        "planPrice")
        ->setWordWrap(false);
    for (const QString& benefit : plan.benefits) {
        add(makeLabel(SheetStyle::formatted(text(QT_TRANSLATE_NOOP("PricingView", "• %@")), {benefit}),
                      scaled(SheetStyle::font(TextStyle::footnote), isSelected), SheetStyle::gray, this),
            "planBenefit");
    }
    if (isTrialPossible && plan.isTrial) {
        QLabel* trial =
            add(makeLabel(text(QT_TRANSLATE_NOOP("PricingView", "🎉 7-day Free Trial Included!")),
                          scaled(SheetStyle::font(TextStyle::subheadline), isSelected), SheetStyle::green, this),
                "planTrial");
        trial->setContentsMargins(0, 5, 0, 0);
    }
    // Windows size themselves by minimum sizes, which know nothing of wrapped lines: ask
    // for the height that the narrowest card needs.
    setMinimumHeight(heightForWidth(minimumWidth()));
}

void PricingView::PlanRow::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal grow = isSelected ? std::min<qreal>(kCardMargin - 2, width() * 0.025) : 0;
    const QRectF shape =
        QRectF(rect()).adjusted(kCardMargin - grow, kCardMargin - grow, grow - kCardMargin, grow - kCardMargin);
    // Shadow: black at 0.2 when selected, 0.1 otherwise, radius 5, two points down.
    painter.setPen(Qt::NoPen);
    const qreal shadow = isSelected ? 0.2 : 0.1;
    for (int step = 5; step >= 1; --step) {
        painter.setBrush(QColor::fromRgbF(0, 0, 0, shadow / 5));
        painter.drawRoundedRect(shape.adjusted(-step * 0.8, -step * 0.8 + 2, step * 0.8, step * 0.8 + 2), 12 + step,
                                12 + step);
    }
    QPainterPath path;
    path.addRoundedRect(shape, 12, 12);
    // The plain colour lies over what is behind the sheet, not over the shadow.
    painter.fillPath(path, palette().color(QPalette::Window));
    painter.fillPath(path, isSelected ? SheetStyle::withAlpha(SheetStyle::blue, 0.1)
                                      : SheetStyle::withAlpha(SheetStyle::gray, 0.05));
    painter.setClipPath(path);
    painter.setPen(QPen(isSelected ? SheetStyle::blue : SheetStyle::withAlpha(SheetStyle::gray, 0.5), 4));
    painter.setBrush(Qt::NoBrush);
    // Stroked on the clip edge, half of the 4-point pen stays: a 2-point line inside.
    painter.drawPath(path);
}

void PricingView::PlanRow::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()) && onTap) {
        onTap();
    }
    QFrame::mouseReleaseEvent(event);
}

PricingView::PricingView(TandrelController& ctrl, QWidget* parent)
    : QWidget(parent), m_ctrl(&ctrl), m_pricingController(new PricingController(this))
{
    setObjectName(QStringLiteral("pricingView"));
    SheetStyle::setSheetBackground(this);

    auto* column = new QVBoxLayout(this);
    column->setSpacing(20);
    column->setContentsMargins(kDefaultPadding, kDefaultPadding, kDefaultPadding, kDefaultPadding);
    // Spare height goes above and below the content, which stays together in the middle.
    buildHeader(column);
    column->addStretch(1);
    buildContent(column);
    buildFooter(column);
    column->addStretch(1);

    connect(&ctrl, &ObservableObject::objectWillChange, this, &PricingView::scheduleRender);
    observe(m_pricingController);
    render();
}

PricingView::~PricingView() = default;

void PricingView::buildHeader(QVBoxLayout* column)
{
    auto* header = new QHBoxLayout;
    header->setContentsMargins(kDefaultPadding, 0, kDefaultPadding, 0);
    header->addStretch(1);
    auto* close = new SheetCloseButton(1.0, this);
    close->setStatic();
    close->setObjectName(QStringLiteral("closeButton"));
    close->setAccessibleName(text(QT_TRANSLATE_NOOP("PricingView", "Close")));
    connect(close, &QAbstractButton::clicked, this, [this] {
        if (m_ctrl) {
            m_ctrl->showPricing = false;
        }
    });
    header->addWidget(close);
    column->addLayout(header);
}

void PricingView::buildContent(QVBoxLayout* column)
{
    m_loadingPanel = new QWidget(this);
    m_loadingPanel->setObjectName(QStringLiteral("loadingPanel"));
    auto* loading = new QVBoxLayout(m_loadingPanel);
    loading->setContentsMargins(kDefaultPadding, kDefaultPadding, kDefaultPadding, kDefaultPadding);
    loading->setSpacing(8);
    auto* spinner = new ActivityIndicator(SheetStyle::gray, m_loadingPanel);
    spinner->setObjectName(QStringLiteral("loadingIndicator"));
    spinner->setAccessibleName(text(QT_TRANSLATE_NOOP("PricingView", "Loading plans…")));
    loading->addWidget(spinner, 0, Qt::AlignHCenter);
    QLabel* loadingLabel = makeLabel(text(QT_TRANSLATE_NOOP("PricingView", "Loading plans…")),
                                     SheetStyle::font(TextStyle::body), SheetStyle::secondary, m_loadingPanel);
    loadingLabel->setObjectName(QStringLiteral("loadingLabel"));
    loading->addWidget(loadingLabel);
    column->addWidget(m_loadingPanel);

    m_failurePanel = new QWidget(this);
    m_failurePanel->setObjectName(QStringLiteral("failurePanel"));
    auto* failure = new QVBoxLayout(m_failurePanel);
    failure->setContentsMargins(kDefaultPadding, kDefaultPadding, kDefaultPadding, kDefaultPadding);
    failure->setSpacing(20);
    failure->addWidget(
        new SymbolLabel(QStringLiteral("exclamationmark.triangle.fill"), SheetStyle::red, 50, m_failurePanel), 0,
        Qt::AlignHCenter);
    QLabel* oops = makeLabel(text(QT_TRANSLATE_NOOP("PricingView", "Oops! Failed to load plans.")),
                             SheetStyle::font(TextStyle::headline), SheetStyle::red, m_failurePanel);
    oops->setObjectName(QStringLiteral("failureTitle"));
    failure->addWidget(oops);
    // Says what went wrong with the shown list; set on every render.
    m_failureHint = makeLabel(QString(), SheetStyle::font(TextStyle::subheadline), SheetStyle::gray, m_failurePanel);
    m_failureHint->setObjectName(QStringLiteral("failureHint"));
    failure->addWidget(m_failureHint);
    m_retryButton =
        new GradientButton(text(QT_TRANSLATE_NOOP("PricingView", "Retry")), retryLook(false), m_failurePanel);
    m_retryButton->setObjectName(QStringLiteral("retryButton"));
    connect(m_retryButton, &QAbstractButton::clicked, this, &PricingView::retryLoadingPlans);
    failure->addWidget(m_retryButton);
    column->addWidget(m_failurePanel);

    m_planPanel = new QWidget(this);
    m_planPanel->setObjectName(QStringLiteral("planPanel"));
    auto* plans = new QVBoxLayout(m_planPanel);
    plans->setContentsMargins(0, 0, 0, 0);
    plans->setSpacing(20);
    m_cardRow = new QHBoxLayout;
    // The cards' own margins hold their shadows; together they make the 20-point gap.
    m_cardRow->setSpacing(20 - 2 * kCardMargin);
    m_cardRow->setContentsMargins(kDefaultPadding - kCardMargin, 0, kDefaultPadding - kCardMargin, 0);
    plans->addLayout(m_cardRow);
    GradientButton::Look purchase;
    purchase.color = SheetStyle::green;
    purchase.cornerRadius = 15;
    purchase.height = 50;
    purchase.fontPixelSize = 18;
    purchase.fontWeight = QFont::Bold;
    m_purchaseButton = new GradientButton(text(QT_TRANSLATE_NOOP("PricingView", "Purchase")), purchase, m_planPanel);
    m_purchaseButton->setObjectName(QStringLiteral("purchaseButton"));
    m_purchaseButton->setFixedWidth(200 + 6);
    connect(m_purchaseButton, &QAbstractButton::clicked, this, &PricingView::purchaseSelectedPlan);
    plans->addWidget(m_purchaseButton, 0, Qt::AlignHCenter);
    column->addWidget(m_planPanel);

    // One hover flag and one press flag for both buttons; only Retry shows the hover.
    for (GradientButton* button : {m_retryButton, m_purchaseButton}) {
        connect(button, &GradientButton::hoverChanged, this, [this](bool hovered) {
            m_isHovered = hovered;
            scheduleRender();
        });
        connect(button, &QAbstractButton::pressed, this, [this] { m_isPressed = true; });
        connect(button, &QAbstractButton::released, this, [this] { m_isPressed = false; });
    }
}

void PricingView::buildFooter(QVBoxLayout* column)
{
    m_switchButton = new GradientButton(QString(), switchLook(false), this);
    m_switchButton->setObjectName(QStringLiteral("planListSwitchButton"));
    m_switchButton->setFixedWidth(250 + 6);
    connect(m_switchButton, &QAbstractButton::clicked, this, &PricingView::togglePlanList);
    connect(m_switchButton, &QAbstractButton::pressed, this, [this] { m_isSwitchPressed = true; });
    connect(m_switchButton, &QAbstractButton::released, this, [this] { m_isSwitchPressed = false; });
    column->addWidget(m_switchButton, 0, Qt::AlignHCenter);

    m_note =
        makeLabel(text(QT_TRANSLATE_NOOP("PricingView",
                                         "*Note that an active VPN subscription is required to use additional slots.")),
                  SheetStyle::font(TextStyle::footnote), SheetStyle::gray, this);
    m_note->setObjectName(QStringLiteral("extraSlotsNote"));
    m_note->setContentsMargins(kDefaultPadding, 0, kDefaultPadding, 0);
    column->addWidget(m_note);
}

void PricingView::observe(PricingController* controller)
{
    connect(controller, &ObservableObject::objectWillChange, this, &PricingView::scheduleRender);
}

const std::vector<PricingView::Plan>& PricingView::shownPlans() const
{
    const bool extra = m_ctrl && m_ctrl->showExtraSlotsPricing();
    return extra ? m_pricingController->extraSlotsPlans() : m_pricingController->standardPlans();
}

void PricingView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (event->spontaneous()) {
        return;
    }
    // A sheet shown again is a new presentation: a fresh controller (the old one takes its
    // unfinished answers with it) and the initial state.
    if (m_presented) {
        delete m_pricingController;
        m_pricingController = new PricingController(this);
        observe(m_pricingController);
        m_isHovered = false;
        m_isPressed = false;
        m_selectedPlanIndex = 1;
        m_isSwitchPressed = false;
    }
    m_presented = true;
    loadAllPlans();
}

void PricingView::loadAllPlans()
{
    m_isLoading = true;
    scheduleRender();
    auto group = std::make_shared<DispatchGroup>();
    group->enter();
    m_pricingController->fetchPlans([group] { group->leave(); });
    group->enter();
    m_pricingController->fetchSlotPlans([group] { group->leave(); });
    QPointer<PricingView> self(this);
    QPointer<PricingController> controller(m_pricingController);
    group->notify([self, controller] {
        if (!self || !controller || controller != self->m_pricingController) {
            return;
        }
        self->m_isLoading = false;
        const auto count = static_cast<int>(self->shownPlans().size());
        if (count >= 1) {
            self->m_selectedPlanIndex = std::min(count, 2) - 1;
        }
        self->scheduleRender();
    });
}

void PricingView::retryLoadingPlans()
{
    m_isLoading = true;
    scheduleRender();
    const bool extra = m_ctrl && m_ctrl->showExtraSlotsPricing();
    QPointer<PricingView> self(this);
    QPointer<PricingController> controller(m_pricingController);
    auto finished = [self, controller, extra] {
        MainQueue::async([self, controller, extra] {
            if (!self || !controller || controller != self->m_pricingController) {
                return;
            }
            self->finishSingleLoad(extra ? controller->extraSlotsPlans() : controller->standardPlans());
        });
    };
    if (extra) {
        m_pricingController->fetchSlotPlans(finished);
    } else {
        m_pricingController->fetchPlans(finished);
    }
}

void PricingView::togglePlanList()
{
    if (m_ctrl) {
        m_ctrl->showExtraSlotsPricing = !m_ctrl->showExtraSlotsPricing();
    }
    m_selectedPlanIndex = 0;
    // Loads the list now shown, exactly as a retry does.
    retryLoadingPlans();
}

void PricingView::finishSingleLoad(const std::vector<Plan>& fetched)
{
    m_isLoading = false;
    const auto count = static_cast<int>(fetched.size());
    if (count >= 1) {
        m_selectedPlanIndex = std::min(m_selectedPlanIndex, count - 1);
    }
    scheduleRender();
}

void PricingView::selectPlan(int index)
{
    m_selectedPlanIndex = index;
    scheduleRender();
}

void PricingView::purchaseSelectedPlan()
{
    const std::vector<Plan>& plans = shownPlans();
    if (m_selectedPlanIndex < 0 || m_selectedPlanIndex >= static_cast<int>(plans.size())) {
        return;
    }
    const Plan& plan = plans[static_cast<size_t>(m_selectedPlanIndex)];
    QString address = plan.purchaseURL;
    if (m_ctrl && m_ctrl->isTrialPossible() && plan.isTrial) {
        address += QStringLiteral("&trial=1");
    }
    const QUrl url(address, QUrl::StrictMode);
    if (address.isEmpty() || !url.isValid()) {
        return;
    }
    Workspace::open(url);
}

void PricingView::scheduleRender()
{
    m_redraw.schedule();
}

void PricingView::render()
{
    const bool extra = m_ctrl && m_ctrl->showExtraSlotsPricing();
    const bool empty = shownPlans().empty();
    m_loadingPanel->setVisible(m_isLoading);
    m_failurePanel->setVisible(!m_isLoading && empty);
    const Client::FailureKind failure =
        extra ? m_pricingController->extraSlotsPlansFailure() : m_pricingController->standardPlansFailure();
    m_failureHint->setText(QCoreApplication::translate("Client", Client::failureSentence(failure)));
    m_planPanel->setVisible(!m_isLoading && !empty);
    rebuildCards();

    m_retryButton->setLook(retryLook(m_isHovered));
    m_switchButton->setText(extra ? text(QT_TRANSLATE_NOOP("PricingView", "Back to Standard Plans"))
                                  : text(QT_TRANSLATE_NOOP("PricingView", "View Extra Slots")));
    m_switchButton->setAccessibleName(m_switchButton->text());
    m_switchButton->setLook(switchLook(extra));
    m_note->setVisible(extra);

    // Like the platform's sheets, the window holding the sheet grows to fit what it now
    // shows (the cards arrive after it opened on the small loading state).
    if (auto* dialog = qobject_cast<QDialog*>(window())) {
        layout()->activate();
        dialog->resize(dialog->size().expandedTo(dialog->sizeHint()));
    }
}

void PricingView::rebuildCards()
{
    while (QLayoutItem* item = m_cardRow->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    if (m_isLoading) {
        return;
    }
    const std::vector<Plan>& plans = shownPlans();
    const bool isTrialPossible = m_ctrl && m_ctrl->isTrialPossible();
    for (size_t i = 0; i < plans.size(); ++i) {
        const int index = static_cast<int>(i);
        auto* card = new PlanRow(plans[i], isTrialPossible, index == m_selectedPlanIndex, m_planPanel);
        card->setObjectName(QStringLiteral("planCard_%1").arg(index));
        card->onTap = [this, index] { selectPlan(index); };
        m_cardRow->addWidget(card, 1);
    }
}

}  // namespace tandrel
