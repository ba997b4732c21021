#pragma once

// Calls straight to the Secret Service on the test's session bus, around the program's back:
// what a keyring's own tools (or a screen lock) do to it while the program runs.
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QVariant>

namespace tandrel::testing {

inline const QString kSecrets = QStringLiteral("org.freedesktop.secrets");
inline const QString kServicePath = QStringLiteral("/org/freedesktop/secrets");
inline const QString kServiceInterface = QStringLiteral("org.freedesktop.Secret.Service");

inline QDBusMessage callService(const QString& interface, const QString& method, const QVariantList& arguments)
{
    QDBusMessage call = QDBusMessage::createMethodCall(kSecrets, kServicePath, interface, method);
    call.setArguments(arguments);
    return QDBusConnection::sessionBus().call(call, QDBus::Block, 5000);
}

inline QDBusObjectPath defaultCollection()
{
    return callService(kServiceInterface, QStringLiteral("ReadAlias"), {QStringLiteral("default")})
        .arguments()
        .value(0)
        .value<QDBusObjectPath>();
}

}  // namespace tandrel::testing
