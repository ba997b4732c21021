#pragma once

#include <QDBusConnection>
#include <QLockFile>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <memory>

class QLocalServer;

namespace tandrel {

// One running program per user and application id. The first launch claims the id; a
// later one asks it to bring its window forward and then ends. On a session bus the id is
// a bus name whose owner answers org.freedesktop.Application.Activate; without a session
// bus (DBUS_SESSION_BUS_ADDRESS unset, where a bus connection could start a bus of its
// own) it is a lock file and a local socket in the user's runtime folder.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    explicit SingleInstance(QString id, QObject* parent = nullptr);
    ~SingleInstance() override;

    // True when this process is now the one instance; false when another one holds the id
    // (it has been asked to show itself).
    bool claim();
    // Where the claim was made: "session bus" or "local socket" (empty before a claim).
    QString mechanism() const { return m_mechanism; }

    // Whether a session bus is named in the environment; nothing here connects otherwise.
    static bool sessionBusAvailable();
    // The local socket of an id, in the runtime folder.
    static QString socketPath(const QString& id);
    // The object path an id's owner answers on: its dots as slashes.
    static QString objectPath(const QString& id);
    // What this launch was given to raise a window with, as org.freedesktop.Application's
    // platform data: "activation-token" (XDG_ACTIVATION_TOKEN, Wayland) and
    // "desktop-startup-id" (DESKTOP_STARTUP_ID, X11), each where the environment has it.
    // Compositors that prevent focus stealing raise a window only with one of them.
    static QVariantMap activationPlatformData();

Q_SIGNALS:
    // Another launch asked this instance to show its window, with the platform data it
    // sent (empty over the local socket).
    void activationRequested(const QVariantMap& platformData);

private:
    enum class Claim { primary, secondary, unavailable };
    Claim claimOnSessionBus();
    bool claimWithLocalSocket();
    void acceptConnections();

    QString m_id;
    QString m_mechanism;
    QString m_busConnectionName;
    std::unique_ptr<QLockFile> m_lock;
    QLocalServer* m_server = nullptr;
    QObject* m_busTarget = nullptr;
};

// What the bus calls on the one instance: org.freedesktop.Application's Activate (its
// other methods, for opening files and actions, have nothing to do here).
class SingleInstanceBusTarget : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")
public:
    explicit SingleInstanceBusTarget(SingleInstance* owner) : QObject(owner), m_owner(owner) {}

public Q_SLOTS:
    void Activate(const QVariantMap& platformData);

private:
    SingleInstance* m_owner;
};

}  // namespace tandrel
