#include "Views/Regions/VPNRegionsView.h"

#include "Controllers/TandrelController.h"
#include "Platform/MainQueue.h"
#include "Views/Kit/Assets.h"
#include "Views/Regions/RegionsLoadFailedPanel.h"
#include "Views/Regions/VPNRegionListModel.h"
#include "Views/Regions/VPNRegionRow.h"
#include "Views/Sheets/SheetStyle.h"

#include <QCoreApplication>
#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPropertyAnimation>
#include <QShowEvent>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <functional>
#include <iterator>

namespace tandrel {
namespace {

constexpr int kHorizontalMargin = 16;

// The search bar's and list box's frame: a rounded fill with a thin gray outline.
class RoundedPanel : public QWidget {
public:
    // `keepPicture` for a panel under see-through content, which is painted again at every
    // change of that content: its shadow's layers are then drawn once per size.
    RoundedPanel(QPalette::ColorRole fill, qreal shadowOpacity, int shadowBlur, bool keepPicture, QWidget* parent)
        : QWidget(parent),
          m_fill(fill),
          m_shadowOpacity(shadowOpacity),
          m_shadowBlur(shadowBlur),
          m_keepPicture(keepPicture)
    {
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        if (!m_keepPicture) {
            paintPanel(painter);
            return;
        }
        const QColor fill = palette().color(m_fill);
        const qreal ratio = devicePixelRatioF();
        if (m_picture.isNull() || m_picture.deviceIndependentSize() != QSizeF(size()) ||
            m_picture.devicePixelRatio() != ratio || m_pictureFill != fill) {
            m_pictureFill = fill;
            QImage image(size() * ratio, QImage::Format_ARGB32_Premultiplied);
            image.setDevicePixelRatio(ratio);
            image.fill(Qt::transparent);
            QPainter onImage(&image);
            paintPanel(onImage);
            onImage.end();
            m_picture = QPixmap::fromImage(std::move(image));
        }
        painter.drawPixmap(0, 0, m_picture);
    }

private:
    void paintPanel(QPainter& painter) const
    {
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF shape = QRectF(rect()).adjusted(m_shadowBlur, m_shadowBlur / 2.0, -m_shadowBlur, -m_shadowBlur);
        SheetStyle::paintShadow(painter, shape, 12, m_shadowOpacity, m_shadowBlur, {0, 2});
        QPainterPath path;
        path.addRoundedRect(shape, 12, 12);
        painter.fillPath(path, palette().color(m_fill));
        painter.setPen(QPen(SheetStyle::withAlpha(SheetStyle::gray, 0.2), 1));
        painter.drawPath(path);
    }

    QPalette::ColorRole m_fill;
    qreal m_shadowOpacity;
    int m_shadowBlur;
    bool m_keepPicture;
    QPixmap m_picture;
    QColor m_pictureFill;
};

// The list box's rows: a list view over the region model whose delegate paints each row.
// A click on a row's background, or Return or Space on the row the arrow keys reached,
// selects that row's region through `onSelect`; the margins around a row are not the row.
class RegionListView : public QListView {
public:
    RegionListView(VPNRegionListModel* model, std::function<void(qint64)> onSelect, QWidget* parent)
        : QListView(parent), m_rows(new VPNRegionRow(this)), m_onSelect(std::move(onSelect))
    {
        setObjectName(QStringLiteral("regionList"));
        setAccessibleName(QCoreApplication::translate("VPNRegionsView", "VPN Regions List"));
        setModel(model);
        setItemDelegate(m_rows);
        // The controller's current region is the selection; the view only moves a cursor.
        setSelectionMode(QAbstractItemView::NoSelection);
        setEditTriggers(QAbstractItemView::NoEditTriggers);
        setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
        setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
        setFrameShape(QFrame::NoFrame);
        setMouseTracking(true);
        // The rows' ground is the list box's own colour, filled here: a change of a row then
        // repaints the rows alone, not the box and its shadow behind them.
        viewport()->setBackgroundRole(QPalette::Window);
        viewport()->setAutoFillBackground(true);
        // With the rows' own margins of half the spacing, the stack's padding of 8.
        setViewportMargins(0, 8 - VPNRegionRow::verticalMargin, 0, 8 - VPNRegionRow::verticalMargin);
        connect(model, &QAbstractItemModel::dataChanged, this,
                [this, model](const QModelIndex& first, const QModelIndex& last, const QList<int>& roles) {
                    // The check mark narrows the names, which may then wrap onto more lines:
                    // the rows move only when a changed row's height does.
                    if (!roles.contains(VPNRegionListModel::SelectedRole)) {
                        return;
                    }
                    for (int row = first.row(); row <= last.row(); ++row) {
                        if (m_rows->rowHeight(*model, row, true) != m_rows->rowHeight(*model, row, false)) {
                            scheduleDelayedItemsLayout();
                            return;
                        }
                    }
                });
    }

