#include "RegionCatalog.h"

#include <QString>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <vector>

namespace tandrel::demo {

namespace {

enum class DistanceKnown { yes, missing, null };

struct Site {
    const char* city;
    const char* countryName;
    const char* countryCode;
    const char* shortName;  // also names the server
    const char* continent;
    double latitude;
    double longitude;
    DistanceKnown distance = DistanceKnown::yes;
};

// Listed in id order (ids start at 1). Several countries have more than one city, so
// the client's stable sort by country name has something to keep in order.
const Site kSites[] = {
    {"Frankfurt", "Germany", "DE", "de-fra", "Europe", 50.1109, 8.6821},
    {"New York", "United States", "US", "us-nyc", "North America", 40.7128, -74.0060},
    {"Amsterdam", "Netherlands", "NL", "nl-ams", "Europe", 52.3676, 4.9041},
    {"London", "United Kingdom", "GB", "gb-lon", "Europe", 51.5074, -0.1278},
    {"Tokyo", "Japan", "JP", "jp-tyo", "Asia", 35.6762, 139.6503},
    {"Berlin", "Germany", "DE", "de-ber", "Europe", 52.5200, 13.4050},
    {"Paris", "France", "FR", "fr-par", "Europe", 48.8566, 2.3522},
    {"Los Angeles", "United States", "US", "us-lax", "North America", 34.0522, -118.2437},
    {"Zurich", "Switzerland", "CH", "ch-zrh", "Europe", 47.3769, 8.5417},
    {"Vienna", "Austria", "AT", "at-vie", "Europe", 48.2082, 16.3738},
    {"Warsaw", "Poland", "PL", "pl-waw", "Europe", 52.2297, 21.0122},
    {"Prague", "Czechia", "CZ", "cz-prg", "Europe", 50.0755, 14.4378},
    {"Stockholm", "Sweden", "SE", "se-sto", "Europe", 59.3293, 18.0686},
    {"Oslo", "Norway", "NO", "no-osl", "Europe", 59.9139, 10.7522},
    {"Copenhagen", "Denmark", "DK", "dk-cph", "Europe", 55.6761, 12.5683},
    {"Helsinki", "Finland", "FI", "fi-hel", "Europe", 60.1699, 24.9384},
    {"Madrid", "Spain", "ES", "es-mad", "Europe", 40.4168, -3.7038},
    {"Barcelona", "Spain", "ES", "es-bcn", "Europe", 41.3874, 2.1686},
    {"Milan", "Italy", "IT", "it-mil", "Europe", 45.4642, 9.1900},
    {"Rome", "Italy", "IT", "it-rom", "Europe", 41.9028, 12.4964},
    {"Lisbon", "Portugal", "PT", "pt-lis", "Europe", 38.7223, -9.1393},
    {"Dublin", "Ireland", "IE", "ie-dub", "Europe", 53.3498, -6.2603},
    {"Brussels", "Belgium", "BE", "be-bru", "Europe", 50.8503, 4.3517},
    {"Bucharest", "Romania", "RO", "ro-buh", "Europe", 44.4268, 26.1025},
    {"Istanbul", "Türkiye", "TR", "tr-ist", "Europe", 41.0082, 28.9784},
    {"Chicago", "United States", "US", "us-chi", "North America", 41.8781, -87.6298},
    {"Miami", "United States", "US", "us-mia", "North America", 25.7617, -80.1918},
    {"Seattle", "United States", "US", "us-sea", "North America", 47.6062, -122.3321},
    {"Toronto", "Canada", "CA", "ca-tor", "North America", 43.6532, -79.3832},
    {"Mexico City", "Mexico", "MX", "mx-mex", "North America", 19.4326, -99.1332},
    {"São Paulo", "Brazil", "BR", "br-sao", "South America", -23.5505, -46.6333},
    {"Buenos Aires", "Argentina", "AR", "ar-bue", "South America", -34.6037, -58.3816},
    {"Santiago", "Chile", "CL", "cl-scl", "South America", -33.4489, -70.6693, DistanceKnown::missing},
    {"Singapore", "Singapore", "SG", "sg-sin", "Asia", 1.3521, 103.8198},
    {"Hong Kong", "Hong Kong", "HK", "hk-hkg", "Asia", 22.3193, 114.1694},
    {"Mumbai", "India", "IN", "in-bom", "Asia", 19.0760, 72.8777},
    {"Seoul", "South Korea", "KR", "kr-sel", "Asia", 37.5665, 126.9780},
    {"Dubai", "United Arab Emirates", "AE", "ae-dxb", "Asia", 25.2048, 55.2708},
    {"Tel Aviv", "Israel", "IL", "il-tlv", "Asia", 32.0853, 34.7818},
    {"Sydney", "Australia", "AU", "au-syd", "Oceania", -33.8688, 151.2093},
    {"Melbourne", "Australia", "AU", "au-mel", "Oceania", -37.8136, 144.9631},
    {"Auckland", "New Zealand", "NZ", "nz-akl", "Oceania", -36.8485, 174.7633, DistanceKnown::missing},
    {"Johannesburg", "South Africa", "ZA", "za-jnb", "Africa", -26.2041, 28.0473, DistanceKnown::null},
};

// Where streaming catalogues are commonly watched from; peer-to-peer traffic is allowed
// where the hosting contract permits it (here: most of Europe).
bool isStreaming(const Site& site)
{
    const QString code = QString::fromLatin1(site.countryCode);
    return code == QLatin1String("US") || code == QLatin1String("GB") || code == QLatin1String("JP") ||
           code == QLatin1String("CA") || code == QLatin1String("DE");
}

}  // namespace

qint64 RegionCatalog::distanceKm(double latitudeA, double longitudeA, double latitudeB, double longitudeB)
{
    constexpr double kEarthRadiusKm = 6371.0;
    constexpr double kRadians = std::numbers::pi / 180.0;
    const double dLatitude = (latitudeB - latitudeA) * kRadians;
    const double dLongitude = (longitudeB - longitudeA) * kRadians;
    const double a = std::sin(dLatitude / 2) * std::sin(dLatitude / 2) +
                     std::cos(latitudeA * kRadians) * std::cos(latitudeB * kRadians) * std::sin(dLongitude / 2) *
                         std::sin(dLongitude / 2);
    return std::llround(2 * kEarthRadiusKm * std::atan2(std::sqrt(a), std::sqrt(1 - a)));
}

nlohmann::json RegionCatalog::regionsFor(quint32 seed)
{
    std::mt19937 random(seed);
    const qsizetype count = static_cast<qsizetype>(std::size(kSites));

    std::vector<std::pair<qint64, qsizetype>> byDistance;
    for (qsizetype i = 0; i < count; ++i) {
        if (kSites[i].distance == DistanceKnown::yes) {
            byDistance.emplace_back(distanceKm(kUserLatitude, kUserLongitude, kSites[i].latitude, kSites[i].longitude),
                                    i);
        }
    }
    std::sort(byDistance.begin(), byDistance.end());
    std::vector<bool> nearest(static_cast<size_t>(count), false);
    for (size_t i = 0; i < byDistance.size() && i < kNearestCount; ++i) {
        nearest[static_cast<size_t>(byDistance[i].second)] = true;
    }

    nlohmann::json regions = nlohmann::json::array();
    for (qsizetype i = 0; i < count; ++i) {
        const Site& site = kSites[i];
        const bool european = QLatin1String(site.continent) == QLatin1String("Europe");
        nlohmann::json region = {
            {"id", i + 1},
            {"is_streaming", isStreaming(site)},
            {"is_free", i % 7 == 2},
            // One server is out of rotation; the client lists it all the same.
            {"is_alive", QLatin1String(site.shortName) != QLatin1String("hk-hkg")},
            {"server_domain", std::string(site.shortName) + "-01.vpn.tandrel.example"},
            {"city", site.city},
            {"country_code", site.countryCode},
            {"is_p2p", european && QLatin1String(site.countryCode) != QLatin1String("GB")},
            {"ip", "198.51.100." + std::to_string(10 + i)},
            {"load_percentage", 5 + static_cast<int>(random() % 86)},
            {"country_name", site.countryName},
            {"is_nearest", static_cast<bool>(nearest[static_cast<size_t>(i)])},
            {"location", {{"latitude", site.latitude}, {"longitude", site.longitude}}},
            {"short_name", site.shortName},
            {"continent", site.continent},
        };
        if (site.distance == DistanceKnown::yes) {
            region["distance"] = distanceKm(kUserLatitude, kUserLongitude, site.latitude, site.longitude);
        } else if (site.distance == DistanceKnown::null) {
            region["distance"] = nullptr;
        }
        regions.push_back(region);
    }
    return regions;
}

}  // namespace tandrel::demo
