#pragma once

#include "Views/Map/RegionMap.h"

namespace tandrel {

// The region map with a bound coordinate region and plain markers: no titles, no symbols,
// no selection; the current region's marker green. It follows the current region like the
// camera form, but sets its region on a later turn of the main queue, without animation.
class MapViewLegacy : public RegionMap {
    Q_OBJECT
public:
    // The first region: 20,000 km each way around latitude 54, longitude 15.
    static MapCoordinateRegion initialRegion();
    // The region around the current region's coordinate: 10,000 km each way.
    static MapCoordinateRegion regionAround(MapCoordinate coordinate);

    explicit MapViewLegacy(TandrelController& ctrl, QWidget* parent = nullptr);

protected:
    MapMarker markerFor(const VPNRegion& region, bool isCurrent) const override;
    void moveTo(qint64 regionId, MapCoordinate coordinate) override;
};

}  // namespace tandrel
