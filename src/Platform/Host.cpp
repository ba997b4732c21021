#include "Platform/Host.h"

#include "BuildConfig.h"
#include "Platform/MainQueue.h"

#include <QFile>
#include <QLocale>
#include <QRegularExpression>
#include <QSysInfo>

namespace tandrel::Host {

namespace {

constexpr qint64 kMaxFactFileBytes = 4096;

// Set on the main thread before anything reads it (tests' set-up); read from any thread
// that builds a request, which only reads, so it needs no lock.
std::function<std::optional<QString>()>& serialNumberSource()
{
    static std::function<std::optional<QString>()> source;
    return source;
}

QString readTrimmed(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return QString::fromUtf8(file.read(kMaxFactFileBytes)).trimmed();
}

// Firmware that was never given a serial fills the field with one of these (or with
// zeros); taking one would give every such machine the same device identifier.
bool isPlaceholderSerial(const QString& serial)
{
    static const QStringList placeholders = {
        QStringLiteral("0"),
        QStringLiteral("none"),
        QStringLiteral("not specified"),
        QStringLiteral("not applicable"),
        QStringLiteral("n/a"),
        QStringLiteral("to be filled by o.e.m."),
        QStringLiteral("default string"),
        QStringLiteral("system serial number"),
        QStringLiteral("chassis serial number"),
        QStringLiteral("serial number"),
        QStringLiteral("0123456789"),
        QStringLiteral("123456789"),
        QStringLiteral("oem"),
        QStringLiteral("o.e.m."),
    };
    static const QRegularExpression fillerOnly(QStringLiteral("^[0\\s.\\-xX]*$"));
    return serial.isEmpty() || fillerOnly.match(serial).hasMatch() || placeholders.contains(serial.toLower());
}

}  // namespace

std::array<int, 3> versionNumbersFrom(const QString& text)
{
    std::array<int, 3> numbers = {0, 0, 0};
    static const QRegularExpression leading(QStringLiteral("^(\\d+)(?:\\.(\\d+))?(?:\\.(\\d+))?"));
    const QRegularExpressionMatch match = leading.match(text.trimmed());
    for (int part = 0; part < 3 && match.hasMatch(); ++part) {
        numbers[static_cast<size_t>(part)] = match.captured(part + 1).toInt();
    }
    return numbers;
}

// The distribution's release (VERSION_ID of os-release: Debian "12" is 12.0.0, Ubuntu
// "22.04" is 22.4.0) rather than the kernel's: it is what a user names as "my system".
std::array<int, 3> operatingSystemVersion()
{
    return versionNumbersFrom(QSysInfo::productVersion());
}

QString shortVersion()
{
    return QString::fromUtf8(BuildConfig::applicationVersion);
}

QString localizedName()
{
    const QString name = QSysInfo::machineHostName();
    return name.isEmpty() ? QStringLiteral("Unknown Device") : name;
}

QStringList preferredLanguages()
{
    return preferredLanguagesFrom(QLocale::system().uiLanguages());
}

QStringList preferredLanguagesFrom(const QStringList& uiLanguages)
{
    QStringList languages;
    for (const QString& tag : uiLanguages) {
        // The C and POSIX locales name no language.
        if (tag == QLatin1String("C") || tag == QLatin1String("POSIX")) {
            continue;
        }
        // Qt adds the script to a tag it already gave ("es-ES" then "es-Latn-ES"); the
        // user named only one language there.
        QStringList parts = tag.split(QLatin1Char('-'));
        if (parts.size() == 3 && parts[1].size() == 4) {
            parts.removeAt(1);
            if (uiLanguages.contains(parts.join(QLatin1Char('-')))) {
                continue;
            }
        }
        if (!languages.contains(tag)) {
            languages << tag;
        }
    }
    return languages;
}

std::optional<QString> serialNumberFrom(const QString& dmiSerialPath, const QString& machineIdPath)
{
    const QString serial = readTrimmed(dmiSerialPath);
    if (!isPlaceholderSerial(serial)) {
        return serial;
    }
    static const QRegularExpression machineIdShape(QStringLiteral("^[0-9a-f]{32}$"));
    const QString machineId = readTrimmed(machineIdPath);
    if (machineIdShape.match(machineId).hasMatch() && machineId != QString(32, QLatin1Char('0'))) {
        return machineId;
    }
    return std::nullopt;
}

std::optional<QString> platformSerialNumber()
{
    const std::function<std::optional<QString>()>& source = serialNumberSource();
    if (source) {
        return source();
    }
    return serialNumberFrom(QStringLiteral("/sys/class/dmi/id/product_serial"), QStringLiteral("/etc/machine-id"));
}

void setSerialNumberSource(std::function<std::optional<QString>()> source)
{
    assertMainThread();
    serialNumberSource() = std::move(source);
}

}  // namespace tandrel::Host