    VPNRegionRow* rows() const { return m_rows; }

protected:
    // Row heights follow the width (long names wrap in the compact column), and the width
    // alone: the rows are laid out again when it changes, as when the scroll bar comes or
    // goes after a search, and not when only the height does.
    void resizeEvent(QResizeEvent* event) override
    {
        QListView::resizeEvent(event);
        if (viewport()->width() != m_rowsWidth) {
            m_rowsWidth = viewport()->width();
            scheduleDelayedItemsLayout();
        }
    }

    void keyPressEvent(QKeyEvent* event) override
    {
        m_rows->setShowsFocus(true);
        switch (event->key()) {
            case Qt::Key_Return:
            case Qt::Key_Enter:
            case Qt::Key_Space:
                if (currentIndex().isValid()) {
                    m_onSelect(currentIndex().data(VPNRegionListModel::RegionIdRole).toLongLong());
                    event->accept();
                    return;
                }
                break;
            default:
                break;
        }
        QListView::keyPressEvent(event);
    }

    void focusInEvent(QFocusEvent* event) override
    {
        // The keyboard starts on the current region's row, else on the first.
        if (!currentIndex().isValid() && model()->rowCount() > 0) {
            const auto* regions = static_cast<const VPNRegionListModel*>(model());
            const int row = regions->currentRegion() ? regions->rowOf(*regions->currentRegion()) : -1;
            selectionModel()->setCurrentIndex(model()->index(std::max(row, 0), 0), QItemSelectionModel::NoUpdate);
        }
        // Reached with Tab: the keyboard's row is outlined before the first arrow key.
        if (event->reason() == Qt::TabFocusReason || event->reason() == Qt::BacktabFocusReason) {
            m_rows->setShowsFocus(true);
        }
        QListView::focusInEvent(event);
    }

    void mousePressEvent(QMouseEvent* event) override
    {
        m_rows->setShowsFocus(false);
        m_pressed = rowAt(event->position().toPoint());
        QListView::mousePressEvent(event);
    }

    void mouseReleaseEvent(QMouseEvent* event) override
    {
        const QModelIndex released = rowAt(event->position().toPoint());
        const bool tap = event->button() == Qt::LeftButton && released.isValid() && released == m_pressed;
        m_pressed = QPersistentModelIndex();
        QListView::mouseReleaseEvent(event);
        if (tap) {
            m_onSelect(released.data(VPNRegionListModel::RegionIdRole).toLongLong());
        }
    }

    void mouseMoveEvent(QMouseEvent* event) override
    {
        hover(event->position().toPoint());
        QListView::mouseMoveEvent(event);
    }

    void leaveEvent(QEvent* event) override
    {
        m_rows->setHoveredRow(std::nullopt);
        viewport()->unsetCursor();
        QListView::leaveEvent(event);
    }

    // New rows, or rows scrolled, under a still pointer: the hover follows what is under it now.
    void reset() override
    {
        QListView::reset();
        hover(viewport()->mapFromGlobal(QCursor::pos()));
    }

    void scrollContentsBy(int dx, int dy) override
    {
        QListView::scrollContentsBy(dx, dy);
        hover(viewport()->mapFromGlobal(QCursor::pos()));
    }

private:
    // The row whose rounded background holds the point (viewport coordinates).
    QModelIndex rowAt(QPoint point) const
    {
        const QModelIndex index = indexAt(point);
        return index.isValid() && VPNRegionRow::backgroundRect(visualRect(index)).contains(point) ? index
                                                                                                  : QModelIndex();
    }

