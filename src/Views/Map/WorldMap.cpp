#include "Views/Map/WorldMap.h"

#include "Views/Kit/Assets.h"

#include <QCoreApplication>
#include <QImage>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QResizeEvent>
#include <QTimer>
#include <QVariantAnimation>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace tandrel {

namespace {
const QColor kOcean(0xA9, 0xCF, 0xEE);
const QColor kLand(0xF4, 0xF1, 0xEA);
const QColor kCoast(0xB9, 0xC4, 0xCC);
const QColor kTitle(0x1F, 0x1F, 0x22);

constexpr int kMoveDurationMs = 350;  // the length of a default animation
constexpr double kBalloonRadius = 11;
constexpr double kSelectedBalloonRadius = 15;
constexpr double kWheelStepFactor = 1.4142135623730951;  // two notches double the zoom
constexpr int kDragThreshold = 4;
// Below this many pixels for the world's width the coarser land shows no less.
constexpr double kOverviewScale = 3000;

constexpr double kHitTolerance = 2;
// Labels are kept apart on a grid of cells this size: a title is checked only against
// the titles in the cells it covers.
constexpr int kLabelCellWidth = 64;
constexpr int kLabelCellHeight = 16;
// Titles cannot overlap, so a view holds a few hundred at most: room for those.
constexpr qint64 kTitleCacheBytes = 4 << 20;
// Distinct titles kept with their widths across lists, before the table starts over.
constexpr int kKeptTitles = 1 << 16;
// How long the view's size must hold before the land is drawn for it again.
constexpr int kResizeSettleMs = 120;

double balloonRadius(bool selected)
{
    return selected ? kSelectedBalloonRadius : kBalloonRadius;
}

// The balloon's centre stands above the tip by its radius and a short stem.
QPointF balloonCenter(QPointF tip, double radius)
{
    return tip - QPointF(0, radius * 1.6);
}

QPainterPath makeBalloonPath(double radius)
{
    const QPointF tip(0, 0);
    const QPointF center = balloonCenter(tip, radius);
    QPainterPath circle;
    circle.addEllipse(center, radius, radius);
    QPainterPath stem;
    stem.moveTo(center + QPointF(-radius * 0.62, radius * 0.75));
    stem.lineTo(tip);
    stem.lineTo(center + QPointF(radius * 0.62, radius * 0.75));
    stem.closeSubpath();
    return circle.united(stem);
}

// The balloon with its tip at the origin: built once per size and moved to each marker.
struct BalloonShape {
    QPainterPath path;
    QPainterPath hitPath;  // a little larger, so a click on the edge counts
    QRectF hitBounds;
};

const BalloonShape& balloonShape(bool selected)
{
    static const auto build = [](double radius) {
        BalloonShape shape;
        shape.path = makeBalloonPath(radius);
        QPainterPathStroker widen;
        widen.setWidth(2 * kHitTolerance);
        widen.setJoinStyle(Qt::RoundJoin);
        shape.hitPath = shape.path.united(widen.createStroke(shape.path)).simplified();
        shape.hitBounds = shape.hitPath.boundingRect();
        return shape;
    };
    static const BalloonShape plain = build(kBalloonRadius);
    static const BalloonShape large = build(kSelectedBalloonRadius);
    return selected ? large : plain;
}

// The titles already placed, filed by the grid cells they cover, so a new title is tested
// only against its neighbours.
class TitleGrid {
public:
    explicit TitleGrid(const QSizeF& size)
        : m_columns(static_cast<int>(size.width()) / kLabelCellWidth + 3),
          m_rows(static_cast<int>(size.height()) / kLabelCellHeight + 6),
          m_cells(static_cast<std::size_t>(m_columns * m_rows))
    {
    }

