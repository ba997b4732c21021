#include "Models/VPNRegion.h"

#include "Models/KeyedDecoder.h"
#include "Network/JSON.h"

#include <nlohmann/json.hpp>

namespace tandrel {

VPNRegion VPNRegion::decode(const KeyedDecoder& container)
{
    VPNRegion region;
    region.id = container.decodeInt64("id");
    region.is_streaming = container.decodeBool("is_streaming");
    region.is_free = container.decodeBool("is_free");
    region.is_alive = container.decodeBool("is_alive");
    region.server_domain = JSON::shortened(container.decodeString("server_domain"));
    region.city = JSON::shortened(container.decodeString("city"));
    region.country_code = JSON::shortened(container.decodeString("country_code"));
    region.is_p2p = container.decodeBool("is_p2p");
    region.ip = JSON::shortened(container.decodeString("ip"));
    region.load_percentage = container.decodeInt64("load_percentage");
    region.country_name = JSON::shortened(container.decodeString("country_name"));
    region.distance = container.decodeInt64IfPresent("distance");
    region.is_nearest = container.decodeBool("is_nearest");
    region.location = Location::decode(container.nestedContainer("location"));
    region.short_name = JSON::shortened(container.decodeString("short_name"));
    region.continent = JSON::shortened(container.decodeString("continent"));
    return region;
}

Result<std::vector<VPNRegion>> VPNRegion::decodeArray(const nlohmann::json& answer)
{
    try {
        if (answer.is_null()) {
            KeyedDecoder::fail(DecodingErrorCode::valueNotFound,
                               QStringLiteral("Expected an array of regions but found null instead."), {});
        }
        if (!answer.is_array()) {
            KeyedDecoder::fail(DecodingErrorCode::typeMismatch,
                               QStringLiteral("Expected to decode an array of regions but found %1 instead.")
                                   .arg(KeyedDecoder::describeType(answer)),
                               {});
        }
        std::vector<VPNRegion> regions;
        regions.reserve(answer.size());
        std::size_t index = 0;
        for (const nlohmann::json& element : answer) {
            regions.push_back(decode(KeyedDecoder(element, KeyedDecoder::pathAppendingIndex({}, index))));
            ++index;
        }
        return regions;
    } catch (const DecodingFailure& failure) {
        return failure.error();
    }
}

Result<std::vector<VPNRegion>> VPNRegion::decodeArray(const QByteArray& data)
{
    nlohmann::json answer = nlohmann::json::parse(data.cbegin(), data.cend(), nullptr, /*allow_exceptions=*/false);
    if (answer.is_discarded()) {
        return Error::withDescription(kDecodingErrorDomain, DecodingErrorCode::dataCorrupted,
                                      QStringLiteral("The given data was not valid JSON. (at the top level)"));
    }
    return decodeArray(answer);
}

}  // namespace tandrel
