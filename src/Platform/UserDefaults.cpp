#include "Platform/UserDefaults.h"

namespace tandrel {

struct UserDefaults::Private {};

UserDefaults::~UserDefaults() = default;

}  // namespace tandrel