    // Whether `box` overlaps no title placed so far; if so, `claimed` (the box with its
    // margin) is placed.
    bool claim(const QRectF& box, const QRectF& claimed)
    {
        int left = 0, top = 0, right = 0, bottom = 0;
        cellRange(claimed, left, top, right, bottom);
        for (int row = top; row <= bottom; ++row) {
            for (int column = left; column <= right; ++column) {
                for (const QRectF& other : cell(row, column)) {
                    if (other.intersects(box)) {
                        return false;
                    }
                }
            }
        }
        for (int row = top; row <= bottom; ++row) {
            for (int column = left; column <= right; ++column) {
                cell(row, column).push_back(claimed);
            }
        }
        return true;
    }

private:
    void cellRange(const QRectF& box, int& left, int& top, int& right, int& bottom) const
    {
        // The grid starts one cell left of and a few above the view, where titles may reach.
        left = std::clamp(static_cast<int>(std::floor(box.left() / kLabelCellWidth)) + 1, 0, m_columns - 1);
        right = std::clamp(static_cast<int>(std::floor(box.right() / kLabelCellWidth)) + 1, 0, m_columns - 1);
        top = std::clamp(static_cast<int>(std::floor(box.top() / kLabelCellHeight)) + 1, 0, m_rows - 1);
        bottom = std::clamp(static_cast<int>(std::floor(box.bottom() / kLabelCellHeight)) + 1, 0, m_rows - 1);
    }
    std::vector<QRectF>& cell(int row, int column)
    {
        return m_cells[static_cast<std::size_t>(row * m_columns + column)];
    }

    int m_columns;
    int m_rows;
    std::vector<std::vector<QRectF>> m_cells;
};

// The title with a white halo, 3 pixels of room around the text. Drawn on an image that
// goes away with its painter's buffers: only the pixels are kept.
QImage titleWithHalo(const QString& title, const QFont& font, const QFontMetricsF& metrics, double width, qreal ratio)
{
    const QSizeF pictureSize(width + 6, metrics.height() + 6);
    QImage image((pictureSize * ratio).toSize(), QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(ratio);
    image.fill(Qt::transparent);
    QPainter text(&image);
    text.setFont(font);
    // The halo: the title in white, shifted a little every way round. (A stroked outline of
    // the text would leave the raster engine holding a cached outline per glyph drawn.)
    const QPointF baseline(3, 3 + metrics.ascent());
    text.setPen(QColor(255, 255, 255, 220));
    for (const QPointF shift : {QPointF(-1.5, 0), QPointF(1.5, 0), QPointF(0, -1.5), QPointF(0, 1.5), QPointF(-1, -1),
                                QPointF(1, -1), QPointF(-1, 1), QPointF(1, 1)}) {
        text.drawText(baseline + shift, title);
    }
    text.setPen(kTitle);
    text.drawText(baseline, title);
    text.end();
    return image;
}

}  // namespace

WorldMap::WorldMap(QWidget* parent)
    : QWidget(parent),
      m_land(LandShapes::world()),
      m_overviewLand(LandShapes::world(LandShapes::Detail::overview)),
      m_titlePictures(kTitleCacheBytes),
      m_titleMetrics(QFont()),
      m_selectedTitleMetrics(QFont()),
      m_animation(new QVariantAnimation(this))
{
    m_resizeSettle = new QTimer(this);
    m_resizeSettle->setSingleShot(true);
    m_resizeSettle->setInterval(kResizeSettleMs);
    connect(m_resizeSettle, &QTimer::timeout, this, &WorldMap::endResize);
    m_titleFont.setPixelSize(11);
    m_selectedTitleFont = m_titleFont;
    m_selectedTitleFont.setBold(true);
    m_titleMetrics = QFontMetricsF(m_titleFont);
    m_selectedTitleMetrics = QFontMetricsF(m_selectedTitleFont);
    setObjectName(QStringLiteral("worldMap"));
    setAccessibleName(QCoreApplication::translate("MapView", "Map"));
    setCursor(Qt::OpenHandCursor);
    setMouseTracking(true);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);

    m_animation->setStartValue(0.0);
    m_animation->setEndValue(1.0);
    m_animation->setDuration(kMoveDurationMs);
    m_animation->setEasingCurve(QEasingCurve::InOutCubic);
    connect(m_animation, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        m_viewport = m_animationStart.interpolated(m_animationTarget, value.toDouble());
        update();
    });
    connect(m_animation, &QVariantAnimation::finished, this, [this] {
        m_viewport = m_animationTarget;
        update();
    });
    m_viewport = MapViewport::fitting(m_camera, viewSize());
}

WorldMap::~WorldMap() = default;

QSizeF WorldMap::viewSize() const
{
    return QSizeF(size());
}

void WorldMap::setCamera(const MapCoordinateRegion& region, bool animated)
{
    m_camera = region;
    m_cameraFollowsRegion = true;
    const MapViewport target = MapViewport::fitting(region, viewSize());
    stopAnimation();
    if (animated && isVisible()) {
        m_animationStart = m_viewport;
        m_animationTarget = target;
        m_animation->start();
    } else {
        m_viewport = target;
        update();
    }
}

