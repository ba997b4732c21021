#!/bin/bash
# Runs a command next to a real IKEv2 responder: three network namespaces (responder with
# the uplink's gateway and an outside host reachable over IPv4 and IPv6, client, LAN host), a test CA, a strongSwan responder, and in the client namespace a
# private system bus with NetworkManager and its strongSwan plugin. The command runs in
# the client namespace with DBUS_SYSTEM_BUS_ADDRESS set. Everything started here is torn
# down by PID on exit. Exit code 77: the machine cannot host the set-up (skip).
set -u
SKIP=77
skip() { echo "SKIP: $*"; exit $SKIP; }

[ "$(id -u)" = 0 ] || skip "the tunnel test needs root (network namespaces, NetworkManager)"
for tool in ip unshare dbus-daemon /usr/sbin/NetworkManager /usr/sbin/charon-systemd swanctl pki ping; do
  command -v "$tool" >/dev/null || skip "missing $tool"
done
[ -x /usr/lib/ipsec/charon-nm ] || skip "missing charon-nm (strongswan-nm)"
[ -f /usr/lib/NetworkManager/VPN/nm-strongswan-service.name ] || skip "missing NetworkManager's strongSwan plugin"
[ $# -ge 1 ] || { echo "usage: $0 command [args]"; exit 2; }

W=$(mktemp -d /tmp/tandrel-tunnel.XXXXXX)
chmod 755 "$W"
SFX=$$
NS_S=tdsrv$SFX NS_C=tdcli$SFX NS_L=tdlan$SFX
PIDS=()

cleanup() {
  # NetworkManager's VPN plugin and anything else left in the namespaces, then our daemons.
  local p
  for ns in $NS_C $NS_S $NS_L; do
    for p in $(ip netns pids $ns 2>/dev/null); do PIDS+=("$p"); done
  done
  for p in "${PIDS[@]}"; do kill -CONT "$p" 2>/dev/null; kill "$p" 2>/dev/null; done
  for p in "${PIDS[@]}"; do
    for _ in $(seq 50); do kill -0 "$p" 2>/dev/null || break; sleep 0.05; done
    kill -9 "$p" 2>/dev/null
  done
  ip netns del $NS_S 2>/dev/null; ip netns del $NS_C 2>/dev/null; ip netns del $NS_L 2>/dev/null
  rm -rf "/etc/netns/$NS_C"
  [ -n "${TANDREL_E2E_KEEP:-}" ] && echo "work folder kept: $W" || rm -rf "$W"
}
trap cleanup EXIT

unshare -m --propagation private true 2>/dev/null || skip "no mount namespace support"
ip netns add $NS_S 2>/dev/null || skip "no network namespace support"
ip netns add $NS_C && ip netns add $NS_L || exit 1

# ---------- network: responder -- client -- LAN host ----------
ip link add vs$SFX type veth peer name vc$SFX
ip link set vs$SFX netns $NS_S name eth0
ip link set vc$SFX netns $NS_C name eth0
ip link add vl$SFX type veth peer name vm$SFX
ip link set vl$SFX netns $NS_L name eth0
ip link set vm$SFX netns $NS_C name lan0
for n in $NS_S $NS_C $NS_L; do
  ip netns exec $n sysctl -qw net.ipv6.conf.all.disable_ipv6=0 net.ipv6.conf.default.disable_ipv6=0
  ip -n $n link set lo up
done
ip -n $NS_S addr add 192.0.2.1/24 dev eth0
ip -n $NS_S addr add 10.99.0.1/32 dev lo      # the network behind the responder
# The uplink's gateway (an ISP router, also its resolver's address) and, beyond it, an
# outside host: whatever reaches it on the client's eth0 outside ESP went out in clear.
ip -n $NS_S addr add 192.0.2.254/24 dev eth0
ip -n $NS_S addr add 2001:db8:1::254/64 dev eth0 nodad
ip -n $NS_S addr add 203.0.113.7/32 dev lo
ip -n $NS_S addr add 2001:db8:ffff::7/128 dev lo
ip -n $NS_L addr add 198.51.100.1/24 dev eth0
ip -n $NS_S link set eth0 up; ip -n $NS_L link set eth0 up
ip -n $NS_L route add default via 198.51.100.2
# The client's addresses come from NetworkManager's profiles below.

mkdir -p "$W"/{pki/cacerts,srv/swanctl/{x509,x509ca,private},nm/{etc,varlib,run,conns}}
chmod 700 "$W/nm/conns"

# ---------- PKI ----------
cat > "$W/pki.conf" <<'EOF'
pki { load = random nonce openssl pem pkcs1 pkcs8 x509 }
EOF
(
  export STRONGSWAN_CONF=$W/pki.conf; cd "$W/pki"
  pki --gen --type ecdsa --size 256 --outform pem > ca.key
  pki --self --ca --lifetime 30 --in ca.key --dn "CN=Tandrel Test CA" --outform pem > ca.crt
  pki --gen --type ecdsa --size 256 --outform pem > vpn.key
  pki --req --in vpn.key --dn "CN=vpn.example.test" --san vpn.example.test --outform pem > vpn.req
  pki --issue --cacert ca.crt --cakey ca.key --type pkcs10 --in vpn.req --lifetime 30 \
      --san vpn.example.test --flag serverAuth --flag ikeIntermediate --outform pem > vpn.crt
  # The same server name certified by a CA the client does not trust, on a key of its own
  # (the client caches certificates it has seen: the trusted one must not fit this key).
  pki --gen --type ecdsa --size 256 --outform pem > rogue-ca.key
  pki --self --ca --lifetime 30 --in rogue-ca.key --dn "CN=Untrusted Test CA" --outform pem > rogue-ca.crt
  pki --gen --type ecdsa --size 256 --outform pem > vpn-untrusted.key
  pki --req --in vpn-untrusted.key --dn "CN=vpn.example.test" --san vpn.example.test --outform pem > vpn-untrusted.req
  pki --issue --cacert rogue-ca.crt --cakey rogue-ca.key --type pkcs10 --in vpn-untrusted.req --lifetime 30 \
      --san vpn.example.test --flag serverAuth --flag ikeIntermediate --outform pem > vpn-untrusted.crt
) || { echo "PKI set-up failed"; exit 1; }
cp "$W/pki/ca.crt" "$W/pki/cacerts/"          # the client's trusted CAs
cp "$W/pki/ca.crt" "$W/srv/swanctl/x509ca/"
cp "$W/pki/vpn.crt" "$W/srv/swanctl/x509/"; cp "$W/pki/vpn.key" "$W/srv/swanctl/private/"

# ---------- responder ----------
PLUGINS="random nonce openssl pem pkcs1 pkcs8 x509 revocation constraints pubkey curve25519 aes gcm sha2 hmac kdf kernel-libipsec kernel-netlink socket-default eap-identity eap-mschapv2"
cat > "$W/srv/strongswan.conf" <<EOF
charon-systemd {
  load_modular = no
  load = $PLUGINS vici
  # Exchanges a client abandoned (a refused login) go after 5 s, not 30: meanwhile they
  # count as half-open and put the responder into cookie mode for the next connect.
  half_open_timeout = 5
  journal { default = -1 }
  filelog {
    main { path = $W/srv.log
      time_format = %T
      time_add_ms = yes
      default = 1
      ike = 2
      flush_line = yes }
  }
  plugins { vici { socket = unix://$W/srv.vici } }
}
swanctl {
  load = random nonce openssl pem pkcs1 pkcs8 x509 pubkey
  socket = unix://$W/srv.vici
}
EOF
cat > "$W/srv/swanctl/swanctl.conf" <<EOF
connections {
  rw-eap {
    version = 2
    proposals = aes256gcm16-prfsha384-curve25519
    encap = yes
    pools = vpool
    send_cert = always
    local { auth = pubkey
      certs = vpn.crt
      id = vpn.example.test }
    remote { auth = eap-mschapv2
      eap_id = %any }
    children { net { local_ts = 0.0.0.0/0
        esp_proposals = aes256gcm16-curve25519 } }
  }
}
pools { vpool { addrs = 10.10.10.0/24 } }
secrets {
  eap-user { id = ${TANDREL_E2E_EAP_USER:-tandrel-user}
    secret = "${TANDREL_E2E_EAP_PASSWORD:-s3cret-tunnel-pw}" }
}
EOF
cat > "$W/responder" <<EOF
#!/bin/sh
# responder COMMAND [ARGS]: swanctl against the test's responder
cmd=\$1; shift
SWANCTL_DIR=$W/srv/swanctl STRONGSWAN_CONF=$W/srv/strongswan.conf exec swanctl \$cmd --uri unix://$W/srv.vici "\$@"
EOF
cat > "$W/responder-accepts" <<EOF
#!/bin/sh
# responder-accepts USER PASSWORD: the responder's one EAP account from now on
cat > $W/srv/swanctl/accounts.conf <<END
secrets {
  eap-account { id = \$1
    secret = "\$2" }
}
END
exec "$W/responder" --load-creds --file $W/srv/swanctl/accounts.conf
EOF
cat > "$W/responder-presents" <<EOF
#!/bin/sh
# responder-presents trusted|untrusted: the certificate the responder shows from now on
case "\$1" in
  trusted) cp $W/pki/vpn.crt $W/srv/swanctl/x509/vpn.crt; cp $W/pki/vpn.key $W/srv/swanctl/private/vpn.key ;;
  untrusted) cp $W/pki/vpn-untrusted.crt $W/srv/swanctl/x509/vpn.crt
    cp $W/pki/vpn-untrusted.key $W/srv/swanctl/private/vpn.key ;;
  *) exit 2 ;;
