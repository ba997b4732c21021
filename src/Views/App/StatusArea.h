#pragma once

#include <QAbstractNativeEventFilter>
#include <QObject>

#include <cstdint>

class QDBusServiceWatcher;

namespace tandrel {

// Whether the desktop has a status area for the status icon, and when one appears: a
// StatusNotifierItem host registered with the watcher on the session bus (KDE, GNOME's
// AppIndicator extension, most Wayland panels), or an XEmbed tray holding the X11 selection
// _NET_SYSTEM_TRAY_S<screen>. Panels often start after the programs of the session, so a
// status area missing at start is watched for rather than given up on.
//
// Nothing here asks Qt's own tray: Qt decides once per process, at its first question,
// whether it talks to a StatusNotifierItem host, and a question asked before the host is
// there would leave the icon on XEmbed for good.
class StatusArea : public QObject, public QAbstractNativeEventFilter {
    Q_OBJECT
public:
    // Starts watching at once; the bus answers come on the event loop, never waited for.
    // Only where a session bus is named in the environment (asking a bus that is not there
    // could start one of our own).
    explicit StatusArea(QObject* parent = nullptr);
    ~StatusArea() override;

    // A status area is there now, as far as is known.
    bool isPresent() const;

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

Q_SIGNALS:
    // A status area has appeared (or was found at start).
    void appeared();

private Q_SLOTS:
    void askWatcher();

private:
    void setHostRegistered(bool registered);
    void watchTraySelection();
    bool traySelectionOwned() const;

    QDBusServiceWatcher* m_watcherService = nullptr;
    bool m_hostRegistered = false;
    bool m_reportedPresent = false;
    // X11 only: the tray selection, the MANAGER announcement and the root window it comes to.
    std::uint32_t m_traySelection = 0;
    std::uint32_t m_managerAtom = 0;
    std::uint32_t m_root = 0;
};

}  // namespace tandrel
