#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

namespace tandrel::standin {

// A D-Bus daemon of our own, on a socket in a temporary folder, where anyone may own any
// name: the stand-in takes NetworkManager's name there, and the program under test is
// pointed at it (DBUS_SYSTEM_BUS_ADDRESS) instead of the machine's system bus.
class PrivateBus {
public:
    PrivateBus();
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    bool isRunning() const { return !m_address.isEmpty(); }
    QString address() const { return m_address; }
    // Why the daemon did not start (empty when it runs).
    QString error() const { return m_error; }

private:
    QTemporaryDir m_folder;
    QProcess m_daemon;
    QString m_address;
    QString m_error;
};

}  // namespace tandrel::standin
