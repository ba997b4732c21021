#include "Views/VPNRegionsView.h"

#include "Controllers/TandrelController.h"
#include "Platform/MainQueue.h"
#include "Views/Platform/Assets.h"
#include "Views/RegionsLoadFailedPanel.h"
#include "Views/SheetStyle.h"

#include <QCoreApplication>
#include <QEnterEvent>
#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPropertyAnimation>
#include <QScrollArea>
#include <QScrollBar>
#include <QShowEvent>
#include <QToolButton>
#include <QVBoxLayout>
#include <QVariantAnimation>

namespace tandrel {
namespace {

constexpr int kHorizontalMargin = 16;

// A soft shadow under a rounded shape: a few widening, fading outlines.
void paintShadow(QPainter& painter, const QRectF& shape, qreal radius, qreal opacity, int blur, QPointF offset)
{
    painter.save();
    painter.setPen(Qt::NoPen);
    for (int step = blur; step >= 1; --step) {
        const qreal spread = step * 0.75;
        QPainterPath path;
        path.addRoundedRect(shape.translated(offset).adjusted(-spread, -spread, spread, spread), radius + spread,
                            radius + spread);
        painter.setBrush(QColor(0, 0, 0, static_cast<int>(255 * opacity / blur)));
        painter.drawPath(path);
    }
    painter.restore();
}

// The search bar's and list box's frame: a rounded fill with a thin gray outline.
class RoundedPanel : public QWidget {
public:
    RoundedPanel(QPalette::ColorRole fill, qreal shadowOpacity, int shadowBlur, QWidget* parent)
        : QWidget(parent), m_fill(fill), m_shadowOpacity(shadowOpacity), m_shadowBlur(shadowBlur)
    {
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF shape = QRectF(rect()).adjusted(m_shadowBlur, m_shadowBlur / 2.0, -m_shadowBlur, -m_shadowBlur);
        paintShadow(painter, shape, 12, m_shadowOpacity, m_shadowBlur, {0, 2});
        QPainterPath path;
        path.addRoundedRect(shape, 12, 12);
        painter.fillPath(path, palette().color(m_fill));
        painter.setPen(QPen(SheetStyle::withAlpha(SheetStyle::gray, 0.2), 1));
        painter.drawPath(path);
    }

private:
    QPalette::ColorRole m_fill;
    qreal m_shadowOpacity;
    int m_shadowBlur;
};

QString normalizedForSearch(const QString& text)
{
    // Canonically equivalent spellings (a composed or a decomposed accent) compare equal;
    // the accent itself still counts.
    return QLocale().toLower(text.normalized(QString::NormalizationForm_C));
}

}  // namespace

VPNRegionRow::VPNRegionRow(const VPNRegion& region, bool isSelected, QWidget* parent)
    : QWidget(parent),
      m_regionId(region.id),
      m_flag(new QLabel(this)),
      m_country(new QLabel(this)),
      m_city(new QLabel(this)),
      m_check(new QLabel(this)),
      m_look(new QVariantAnimation(this))
{
    setObjectName(QStringLiteral("regionRow_%1").arg(region.id));
    setCursor(Qt::PointingHandCursor);
    setAttribute(Qt::WA_Hover);

    auto* row = new QHBoxLayout(this);
    // Room for the shadow around the rounded background.
    row->setContentsMargins(12 + 2, 8 + 2, 12 + 2, 8 + 4);
    row->setSpacing(12);

    m_flag->setFixedSize(40, 40);
    m_flag->setAlignment(Qt::AlignCenter);
    row->addWidget(m_flag);

    auto* divider = new QWidget(this);
    divider->setFixedSize(1, 30);
    divider->setAutoFillBackground(true);
    QPalette dividerPalette = divider->palette();
    dividerPalette.setColor(QPalette::Window, SheetStyle::withAlpha(SheetStyle::gray, 0.3));
    divider->setPalette(dividerPalette);
    row->addWidget(divider);

    auto* names = new QVBoxLayout;
    names->setSpacing(4);
    QFont countryFont = m_country->font();
    countryFont.setPixelSize(16);
    countryFont.setWeight(QFont::DemiBold);
    m_country->setFont(countryFont);
    m_country->setObjectName(QStringLiteral("countryLabel"));
    QFont cityFont = m_city->font();
    cityFont.setPixelSize(14);
    m_city->setFont(cityFont);
    m_city->setObjectName(QStringLiteral("cityLabel"));
    QPalette secondary = m_city->palette();
    secondary.setColor(QPalette::WindowText, SheetStyle::withAlpha(palette().color(QPalette::WindowText), 0.6));
    m_city->setPalette(secondary);
    // Names are shown as the backend sends them, never as markup.
    m_country->setTextFormat(Qt::PlainText);
    m_city->setTextFormat(Qt::PlainText);
    // Long names wrap between words inside the row (which grows taller) rather than
    // widening the list or being cut at the row's edge.
    for (QLabel* label : {m_country, m_city}) {
        label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        label->setMinimumWidth(0);
        label->setWordWrap(true);
    }
    names->addWidget(m_country);
    names->addWidget(m_city);
    // The names take the room between the divider and the check mark.
    row->addLayout(names, 1);

    m_check->setObjectName(QStringLiteral("selectedMark"));
    m_check->setFixedSize(18, 18);
    m_check->setPixmap(Assets::systemSymbol(QStringLiteral("checkmark.circle.fill"), SheetStyle::blue).pixmap(18, 18));
    row->addWidget(m_check);

    m_look->setDuration(200);
    m_look->setEasingCurve(QEasingCurve::InOutQuad);
    m_look->setStartValue(0.0);
    m_look->setEndValue(1.0);
    setRegion(region);
    m_isSelected = !isSelected;
    setSelected(isSelected);
}

void VPNRegionRow::setRegion(const VPNRegion& region)
{
    const QIcon flag = Assets::flag(region.country_code.toLower());
    m_flag->setPixmap(flag.isNull() ? QPixmap() : flag.pixmap(QSize(40, 40), devicePixelRatioF()));
    m_country->setText(region.country_name);
    m_city->setText(region.city);
    setAccessibleName(QStringList{region.country_name, region.city}.join(QLatin1Char(' ')).simplified());
}

void VPNRegionRow::setSelected(bool selected)
{
    const bool changed = m_isSelected != selected;
    m_isSelected = selected;
    m_check->setVisible(selected);
    if (changed) {
        animateLook();
    }
}

QColor VPNRegionRow::targetTint() const
{
    // Selection wins over hover.
    return m_isSelected  ? SheetStyle::withAlpha(SheetStyle::blue, 0.2)
           : m_isHovered ? SheetStyle::withAlpha(SheetStyle::gray, 0.1)
                         : SheetStyle::withAlpha(SheetStyle::gray, 0.05);
}

void VPNRegionRow::animateLook()
{
    // Hover and selection changes ease in and out over 0.2 s, from wherever the look is now.
    const QColor fromTint = m_tint;
    const qreal fromScale = m_scale;
    const QColor toTint = targetTint();
    const qreal toScale = m_isHovered ? 1.02 : 1.0;
    m_look->stop();
    m_look->disconnect(this);
    connect(m_look, &QVariantAnimation::valueChanged, this, [=, this](const QVariant& value) {
        const qreal t = value.toReal();
        const auto mix = [t](int from, int to) { return static_cast<int>(from + (to - from) * t); };
        m_tint = QColor(mix(fromTint.red(), toTint.red()), mix(fromTint.green(), toTint.green()),
                        mix(fromTint.blue(), toTint.blue()), mix(fromTint.alpha(), toTint.alpha()));
        m_scale = fromScale + (toScale - fromScale) * t;
        update();
    });
    if (!isVisible()) {
        m_tint = toTint;
        m_scale = toScale;
        update();
        return;
    }
    m_look->start();
}

void VPNRegionRow::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QRectF shape = QRectF(rect()).adjusted(2, 2, -2, -4);
    // The hovered row stands out slightly larger, about its centre.
    const QPointF centre = shape.center();
    shape.setSize(shape.size() * m_scale);
    shape.moveCenter(centre);
    paintShadow(painter, shape, 10, 0.1, 3, {0, 2});
    QPainterPath path;
    path.addRoundedRect(shape, 10, 10);
    // The window's colour first, so the tints read the same over the shadow.
    painter.fillPath(path, palette().color(QPalette::Window));
    painter.fillPath(path, m_tint);
}

