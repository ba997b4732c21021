#pragma once

#include "Platform/Error.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace tandrel::LaunchAtLogin {

// Starting the application with the desktop session, kept as an XDG autostart entry
// ("<config>/autostart/<bundle id>.desktop"). The entry itself is the state: there is no
// other record to drift out of step with what the session actually starts.

// Where the entry lives for this user.
QString entryPath();
// True while the entry exists and is not switched off (a session's settings tool switches
// an entry off by setting Hidden=true or X-GNOME-Autostart-enabled=false, not by deleting it).
bool isEnabled();
// Writes the entry for the running executable, or removes it. The file is replaced
// atomically, so a failed write never leaves a half-written entry behind.
std::optional<Error> setEnabled(bool enabled);

// The entry's text for an executable, with the application's icon.
QByteArray desktopEntry(const QString& executable);
// The entry's text: the Exec and Icon of the installed desktop entry
// ("<data dirs>/applications/<bundle id>.desktop") when there is one, else the running
// executable and the application id as the icon name.
QByteArray entryForThisApplication();
// Earlier versions named the entry after their own id; an entry under that name is moved
// to the current one once (switched on only if it was on), so the session starts the
// program at most once and the switch shows what it did before.
void migrateLegacyEntry();
// Whether an entry's text asks the session to start it (neither "Hidden=true" nor
// "X-GNOME-Autostart-enabled=false" in its main group).
bool entryIsEnabled(const QByteArray& contents);

}  // namespace tandrel::LaunchAtLogin
