// The settings file, whatever it holds (edited by hand, cut short): every typed read the
// program makes answers with a value or its default, never a crash.
#include "FuzzSupport.h"
#include "Platform/UserDefaults.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    tandrel::fuzzing::prepareProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const tandrel::UserDefaults settings(
        tandrel::fuzzing::fileHolding(tandrel::fuzzing::bytesOf(data, size), "settings.conf"));
    for (const char* key : {"KillSwitch", "ExcludeLocalNetworks", "CompactView", "CountryConnected", "configId",
                            "VPNProtocol", "SelectedLanguage", "AppleLanguages"}) {
        const QString name = QString::fromLatin1(key);
        (void)settings.object(name);
        (void)settings.boolValue(name, true);
        (void)settings.integerValue(name, 0);
        (void)settings.stringValue(name, QStringLiteral("VPN"));
        (void)settings.stringArray(name);
    }
    return 0;
}
