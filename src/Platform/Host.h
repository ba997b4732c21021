#pragma once

#include <QString>
#include <QStringList>

#include <array>
#include <functional>
#include <optional>

namespace tandrel::Host {

// The operating system's version as major, minor and patch (missing parts are 0): the
// distribution's release number, as QSysInfo::productVersion() gives it.
std::array<int, 3> operatingSystemVersion();
// The leading "major[.minor[.patch]]" of a version text; missing or unreadable parts are 0.
std::array<int, 3> versionNumbersFrom(const QString& text);
// The application's short version (the CMake project version).
QString shortVersion();
// The host's name, or "Unknown Device" when it has none.
QString localizedName();
// The user's preferred languages, most preferred first ("es", "en-GB", …).
QStringList preferredLanguages();
// What preferredLanguages() makes of Qt's list of the system's UI languages.
QStringList preferredLanguagesFrom(const QStringList& uiLanguages);
// The platform serial number: the DMI product serial when readable and not a vendor
// placeholder, else /etc/machine-id, else nothing.
std::optional<QString> platformSerialNumber();
// Reads the serial from explicit files (what platformSerialNumber() does with the real ones).
std::optional<QString> serialNumberFrom(const QString& dmiSerialPath, const QString& machineIdPath);

// Tests replace where the serial number comes from; an empty function restores the host's.
void setSerialNumberSource(std::function<std::optional<QString>()> source);

}  // namespace tandrel::Host
