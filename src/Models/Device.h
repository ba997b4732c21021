#pragma once

#include "Network/JSON.h"

#include <QString>

namespace tandrel {

// One device registered with the account, as the device list sends it. Every field is
// read with the lenient string accessor: a missing or non-text value gives "" (a number
// its text), a text over `JSON::nameLimit` is cut; a device that never logged in reads
// "Never".
struct Device {
    QString id;
    QString name;
    QString os;
    QString platform;
    QString lastLogin;
    // The identifier the device registered with ("uid"); ours is Preferences::uid().
    QString uid;

    Device() = default;
    explicit Device(const JSON& json);
};

}  // namespace tandrel