esac
"$W/responder" --load-all --clear || exit 1
# --load-all reads only swanctl.conf's secrets: the account set by responder-accepts stays.
[ ! -f $W/srv/swanctl/accounts.conf ] || "$W/responder" --load-creds --file $W/srv/swanctl/accounts.conf
EOF
chmod +x "$W/responder" "$W/responder-accepts" "$W/responder-presents"
STRONGSWAN_CONF=$W/srv/strongswan.conf setsid ip netns exec $NS_S /usr/sbin/charon-systemd \
  > "$W/srv.stdout" 2>&1 < /dev/null &
SRV_PID=$!
PIDS+=($SRV_PID)
# responder-freeze / responder-thaw: the responder stops answering anything, then resumes.
printf '#!/bin/sh\nexec kill -STOP %s\n' $SRV_PID > "$W/responder-freeze"
printf '#!/bin/sh\nexec kill -CONT %s\n' $SRV_PID > "$W/responder-thaw"
chmod +x "$W/responder-freeze" "$W/responder-thaw"
up=
for _ in $(seq 250); do "$W/responder" --stats > /dev/null 2>&1 && { up=1; break; }; sleep 0.02; done
[ -n "$up" ] || { echo "responder did not start"; cat "$W/srv.stdout"; exit 1; }
"$W/responder" --load-all > "$W/srv.load" 2>&1 || { echo "responder config failed"; cat "$W/srv.load"; exit 1; }

