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

}  // namespace

QString entryPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/autostart/") +
           QString::fromUtf8(BuildConfig::bundleIdentifier) + QStringLiteral(".desktop");
}

QByteArray desktopEntry(const QString& executable)
{
    const QString name =
        QCoreApplication::applicationName().isEmpty() ? QStringLiteral("Tandrel") : QCoreApplication::applicationName();
    QString text;
    text += QStringLiteral("[Desktop Entry]\n");
    text += QStringLiteral("Type=Application\n");
    text += QStringLiteral("Name=") + name + QLatin1Char('\n');
    text += QStringLiteral("Exec=") + execArgument(executable) + QLatin1Char('\n');
    text += QStringLiteral("Terminal=false\n");
    text += QStringLiteral("X-GNOME-Autostart-enabled=true\n");
    return text.toUtf8();
}

bool entryIsEnabled(const QByteArray& contents)
{
    bool inMainGroup = false;
    for (const QByteArray& rawLine : contents.split('\n')) {
        const QByteArray line = rawLine.trimmed();
        if (line.startsWith('[')) {
            inMainGroup = line == "[Desktop Entry]";
            continue;
        }
        if (!inMainGroup) {
            continue;
        }
        const qsizetype equals = line.indexOf('=');
        if (equals < 0) {
            continue;
        }
        const QByteArray key = line.left(equals).trimmed();
        const QByteArray value = line.mid(equals + 1).trimmed();
        if ((key == "Hidden" && value == "true") || (key == "X-GNOME-Autostart-enabled" && value == "false")) {
            return false;
        }
    }
    return true;
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
    const QString executable = QCoreApplication::applicationFilePath();
    // A line break in the path would end the Exec key early and start a key of its own.
    if (executable.isEmpty() || hasControlCharacter(executable)) {
        return Error::withDescription(kErrorDomain, 2, QStringLiteral("The application's path cannot be started."));
    }
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        return Error::withDescription(kErrorDomain, 3,
                                      QStringLiteral("Could not create %1.").arg(QFileInfo(path).absolutePath()));
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(desktopEntry(executable)) < 0 || !file.commit()) {
        return Error::withDescription(kErrorDomain, 4,
                                      QStringLiteral("Could not write %1: %2").arg(path, file.errorString()));
    }
    return std::nullopt;
}

}  // namespace tandrel::LaunchAtLogin
