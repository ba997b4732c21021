#pragma once

namespace tandrel {

class KeyedDecoder;

// A region's coordinates in degrees. Readers that need a map coordinate widen both to double.
struct Location {
    float latitude = 0;
    float longitude = 0;

    // Both keys required, in this order. Throws DecodingFailure.
    static Location decode(const KeyedDecoder& container);
};

}  // namespace tandrel
