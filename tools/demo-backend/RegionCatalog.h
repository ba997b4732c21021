#pragma once

#include <QtGlobal>

#include <nlohmann/json.hpp>

namespace tandrel::demo {

// The stand-in service's servers: real cities at their true coordinates, with distances
// in kilometres from a fixed user location (Leipzig). A few regions carry no distance,
// one a null distance; the closest three are marked nearest. Loads come from the seed.
class RegionCatalog {
public:
    static constexpr double kUserLatitude = 51.3397;
    static constexpr double kUserLongitude = 12.3731;
    static constexpr int kNearestCount = 3;

    // The regions answer for this seed: a JSON array of region objects, ordered by id.
    static nlohmann::json regionsFor(quint32 seed);
    // Great-circle distance in whole kilometres.
    static qint64 distanceKm(double latitudeA, double longitudeA, double latitudeB, double longitudeB);
};

}  // namespace tandrel::demo
