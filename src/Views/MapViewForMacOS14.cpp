#include "Views/MapViewForMacOS14.h"

#include "Controllers/TandrelController.h"
#include "Views/WorldMap.h"

#include <QTimer>
#include <QVBoxLayout>

namespace tandrel {

namespace {
const QColor kCurrentTint(0x34, 0xC7, 0x59);
const QColor kOtherTint(0x8E, 0x8E, 0x93);
}  // namespace

MapViewForMacOS14::MapViewForMacOS14(TandrelController& ctrl, QWidget* parent)
    : QWidget(parent), m_ctrl(&ctrl), m_map(new WorldMap(this))
{
    setObjectName(QStringLiteral("mapViewForMacOS14"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_map);
    m_map->setCamera(initialPosition);
    connect(&ctrl, &ObservableObject::objectWillChange, this, &MapViewForMacOS14::scheduleRedraw);
    redraw();
}

MapViewForMacOS14::~MapViewForMacOS14() = default;

void MapViewForMacOS14::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    // Follows from the first showing on; the first delivery is the value held then.
    if (!m_subscribed && m_ctrl) {
        m_subscribed = true;
        m_currentRegionSubscription =
            m_ctrl->currentRegion.sink([this](const std::optional<qint64>& regionId) { follow(regionId); });
    }
}

void MapViewForMacOS14::scheduleRedraw()
{
    if (m_redrawScheduled) {
        return;
    }
    m_redrawScheduled = true;
    // The controller announces a change before it stores the value: read it a turn later.
    QTimer::singleShot(0, this, [this] {
        m_redrawScheduled = false;
        redraw();
    });
}

void MapViewForMacOS14::redraw()
{
    if (!m_ctrl) {
        return;
    }
    const std::optional<qint64> current = m_ctrl->currentRegion();
    std::vector<MapMarker> markers;
    for (const VPNRegion& region : m_ctrl->regions()) {
        const bool isCurrent = current == region.id;
        markers.push_back({{region.location.latitude, region.location.longitude},
                           region.city,
                           isCurrent ? QStringLiteral("checkmark.shield.fill") : QString(),
                           isCurrent ? kCurrentTint : kOtherTint,
                           region.id});
    }
    m_map->setMarkers(std::move(markers));
}

void MapViewForMacOS14::follow(const std::optional<qint64>& regionId)
{
    if (!regionId || !m_ctrl) {
        return;
    }
    const std::optional<VPNRegion> region = m_ctrl->regionById(*regionId);
    if (!region) {
        return;
    }
    const MapCoordinate coordinate{region->location.latitude, region->location.longitude};
    if (!coordinate.isValid()) {
        return;
    }
    m_map->setCamera({coordinate, regionSpan}, true);
    m_map->setSelection(*regionId);
}

}  // namespace tandrel
