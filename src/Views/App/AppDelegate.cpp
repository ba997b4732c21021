#include "Views/App/AppDelegate.h"

#include "Platform/CrashReporter.h"

namespace tandrel {

void AppDelegate::applicationWillFinishLaunching()
{
    // Windows here never merge into tabs, so there is no automatic tabbing to turn off.
    CrashReporter::configure();
}

}  // namespace tandrel
