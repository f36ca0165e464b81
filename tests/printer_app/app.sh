# A private quovel-printer-app, its stand-in devices and agent, for the tests
# and the demo; source this file from bash.
#
#   app_start APP WORKDIR ADDRESS [BANNER]
#       Starts the app on a free port of ADDRESS (a 127.0.0.x of the test's
#       own) with its state, spool, domain socket and log under WORKDIR (and
#       the server options in APP_OPTIONS, such as "-o device-timeout=5"): PAPPL
#       puts them under SNAP_COMMON when it runs as root and under TMPDIR
#       otherwise, so both point there. With BANNER, the app reads it as the
#       system's banner (QUOVEL_ISSUE). Sets APP_URI (ipp://ADDRESS:PORT), APP_LOG.
#       Logs at APP_LOG_LEVEL (debug when not set). APP_OPTIONS, when set,
#       holds more "-o name=value" words, which win over these.
#   app SUBCOMMAND ...        runs a subcommand against it
#   app_stop                  stops it
#   until_ok SECONDS COMMAND...          true once COMMAND succeeds within
#                             SECONDS, polled every tenth of a second
#   app_stopped_cleanly       stops it; true when it reported no memory,
#                             undefined-behaviour or thread error (sanitizer
#                             builds)
#   app_submit QUEUE FILE [options...]   prints the job's number
#   app_wait_job QUEUE ID     waits until the job has ended; prints its state
#   app_job_attr QUEUE ID NAME           prints a job attribute (its message in
#                             the language APP_LANGUAGE names, en by default)
#   device_bytes FILE         bytes in FILE so far (0 when absent)
#   device_since FILE OFFSET OUT         copies what came after OFFSET to OUT,
#                             once FILE's listener has ended every connection
#                             and FILE has stopped growing
#   sink_start TCP_DEVICE ADDRESS PORT FILE
#                             a listener standing for the printer, appending
#                             what it gets to FILE
#   snmp_start WORKDIR ADDRESS DEVICE-ID [LINES]
#                             Debian's snmpd on udp ADDRESS:161, answering the
#                             printer MIB's device ID object, and whatever
#                             further configuration LINES say
#   snmp_stop
# Everything started is stopped by app_cleanup, which the caller traps.

APP_HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$APP_HERE/../e2e/snmp_agent.sh"
APP_PID= SINK_PID= SNMP_PID=

app() {
    SNAP_COMMON=$APP_DIR TMPDIR=$APP_DIR "$APP_BIN" "$@"
}

# Waits until something accepts connections on $1:$2 ($3 tenths of a second).
wait_port() {
    local i=0
    while [ $i -lt "${3:-100}" ]; do
        (exec 3<>"/dev/tcp/$1/$2") 2>/dev/null && return 0
        sleep 0.1
        i=$((i + 1))
    done
    return 1
}

