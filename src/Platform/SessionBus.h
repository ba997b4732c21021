#pragma once

#include <QString>

namespace tandrel {

// Whether and where the user's D-Bus session bus can be reached without starting one.
// Everything that wants the session bus (the Secret Service, single-instance, a tray icon)
// asks here first: D-Bus "autolaunch" would start a bus daemon of our own that outlives
// the program.

// The address to connect to: DBUS_SESSION_BUS_ADDRESS without its autolaunch (and
// disabled) entries, else the standard socket $XDG_RUNTIME_DIR/bus when it exists; empty
// when the only way to a bus would be to launch one.
QString sessionBusAddress();
bool sessionBusAvailable();

// Called first thing in main, before Qt or GLib look for the bus. Without a reachable
// bus, the process's DBUS_SESSION_BUS_ADDRESS becomes "disabled:", an address that libdbus
// and GLib both fail to connect to at once, so neither autolaunches a bus (Qt's
// accessibility bridge and its global menu bar ask for the session bus unconditionally).
// With a bus found only through $XDG_RUNTIME_DIR/bus, the variable is set to it, so every
// library uses that one.
void preventSessionBusAutolaunch();

}  // namespace tandrel