void VPNRegionRow::enterEvent(QEnterEvent* event)
{
    QWidget::enterEvent(event);
    m_isHovered = true;
    animateLook();
}

void VPNRegionRow::leaveEvent(QEvent* event)
{
    QWidget::leaveEvent(event);
    m_isHovered = false;
    animateLook();
}

void VPNRegionRow::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()) && onTap) {
        onTap(m_regionId);
        return;
    }
    QWidget::mouseReleaseEvent(event);
}

VPNRegionsView::VPNRegionsView(TandrelController& ctrl, QWidget* parent)
    : QWidget(parent), m_ctrl(&ctrl), m_redraw(this, [this] { render(); })
{
    setObjectName(QStringLiteral("vpnRegionsView"));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(12);
    column->addWidget(buildSearchBar());
    column->addWidget(buildListBox(), 1);
    new RegionsLoadFailedPanel(ctrl, m_scrollArea);

    connect(&ctrl, &ObservableObject::objectWillChange, this, [this] { m_redraw.schedule(); });
    render();
}

QWidget* VPNRegionsView::buildSearchBar()
{
    auto* margins = new QWidget(this);
    auto* outer = new QHBoxLayout(margins);
    // The panel draws its shadow inside its own rectangle, so its margins shrink by that much.
    outer->setContentsMargins(kHorizontalMargin - 4, 0, kHorizontalMargin - 4, 0);
    auto* bar = new RoundedPanel(QPalette::Base, 0.1, 4, margins);
    bar->setObjectName(QStringLiteral("searchBar"));
    outer->addWidget(bar);

    auto* row = new QHBoxLayout(bar);
    row->setContentsMargins(10 + 4, 10 + 2, 10 + 4, 10 + 4);
    row->setSpacing(8);

    auto* glass = new QLabel(bar);
    glass->setFixedSize(20, 20);
    glass->setAlignment(Qt::AlignCenter);
    glass->setPixmap(Assets::systemSymbol(QStringLiteral("magnifyingglass"), SheetStyle::gray).pixmap(16, 16));
    row->addWidget(glass);

    m_searchField = new QLineEdit(bar);
    m_searchField->setObjectName(QStringLiteral("searchField"));
    m_searchField->setPlaceholderText(QCoreApplication::translate("VPNRegionsView", "Search by country or city..."));
    m_searchField->setAccessibleName(m_searchField->placeholderText());
    m_searchField->setFrame(false);
    m_searchField->setStyleSheet(QStringLiteral("QLineEdit { border: none; background: transparent; }"));
    row->addWidget(m_searchField, 1);

    m_clearButton = new QToolButton(bar);
    m_clearButton->setObjectName(QStringLiteral("clearSearchButton"));
    m_clearButton->setAccessibleName(QCoreApplication::translate("VPNRegionsView", "Clear"));
    m_clearButton->setAutoRaise(true);
    m_clearButton->setCursor(Qt::ArrowCursor);
    m_clearButton->setStyleSheet(QStringLiteral("QToolButton { border: none; background: transparent; }"));
    m_clearButton->setIcon(Assets::systemSymbol(QStringLiteral("xmark.circle.fill"), SheetStyle::gray));
    m_clearButton->setIconSize({16, 16});
    m_clearButton->setGraphicsEffect(new QGraphicsOpacityEffect(m_clearButton));
    row->addWidget(m_clearButton);

    connect(m_searchField, &QLineEdit::textChanged, this, [this](const QString& text) {
        m_searchTerm = text;
        render();
    });
    connect(m_clearButton, &QToolButton::clicked, this, [this] { m_searchField->clear(); });
    return margins;
}

