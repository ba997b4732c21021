#include "Views/Map/MapCoordinate.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace tandrel {

namespace {
// Metres along one degree of a great circle on the spherical earth of Web Mercator.
constexpr double kEarthRadiusMetres = 6378137.0;
constexpr double kMetresPerDegree = kEarthRadiusMetres * std::numbers::pi / 180.0;

double radians(double degrees)
{
    return degrees * std::numbers::pi / 180.0;
}
double degrees(double radians)
{
    return radians * 180.0 / std::numbers::pi;
}
}  // namespace

bool MapCoordinate::isValid() const
{
    // Comparisons with NaN are false, so a NaN fails both ranges.
    return latitude >= -90.0 && latitude <= 90.0 && longitude >= -180.0 && longitude <= 180.0;
}

MapCoordinateRegion MapCoordinateRegion::withDistances(MapCoordinate center, double latitudinalMetres,
                                                       double longitudinalMetres)
{
    const double latitudeDelta = std::clamp(latitudinalMetres / kMetresPerDegree, 0.0, 180.0);
    // A degree of longitude shrinks with the cosine of the latitude; at the poles any
    // distance goes all the way round.
    const double parallel = kMetresPerDegree * std::cos(radians(center.latitude));
    const double longitudeDelta = parallel > 1e-9 ? std::clamp(longitudinalMetres / parallel, 0.0, 360.0)
                                                  : (longitudinalMetres > 0 ? 360.0 : 0.0);
    return {center, {latitudeDelta, longitudeDelta}};
}

namespace Mercator {

QPointF project(MapCoordinate coordinate)
{
    const double latitude = std::clamp(coordinate.latitude, -maximumLatitude, maximumLatitude);
    const double x = (coordinate.longitude + 180.0) / 360.0;
    const double y = 0.5 - std::log(std::tan(std::numbers::pi / 4 + radians(latitude) / 2)) / (2 * std::numbers::pi);
    return {x, y};
}

MapCoordinate unproject(QPointF point)
{
    double x = point.x() - std::floor(point.x());
    const double latitude = degrees(std::atan(std::sinh((0.5 - point.y()) * 2 * std::numbers::pi)));
    double longitude = x * 360.0 - 180.0;
    return {latitude, longitude};
}

}  // namespace Mercator

}  // namespace tandrel