bool WorldMap::isAnimating() const
{
    return m_animation->state() == QAbstractAnimation::Running;
}

void WorldMap::stopAnimation()
{
    // The map stays where it is drawn: a gesture takes over from there.
    m_animation->stop();
}

void WorldMap::setMarkers(std::vector<MapMarker> markers)
{
    if (markers != m_markers) {
        m_markers = std::move(markers);
        m_worldPoints.clear();
        m_worldPoints.reserve(m_markers.size());
        for (const MapMarker& marker : m_markers) {
            QPointF world = Mercator::project(marker.coordinate);
            // Into the first repetition of the world: far out, whole steps of one are lost
            // in the rounding. A longitude that is no number stays one and places nothing.
            world.setX(world.x() - std::floor(world.x()));
            m_worldPoints.push_back(world);
        }
        fileMarkers();
        ++m_markersGeneration;
        update();
    }
}

void WorldMap::fileMarkers()
{
    if (m_titles.size() > static_cast<std::size_t>(kKeptTitles)) {
        m_titles.clear();
        m_titleIndex.clear();
        m_titlePictures.clear();
    }
    m_titleOfMarker.clear();
    m_titleOfMarker.reserve(m_markers.size());
    m_lookOfMarker.clear();
    m_lookOfMarker.reserve(m_markers.size());
    for (const MapMarker& marker : m_markers) {
        auto title = m_titleIndex.constFind(marker.title);
        if (title == m_titleIndex.constEnd()) {
            title = m_titleIndex.insert(marker.title, static_cast<int>(m_titles.size()));
            m_titles.push_back({marker.title, {std::nan(""), std::nan("")}});
        }
        m_titleOfMarker.push_back(*title);

        // A list has a look or two: a short search finds each.
        const QRgb tint = (marker.tint.isValid() ? marker.tint : QColor(Qt::red)).rgba();
        const auto look = std::find_if(m_looks.begin(), m_looks.end(), [&](const MarkerLook& each) {
            return each.tint == tint && each.systemSymbol == marker.systemSymbol;
        });
        if (look == m_looks.end()) {
            m_lookOfMarker.push_back(static_cast<int>(m_looks.size()));
            m_looks.push_back({tint, marker.systemSymbol, {}, {}});
        } else {
            m_lookOfMarker.push_back(static_cast<int>(look - m_looks.begin()));
        }
    }
}

void WorldMap::setSelection(std::optional<qint64> tag)
{
    if (tag != m_selection) {
        m_selection = tag;
        update();
    }
}

void WorldMap::setSelectionEnabled(bool enabled)
{
    m_selectionEnabled = enabled;
    if (!enabled) {
        setSelection(std::nullopt);
    }
}

void WorldMap::setLandShapes(std::shared_ptr<const LandShapes> land, std::shared_ptr<const LandShapes> overview)
{
    m_land = std::move(land);
    m_overviewLand = std::move(overview);
    ++m_landGeneration;
    update();
}

QPointF WorldMap::screenPosition(MapCoordinate coordinate) const
{
    QPointF world = Mercator::project(coordinate);
    world.rx() += std::round(m_viewport.center.x() - world.x());
    return m_viewport.toScreen(world, viewSize());
}

const std::vector<WorldMap::PlacedMarker>& WorldMap::placedMarkers() const
{
    const QSizeF size = viewSize();
    const PlacementKey key{m_viewport, size, m_selection, m_markersGeneration};
    if (m_placedFor == key) {
        return m_placed;
    }
    m_placedFor = key;
    m_placed.clear();
    const QRectF visible = QRectF(QPointF(0, 0), size).adjusted(-40, -10, 40, 60);
    const double left = m_viewport.toWorld({visible.left(), 0}, size).x();
    const double right = m_viewport.toWorld({visible.right(), 0}, size).x();
    std::vector<PlacedMarker> selected;
    std::vector<PlacedMarker> raised;
    for (std::size_t index = 0; index < m_markers.size(); ++index) {
        const MapMarker& marker = m_markers[index];
        const QPointF world = m_worldPoints[index];
        const bool isSelected = m_selection == marker.tag;
        std::vector<PlacedMarker>& layer = marker.raised ? raised : isSelected ? selected : m_placed;
        // One copy per repetition of the world that is in view.
        for (double copy = std::floor(left - world.x()); world.x() + copy <= right; copy += 1) {
            const QPointF tip = m_viewport.toScreen(world + QPointF(copy, 0), size);
            if (visible.contains(tip)) {
                layer.push_back({&marker, tip, isSelected});
            }
        }
    }
    // The selected marker over its neighbours, and the current region's over them all.
    m_placed.insert(m_placed.end(), selected.begin(), selected.end());
    m_placed.insert(m_placed.end(), raised.begin(), raised.end());
    return m_placed;
}

