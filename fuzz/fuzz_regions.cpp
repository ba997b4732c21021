// A regions answer as the region list reads it: parsed, decoded strictly, sorted by country
// name and the optimal entry chosen and placed. Any bytes must end in regions or an error.
#include "FuzzSupport.h"
#include "Models/OptimalRegion.h"
#include "Models/VPNRegion.h"
#include "Network/JSON.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const tandrel::Result<tandrel::JSON> parsed = tandrel::JSON::parse(tandrel::fuzzing::bytesOf(data, size));
    if (!parsed) {
        return 0;
    }
    tandrel::Result<std::vector<tandrel::VPNRegion>> decoded = tandrel::VPNRegion::decodeArray(parsed.value().raw());
    if (!decoded) {
        (void)decoded.error().description();
        return 0;
    }
    std::vector<tandrel::VPNRegion> regions = std::move(decoded.value());
    tandrel::OptimalRegion::sortByCountryName(regions);
    const tandrel::OptimalRegion::Choice choice = tandrel::OptimalRegion::choose(regions);
    if (choice.best) {
        (void)tandrel::OptimalRegion::makeOptimalEntry(regions.at(*choice.best));
    }
    return 0;
}
