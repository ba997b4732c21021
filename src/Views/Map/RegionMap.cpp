#include "Views/Map/RegionMap.h"

#include "Controllers/TandrelController.h"
#include "Views/Map/WorldMap.h"

#include <QTimer>
#include <QVBoxLayout>

namespace tandrel {

RegionMap::RegionMap(TandrelController& ctrl, QWidget* parent)
    : QWidget(parent), m_ctrl(&ctrl), m_map(new WorldMap(this))
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_map);
    connect(&ctrl, &ObservableObject::objectWillChange, this, &RegionMap::scheduleRedraw);
}

RegionMap::~RegionMap() = default;

void RegionMap::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (!m_subscribed && m_ctrl) {
        m_subscribed = true;
        m_currentRegionSubscription =
            m_ctrl->currentRegion.sink([this](const std::optional<qint64>& regionId) { follow(regionId); });
    }
}

void RegionMap::scheduleRedraw()
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

void RegionMap::redraw()
{
    if (!m_ctrl) {
        return;
    }
    const std::optional<qint64> current = m_ctrl->currentRegion();
    std::vector<MapMarker> markers;
    markers.reserve(m_ctrl->regions().size());
    for (const VPNRegion& region : m_ctrl->regions()) {
        MapMarker marker = markerFor(region, current == region.id);
        marker.raised = current == region.id;
        markers.push_back(std::move(marker));
    }
    m_map->setMarkers(std::move(markers));
}

void RegionMap::follow(const std::optional<qint64>& regionId)
{
    if (!regionId || !m_ctrl) {
        return;
    }
    const std::optional<VPNRegion> region = m_ctrl->regionById(*regionId);
    if (!region) {
        return;
    }
    const MapCoordinate coordinate{region->location.latitude, region->location.longitude};
    if (coordinate.isValid()) {
        moveTo(*regionId, coordinate);
    }
}

}  // namespace tandrel
