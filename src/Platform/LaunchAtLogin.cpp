#include "Platform/LaunchAtLogin.h"

#include "BuildConfig.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

#include <algorithm>

namespace tandrel::LaunchAtLogin {
namespace {

const QString kErrorDomain = QStringLiteral("LaunchAtLogin");

// One argument of an Exec key: quoted, with the characters that stay special inside quotes
// escaped, then with the string-value escaping of the desktop file on top (backslashes
// doubled once more). A literal percent sign is doubled so it is not read as a field code.
QString execArgument(const QString& argument)
{
    QString quoted;
    quoted.reserve(argument.size() + 2);
    for (const QChar character : argument) {
        if (character == QLatin1Char('"') || character == QLatin1Char('`') || character == QLatin1Char('$') ||
            character == QLatin1Char('\\')) {
            quoted += QLatin1Char('\\');
        }
        quoted += character;
    }
    quoted.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    quoted.replace(QLatin1Char('%'), QStringLiteral("%%"));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

bool hasControlCharacter(const QString& text)
{
    return std::any_of(text.begin(), text.end(),
                       [](QChar character) { return character.category() == QChar::Other_Control; });
}

QString autostartPath(const QString& id)
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/autostart/") +
           id + QStringLiteral(".desktop");
}

// The value of a key in the main group of a desktop entry, as written (escapes kept).
std::optional<QByteArray> mainGroupValue(const QByteArray& contents, const QByteArray& wanted)
{
    bool inMainGroup = false;
    for (const QByteArray& rawLine : contents.split('\n')) {
        const QByteArray line = rawLine.trimmed();
        if (line.startsWith('[')) {
            inMainGroup = line == "[Desktop Entry]";
            continue;
        }
        const qsizetype equals = line.indexOf('=');
        if (inMainGroup && equals > 0 && line.left(equals).trimmed() == wanted) {
            return line.mid(equals + 1).trimmed();
        }
    }
    return std::nullopt;
}

std::optional<Error> writeEntry(const QString& path, const QByteArray& contents)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        return Error::withDescription(kErrorDomain, 3,
                                      QStringLiteral("Could not create %1.").arg(QFileInfo(path).absolutePath()));
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(contents) < 0 || !file.commit()) {
        return Error::withDescription(kErrorDomain, 4,
                                      QStringLiteral("Could not write %1: %2").arg(path, file.errorString()));
    }
    return std::nullopt;
}

// The desktop entry that the installation put in the applications folders, if any.
QString installedEntryPath()
{
    return QStandardPaths::locate(QStandardPaths::ApplicationsLocation,
                                  QString::fromUtf8(BuildConfig::bundleIdentifier) + QStringLiteral(".desktop"));
}

QByteArray entryText(const QByteArray& exec, const QByteArray& icon)
{
    const QString name =
        QCoreApplication::applicationName().isEmpty() ? QStringLiteral("Tandrel") : QCoreApplication::applicationName();
    QByteArray text;
    text += "[Desktop Entry]\n";
    text += "Type=Application\n";
    text += "Name=" + name.toUtf8() + '\n';
    text += "Exec=" + exec + '\n';
    text += "Icon=" + icon + '\n';
    text += "Terminal=false\n";
    text += "X-GNOME-Autostart-enabled=true\n";
    return text;
}

}  // namespace

QString entryPath()
{
    return autostartPath(QString::fromUtf8(BuildConfig::bundleIdentifier));
}

QByteArray desktopEntry(const QString& executable)
{
    return entryText(execArgument(executable).toUtf8(), QByteArray(BuildConfig::bundleIdentifier));
}

QByteArray entryForThisApplication()
{
    const QString installed = installedEntryPath();
    QFile file(installed);
    if (!installed.isEmpty() && file.open(QIODevice::ReadOnly)) {
        const QByteArray contents = file.readAll();
        const std::optional<QByteArray> exec = mainGroupValue(contents, "Exec");
        if (exec && !exec->isEmpty()) {
            return entryText(*exec,
                             mainGroupValue(contents, "Icon").value_or(QByteArray(BuildConfig::bundleIdentifier)));
        }
    }
    return desktopEntry(QCoreApplication::applicationFilePath());
}

void migrateLegacyEntry()
{
    const QString legacyId = QString::fromUtf8(BuildConfig::legacyBundleIdentifier);
    if (legacyId.isEmpty() || legacyId == QString::fromUtf8(BuildConfig::bundleIdentifier)) {
        return;
    }
    const QString legacyPath = autostartPath(legacyId);
    QFile legacy(legacyPath);
    if (!legacy.open(QIODevice::ReadOnly)) {
        return;
    }
    const bool wasOn = entryIsEnabled(legacy.readAll());
    legacy.close();
    if (wasOn && !QFile::exists(entryPath())) {
        if (const std::optional<Error> error = setEnabled(true)) {
            return;  // the old entry stays rather than the setting being lost
        }
    }
    QFile::remove(legacyPath);
}

bool entryIsEnabled(const QByteArray& contents)
{
    return mainGroupValue(contents, "Hidden").value_or(QByteArray()) != "true" &&
           mainGroupValue(contents, "X-GNOME-Autostart-enabled").value_or(QByteArray()) != "false";
}

bool isEnabled()
{
    QFile file(entryPath());
    if (!file.open(QIODevice::ReadOnly)) {
        return false;
    }
    return entryIsEnabled(file.readAll());
}

std::optional<Error> setEnabled(bool enabled)
{
    const QString path = entryPath();
    if (!enabled) {
        if (QFile::exists(path) && !QFile::remove(path)) {
            return Error::withDescription(kErrorDomain, 1, QStringLiteral("Could not remove %1.").arg(path));
        }
        return std::nullopt;
    }
    const bool installed = !installedEntryPath().isEmpty();
    const QString executable = QCoreApplication::applicationFilePath();
    // A line break in the path would end the Exec key early and start a key of its own.
    if (!installed && (executable.isEmpty() || hasControlCharacter(executable))) {
        return Error::withDescription(kErrorDomain, 2, QStringLiteral("The application's path cannot be started."));
    }
    return writeEntry(path, entryForThisApplication());
}

}  // namespace tandrel::LaunchAtLogin
