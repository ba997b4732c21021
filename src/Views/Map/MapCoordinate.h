#pragma once

#include <QPointF>

namespace tandrel {

// A point on the earth in degrees, as the map takes it.
struct MapCoordinate {
    double latitude = 0;
    double longitude = 0;

    // Latitude within -90…90 and longitude within -180…180 (both ends included), and
    // neither of them NaN: the only coordinates the map will move to.
    bool isValid() const;

    bool operator==(const MapCoordinate&) const = default;
};

// The extent of a coordinate region, in degrees.
struct MapCoordinateSpan {
    double latitudeDelta = 0;
    double longitudeDelta = 0;

    bool operator==(const MapCoordinateSpan&) const = default;
};

// What the camera shows: a centre and the extent around it.
struct MapCoordinateRegion {
    MapCoordinate center;
    MapCoordinateSpan span;

    // The region around `center` that covers the given distances on the ground, north to
    // south and east to west, on a spherical earth; each delta stops at the whole globe
    // (180 degrees of latitude, 360 of longitude), which also covers the poles.
    static MapCoordinateRegion withDistances(MapCoordinate center, double latitudinalMetres, double longitudinalMetres);

    bool operator==(const MapCoordinateRegion&) const = default;
};

// Web Mercator on the unit square: x runs east from longitude -180 (0) to 180 (1), y runs
// south from the projection's northern limit (0) to its southern one (1). Latitudes beyond
// ±maximumLatitude are drawn at the limit.
namespace Mercator {
inline constexpr double maximumLatitude = 85.0511287798066;

QPointF project(MapCoordinate coordinate);
// The inverse of project(); x outside 0…1 wraps round to longitudes within -180…180.
MapCoordinate unproject(QPointF point);
}  // namespace Mercator

}  // namespace tandrel