# ---------- private system bus and NetworkManager in the client namespace ----------
# The traffic guard's helper of the build tree (TANDREL_E2E_GUARD_HELPER, its bus name
# TANDREL_E2E_GUARD_SERVICE) is started by this bus on the first call (D-Bus activation);
# the bus runs in the client namespace, so whatever the helper does to the network stays there.
SERVICE_DIRS=
if [ -x "${TANDREL_E2E_GUARD_HELPER:-}" ] && [ -n "${TANDREL_E2E_GUARD_SERVICE:-}" ]; then
  mkdir -p "$W/services"
  printf '[D-BUS Service]\nName=%s\nExec=%s\nUser=root\n' "$TANDREL_E2E_GUARD_SERVICE" \
    "$TANDREL_E2E_GUARD_HELPER" > "$W/services/guard.service"
  SERVICE_DIRS="  <servicedir>$W/services</servicedir>"
fi
cat > "$W/nm/dbus-system.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$W/nm/system_bus_socket</listen>
  <auth>EXTERNAL</auth>
$SERVICE_DIRS
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_type="method_call"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
EOF
cat > "$W/nm/NetworkManager.conf" <<EOF
[main]
plugins=keyfile
dns=none
rc-manager=unmanaged
no-auto-default=*
auth-polkit=false
[keyfile]
path=$W/nm/conns
[logging]
level=${TANDREL_E2E_NM_LOG:-INFO}
EOF
cat > "$W/nm/charon-nm.conf" <<EOF
charon-nm {
  load = $PLUGINS
  ca_dir = $W/pki/cacerts
  retransmit_tries = 2
  retransmit_timeout = 1.0
  filelog {
    nm { path = $W/charon-nm.log
      time_format = %T
      time_add_ms = yes
      default = 1
      ike = 2
      flush_line = yes }
  }
}
EOF
# dual.example.test: the responder's name with two addresses, the first of which nothing answers.
{ cat /etc/hosts; echo "192.0.2.1 vpn.example.test"; echo "192.0.2.3 dual.example.test"
  echo "192.0.2.1 dual.example.test"; } > "$W/nm/hosts"
