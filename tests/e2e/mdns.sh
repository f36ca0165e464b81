# A private D-Bus system bus and Avahi daemon on the loopback interface only,
# for DNS-SD without the machine's own; source this file from bash in a
# script that has entered a namespace of its own with netns_enter (netns.sh),
# where the loopback interface is ours to set up and a tmpfs on /run hides
# the system's Avahi pid file and sockets.
#
#   mdns_start DIR    starts both with their configuration and logs in DIR;
#                     exports DBUS_SYSTEM_BUS_ADDRESS
#   mdns_stop         stops them
#
# Nothing of the system's D-Bus, Avahi or network is touched.

mdns_start() {
    local dir=$1 i
    # /proc/1/ns may be unreadable: only netns_enter's own record, checked
    # against where we are, tells a namespace of our own.
    [ -n "${NETNS_OUTER:-}" ] && [ "${NETNS_OUTER%% *}" != "$(readlink /proc/self/ns/net)" ] ||
        { echo "mdns_start: not in a namespace of its own (see netns.sh): stopping" >&2; return 1; }
    mkdir -p "$dir"
    ip link set lo multicast on || return 1

    cat >"$dir/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$dir/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_type="method_return"/>
    <allow send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="signal"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
  </policy>
</busconfig>
CONF
    cat >"$dir/avahi.conf" <<CONF
[server]
use-ipv4=yes
use-ipv6=no
allow-interfaces=lo
enable-dbus=yes
ratelimit-interval-usec=1000000
ratelimit-burst=1000
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
[reflector]
enable-reflector=no
CONF
    dbus-daemon --config-file="$dir/bus.conf" --nofork --nopidfile >"$dir/dbus.log" 2>&1 &
    MDNS_DBUS_PID=$!
    export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$dir/bus
    for i in $(seq 50); do [ -S "$dir/bus" ] && break; sleep 0.1; done
    avahi-daemon -f "$dir/avahi.conf" --no-drop-root --no-chroot --no-rlimits >"$dir/avahi.log" 2>&1 &
    MDNS_AVAHI_PID=$!
    for i in $(seq 100); do
        grep -q "Server startup complete" "$dir/avahi.log" && return 0
        kill -0 "$MDNS_AVAHI_PID" 2>/dev/null || break
        sleep 0.1
    done
    echo "mdns_start: avahi-daemon did not start; its log:" >&2
    cat "$dir/avahi.log" >&2
    return 1
}

mdns_stop() {
    local pid
    for pid in ${MDNS_AVAHI_PID:-} ${MDNS_DBUS_PID:-}; do
        kill -TERM "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    MDNS_AVAHI_PID= MDNS_DBUS_PID=
}