std::optional<qint64> WorldMap::markerAt(QPointF point) const
{
    const auto& placed = placedMarkers();
    for (auto it = placed.rbegin(); it != placed.rend(); ++it) {
        const BalloonShape& shape = balloonShape(it->selected);
        const QPointF local = point - it->tip;
        if (shape.hitBounds.contains(local) && shape.hitPath.contains(local)) {
            return it->marker->tag;
        }
    }
    return std::nullopt;
}

void WorldMap::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    paintLand(painter);
    const auto& placed = placedMarkers();
    for (const PlacedMarker& entry : placed) {
        QPointF anchor;
        const QPixmap& picture =
            markerPicture(static_cast<std::size_t>(entry.marker - m_markers.data()), entry.selected, anchor);
        // Whole pixels: the picture is drawn as it was rendered, sharp and without filtering.
        painter.drawPixmap(QPointF(std::round(entry.tip.x()), std::round(entry.tip.y())) - anchor, picture);
    }
    paintTitles(painter, placed);
}

void WorldMap::paintLand(QPainter& painter) const
{
    const QSizeF size = viewSize();
    const qreal ratio = devicePixelRatioF();
    // The land is drawn again only when the view moved: a repaint for the markers alone
    // reuses the picture.
    const PlacementKey key{m_viewport, size * ratio, std::nullopt, m_landGeneration};
    if (m_resizing && m_landFor && m_landFor != key && !m_landPicture.isNull() &&
        m_landFor->markersGeneration == m_landGeneration) {
        // The last land, moved and scaled so that its places stand where this view has them.
        const MapViewport& drawn = m_landFor->viewport;
        const QSizeF drawnSize = m_landFor->size / ratio;
        const double factor = m_viewport.scale / drawn.scale;
        const QPointF origin = m_viewport.toScreen(drawn.toWorld({0, 0}, drawnSize), size);
        painter.fillRect(QRectF(QPointF(0, 0), size), kOcean);
        painter.save();
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.translate(origin);
        painter.scale(factor, factor);
        painter.drawPixmap(0, 0, m_landPicture);
        painter.restore();
        return;
    }
    if (m_landFor != key || m_landPicture.isNull()) {
        m_landFor = key;
        m_landPicture = QPixmap((size * ratio).toSize().expandedTo({1, 1}));
        m_landPicture.setDevicePixelRatio(ratio);
        m_landPicture.fill(kOcean);
        QPainter land(&m_landPicture);
        land.setRenderHint(QPainter::Antialiasing);
        if (m_land) {
            const LandShapes& shapes = m_overviewLand && m_viewport.scale < kOverviewScale ? *m_overviewLand : *m_land;
            const QRectF visible(m_viewport.toWorld({0, 0}, size),
                                 m_viewport.toWorld({size.width(), size.height()}, size));
            QPen coast(kCoast, 0.8);
            coast.setCosmetic(true);
            land.setPen(coast);
            land.setBrush(kLand);
            // A ring may run on east of its world's edge: the copy to the west can reach into view.
            for (double copy = std::floor(visible.left()) - 1; copy <= visible.right(); copy += 1) {
                const QPointF origin = m_viewport.toScreen({copy, 0}, size);
                QTransform transform;
                transform.translate(origin.x(), origin.y());
                transform.scale(m_viewport.scale, m_viewport.scale);
                land.setTransform(transform);
                const QRectF inCopy = visible.translated(-copy, 0);
                for (const LandShapes::Piece& piece : shapes.mercatorPieces()) {
                    if (piece.bounds.intersects(inCopy)) {
                        land.drawPath(piece.path);
                    }
                }
            }
        } else {
            QFont font = land.font();
            font.setPixelSize(13);
            land.setFont(font);
            land.setPen(QColor(0x3A, 0x55, 0x70));
            land.drawText(QRectF(0, 12, size.width(), 24), Qt::AlignCenter,
                          QCoreApplication::translate("MapView", "No map data"));
        }
    }
    painter.drawPixmap(0, 0, m_landPicture);
}

