#pragma once

#include <nlohmann/json.hpp>

#include <QtGlobal>

#include <optional>
#include <string>

namespace tandrel::testing {

// One region object as the backend sends it, with the fields that decide the choice.
inline nlohmann::json regionJson(qint64 id, const char* country, bool nearest, std::optional<qint64> distance,
                                 qint64 load)
{
    nlohmann::json region = {{"id", id},
                             {"is_streaming", false},
                             {"is_free", true},
                             {"is_alive", true},
                             {"server_domain", "vpn" + std::to_string(id) + ".example"},
                             {"city", "City"},
                             {"country_code", "DE"},
                             {"is_p2p", false},
                             {"ip", "192.0.2.1"},
                             {"load_percentage", load},
                             {"country_name", country},
                             {"is_nearest", nearest},
                             {"location", {{"latitude", 52.52}, {"longitude", 13.405}}},
                             {"short_name", "de-ber"},
                             {"continent", "Europe"}};
    if (distance) {
        region["distance"] = *distance;
    }
    return region;
}

}  // namespace tandrel::testing
