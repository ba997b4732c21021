#include "Models/Location.h"

#include "Models/KeyedDecoder.h"

namespace tandrel {

Location Location::decode(const KeyedDecoder& container)
{
    Location location;
    location.latitude = container.decodeFloat("latitude");
    location.longitude = container.decodeFloat("longitude");
    return location;
}

}  // namespace tandrel
