#pragma once

#include "Platform/NetworkExtension/NetworkManagerProfile.h"

#include <QDBusConnection>
#include <QDBusVirtualObject>
#include <QHash>

#include <functional>

namespace tandrel {

// Answers NetworkManager's requests for the tunnel password of our profile. The profile
// holds only the persistent reference of a keychain item; the password is read from the
// keychain at the moment NetworkManager needs it and handed to NetworkManager alone.
class NetworkManagerSecretAgent : public QDBusVirtualObject {
    Q_OBJECT

public:
    static inline const QString objectPath = QStringLiteral("/org/freedesktop/NetworkManager/SecretAgent");
    static inline const QString interfaceName = QStringLiteral("org.freedesktop.NetworkManager.SecretAgent");

    // The process's one agent on the system bus (a bus connection can export only one
    // object at the agent's path). Lives for the whole process; main thread only.
    static NetworkManagerSecretAgent& shared();

    // The profile whose password `owner` (a back end) answers for; an empty UUID withdraws it.
    void setProfile(const void* owner, const QString& uuid);

    // Exports the agent on the bus (once) and registers it with NetworkManager's agent
    // manager, without waiting; call again whenever NetworkManager (re)appears. `done`
    // runs on `context`'s thread with false when either fails.
    void registerWithNetworkManager(QObject* context, std::function<void(bool)> done);

    QString introspect(const QString& path) const override;
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;

private:
    explicit NetworkManagerSecretAgent(QDBusConnection bus);
    bool callerIsNetworkManager(const QDBusMessage& message) const;
    QDBusMessage secretsReply(const QDBusMessage& message) const;

    QDBusConnection m_bus;
    QHash<const void*, QString> m_profiles;
    bool m_exported = false;
};

}  // namespace tandrel