QWidget* VPNRegionsView::buildListBox()
{
    auto* margins = new QWidget(this);
    auto* outer = new QVBoxLayout(margins);
    // Half the caption's height above the box, where the caption sits across its border.
    outer->setContentsMargins(kHorizontalMargin - 6, 10, kHorizontalMargin - 6, 0);
    m_listBox = new RoundedPanel(QPalette::Window, 0.05, 6, margins);
    m_listBox->setObjectName(QStringLiteral("regionListBox"));
    outer->addWidget(m_listBox);

    auto* inner = new QVBoxLayout(m_listBox);
    inner->setContentsMargins(6 + 1, 3 + 1, 6 + 1, 6 + 1);
    m_scrollArea = new QScrollArea(m_listBox);
    m_scrollArea->setObjectName(QStringLiteral("regionScrollArea"));
    m_scrollArea->setFrameShape(QFrame::NoFrame);
    m_scrollArea->setWidgetResizable(true);
    m_scrollArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_scrollArea->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_scrollArea->viewport()->setAutoFillBackground(false);
    m_scrollArea->setStyleSheet(QStringLiteral("QScrollArea { background: transparent; }"));
    inner->addWidget(m_scrollArea);

    auto* content = new QWidget(m_scrollArea);
    content->setObjectName(QStringLiteral("regionRows"));
    content->setAutoFillBackground(false);
    m_rowsLayout = new QVBoxLayout(content);
    m_rowsLayout->setContentsMargins(kHorizontalMargin - 2, 8, kHorizontalMargin - 2, 8);
    m_rowsLayout->setSpacing(8 - 6);
    m_rowsLayout->addStretch(1);
    m_scrollArea->setWidget(content);

    m_caption = new QLabel(QCoreApplication::translate("VPNRegionsView", "VPN Regions List"), margins);
    m_caption->setObjectName(QStringLiteral("regionListCaption"));
    QFont captionFont = m_caption->font();
    captionFont.setPixelSize(12);
    captionFont.setWeight(QFont::Medium);
    m_caption->setFont(captionFont);
    m_caption->setAlignment(Qt::AlignCenter);
    m_caption->setStyleSheet(
        QStringLiteral("QLabel { color: rgb(142, 142, 147); background: palette(window); "
                       "border-radius: 10px; padding: 4px 8px; }"));
    m_caption->raise();
    return margins;
}