    void hover(QPoint point)
    {
        const QModelIndex index = viewport()->rect().contains(point) && underMouse() ? rowAt(point) : QModelIndex();
        if (index.isValid()) {
            const VPNRegionListModel::Row& region =
                static_cast<const VPNRegionListModel*>(model())->regionAt(index.row());
            m_rows->setHoveredRow(VPNRegionRow::RowKey{region.id, region.occurrence});
            viewport()->setCursor(Qt::PointingHandCursor);
        } else {
            m_rows->setHoveredRow(std::nullopt);
            viewport()->unsetCursor();
        }
    }

    VPNRegionRow* m_rows;
    int m_rowsWidth = -1;
    std::function<void(qint64)> m_onSelect;
    QPersistentModelIndex m_pressed;
};
}  // namespace

VPNRegionsView::VPNRegionsView(TandrelController& ctrl, QWidget* parent)
    : QWidget(parent), m_ctrl(&ctrl), m_redraw(this, [this] { render(); })
{
    setObjectName(QStringLiteral("vpnRegionsView"));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(12);
    column->addWidget(buildSearchBar());
    column->addWidget(buildListBox(), 1);
    new RegionsLoadFailedPanel(ctrl, m_list);

    connect(&ctrl, &ObservableObject::objectWillChange, this, [this] { m_redraw.schedule(); });
    // Copying and narrowing the list is the costly part of a redraw: only when it changed.
    m_regionsSubscription = ctrl.regions.sink([this](const std::vector<VPNRegion>&) { m_regionsChanged = true; });
    render();
}

QWidget* VPNRegionsView::buildSearchBar()
{
    auto* margins = new QWidget(this);
    auto* outer = new QHBoxLayout(margins);
    // The panel draws its shadow inside its own rectangle, so its margins shrink by that much.
    outer->setContentsMargins(kHorizontalMargin - 4, 0, kHorizontalMargin - 4, 0);
    auto* bar = new RoundedPanel(QPalette::Base, 0.1, 4, true, margins);
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
    m_listBox = new RoundedPanel(QPalette::Window, 0.05, 6, false, margins);
    m_listBox->setObjectName(QStringLiteral("regionListBox"));
    outer->addWidget(m_listBox);

    auto* inner = new QVBoxLayout(m_listBox);
    // Inside the panel's shadow and outline; the rows keep their own margins of 16.
    inner->setContentsMargins(6 + 1, 3 + 1, 6 + 1, 6 + 1);
    m_model = new VPNRegionListModel(this);
    auto* list = new RegionListView(
        m_model, [this](qint64 regionId) { select(regionId); }, m_listBox);
    m_list = list;
    m_rowDelegate = list->rows();
    inner->addWidget(m_list);

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

QList<qint64> VPNRegionsView::shownRegionIds() const
{
    QList<qint64> result;
    for (int row = 0; row < m_model->rowCount(); ++row) {
        result << m_model->regionAt(row).id;
    }
    return result;
}

void VPNRegionsView::select(qint64 regionId)
{
    // The list changes nothing itself: the look follows the controller's published region.
    if (m_ctrl) {
        m_ctrl->didSelectRegion(regionId);
    }
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
    // The keyboard's row stays on its region across a reload or a new term.
    const QModelIndex cursor = m_list->currentIndex();
    const bool hasCursor = cursor.isValid();
    const qint64 cursorRegion = hasCursor ? m_model->regionAt(cursor.row()).id : 0;
    const bool rowsChange = m_regionsChanged || m_searchTerm != m_model->searchTerm();
    if (m_regionsChanged) {
        m_regionsChanged = false;
        m_model->setRegions(m_ctrl->regions());
    }
    m_model->setSearchTerm(m_searchTerm);
    m_model->setCurrentRegion(m_ctrl->currentRegion());
    m_rowDelegate->setSelectedRegion(m_ctrl->currentRegion());
    if (rowsChange && hasCursor) {
        const int row = m_model->rowOf(cursorRegion);
        if (row >= 0) {
            m_list->selectionModel()->setCurrentIndex(m_model->index(row), QItemSelectionModel::NoUpdate);
        }
    }
}

}  // namespace tandrel
