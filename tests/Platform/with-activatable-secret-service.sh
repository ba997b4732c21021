#!/bin/sh
# Like with-secret-service.sh, but nothing runs the keyring: the private session bus only
# knows how to start it (a service file in the private XDG_DATA_HOME), as at the start of
# a desktop session. The keyring comes up, with its login collection made and unlocked
# with an empty password, when a client asks the bus for org.freedesktop.secrets.
set -eu
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/home" "$scratch/runtime"
chmod 700 "$scratch/runtime"
export HOME="$scratch/home" XDG_RUNTIME_DIR="$scratch/runtime"
export XDG_DATA_HOME="$HOME/.local/share" XDG_CONFIG_HOME="$HOME/.config" XDG_CACHE_HOME="$HOME/.cache"
export TANDREL_TEST_KEEP_SESSION_BUS=1
unset DISPLAY WAYLAND_DISPLAY
mkdir -p "$XDG_DATA_HOME/dbus-1/services"
# Its output goes to a file: a process left holding the test's output open would keep
# CTest waiting. It ends with the bus.
cat >"$scratch/start-keyring" <<SCRIPT
#!/bin/sh
printf "\n" | exec gnome-keyring-daemon --foreground --unlock --components=secrets >"$HOME/keyring.log" 2>&1
SCRIPT
chmod +x "$scratch/start-keyring"
cat >"$XDG_DATA_HOME/dbus-1/services/org.freedesktop.secrets.service" <<SERVICE
[D-BUS Service]
Name=org.freedesktop.secrets
Exec=$scratch/start-keyring
SERVICE
dbus-run-session -- "$@"
