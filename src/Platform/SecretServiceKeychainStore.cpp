#include "Platform/Keychain.h"

namespace tandrel {

std::shared_ptr<KeychainStore> KeychainStore::makeSecretServiceStore()
{
    return nullptr;
}

}  // namespace tandrel
