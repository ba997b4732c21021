#!/bin/sh
# Runs a test inside a private D-Bus session bus with its own GNOME Keyring (its login
# collection made and unlocked with an empty password) under a throw-away HOME: the
# Secret Service the test talks to is real, and the user's own keyring is never touched.
set -eu
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/home" "$scratch/runtime"
chmod 700 "$scratch/runtime"
export HOME="$scratch/home" XDG_RUNTIME_DIR="$scratch/runtime"
export XDG_DATA_HOME="$HOME/.local/share" XDG_CONFIG_HOME="$HOME/.config" XDG_CACHE_HOME="$HOME/.cache"
export TANDREL_TEST_KEEP_SESSION_BUS=1
unset DISPLAY WAYLAND_DISPLAY
# The daemon runs in the foreground of this session, so it is ended with the test even
# when the test fails, and its output goes to a file: a process left holding the test's
# output open would keep CTest waiting. The test itself waits until the service answers.
dbus-run-session -- sh -c '
    # An empty line, not empty input: without a line the login collection is never made.
    printf "\n" | gnome-keyring-daemon --foreground --unlock --components=secrets >"$HOME/keyring.log" 2>&1 &
    keyring=$!
    status=0
    "$@" || status=$?
    kill "$keyring" 2>/dev/null || true
    wait "$keyring" 2>/dev/null || true
    exit "$status"' sh "$@"
