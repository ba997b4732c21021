#!/usr/bin/env bash
# with-guard-bus.sh <helper> <bus policy> <polkit action> <test> [args...]
# Runs <test> as root in a network namespace of its own, next to:
#   - a private system bus that starts <helper> by D-Bus activation and applies the bus
#     policy the package installs (<bus policy>), over a deny-by-default base like the real one;
#   - polkitd on that bus, seeing only our action (<polkit action>) in a private mount;
#   - a second bus with no helper at all (TANDREL_GUARD_TEST_EMPTY_BUS);
#   - a veth link to a "peer" namespace: the VPN server 192.0.2.1 / 2001:db8:1::1 and another
#     host 192.0.2.3 / 2001:db8:1::3, with named nft counters of what arrives from us
#     (ike4, ike6: UDP 500; dns4, dns6: port 53; other4, other6: any other UDP or TCP);
#   - polkit allowing the user "daemon" by a rule (so a yes comes from polkit itself) and
#     nobody else without an agent.
# Anything else than root (or no namespaces) reports the test as skipped (77).
set -euo pipefail
if [ "$(id -u)" != 0 ] || ! unshare -n true 2>/dev/null; then
  echo "needs root and network namespaces: skipped"; exit 77
fi
if [ -z "${TANDREL_GUARD_NAMESPACE:-}" ]; then
  exec env TANDREL_GUARD_NAMESPACE=1 unshare -n -m --propagation private "$0" "$@"
fi
helper=$(realpath "$1") policy=$(realpath "$2") action=$(realpath "$3"); shift 3
work=$(mktemp -d -t tandrel-guard.XXXXXX)
chmod 755 "$work"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

ip link set lo up
unshare -n sleep 3600 &
peer=$!; pids+=($peer)
for _ in $(seq 100); do [ "$(readlink /proc/$peer/ns/net)" != "$(readlink /proc/$$/ns/net)" ] && break; sleep 0.02; done
P() { nsenter -t "$peer" -n "$@"; }
ip link add guard0 type veth peer name peer0 netns "$peer"
ip addr add 192.0.2.2/24 dev guard0
ip addr add 2001:db8:1::2/64 dev guard0 nodad
ip link set guard0 up
P ip link set lo up
P ip addr add 192.0.2.1/24 dev peer0
P ip addr add 192.0.2.3/24 dev peer0
P ip addr add 2001:db8:1::1/64 dev peer0 nodad
P ip addr add 2001:db8:1::3/64 dev peer0 nodad
P ip link set peer0 up
P nft -f - <<'NFT'
table inet peer {
	counter ike4 { }
	counter ike6 { }
	counter dns4 { }
	counter dns6 { }
	counter other4 { }
	counter other6 { }
	chain count {
		type filter hook prerouting priority -300; policy accept;
		ip saddr 192.0.2.2 udp dport 500 counter name "ike4"
		ip6 saddr 2001:db8:1::2 udp dport 500 counter name "ike6"
		ip saddr 192.0.2.2 meta l4proto { tcp, udp } th dport 53 counter name "dns4"
		ip6 saddr 2001:db8:1::2 meta l4proto { tcp, udp } th dport 53 counter name "dns6"
		ip saddr 192.0.2.2 udp dport != { 53, 500 } counter name "other4"
		ip saddr 192.0.2.2 tcp dport != 53 counter name "other4"
		ip6 saddr 2001:db8:1::2 udp dport != { 53, 500 } counter name "other6"
		ip6 saddr 2001:db8:1::2 tcp dport != 53 counter name "other6"
	}
}
NFT

# The system bus: deny by default as the real one, then the package's own policy.
mkdir -p "$work/services" "$work/actions"
cat > "$work/services/guard.service" <<SERVICE
[D-BUS Service]
Name=$(sed -n 's/.*allow own="\([^"]*\)".*/\1/p' "$policy" | head -1)
Exec=$helper
User=root
SERVICE
bus_config() {  # <socket> [servicedir]
  cat <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$1</listen>
  <auth>EXTERNAL</auth>
  ${2:+<servicedir>$2</servicedir>}
  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Introspectable"/>
    <allow send_destination="org.freedesktop.PolicyKit1"/>
  </policy>
  <policy user="polkitd">
    <allow own="org.freedesktop.PolicyKit1"/>
  </policy>
  ${2:+<include>$policy</include>}
</busconfig>
CONF
}
bus_config "$work/system_bus_socket" "$work/services" > "$work/system.conf"
bus_config "$work/empty_bus_socket" > "$work/empty.conf"
for bus in system empty; do
  dbus-daemon --config-file="$work/$bus.conf" --nofork --nopidfile > "$work/$bus.log" 2>&1 &
  pids+=($!)
done
for _ in $(seq 400); do [ -S "$work/system_bus_socket" ] && [ -S "$work/empty_bus_socket" ] && break; sleep 0.05; done
chmod 777 "$work/system_bus_socket" "$work/empty_bus_socket" || { cat "$work"/*.log; exit 1; }
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$work/system_bus_socket

# polkitd (it becomes the user polkitd) sees our action only, and a rule of the test's:
# the mount namespace is this script's own.
cp "$action" "$work/actions/"
mount --bind "$work/actions" /usr/share/polkit-1/actions
mkdir -p "$work/rules"
cat > "$work/rules/50-guard-test.rules" <<RULES
polkit.addRule(function(action, subject) {
    if (action.id == "$(sed -n 's/.*action id="\([^"]*\)".*/\1/p' "$action")" && subject.user == "daemon") {
        return polkit.Result.YES;
    }
});
RULES
mount --bind "$work/rules" /etc/polkit-1/rules.d
/usr/lib/polkit-1/polkitd --no-debug > "$work/polkitd.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
  dbus-send --system --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.NameHasOwner \
    string:org.freedesktop.PolicyKit1 2>/dev/null | grep -q 'boolean true' && break
  sleep 0.05
done

TANDREL_GUARD_TEST_PEER=$peer TANDREL_GUARD_TEST_EMPTY_BUS=unix:path=$work/empty_bus_socket "$@" && rc=0 || rc=$?
[ "$rc" = 0 ] || { echo "--- polkitd"; cat "$work/polkitd.log"; echo "--- bus"; cat "$work/system.log"; } >&2
exit $rc
