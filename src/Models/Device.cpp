#include "Models/Device.h"

namespace tandrel {

Device::Device(const JSON& json)
    : id(json["id"].textValue()),
      name(json["device_name"].textValue()),
      os(json["os"].textValue()),
      platform(json["platform"].textValue()),
      lastLogin(json["last_login_at"].textValue()),
      uid(json["uid"].textValue())
{
    if (lastLogin.isEmpty()) {
        lastLogin = QStringLiteral("Never");
    }
}

}  // namespace tandrel