void WorldMap::paintTitles(QPainter& painter, const std::vector<PlacedMarker>& placed) const
{
    // Titles go below their markers; where two would overlap, the one placed first (the
    // current region's, the selected marker's, then list order) keeps its place and the
    // other is left out.
    std::vector<const PlacedMarker*> order;
    order.reserve(placed.size());
    for (auto it = placed.rbegin(); it != placed.rend() && (it->marker->raised || it->selected); ++it) {
        order.push_back(&*it);
    }
    for (const PlacedMarker& entry : placed) {
        if (!entry.marker->raised && !entry.selected) {
            order.push_back(&entry);
        }
    }

    TitleGrid grid(viewSize());
    const qreal ratio = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
    for (const PlacedMarker* entry : order) {
        const int title = m_titleOfMarker[static_cast<std::size_t>(entry->marker - m_markers.data())];
        if (m_titles[static_cast<std::size_t>(title)].text.isEmpty()) {
            continue;
        }
        const bool bold = entry->selected;
        // Measured once; shaped and drawn only when the grid has room for it.
        const double width = titleWidth(title, bold);
        const double height = (bold ? m_selectedTitleMetrics : m_titleMetrics).height();
        const QRectF box(entry->tip.x() - width / 2, entry->tip.y() + 3, width, height);
        if (!grid.claim(box, box.adjusted(-3, -1, 3, 1))) {
            continue;
        }
        if (const QPixmap* picture = titlePicture(title, bold, width, ratio)) {
            painter.drawPixmap(QPointF(std::round(box.left() - 3), std::round(box.top() - 3)), *picture);
        }
    }
}

double WorldMap::titleWidth(int title, bool bold) const
{
    double& width = m_titles[static_cast<std::size_t>(title)].widths[bold ? 1 : 0];
    if (std::isnan(width)) {
        width = (bold ? m_selectedTitleMetrics : m_titleMetrics)
                    .horizontalAdvance(m_titles[static_cast<std::size_t>(title)].text);
    }
    return width;
}

const QPixmap* WorldMap::titlePicture(int title, bool bold, double width, qreal ratio) const
{
    if (ratio != m_titlesRatio) {
        m_titlesRatio = ratio;
        m_titlePictures.clear();
    }
    const quint64 key = static_cast<quint64>(title) << 1 | (bold ? 1 : 0);
    if (QPixmap* picture = m_titlePictures.object(key)) {
        return picture;
    }
    auto* rendered = new QPixmap(QPixmap::fromImage(
        titleWithHalo(m_titles[static_cast<std::size_t>(title)].text, bold ? m_selectedTitleFont : m_titleFont,
                      bold ? m_selectedTitleMetrics : m_titleMetrics, width, ratio)));
    const qint64 cost = static_cast<qint64>(rendered->width()) * rendered->height() * 4;
    m_titlePictures.insert(key, rendered, cost);
    return m_titlePictures.object(key);
}

const QPixmap& WorldMap::markerPicture(std::size_t index, bool selected, QPointF& anchor) const
{
    const qreal ratio = devicePixelRatioF();
    if (ratio != m_looksRatio) {
        m_looksRatio = ratio;
        for (MarkerLook& look : m_looks) {
            look.pictures[0] = look.pictures[1] = QPixmap();
        }
    }
    MarkerLook& look = m_looks[static_cast<std::size_t>(m_lookOfMarker[index])];
    QPixmap& pixmap = look.pictures[selected ? 1 : 0];
    if (pixmap.isNull()) {
        const QColor tint = QColor::fromRgba(look.tint);
        const double radius = balloonRadius(selected);
        const BalloonShape& shape = balloonShape(selected);
        // Room for the outline and the shadow below.
        const QRectF bounds = QRectF(shape.path.boundingRect().adjusted(-2, -2, 2, 4).toAlignedRect());
        const QPointF tipInPicture = -bounds.topLeft();
        QImage image((bounds.size() * ratio).toSize(), QImage::Format_ARGB32_Premultiplied);
        image.setDevicePixelRatio(ratio);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.translate(tipInPicture);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(0, 0, 0, 45));
        painter.drawPath(shape.path.translated(0, 1.5));
        painter.setPen(QPen(Qt::white, 1.5));
        painter.setBrush(tint);
        painter.drawPath(shape.path);
        const QPointF center = balloonCenter({0, 0}, radius);
        bool drewSymbol = false;
        if (!look.systemSymbol.isEmpty()) {
            const QIcon symbol = Assets::systemSymbol(look.systemSymbol, Qt::white);
            const double side = radius * 1.25;
            if (!symbol.isNull()) {
                symbol.paint(&painter,
                             QRectF(center - QPointF(side / 2, side / 2), QSizeF(side, side)).toAlignedRect());
                drewSymbol = true;
            }
        }
        if (!drewSymbol) {
            painter.setPen(Qt::NoPen);
            painter.setBrush(Qt::white);
            painter.drawEllipse(center, radius * 0.32, radius * 0.32);
        }
        painter.end();
        pixmap = QPixmap::fromImage(std::move(image));
        look.anchors[selected ? 1 : 0] = tipInPicture;
    }
    anchor = look.anchors[selected ? 1 : 0];
    return pixmap;
}

