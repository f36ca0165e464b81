# Debian's SNMP agent as a private instance, answering for a network printer
# on a loopback address; source this file from bash.
#
#   snmp_agent_start DIR DEVICE-ID ADDRESS [LINES]
#       Starts snmpd on udp ADDRESS:161, the port CUPS's network backends
#       ask (an address such as 127.0.0.2, where no system agent listens),
#       with no configuration but DIR/snmpd.conf: it answers the PWG
#       device-ID object (1.3.6.1.4.1.2699.1.2.1.2.1.1.3.1) with DEVICE-ID to
#       the community "public", and whatever further configuration LINES
#       say. Its state and log stay in DIR. Returns once the agent answers;
#       fails, saying so, when it does not (the port taken, say).
#   snmp_agent_stop
#       Stops it. DIR is left to the caller.
#
# Nothing of the system's agent or its configuration is touched.

snmp_agent_start() {
    local dir=$1 addr=$3 i
    mkdir -p "$dir/state"
    cat >"$dir/snmpd.conf" <<CONF
rocommunity public 127.0.0.0/8
override .1.3.6.1.4.1.2699.1.2.1.2.1.1.3.1 octet_str "$2"
${4:-}
CONF
    : >"$dir/log"
    # MIBS empty: the agent needs no MIB files to answer by number, and
    # Debian ships too few of them for it to load without complaint.
    MIBS= SNMP_PERSISTENT_DIR=$dir/state snmpd -f -C -c "$dir/snmpd.conf" -Lf "$dir/log" -p "$dir/pid" \
        "udp:$addr:161" </dev/null >/dev/null 2>&1 &
    SNMP_AGENT_PID=$!
    i=0
    while [ $i -lt 50 ]; do
        SNMP_PERSISTENT_DIR=$dir/state MIBS= snmpget -v1 -c public -t 0.2 -r 0 -Ov \
            "$addr" .1.3.6.1.4.1.2699.1.2.1.2.1.1.3.1 2>/dev/null | grep -qF "$2" && return 0
        kill -0 "$SNMP_AGENT_PID" 2>/dev/null || break
        sleep 0.1
        i=$((i + 1))
    done
    echo "snmpd did not start on udp $addr:161 (is another agent there?); its log:" >&2
    cat "$dir/log" >&2
    snmp_agent_stop
    return 1
}

snmp_agent_stop() {
    [ -n "${SNMP_AGENT_PID:-}" ] || return 0
    kill -TERM "$SNMP_AGENT_PID" 2>/dev/null
    wait "$SNMP_AGENT_PID" 2>/dev/null
    SNMP_AGENT_PID=
}
