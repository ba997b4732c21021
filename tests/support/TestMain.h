#pragma once

#include "BuildConfig.h"
#include "Platform/StandIn/StandInVPNBackend.h"

#include <QTemporaryDir>
#include <QtTest>

#include <string_view>

namespace tandrel::testing {

// Every test process gets its own settings, data, cache and runtime folders, so no test
// reads or writes the user's real settings or keychain, and tests never see each other.
inline QTemporaryDir& isolatedHome()
{
    static QTemporaryDir home;
    return home;
}

inline void isolateEnvironment()
{
    QTemporaryDir& home = isolatedHome();
    const QString root = home.path();
    for (const char* sub : {"config", "data", "cache", "runtime"}) {
        QDir(root).mkpath(QString::fromLatin1(sub));
    }
    qputenv("HOME", root.toUtf8());
    qputenv("XDG_CONFIG_HOME", (root + "/config").toUtf8());
    qputenv("XDG_DATA_HOME", (root + "/data").toUtf8());
    qputenv("XDG_CACHE_HOME", (root + "/cache").toUtf8());
    qputenv("XDG_RUNTIME_DIR", (root + "/runtime").toUtf8());
    // Keep the keychain on its file store unless a test brings its own Secret Service.
    if (!qEnvironmentVariableIsSet("TANDREL_TEST_KEEP_SESSION_BUS")) {
        qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    }
}

// A stand-in build's tests get the stand-in VPN service by default, as its program does.
inline void chooseVPNBackend()
{
    if (std::string_view(BuildConfig::vpnBackend) == "standin") {
        StandInVPNBackend::installAsDefault();
    }
}

}  // namespace tandrel::testing

// QTEST_GUILESS_MAIN / QTEST_MAIN with the environment isolated before the application
// object exists (QSettings and the keychain read their paths at first use).
#define TANDREL_TEST_MAIN_IMPL(TestObject, AppClass)            \
    int main(int argc, char** argv)                             \
    {                                                           \
        tandrel::testing::isolateEnvironment();                 \
        tandrel::testing::chooseVPNBackend();                   \
        AppClass app(argc, argv);                               \
        TestObject tc;                                          \
        QTEST_SET_MAIN_SOURCE_PATH                              \
        return QTest::qExec(&tc, argc, argv);                   \
    }

#define TANDREL_TEST_MAIN_CORE(TestObject) TANDREL_TEST_MAIN_IMPL(TestObject, QCoreApplication)
#define TANDREL_TEST_MAIN_WIDGETS(TestObject) TANDREL_TEST_MAIN_IMPL(TestObject, QApplication)
