#pragma once

#include <QDBusConnection>
#include <QMutex>
#include <QObject>
#include <QStringList>
#include <QThread>

// The desktop's status-area host as the StatusNotifierItem protocol has it: owns the
// watcher name, says a host is registered and records the items that register. It runs
// on a thread of its own, so the program's blocking calls to it are answered.
class StatusNotifierWatcher : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ isHostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ items)
public:
    bool isHostRegistered() const { return true; }
    int protocolVersion() const { return 0; }
    QStringList items() const
    {
        QMutexLocker locker(&m_lock);
        return m_items;
    }

public Q_SLOTS:
    void RegisterStatusNotifierItem(const QString& service)
    {
        QMutexLocker locker(&m_lock);
        m_items << service;
    }
    void RegisterStatusNotifierHost(const QString&) {}

Q_SIGNALS:
    void StatusNotifierItemRegistered(const QString& service);
    void StatusNotifierItemUnregistered(const QString& service);
    void StatusNotifierHostRegistered();

private:
    mutable QMutex m_lock;
    QStringList m_items;
};

// A panel's status area on the session bus: the watcher above, served from a thread of
// its own on a connection of its own, from start() until the object goes.
class StatusNotifierHost {
public:
    ~StatusNotifierHost()
    {
        if (m_started) {
            QDBusConnection::disconnectFromBus(m_connectionName);
        }
        m_thread.quit();
        m_thread.wait();
    }

    bool start()
    {
        m_thread.start();
        m_watcher.moveToThread(&m_thread);
        QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, m_connectionName);
        m_started = bus.isConnected() &&
                    bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), &m_watcher,
                                       QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties |
                                           QDBusConnection::ExportAllSignals) &&
                    bus.registerService(QStringLiteral("org.kde.StatusNotifierWatcher"));
        return m_started;
    }

    const StatusNotifierWatcher& watcher() const { return m_watcher; }

private:
    const QString m_connectionName = QStringLiteral("status-notifier-host");
    QThread m_thread;
    StatusNotifierWatcher m_watcher;
    bool m_started = false;
};
