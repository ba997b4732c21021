#include "Views/Map/MapViewLegacy.h"

#include "Platform/MainQueue.h"
#include "Views/Map/WorldMap.h"

namespace tandrel {

MapCoordinateRegion MapViewLegacy::initialRegion()
{
    return MapCoordinateRegion::withDistances({54.0, 15.0}, 20'000'000, 20'000'000);
}

MapCoordinateRegion MapViewLegacy::regionAround(MapCoordinate coordinate)
{
    return MapCoordinateRegion::withDistances(coordinate, 10'000'000, 10'000'000);
}

MapViewLegacy::MapViewLegacy(TandrelController& ctrl, QWidget* parent) : RegionMap(ctrl, parent)
{
    setObjectName(QStringLiteral("mapViewLegacy"));
    map()->setSelectionEnabled(false);
    map()->setCamera(initialRegion());
    redraw();
}

MapMarker MapViewLegacy::markerFor(const VPNRegion& region, bool isCurrent) const
{
    return {
        {region.location.latitude, region.location.longitude}, {}, {}, isCurrent ? currentTint : otherTint, region.id};
}

void MapViewLegacy::moveTo(qint64, MapCoordinate coordinate)
{
    QPointer<MapViewLegacy> self(this);
    MainQueue::async([self, coordinate] {
        if (self) {
            self->map()->setCamera(regionAround(coordinate));
        }
    });
}

}  // namespace tandrel
