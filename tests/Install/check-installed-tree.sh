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
for licence in tabler-icons flag-icons world-atlas; do
  [ -s "$stage/share/doc/tandrel/licenses/$licence.txt" ] || fail "no licence for $licence"
done

program=$stage/bin/tandrel
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

# The package: dependencies computed from the program, the tunnel's plugin recommended.
(cd "$build" && cpack -G DEB -B "$work/package" >/dev/null) || fail "cpack failed"
deb=$(ls "$work"/package/*.deb)
dpkg-deb -f "$deb" Depends | grep -q 'libqt6widgets6' || fail "the package's dependencies are not computed"
if [ "$backend" = networkmanager ]; then
  dpkg-deb -f "$deb" Recommends | grep -q 'network-manager-strongswan' || fail "the package does not recommend the plugin"
fi
# Listed into a variable first: grep -q ending the pipe early would fail it under pipefail.
contents=$(dpkg-deb -c "$deb")
grep -q "./usr/share/applications/$id.desktop" <<<"$contents" || fail "the package holds no desktop entry"
echo "installed tree: OK"
