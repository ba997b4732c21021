#pragma once

#include <QString>

namespace tandrel {

// Writes a report when the program dies of a fatal signal (SIGSEGV, SIGABRT, SIGBUS,
// SIGFPE, SIGILL): the signal, the version, the program's build id and load address (the
// backtrace's offsets of a stripped program are read against its debug symbols by that
// id), the time and a backtrace, one file per crash
// in $XDG_CACHE_HOME/<bundle identifier>/crashes/. Nothing is sent anywhere.
//
// The settings come from a JSON file in the program's resources:
//   {"enabled": true, "folder": "crashes", "maxReports": 20}
// `folder` is below the cache folder of the application; `maxReports` bounds how many
// reports are kept (the oldest are removed at configure time). A missing or unreadable
// settings file leaves these defaults in force.
class CrashReporter {
public:
    CrashReporter() = delete;

    static inline const QString defaultSettingsPath = QStringLiteral(":/CrashReporter.json");

    // Reads the settings and installs the signal handlers. Everything the handler writes is
    // prepared here, because a signal handler may only call async-signal-safe functions.
    // Returns false when crash reporting stays off (disabled, or no folder to write to).
    static bool configure(const QString& settingsPath = defaultSettingsPath);

    // The folder reports go to (empty before a successful configure).
    static QString reportFolder();
    // The running program's GNU build id in hex, as the reports give it (empty when the
    // program was linked without one).
    static QString buildId();
};

}  // namespace tandrel
