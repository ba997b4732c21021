#!/usr/bin/env bash
# check-installed-tree.sh <build dir> <application id> <vpn backend>
set -euo pipefail
build=$1 id=$2 backend=$3
work=$(mktemp -d -t tandrel-install.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "installed tree: $*" >&2; exit 1; }

stage=$work/stage
cmake --install "$build" --prefix "$stage" >/dev/null

desktop=$stage/share/applications/$id.desktop
metainfo=$stage/share/metainfo/$id.metainfo.xml
[ -f "$desktop" ] || fail "no desktop entry $desktop"
[ -f "$metainfo" ] || fail "no metainfo $metainfo"
desktop-file-validate "$desktop" || fail "desktop entry does not validate"
appstreamcli validate --no-net "$metainfo" || fail "metainfo does not validate"
grep -qx "Icon=$id" "$desktop" || fail "the desktop entry's icon is not $id"
grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$metainfo" || fail "metainfo launches no $id.desktop"

icons=$stage/share/icons/hicolor
[ -f "$icons/scalable/apps/$id.svg" ] || fail "no scalable icon"
for size in 16 24 32 48 64 128 256 512; do
  png=$icons/${size}x${size}/apps/$id.png
  [ -f "$png" ] || fail "no ${size}x${size} icon"
  file "$png" | grep -q "PNG image data, $size x $size" || fail "$png is not a ${size}x${size} PNG"
done
doc=$stage/share/doc/tandrel
for licence in tabler-icons flag-icons world-atlas nlohmann-json; do
  [ -s "$doc/licenses/$licence.txt" ] || fail "no licence for $licence"
done

# The copyright file is machine-readable (DEP-5), names every licence shipped beside it,
# and every licence it names has its text.
copyright=$doc/copyright
[ -f "$copyright" ] || fail "no copyright file"
head -n 1 "$copyright" | grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
  fail "the copyright file is not in the machine-readable format"
for licence in "$doc"/licenses/*.txt; do
  grep -q "licenses/$(basename "$licence")" "$copyright" || fail "the copyright file does not list $(basename "$licence")"
done
for name in $(sed -n 's/^License: *//p' "$copyright" | sort -u); do
  awk -v name="$name" '$0 == "License: " name { getline; if ($0 ~ /^ /) found = 1 } END { exit !found }' "$copyright" ||
    fail "the copyright file has no text for the licence $name"
done

# The changelog, compressed as Debian wants it; its newest entry is this version.
changelog=$doc/changelog.Debian.gz
gzip -t "$changelog" || fail "no changelog.Debian.gz"
version=$("$stage/bin/tandrel" --version | sed -n 's/^Tandrel //p')
zcat "$changelog" | head -n 1 | grep -q "^tandrel ($version-[^)]*) " || fail "the changelog's newest entry is not $version"
[ -f "$stage/share/man/man1/tandrel.1.gz" ] || fail "no manual page"