app_start() {
    APP_BIN=$1 APP_DIR=$2
    local address=$3 port tries=0 extra=() banner=
    read -ra extra <<<"${APP_OPTIONS:-}" # split into words, never globbed
    mkdir -p "$APP_DIR"
    APP_LOG=$APP_DIR/log
    if [ $# -ge 4 ]; then
        banner=$APP_DIR/banner
        printf '%s' "$4" >"$banner"
    fi
    while [ $tries -lt 5 ]; do
        tries=$((tries + 1))
        port=$(( 20000 + $(od -An -N2 -tu2 /dev/urandom) % 40000 ))
        (exec 3<>"/dev/tcp/$address/$port") 2>/dev/null && continue
        SNAP_COMMON=$APP_DIR TMPDIR=$APP_DIR QUOVEL_ISSUE=${banner:-/etc/issue} "$APP_BIN" server \
            -o server-port="$port" -o listen-hostname="$address" -o log-file="$APP_LOG" \
            -o log-level="${APP_LOG_LEVEL:-debug}" -o server-options=no-tls "${extra[@]}" \
            </dev/null >>"$APP_DIR/out" 2>&1 &
        APP_PID=$!
        # The sub-commands reach the app through its domain socket; one run
        # before the socket is there starts a private server of its own,
        # which outlives the test.
        if wait_port "$address" "$port" 100 && app_socket_ready; then
            APP_URI=ipp://$address:$port
            return 0
        fi
        app_stop
    done
    echo "the app did not start; its output:" >&2
    cat "$APP_DIR/out" "$APP_LOG" >&2 2>/dev/null
    return 1
}

# Waits until the app's domain socket (PAPPL puts it under SNAP_COMMON as
# root, under TMPDIR with the user's number otherwise) is there.
app_socket_there() { [ -S "$APP_DIR/$1.sock" ] || [ -S "$APP_DIR/$1$(id -u).sock" ]; }
app_socket_ready() { until_ok 10 app_socket_there "$(basename "$APP_BIN")"; }

until_ok() {
    local i=0
    while [ $i -lt $(($1 * 10)) ]; do "${@:2}" && return 0; sleep 0.1; i=$((i + 1)); done
    false
}

stop_pid() {
    [ -n "$1" ] || return 0
    kill -TERM "$1" 2>/dev/null || :
    local i=0
    while kill -0 "$1" 2>/dev/null && [ $i -lt 100 ]; do
        sleep 0.1
        i=$((i + 1))
    done
    kill -KILL "$1" 2>/dev/null || :
    wait "$1" 2>/dev/null || :
}

app_stop() { stop_pid "$APP_PID"; APP_PID=; }

app_stopped_cleanly() {
    app_stop
    if grep -E "ERROR: (Address|Leak|UndefinedBehavior)Sanitizer|WARNING: ThreadSanitizer|runtime error:" "$APP_DIR/out" >&2; then
        return 1
    fi
}

app_submit() {
    local q=$1 f=$2
    shift 2
    app submit -d "$q" "$@" "$f" | sed -n 's/^.*-\([0-9]*\)$/\1/p'
}

app_job_attr() {
    ipptool -t -d "job=$2" -d "lang=${APP_LANGUAGE:-en}" "$APP_URI/ipp/print/$1" "$APP_HERE/job.test" |
        sed -n "s/^ *$3 ([^)]*) = //p"
}

app_wait_job() {
    [ -n "$2" ] || { echo "no job to wait for" >&2; return 1; }
    local i=0 state
    while [ $i -lt 600 ]; do
        state=$(app_job_attr "$1" "$2" job-state)
        case $state in
        completed | aborted | canceled) echo "$state"; return 0 ;;
        esac
        sleep 0.1
        i=$((i + 1))
    done
    echo "job $2 did not end" >&2
    return 1
}

device_bytes() { if [ -f "$1" ]; then stat -c %s "$1"; else echo 0; fi; }
# True when the listener writing FILE (started by sink_start) has ended each
# connection it took.
device_idle() {
    [ ! -f "$1.ready" ] || [ "$(grep -c '^open ' "$1.ready")" = "$(grep -c '^closed ' "$1.ready")" ]
}
# A listener may still be writing what the app sent before the job ended:
# waits until it has ended its connections and FILE has not grown for 0.3 s
# (10 s at most).
device_settle() {
    local last=-1 size quiet=0 i=0
    while { [ $quiet -lt 3 ] || ! device_idle "$1"; } && [ $i -lt 100 ]; do
        size=$(device_bytes "$1")
        if [ "$size" = "$last" ]; then quiet=$((quiet + 1)); else quiet=0; fi
        last=$size
        sleep 0.1
        i=$((i + 1))
    done
}
device_since() {
    device_settle "$1"
    tail -c +"$(($2 + 1))" "$1" >"$3" 2>/dev/null || : >"$3"
}

sink_start() {
    if (exec 3<>"/dev/tcp/$2/$3") 2>/dev/null; then
        echo "something already listens on $2:$3" >&2
        return 1
    fi
    "$1" "$2" "$3" "$4" append >"$4.ready" 2>&1 &
    SINK_PID=$!
    wait_port "$2" "$3" 50 || { echo "the listener did not start" >&2; cat "$4.ready" >&2; return 1; }
}

snmp_start() {
    snmp_agent_start "$1/snmp" "$3" "$2" "${4:-}" || return 1
    SNMP_PID=$SNMP_AGENT_PID
}
snmp_stop() { stop_pid "$SNMP_PID"; SNMP_PID=; }

app_cleanup() {
    app_stop
    snmp_stop
    stop_pid "$SINK_PID"
    SINK_PID=
}
