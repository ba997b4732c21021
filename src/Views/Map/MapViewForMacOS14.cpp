#include "Views/Map/MapViewForMacOS14.h"

#include "Views/Map/WorldMap.h"

namespace tandrel {

MapViewForMacOS14::MapViewForMacOS14(TandrelController& ctrl, QWidget* parent) : RegionMap(ctrl, parent)
{
    setObjectName(QStringLiteral("mapViewForMacOS14"));
    map()->setCamera(initialPosition);
    redraw();
}

MapMarker MapViewForMacOS14::markerFor(const VPNRegion& region, bool isCurrent) const
{
    return {{region.location.latitude, region.location.longitude},
            region.city,
            isCurrent ? QStringLiteral("checkmark.shield.fill") : QString(),
            isCurrent ? currentTint : otherTint,
            region.id};
}

void MapViewForMacOS14::moveTo(qint64 regionId, MapCoordinate coordinate)
{
    // One transaction: the camera glides and the highlight moves with it.
    map()->setCamera({coordinate, regionSpan}, true);
    map()->setSelection(regionId);
}

}  // namespace tandrel