# Debian's hardening: position-independent, stack protector, FORTIFY_SOURCE, full RELRO
# (read-only relocations, bound at start), and a build id for the crash reports.
program=$stage/bin/tandrel
headers=$(readelf -hldnW "$program")
grep -q 'Type: *DYN' <<<"$headers" || fail "the program is not position-independent"
grep -q 'GNU_RELRO' <<<"$headers" || fail "the program has no read-only relocations"
grep -Eq 'BIND_NOW|FLAGS_1.*NOW' <<<"$headers" || fail "the program is not bound at start (-z now)"
grep -q 'Build ID: [0-9a-f]' <<<"$headers" || fail "the program has no build id"
# The same for the traffic guard's helper, which runs as root. (Control-flow protection is
# not among Debian 12's defaults: not asked.)
for binary in "$program" "$stage"/libexec/tandrel/*; do
  [ -f "$binary" ] || continue
  hardening-check --nocfprotection "$binary" >"$work/hardening.txt" ||
    { cat "$work/hardening.txt" >&2; fail "hardening-check $(basename "$binary")"; }
  grep -q 'Fortify Source functions: yes' "$work/hardening.txt" ||
    { cat "$work/hardening.txt" >&2; fail "no fortified functions in $(basename "$binary")"; }
done

# A build without the updater (the distribution's) holds none of its code.
with_updater=$(sed -n 's/^TANDREL_WITH_UPDATER:BOOL=//p' "$build/CMakeCache.txt")
updater_symbols=$(nm -C "$program" | grep -c 'tandrel::Updater::' || true)
case $with_updater in
  OFF) [ "$updater_symbols" -eq 0 ] || fail "the build without the updater holds its code" ;;
  *) [ "$updater_symbols" -gt 0 ] || fail "the updater's code is not found (nm sees no symbols?)" ;;
esac

[ -x "$program" ] || fail "no program"
"$program" --version | grep -q '^Tandrel ' || fail "--version does not answer"

# Started offscreen in a home of its own, without a session bus, it keeps running; a
# second launch hands over to it and exits 0.
home=$work/home
mkdir -p "$home/config" "$home/data" "$home/cache" "$home/runtime"
chmod 700 "$home/runtime"
# exec: the recorded pid is the program itself, so the clean-up ends it.
run() {
  exec env -u DBUS_SESSION_BUS_ADDRESS -u DISPLAY -u WAYLAND_DISPLAY HOME="$home" XDG_CONFIG_HOME="$home/config" \
    XDG_DATA_HOME="$home/data" XDG_CACHE_HOME="$home/cache" XDG_RUNTIME_DIR="$home/runtime" \
    QT_QPA_PLATFORM=offscreen "$program" "$@"
}
run >"$work/first.log" 2>&1 &
pids+=($!)
for _ in $(seq 1 50); do
  [ -S "$home/runtime/$id.instance" ] && break
  kill -0 "${pids[0]}" 2>/dev/null || { cat "$work/first.log" >&2; fail "the installed program ended at start"; }
  sleep 0.1
done
[ -S "$home/runtime/$id.instance" ] || fail "the installed program did not take its instance within 5 s"
timeout 10 bash -c "$(declare -f run); home='$home' program='$program' run" >"$work/second.log" 2>&1 ||
  { cat "$work/second.log" >&2; fail "the second launch did not exit 0"; }
kill -0 "${pids[0]}" 2>/dev/null || { cat "$work/first.log" >&2; fail "the first instance ended"; }

# The traffic guard: the helper under libexec, the system bus's service file naming it, a bus
# policy and a polkit action that parse, and a system bus that reads them offers the helper.
helper=$stage/libexec/tandrel/tandrel-traffic-guard
guard_service=$id.TrafficGuard
service_file=$stage/share/dbus-1/system-services/$guard_service.service
bus_policy=$stage/share/dbus-1/system.d/$guard_service.conf
action=$(find "$stage/share/polkit-1/actions" -name '*.traffic-guard.policy')
[ -x "$helper" ] || fail "no traffic guard helper"
[ -f "$service_file" ] || fail "no system bus service file for $guard_service"
grep -qx "Name=$guard_service" "$service_file" || fail "the service file names another service"
grep -qx "Exec=$helper" "$service_file" || fail "the service file's Exec is not the installed helper: $(grep Exec= "$service_file")"
grep -qx "User=root" "$service_file" || fail "the service file does not start the helper as root"
[ -f "$bus_policy" ] || fail "no system bus policy for $guard_service"
[ -n "$action" ] || fail "no polkit action for the traffic guard"
if command -v xmllint >/dev/null; then
  xmllint --noout --nonet "$bus_policy" || fail "the bus policy is not well-formed XML"
  xmllint --noout --nonet --dtdvalid /usr/share/polkit-1/policyconfig-1.dtd "$action" ||
    fail "the polkit action does not validate"
fi
grep -q '<allow_active>yes</allow_active>' "$action" || fail "the polkit action does not allow an active session"
grep -q "<policy user=\"root\">" "$bus_policy" && grep -q "<allow own=\"$guard_service\"/>" "$bus_policy" ||
  fail "the bus policy does not keep the name to root"
cat > "$work/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$work/bus.socket</listen>
  <auth>EXTERNAL</auth>
  <servicedir>$stage/share/dbus-1/system-services</servicedir>
  <policy context="default"><allow user="*"/><allow send_destination="org.freedesktop.DBus"/><allow receive_sender="org.freedesktop.DBus"/></policy>
  <include>$bus_policy</include>
</busconfig>
CONF
dbus-daemon --config-file="$work/bus.conf" --nofork --nopidfile >"$work/bus.log" 2>&1 &
pids+=($!)
for _ in $(seq 1 100); do [ -S "$work/bus.socket" ] && break; sleep 0.05; done
activatable=$(dbus-send --bus="unix:path=$work/bus.socket" --print-reply --dest=org.freedesktop.DBus / \
  org.freedesktop.DBus.ListActivatableNames 2>&1) || { cat "$work/bus.log" >&2; fail "a system bus with the installed files did not start"; }
grep -q "\"$guard_service\"" <<<"$activatable" || fail "a system bus with the installed files does not offer $guard_service"

# The package: dependencies computed from the program, the tunnel's plugin recommended.
(cd "$build" && cpack -G DEB -B "$work/package" >/dev/null) || fail "cpack failed"
deb=$(ls "$work"/package/*.deb)
dpkg-deb -f "$deb" Depends | grep -q 'libqt6widgets6' || fail "the package's dependencies are not computed"
dpkg-deb -f "$deb" Depends | grep -q 'xdg-utils' || fail "the package does not depend on xdg-utils"
dpkg-deb -f "$deb" Maintainer | grep -Eq '^[^<]*[[:alpha:]][^<]* <[^>]+@[^>]+>$' || fail "the Maintainer has no name"
if [ "$backend" = networkmanager ]; then
  dpkg-deb -f "$deb" Recommends | grep -q 'network-manager-strongswan' || fail "the package does not recommend the plugin"
fi
# Listed into a variable first: grep -q ending the pipe early would fail it under pipefail.
contents=$(dpkg-deb -c "$deb")
grep -q "./usr/share/applications/$id.desktop" <<<"$contents" || fail "the package holds no desktop entry"
for file in ./usr/libexec/tandrel/tandrel-traffic-guard ./usr/share/dbus-1/system-services/$guard_service.service \
            ./usr/share/dbus-1/system.d/$guard_service.conf "./usr/share/polkit-1/actions/$(basename "$action")"; do
  grep -q " $file\$" <<<"$contents" || fail "the package holds no $file"
done
dpkg-deb --fsys-tarfile "$deb" | tar -xO "./usr/share/dbus-1/system-services/$guard_service.service" |
  grep -qx "Exec=/usr/libexec/tandrel/tandrel-traffic-guard" || fail "the package's service file does not name /usr/libexec"
dpkg-deb -e "$deb" "$work/control"
for script in prerm postrm; do
  [ -x "$work/control/$script" ] || fail "the package has no $script"
done
grep -q "/usr/libexec/tandrel/tandrel-traffic-guard --clear" "$work/control/prerm" || fail "removing the package keeps the guard"
for file in copyright changelog.Debian.gz; do
  grep -q "./usr/share/doc/tandrel/$file\$" <<<"$contents" || fail "the package holds no $file"
done
# Debian's policy checker: no errors (its warnings are explained in the README).
lintian --fail-on error "$deb" >"$work/lintian.txt" 2>&1 ||
  { cat "$work/lintian.txt" >&2; fail "lintian finds errors"; }
cat "$work/lintian.txt"
echo "installed tree: OK"