void WorldMap::resizeEvent(QResizeEvent* event)
{
    // A shown map stretches its land while the size keeps changing (the first size of all
    // is drawn at once).
    if (isVisible() && !event->oldSize().isEmpty()) {
        m_resizing = true;
        m_resizeSettle->start();
    }
    if (m_cameraFollowsRegion) {
        const MapViewport target = MapViewport::fitting(m_camera, viewSize());
        if (isAnimating()) {
            m_animationTarget = target;
        } else {
            m_viewport = target;
        }
    } else {
        m_viewport = m_viewport.clamped(viewSize());
    }
}

void WorldMap::endResize()
{
    m_resizing = false;
    update();
}

void WorldMap::showUserViewport(const MapViewport& viewport)
{
    stopAnimation();
    m_viewport = viewport.clamped(viewSize());
    m_camera = m_viewport.region(viewSize());
    m_cameraFollowsRegion = false;
    update();
}

void WorldMap::zoomAround(QPointF anchor, double factor)
{
    stopAnimation();
    const QSizeF size = viewSize();
    const QPointF world = m_viewport.toWorld(anchor, size);
    MapViewport zoomed = m_viewport;
    zoomed.scale = std::clamp(m_viewport.scale * factor, MapViewport::minimumScale(size), MapViewport::maximumScale);
    // Keep the point under the pointer where it is.
    zoomed.center = world - (anchor - QPointF(size.width() / 2, size.height() / 2)) / zoomed.scale;
    showUserViewport(zoomed);
}

void WorldMap::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    m_pressPosition = event->position();
    m_lastDragPosition = event->position();
    m_dragging = false;
}

void WorldMap::mouseMoveEvent(QMouseEvent* event)
{
    if (!m_pressPosition || !(event->buttons() & Qt::LeftButton)) {
        // A marker that a click would select shows it by the pointer.
        const bool overMarker = m_selectionEnabled && markerAt(event->position());
        setCursor(overMarker ? Qt::PointingHandCursor : Qt::OpenHandCursor);
        return;
    }
    if (!m_dragging && (event->position() - *m_pressPosition).manhattanLength() < kDragThreshold) {
        return;
    }
    if (!m_dragging) {
        m_dragging = true;
        setCursor(Qt::ClosedHandCursor);
    }
    MapViewport moved = m_viewport;
    moved.center -= (event->position() - m_lastDragPosition) / m_viewport.scale;
    m_lastDragPosition = event->position();
    showUserViewport(moved);
}

void WorldMap::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton || !m_pressPosition) {
        QWidget::mouseReleaseEvent(event);
        return;
    }
    const bool click = !m_dragging;
    m_pressPosition.reset();
    m_dragging = false;
    setCursor(Qt::OpenHandCursor);
    if (click && m_selectionEnabled) {
        const std::optional<qint64> tag = markerAt(event->position());
        setSelection(tag);
    }
}

void WorldMap::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && !markerAt(event->position())) {
        zoomAround(event->position(), 2.0);
    }
}

void WorldMap::wheelEvent(QWheelEvent* event)
{
    const double notches = event->angleDelta().y() / 120.0;
    if (notches != 0) {
        zoomAround(event->position(), std::pow(kWheelStepFactor, notches));
    }
    event->accept();
}

}  // namespace tandrel