# The command itself resolves the server's name too (ip netns exec mounts these over /etc).
mkdir -p "/etc/netns/$NS_C" && cp "$W/nm/hosts" "/etc/netns/$NS_C/hosts"
# The client's own links: the uplink, over IPv4 and IPv6 with a default gateway each (so
# anything outside the tunnel reaches the outside host in clear), and a LAN.
cat > "$W/nm/conns/uplink.nmconnection" <<EOF
[connection]
id=uplink
type=ethernet
interface-name=eth0
[ipv4]
method=manual
address1=192.0.2.2/24,192.0.2.254
dns=192.0.2.254;
[ipv6]
method=manual
address1=2001:db8:1::2/64,2001:db8:1::254
addr-gen-mode=eui64
EOF
cat > "$W/nm/conns/lan.nmconnection" <<EOF
[connection]
id=lan
type=ethernet
interface-name=lan0
[ipv4]
method=manual
address1=198.51.100.2/24
never-default=true
[ipv6]
method=disabled
EOF
chmod 600 "$W/nm/conns/"*.nmconnection
cat > "$W/nm/run-nm.sh" <<EOF
#!/bin/bash
# inside: ip netns exec <client> unshare -m --propagation private
set -e
mount -o remount,bind,ro /sys     # read-only sysfs: NetworkManager does without udev
mount --bind $W/nm/etc /etc/NetworkManager
mount --bind $W/nm/varlib /var/lib/NetworkManager
mkdir -p /run/NetworkManager; mount --bind $W/nm/run /run/NetworkManager
mount --bind $W/nm/charon-nm.conf /etc/strongswan.conf
mount --bind $W/nm/hosts /etc/hosts
export STRONGSWAN_CONF=$W/nm/charon-nm.conf
exec /usr/sbin/NetworkManager --no-daemon --config=$W/nm/NetworkManager.conf --pid-file=$W/nm/nm.pid --debug
EOF
chmod +x "$W/nm/run-nm.sh"

# What the bus starts finds the bus by this address too.
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$W/nm/system_bus_socket
setsid ip netns exec $NS_C dbus-daemon --config-file="$W/nm/dbus-system.conf" --nofork --nopidfile \
  > "$W/dbus.log" 2>&1 < /dev/null &
