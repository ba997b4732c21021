#!/bin/sh
# Runs a test inside a private D-Bus session bus with its own GNOME Keyring (its login
# collection made and unlocked with an empty password) under a throw-away HOME: the
# Secret Service the test talks to is real, and the user's own keyring is never touched.
#
# With --activatable first, nothing runs the keyring: the private bus only knows how to
# start it (a service file in the private XDG_DATA_HOME), as at the start of a desktop
# session, and starts it when a client asks for org.freedesktop.secrets.
# With --bus-only first, only the private bus: the test starts and stops the keyring itself
# (locked since its start, restarted, without a login keyring).
set -eu
activatable=false
busonly=false
if [ "${1:-}" = "--activatable" ]; then
    activatable=true
    shift
elif [ "${1:-}" = "--bus-only" ]; then
    busonly=true
    shift
fi
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/home" "$scratch/runtime"
chmod 700 "$scratch/runtime"
export HOME="$scratch/home" XDG_RUNTIME_DIR="$scratch/runtime"
export XDG_DATA_HOME="$HOME/.local/share" XDG_CONFIG_HOME="$HOME/.config" XDG_CACHE_HOME="$HOME/.cache"
export TANDREL_TEST_KEEP_SESSION_BUS=1
unset DISPLAY WAYLAND_DISPLAY
# The daemon's output goes to a file: a process left holding the test's output open would
# keep CTest waiting. An empty line, not empty input: without a line the login collection
# is never made.
cat >"$scratch/start-keyring" <<SCRIPT
#!/bin/sh
printf "\n" | exec gnome-keyring-daemon --foreground --unlock --components=secrets >"$HOME/keyring.log" 2>&1
SCRIPT
chmod +x "$scratch/start-keyring"
if $busonly; then
    dbus-run-session -- "$@"
    exit
fi
if $activatable; then
    # It ends with the bus.
    mkdir -p "$XDG_DATA_HOME/dbus-1/services"
    cat >"$XDG_DATA_HOME/dbus-1/services/org.freedesktop.secrets.service" <<SERVICE
[D-BUS Service]
Name=org.freedesktop.secrets
Exec=$scratch/start-keyring
SERVICE
    dbus-run-session -- "$@"
    exit
fi
# The daemon runs in the foreground of this session, so it is ended with the test even
# when the test fails. The test itself waits until the service answers.
dbus-run-session -- sh -c '
    "$0" &
    keyring=$!
    status=0
    "$@" || status=$?
    kill "$keyring" 2>/dev/null || true
    wait "$keyring" 2>/dev/null || true
    exit "$status"' "$scratch/start-keyring" "$@"
