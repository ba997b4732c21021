#pragma once

#include "Models/Location.h"
#include "Platform/Result.h"

#include <QByteArray>
#include <QString>

#include <nlohmann/json_fwd.hpp>

#include <optional>
#include <vector>

namespace tandrel {

class KeyedDecoder;

// One VPN server the account may use, as the backend's regions answer describes it.
// Identified by `id` (list rows, map markers and the selection key on it); it has no other
// equality. Only `id` and `country_name` are changed after decoding (the optimal entry
// rewrites the country name).
struct VPNRegion {
    qint64 id = 0;
    bool is_streaming = false;
    bool is_free = false;
    bool is_alive = false;
    QString server_domain;
    QString city;
    QString country_code;
    bool is_p2p = false;
    QString ip;
    qint64 load_percentage = 0;
    QString country_name;
    std::optional<qint64> distance;  // absent when the key is missing or null
    bool is_nearest = false;
    Location location;
    QString short_name;
    QString continent;

    // Fields in declaration order; every key but "distance" required. Throws DecodingFailure.
    static VPNRegion decode(const KeyedDecoder& container);

    // The regions answer: a JSON array of region objects. One bad element fails the whole
    // answer; the error's description says which element and key.
    static Result<std::vector<VPNRegion>> decodeArray(const nlohmann::json& answer);
    // The same from raw JSON bytes (invalid JSON is a dataCorrupted error).
    static Result<std::vector<VPNRegion>> decodeArray(const QByteArray& data);
};

}  // namespace tandrel
