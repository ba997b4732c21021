#include "Views/Regions/VPNRegionRow.h"

#include "Views/Kit/Assets.h"
#include "Views/Regions/VPNRegionListModel.h"
#include "Views/Sheets/SheetStyle.h"

#include <QAbstractItemView>
#include <QEasingCurve>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <limits>

namespace tandrel {
namespace {

constexpr int kPaddingHorizontal = 12;
constexpr int kPaddingVertical = 8;
constexpr int kSpacing = 12;
constexpr int kFlagSide = 40;
constexpr int kDividerHeight = 30;
constexpr int kNamesSpacing = 4;
constexpr int kCheckSide = 18;
constexpr int kEaseMs = 200;
constexpr qreal kHoverScale = 1.02;

QColor mix(const QColor& from, const QColor& to, qreal t)
{
    const auto channel = [t](int a, int b) { return static_cast<int>(a + (b - a) * t); };
    return QColor(channel(from.red(), to.red()), channel(from.green(), to.green()), channel(from.blue(), to.blue()),
                  channel(from.alpha(), to.alpha()));
}

// The rounded background of a row with its shadow, in the window's colour under the
// tint. Rows share a few sizes and settled looks: each is drawn once. `margin` is the room
// left round the shape for the shadow.
constexpr int kShadowRoom = 6;

QPixmap rowBackground(QSizeF shape, const QColor& window, const QColor& tint, qreal devicePixelRatio)
{
    static QHash<QString, QPixmap> drawn;
    const QString key = QStringLiteral("%1x%2|%3|%4|%5")
                            .arg(shape.width())
                            .arg(shape.height())
                            .arg(window.rgba())
                            .arg(tint.rgba())
                            .arg(devicePixelRatio);
    const auto it = drawn.constFind(key);
    if (it != drawn.constEnd()) {
        return *it;
    }
    const QSizeF whole = shape + QSizeF(2 * kShadowRoom, 2 * kShadowRoom);
    QImage image((whole * devicePixelRatio).toSize(), QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(devicePixelRatio);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF area(QPointF(kShadowRoom, kShadowRoom), shape);
    SheetStyle::paintShadow(painter, area, 10, 0.1, 3, {0, 2});
    QPainterPath background;
    background.addRoundedRect(area, 10, 10);
    // The window's colour first, so the tints read the same over the shadow.
    painter.fillPath(background, window);
    painter.fillPath(background, tint);
    painter.end();
    if (drawn.size() > 256) {
        drawn.clear();  // window and row sizes changed many times: start over
    }
    QPixmap result = QPixmap::fromImage(std::move(image));
    drawn.insert(key, result);
    return result;
}

const QPixmap& checkMark(qreal devicePixelRatio)
{
    static QHash<qreal, QPixmap> rendered;
    auto it = rendered.find(devicePixelRatio);
    if (it == rendered.end()) {
        QPixmap pixmap = Assets::systemSymbol(QStringLiteral("checkmark.circle.fill"), SheetStyle::blue)
                             .pixmap(QSize(kCheckSide, kCheckSide) * devicePixelRatio);
        pixmap.setDevicePixelRatio(devicePixelRatio);
        it = rendered.insert(devicePixelRatio, pixmap);
    }
    return *it;
}

}  // namespace

VPNRegionRow::VPNRegionRow(QAbstractItemView* view)
    : QAbstractItemDelegate(view),
      m_view(view),
      m_countryFont(SheetStyle::systemFont(16, QFont::DemiBold)),
      m_cityFont(SheetStyle::systemFont(14)),
      m_countryMetrics(m_countryFont),
      m_cityMetrics(m_cityFont)
{
    m_clock.start();
    m_frames.setInterval(16);
    connect(&m_frames, &QTimer::timeout, this, &VPNRegionRow::nextFrame);
}

QRect VPNRegionRow::backgroundRect(const QRect& itemRect)
{
    return itemRect.adjusted(horizontalMargin, verticalMargin, -horizontalMargin, -verticalMargin);
}

QPixmap VPNRegionRow::flag(const QString& countryCode, qreal devicePixelRatio)
{
    static QHash<QString, QPixmap> rendered;
    const QString key = countryCode + QLatin1Char('@') + QString::number(devicePixelRatio);
    auto it = rendered.constFind(key);
    if (it != rendered.constEnd()) {
        return *it;
    }
    QPixmap result;
    const QIcon icon = Assets::flag(countryCode);
    if (!icon.isNull()) {
        // The flag fitted into its square, over a faint copy of itself one point lower.
        const QSize side = QSize(kFlagSide, kFlagSide) * devicePixelRatio;
        const QImage artwork = icon.pixmap(side).toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
        QImage shadow = artwork;
        {
            QPainter tint(&shadow);
            tint.setCompositionMode(QPainter::CompositionMode_SourceIn);
            tint.fillRect(shadow.rect(), QColor(0, 0, 0, static_cast<int>(255 * 0.1)));
        }
        QImage image(side, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        painter.drawImage(QPointF(0, devicePixelRatio), shadow);
        painter.drawImage(QPointF(0, 0), artwork);
        painter.end();
        result = QPixmap::fromImage(image);
        result.setDevicePixelRatio(devicePixelRatio);
    }
    rendered.insert(key, result);
    return result;
}

VPNRegionRow::Look VPNRegionRow::settledLook(bool selected, bool hovered)
{
    // Selection wins over hover for the tint; the hovered row is larger either way.
    const QColor tint = selected  ? SheetStyle::withAlpha(SheetStyle::blue, 0.2)
                        : hovered ? SheetStyle::withAlpha(SheetStyle::gray, 0.1)
                                  : SheetStyle::withAlpha(SheetStyle::gray, 0.05);
    return {tint, hovered ? kHoverScale : 1.0};
}

VPNRegionRow::Look VPNRegionRow::lookOf(const RowKey& row) const
{
    const Look target = settledLook(m_selected == row.first, m_hovered == row);
    const auto it = m_looks.constFind(row);
    if (it == m_looks.constEnd()) {
        return target;
    }
    const qreal progress = std::clamp(static_cast<qreal>(m_clock.elapsed() - it->startedAt) / kEaseMs, 0.0, 1.0);
    const qreal eased = QEasingCurve(QEasingCurve::InOutQuad).valueForProgress(progress);
    return {mix(it->from.tint, target.tint, eased), it->from.scale + (target.scale - it->from.scale) * eased};
}

void VPNRegionRow::startEasing(const RowKey& row)
{
    if (!m_view->isVisible()) {
        return;  // nothing to see ease in: the look is the new one at once
    }
    // From wherever the look is now, so a quick change back eases back smoothly.
    const Look now = lookOf(row);
    m_looks.insert(row, {now, m_clock.elapsed()});
    if (!m_frames.isActive()) {
        m_frames.start();
    }
}

void VPNRegionRow::setHoveredRow(std::optional<RowKey> row)
{
    if (row == m_hovered) {
        return;
    }
    // The row the pointer leaves and the one it enters both ease to their new look.
    for (const std::optional<RowKey>& changed : {m_hovered, row}) {
        if (changed) {
            startEasing(*changed);
        }
    }
    m_hovered = row;
    m_view->viewport()->update();
}

void VPNRegionRow::setSelectedRegion(std::optional<qint64> regionId)
{
    if (regionId == m_selected) {
        return;
    }
    // Every row of the region that was and of the one that is current eases to its new look.
    const auto* model = qobject_cast<const VPNRegionListModel*>(m_view->model());
    for (const std::optional<qint64>& changed : {m_selected, regionId}) {
        for (int occurrence = 0; changed && model && occurrence < model->occurrences(*changed); ++occurrence) {
            startEasing({*changed, occurrence});
        }
    }
    m_selected = regionId;
    m_view->viewport()->update();
}

void VPNRegionRow::setShowsFocus(bool shows)
{
    if (shows != m_showsFocus) {
        m_showsFocus = shows;
        m_view->viewport()->update();
    }
}

void VPNRegionRow::nextFrame()
{
    const qint64 now = m_clock.elapsed();
    m_looks.removeIf([now](const auto& entry) { return now - entry.value().startedAt >= kEaseMs; });
    if (m_looks.isEmpty()) {
        m_frames.stop();
    }
    m_view->viewport()->update();
}

int VPNRegionRow::textHeight(bool country, const QString& text, int width) const
{
    constexpr qsizetype kKeptNames = 1 << 16;
    const QFontMetrics& metrics = country ? m_countryMetrics : m_cityMetrics;
    QHash<QString, int>& lineWidths = m_lineWidths[country ? 0 : 1];
    auto lineWidth = lineWidths.constFind(text);
    if (lineWidth == lineWidths.constEnd()) {
        if (lineWidths.size() >= kKeptNames) {
            lineWidths.clear();
        }
        // A name of more than one line never fits on one.
        lineWidth = lineWidths.insert(
            text, text.contains(QLatin1Char('\n')) ? std::numeric_limits<int>::max() : metrics.horizontalAdvance(text));
    }
    // Most names fit on one line: measure the wrap only for those that do not.
    if (*lineWidth <= width) {
        return metrics.height();
    }
    return metrics.boundingRect(QRect(0, 0, std::max(width, 1), 1 << 20), Qt::TextWordWrap, text).height();
}

int VPNRegionRow::namesWidth(int rowWidth, bool selected) const
{
    // The names take the room the flag, the divider and (while selected) the check mark leave.
    int width = rowWidth - 2 * horizontalMargin - 2 * kPaddingHorizontal - kFlagSide - kSpacing - 1 - kSpacing;
    if (selected) {
        width -= kSpacing + kCheckSide;
    }
    return std::max(width, 1);
}

QSize VPNRegionRow::sizeHint(const QStyleOptionViewItem&, const QModelIndex& index) const
{
    const auto* model = qobject_cast<const VPNRegionListModel*>(index.model());
    const int rowWidth = m_view->viewport()->width();
    if (!model || index.row() >= model->rowCount()) {
        return {rowWidth, 0};
    }
    return {rowWidth, rowHeight(*model, index.row(), model->isSelected(index.row()))};
}

int VPNRegionRow::rowHeight(const VPNRegionListModel& model, int row, bool selected) const
{
    constexpr std::size_t kKeptWidths = 3;
    const int rowWidth = m_view->viewport()->width();
    if (m_heightsGeneration != model.regionsGeneration()) {
        m_heightsGeneration = model.regionsGeneration();
        m_heights.clear();
    }
    auto heights = std::find_if(m_heights.begin(), m_heights.end(),
                                [rowWidth](const Heights& each) { return each.width == rowWidth; });
    if (heights == m_heights.end()) {
        if (m_heights.size() >= kKeptWidths) {
            m_heights.erase(m_heights.begin());  // the oldest width
        }
        m_heights.push_back({rowWidth, std::vector<std::array<int, 2>>(static_cast<std::size_t>(model.regionCount()))});
        heights = m_heights.end() - 1;
    }
    int& height = heights->heights[static_cast<std::size_t>(model.regionIndex(row))][selected ? 1 : 0];
    if (height == 0) {
        const VPNRegionListModel::Row& region = model.regionAt(row);
        const int width = namesWidth(rowWidth, selected);
        const int names =
            textHeight(true, region.country_name, width) + kNamesSpacing + textHeight(false, region.city, width);
        height = std::max(kFlagSide, names) + 2 * kPaddingVertical + 2 * verticalMargin;
    }
    return height;
}

void VPNRegionRow::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    const auto* model = qobject_cast<const VPNRegionListModel*>(index.model());
    if (!model || index.row() >= model->rowCount()) {
        return;
    }
    const VPNRegionListModel::Row& region = model->regionAt(index.row());
    const bool selected = model->isSelected(index.row());
    const RowKey key{region.id, region.occurrence};
    const Look look = lookOf(key);
    const QRectF shape = backgroundRect(option.rect);
    const qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;

    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setRenderHint(QPainter::SmoothPixmapTransform);
    // The hovered row stands out slightly larger, about its centre.
    if (!qFuzzyCompare(look.scale, 1.0)) {
        painter->translate(shape.center());
        painter->scale(look.scale, look.scale);
        painter->translate(-shape.center());
    }
    if (m_looks.contains(key)) {
        // Easing: a new tint every frame, not worth keeping.
        SheetStyle::paintShadow(*painter, shape, 10, 0.1, 3, {0, 2});
        QPainterPath background;
        background.addRoundedRect(shape, 10, 10);
        painter->fillPath(background, option.palette.color(QPalette::Window));
        painter->fillPath(background, look.tint);
    } else {
        painter->drawPixmap(shape.topLeft() - QPointF(kShadowRoom, kShadowRoom),
                            rowBackground(shape.size(), option.palette.color(QPalette::Window), look.tint, ratio));
    }
    if (m_showsFocus && (option.state & QStyle::State_HasFocus)) {
        painter->setPen(QPen(SheetStyle::withAlpha(SheetStyle::blue, 0.6), 2));
        painter->setBrush(Qt::NoBrush);
        painter->drawRoundedRect(shape.adjusted(1, 1, -1, -1), 9, 9);
    }

    const qreal middle = shape.center().y();
    qreal x = shape.left() + kPaddingHorizontal;
    const QPixmap picture = flag(region.country_code.toLower(), ratio);
    if (!picture.isNull()) {
        painter->drawPixmap(QPointF(x, middle - kFlagSide / 2.0), picture);
    }
    x += kFlagSide + kSpacing;
    painter->fillRect(QRectF(x, middle - kDividerHeight / 2.0, 1, kDividerHeight),
                      SheetStyle::withAlpha(SheetStyle::gray, 0.3));
    x += 1 + kSpacing;

    const int width = namesWidth(option.rect.width(), selected);
    const int countryHeight = textHeight(true, region.country_name, width);
    const int cityHeight = textHeight(false, region.city, width);
    const qreal top = middle - (countryHeight + kNamesSpacing + cityHeight) / 2.0;
    const QColor text = option.palette.color(QPalette::WindowText);
    painter->setFont(m_countryFont);
    painter->setPen(text);
    painter->drawText(QRectF(x, top, width, countryHeight), Qt::TextWordWrap | Qt::AlignLeft | Qt::AlignTop,
                      region.country_name);
    painter->setFont(m_cityFont);
    painter->setPen(SheetStyle::withAlpha(text, 0.6));
    painter->drawText(QRectF(x, top + countryHeight + kNamesSpacing, width, cityHeight),
                      Qt::TextWordWrap | Qt::AlignLeft | Qt::AlignTop, region.city);

    if (selected) {
        painter->drawPixmap(QPointF(shape.right() - kPaddingHorizontal - kCheckSide, middle - kCheckSide / 2.0),
                            checkMark(ratio));
    }
    painter->restore();
}

}  // namespace tandrel
