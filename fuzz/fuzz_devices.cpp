// A device-list answer as the device sheet reads it: every element made a device, whatever
// it holds, with every text within its limit.
#include "FuzzSupport.h"
#include "Models/Device.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const tandrel::Result<tandrel::JSON> parsed = tandrel::JSON::parse(tandrel::fuzzing::bytesOf(data, size));
    if (!parsed) {
        return 0;
    }
    for (const tandrel::JSON& element : parsed.value().arrayValue()) {
        const tandrel::Device device(element);
        for (const QString* text : {&device.id, &device.name, &device.os, &device.platform, &device.lastLogin}) {
            if (text->size() > tandrel::JSON::nameLimit) {
                std::abort();
            }
        }
    }
    return 0;
}