void VPNRegionsView::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    placeCaption();
}

void VPNRegionsView::placeCaption()
{
    m_caption->adjustSize();
    const QWidget* box = m_listBox;
    const int boxTop = box->mapTo(m_caption->parentWidget(), QPoint(0, 0)).y() + 6 / 2;
    m_caption->move(box->mapTo(m_caption->parentWidget(), QPoint(0, 0)).x() + (box->width() - m_caption->width()) / 2,
                    boxTop - m_caption->height() / 2);
    m_caption->raise();
}

void VPNRegionsView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    placeCaption();
    if (event->spontaneous()) {
        return;
    }
    // Every showing reloads the regions, then the plan, one turn after it.
    QPointer<TandrelController> ctrl = m_ctrl;
    MainQueue::async([ctrl] {
        if (ctrl) {
            ctrl->loadRegions();
            ctrl->showCurrentSubscription();
        }
    });
}

std::vector<VPNRegion> VPNRegionsView::filteredRegions(const std::vector<VPNRegion>& regions, const QString& term)
{
    if (term.isEmpty()) {
        return regions;
    }
    const QString needle = normalizedForSearch(term);
    std::vector<VPNRegion> result;
    for (const VPNRegion& region : regions) {
        if (normalizedForSearch(region.country_name).contains(needle) ||
            normalizedForSearch(region.city).contains(needle)) {
            result.push_back(region);
        }
    }
    return result;
}

QList<VPNRegionRow*> VPNRegionsView::rows() const
{
    QList<VPNRegionRow*> result;
    for (int index = 0; index < m_rowsLayout->count(); ++index) {
        if (auto* row = qobject_cast<VPNRegionRow*>(m_rowsLayout->itemAt(index)->widget())) {
            result << row;
        }
    }
    return result;
}

void VPNRegionsView::render()
{
    const bool showClear = !m_searchTerm.isEmpty();
    if (showClear && !m_clearButton->isVisibleTo(this)) {
        // The clear button eases in over 0.2 s as the first letter is typed.
        auto* fade = new QPropertyAnimation(m_clearButton->graphicsEffect(), "opacity", m_clearButton);
        fade->setDuration(200);
        fade->setEasingCurve(QEasingCurve::InOutQuad);
        fade->setStartValue(0.0);
        fade->setEndValue(1.0);
        fade->start(QAbstractAnimation::DeleteWhenStopped);
    }
    m_clearButton->setVisible(showClear);
    if (!m_ctrl) {
        return;
    }
    const std::vector<VPNRegion> shown = filteredRegions(m_ctrl->regions(), m_searchTerm);
    const std::optional<qint64> current = m_ctrl->currentRegion();

    // Rows are kept by region id, so a row keeps its hover state across reloads.
    QHash<qint64, QList<VPNRegionRow*>> unused = std::exchange(m_rows, {});
    for (const VPNRegion& region : shown) {
        QList<VPNRegionRow*>& sameId = unused[region.id];
        VPNRegionRow* row = sameId.isEmpty() ? nullptr : sameId.takeFirst();
        const bool selected = current && *current == region.id;
        if (row) {
            row->setRegion(region);
            row->setSelected(selected);
        } else {
            row = new VPNRegionRow(region, selected, m_rowsLayout->parentWidget());
            QPointer<TandrelController> ctrl = m_ctrl;
            row->onTap = [ctrl](qint64 regionId) {
                if (ctrl) {
                    ctrl->didSelectRegion(regionId);
                }
            };
        }
        m_rows[region.id].append(row);
        m_rowsLayout->removeWidget(row);
        m_rowsLayout->insertWidget(m_rowsLayout->count() - 1, row);
        row->show();
    }
    for (const QList<VPNRegionRow*>& rows : std::as_const(unused)) {
        for (VPNRegionRow* gone : rows) {
            m_rowsLayout->removeWidget(gone);
            gone->hide();
            gone->deleteLater();
        }
    }
}

}  // namespace tandrel
