#include "Views/WorldMap.h"

#include "Views/Platform/Assets.h"

#include <QCoreApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
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

double balloonRadius(bool selected)
{
    return selected ? kSelectedBalloonRadius : kBalloonRadius;
}

// The balloon's centre stands above the tip by its radius and a short stem.
QPointF balloonCenter(QPointF tip, double radius)
{
    return tip - QPointF(0, radius * 1.6);
}

QPainterPath balloonPath(QPointF tip, double radius)
{
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
}  // namespace

struct WorldMap::PlacedMarker {
    const MapMarker* marker;
    QPointF tip;
    bool selected;
};

WorldMap::WorldMap(QWidget* parent)
    : QWidget(parent),
      m_land(LandShapes::world()),
      m_overviewLand(LandShapes::world(LandShapes::Detail::overview)),
      m_animation(new QVariantAnimation(this))
{
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
        update();
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
    update();
}

QPointF WorldMap::screenPosition(MapCoordinate coordinate) const
{
    QPointF world = Mercator::project(coordinate);
    world.rx() += std::round(m_viewport.center.x() - world.x());
    return m_viewport.toScreen(world, viewSize());
}

std::vector<WorldMap::PlacedMarker> WorldMap::placedMarkers() const
{
    const QSizeF size = viewSize();
    const QRectF visible = QRectF(QPointF(0, 0), size).adjusted(-40, -10, 40, 60);
    const double left = m_viewport.toWorld({visible.left(), 0}, size).x();
    const double right = m_viewport.toWorld({visible.right(), 0}, size).x();
    std::vector<PlacedMarker> placed;
    std::vector<PlacedMarker> selected;
    for (const MapMarker& marker : m_markers) {
        QPointF world = Mercator::project(marker.coordinate);
        // Into the first repetition of the world: far out, whole steps of one are lost in
        // the rounding and the loop below would never end. A longitude that is no number
        // stays one and places nothing.
        world.setX(world.x() - std::floor(world.x()));
        const bool isSelected = m_selection == marker.tag;
        // One copy per repetition of the world that is in view.
        for (double copy = std::floor(left - world.x()); world.x() + copy <= right; copy += 1) {
            const QPointF tip = m_viewport.toScreen(world + QPointF(copy, 0), size);
            if (visible.contains(tip)) {
                (isSelected ? selected : placed).push_back({&marker, tip, isSelected});
            }
        }
    }
    // The selected marker is drawn last, over its neighbours.
    placed.insert(placed.end(), selected.begin(), selected.end());
    return placed;
}

std::optional<qint64> WorldMap::markerAt(QPointF point) const
{
    const auto placed = placedMarkers();
    for (auto it = placed.rbegin(); it != placed.rend(); ++it) {
        const double radius = balloonRadius(it->selected);
        if (balloonPath(it->tip, radius).boundingRect().adjusted(-2, -2, 2, 2).contains(point)) {
            return it->marker->tag;
        }
    }
    return std::nullopt;
}

void WorldMap::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QSizeF size = viewSize();
    painter.fillRect(rect(), kOcean);

    if (m_land) {
        const LandShapes& land = m_overviewLand && m_viewport.scale < kOverviewScale ? *m_overviewLand : *m_land;
        const QRectF visible(m_viewport.toWorld({0, 0}, size), m_viewport.toWorld({size.width(), size.height()}, size));
        QPen coast(kCoast, 0.8);
        coast.setCosmetic(true);
        painter.setPen(coast);
        painter.setBrush(kLand);
        // A ring may run on east of its world's edge: the copy to the west can reach into view.
        for (double copy = std::floor(visible.left()) - 1; copy <= visible.right(); copy += 1) {
            const QPointF origin = m_viewport.toScreen({copy, 0}, size);
            QTransform transform;
            transform.translate(origin.x(), origin.y());
            transform.scale(m_viewport.scale, m_viewport.scale);
            painter.setTransform(transform);
            const QRectF inCopy = visible.translated(-copy, 0);
            for (const LandShapes::Piece& piece : land.mercatorPieces()) {
                if (piece.bounds.intersects(inCopy)) {
                    painter.drawPath(piece.path);
                }
            }
        }
        painter.resetTransform();
    } else {
        QFont font = painter.font();
        font.setPixelSize(13);
        painter.setFont(font);
        painter.setPen(QColor(0x3A, 0x55, 0x70));
        painter.drawText(QRectF(0, 12, size.width(), 24), Qt::AlignCenter,
                         QCoreApplication::translate("MapView", "No map data"));
    }

    const auto placed = placedMarkers();
    for (const PlacedMarker& entry : placed) {
        paintMarker(painter, *entry.marker, entry.tip, entry.selected);
    }

    // Titles go below their markers; where two would overlap, the one drawn first (the
    // selected marker's, then list order) keeps its place and the other is left out.
    std::vector<QRectF> taken;
    std::vector<const PlacedMarker*> order;
    for (auto it = placed.rbegin(); it != placed.rend() && it->selected; ++it) {
        order.push_back(&*it);
    }
    for (const PlacedMarker& entry : placed) {
        if (!entry.selected) {
            order.push_back(&entry);
        }
    }
    for (const PlacedMarker* entry : order) {
        if (entry->marker->title.isEmpty()) {
            continue;
        }
        QFont font = painter.font();
        font.setPixelSize(11);
        font.setBold(entry->selected);
        const QFontMetricsF metrics(font);
        const double width = metrics.horizontalAdvance(entry->marker->title);
        const QRectF box(entry->tip.x() - width / 2, entry->tip.y() + 3, width, metrics.height());
        if (std::any_of(taken.begin(), taken.end(), [&](const QRectF& other) { return other.intersects(box); })) {
            continue;
        }
        taken.push_back(box.adjusted(-3, -1, 3, 1));
        QPainterPath text;
        text.addText(box.left(), box.top() + metrics.ascent(), font, entry->marker->title);
        painter.setBrush(Qt::NoBrush);
        painter.setPen(QPen(QColor(255, 255, 255, 220), 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.drawPath(text);
        painter.setPen(Qt::NoPen);
        painter.setBrush(kTitle);
        painter.drawPath(text);
    }
}

void WorldMap::paintMarker(QPainter& painter, const MapMarker& marker, QPointF tip, bool selected) const
{
    const double radius = balloonRadius(selected);
    const QPainterPath balloon = balloonPath(tip, radius);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0, 0, 0, 45));
    painter.drawPath(balloon.translated(0, 1.5));
    painter.setPen(QPen(Qt::white, 1.5));
    painter.setBrush(marker.tint.isValid() ? marker.tint : QColor(Qt::red));
    painter.drawPath(balloon);

    const QPointF center = balloonCenter(tip, radius);
    if (!marker.systemSymbol.isEmpty()) {
        const QIcon symbol = Assets::systemSymbol(marker.systemSymbol, Qt::white);
        const double side = radius * 1.25;
        const QRectF box(center - QPointF(side / 2, side / 2), QSizeF(side, side));
        if (!symbol.isNull()) {
            symbol.paint(&painter, box.toAlignedRect());
            return;
        }
    }
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::white);
    painter.drawEllipse(center, radius * 0.32, radius * 0.32);
}

void WorldMap::resizeEvent(QResizeEvent*)
{
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
