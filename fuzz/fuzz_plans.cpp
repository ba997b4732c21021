// The plans and extra-slot answers as the pricing sheet reads them: the acceptable offers,
// each with its checkout address, from any bytes.
#include "Controllers/PricingController.h"
#include "FuzzSupport.h"
#include "Platform/Keychain.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    tandrel::fuzzing::prepareProcess();
    // The checkout address reads the account's e-mail; keep it off any real keyring.
    tandrel::KeychainStore::setSystem(
        tandrel::KeychainStore::makeFileStore(tandrel::fuzzing::fileHolding({}, "keychain")));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const tandrel::Result<tandrel::JSON> parsed = tandrel::JSON::parse(tandrel::fuzzing::bytesOf(data, size));
    if (!parsed) {
        return 0;
    }
    (void)tandrel::PricingController::standardPlansFrom(parsed.value());
    (void)tandrel::PricingController::extraSlotsPlansFrom(parsed.value());
    return 0;
}
