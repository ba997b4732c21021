#include "Platform/SessionBus.h"

#include <QFileInfo>
#include <QStringList>

namespace tandrel {

namespace {
const char* const kAddressVariable = "DBUS_SESSION_BUS_ADDRESS";
}  // namespace

QString sessionBusAddress()
{
    QStringList usable;
    const QString configured = qEnvironmentVariable(kAddressVariable);
    for (const QString& entry : configured.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        if (!entry.startsWith(QLatin1String("autolaunch:")) && !entry.startsWith(QLatin1String("disabled:"))) {
            usable << entry;
        }
    }
    if (!usable.isEmpty()) {
        return usable.join(QLatin1Char(';'));
    }
    if (!configured.isEmpty()) {
        return {};
    }
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    const QString socket = runtime + QStringLiteral("/bus");
    if (runtime.isEmpty() || !QFileInfo::exists(socket)) {
        return {};
    }
    return QStringLiteral("unix:path=") + socket;
}

bool sessionBusAvailable()
{
    return !sessionBusAddress().isEmpty();
}

void preventSessionBusAutolaunch()
{
    const QString address = sessionBusAddress();
    qputenv(kAddressVariable, address.isEmpty() ? QByteArray("disabled:") : address.toUtf8());
}

}  // namespace tandrel
