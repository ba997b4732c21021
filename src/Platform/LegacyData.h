#pragma once

#include <QString>
#include <QStringList>

namespace tandrel::LegacyData {

// Earlier versions kept their settings and keychain items under another application id.
// Moves them to the current id once, before anything reads them: the settings file when
// the current id has none yet, and each keychain item of `accounts` (removed under the old
// id once the current id holds it). What cannot be moved stays where it was, with a
// printed line, so that nothing is lost.
void migrate(const QString& legacyId, const QString& currentId, const QStringList& accounts);

}  // namespace tandrel::LegacyData
