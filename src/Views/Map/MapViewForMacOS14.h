#pragma once

#include "Views/Map/RegionMap.h"

namespace tandrel {

// The region map with a camera and marker selection: markers titled with the city, the
// current region's green with a shield, and the camera gliding to the current region
// whenever the controller publishes one. A click on a marker highlights it on the map
// only: the controller's selection stays as it is.
class MapViewForMacOS14 : public RegionMap {
    Q_OBJECT
public:
    // The first camera: most of the world, centred over Europe.
    static constexpr MapCoordinateRegion initialPosition{{54.0, 15.0}, {180.0, 360.0}};
    // The camera around the current region.
    static constexpr MapCoordinateSpan regionSpan{20.0, 40.0};

    explicit MapViewForMacOS14(TandrelController& ctrl, QWidget* parent = nullptr);

protected:
    MapMarker markerFor(const VPNRegion& region, bool isCurrent) const override;
    void moveTo(qint64 regionId, MapCoordinate coordinate) override;
};

}  // namespace tandrel