PIDS+=($!)
for _ in $(seq 250); do [ -S "$W/nm/system_bus_socket" ] && break; sleep 0.02; done
# polkit on the private bus, for callers that are not root, with the build tree's action
# (TANDREL_E2E_POLKIT_ACTION, a .policy file) next to the system's.
if [ -f "${TANDREL_E2E_POLKIT_ACTION:-}" ] && [ -x /usr/lib/polkit-1/polkitd ]; then
  mkdir -p "$W/polkit/actions"
  cp /usr/share/polkit-1/actions/*.policy "$TANDREL_E2E_POLKIT_ACTION" "$W/polkit/actions/" 2>/dev/null
  setsid unshare -m --propagation private sh -c \
    "mount --bind $W/polkit/actions /usr/share/polkit-1/actions && exec /usr/lib/polkit-1/polkitd --no-debug" \
    > "$W/polkitd.log" 2>&1 < /dev/null &
  PIDS+=($!)
  for _ in $(seq 250); do
    dbus-send --system --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
      org.freedesktop.DBus.NameHasOwner string:org.freedesktop.PolicyKit1 2>/dev/null | grep -q true && break
    sleep 0.02
  done
  export TANDREL_E2E_POLKIT=1
fi
DBUS_SYSTEM_BUS_ADDRESS=$DBUS_SYSTEM_BUS_ADDRESS setsid ip netns exec $NS_C unshare -m --propagation private \
  "$W/nm/run-nm.sh" > "$W/nm.log" 2>&1 < /dev/null &
NM_PID=$!
PIDS+=($NM_PID)
echo $NM_PID > "$W/nm/running.pid"
# nm-restart: NetworkManager quits (SIGTERM) and starts again, as a package upgrade would.
cat > "$W/nm-restart" <<EOF
#!/bin/bash
pid=\$(cat $W/nm/running.pid)
kill \$pid
for _ in \$(seq 200); do kill -0 \$pid 2>/dev/null || break; sleep 0.05; done
setsid unshare -m --propagation private "$W/nm/run-nm.sh" >> "$W/nm.log" 2>&1 < /dev/null &
echo \$! > $W/nm/running.pid
EOF
chmod +x "$W/nm-restart"
nm_ready() {
  local devices
  devices=$(ip netns exec $NS_C timeout 2 nmcli -t -f DEVICE,STATE device 2>/dev/null)
  grep -q '^eth0:connected$' <<<"$devices" && grep -q '^lan0:connected$' <<<"$devices"
}
up=
for _ in $(seq 200); do
  kill -0 $NM_PID 2>/dev/null || break
  nm_ready && { up=1; break; }
  sleep 0.05
done
[ -n "$up" ] || { echo "NetworkManager did not bring up the client's links"; tail -30 "$W/nm.log"; exit 1; }
# IPv6 duplicate address detection on the uplink
for _ in $(seq 100); do ip -n $NS_C -6 addr show dev eth0 tentative | grep -q inet6 || break; sleep 0.05; done

export TANDREL_E2E_WORK=$W
export TANDREL_E2E_RESPONDER=$W/responder
export TANDREL_E2E_RESPONDER_ACCEPTS=$W/responder-accepts
export TANDREL_E2E_RESPONDER_PRESENTS=$W/responder-presents
export TANDREL_E2E_SERVER=vpn.example.test
export TANDREL_E2E_DUAL_SERVER=dual.example.test
export TANDREL_E2E_LAN_HOST=198.51.100.1
export TANDREL_E2E_BEHIND=10.99.0.1
export TANDREL_E2E_SERVER_ADDRESS=192.0.2.1
export TANDREL_E2E_GATEWAY=192.0.2.254
export TANDREL_E2E_OUTSIDE4=203.0.113.7
export TANDREL_E2E_OUTSIDE6=2001:db8:ffff::7
export TANDREL_E2E_RESPONDER_FREEZE=$W/responder-freeze
export TANDREL_E2E_RESPONDER_THAW=$W/responder-thaw
export TANDREL_E2E_NM_RESTART=$W/nm-restart
export TANDREL_E2E_EAP_USER=${TANDREL_E2E_EAP_USER:-tandrel-user}
export TANDREL_E2E_EAP_PASSWORD=${TANDREL_E2E_EAP_PASSWORD:-s3cret-tunnel-pw}
ip netns exec $NS_C "$@"
rc=$?
[ $rc = 0 ] || { echo "--- NetworkManager (tail)"; tail -20 "$W/nm.log"; echo "--- charon-nm (tail)"; tail -20 "$W/charon-nm.log" 2>/dev/null; }
exit $rc
