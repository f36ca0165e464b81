# A private CUPS scheduler for the tests and the demo; source this file from
# bash. Its functions keep their own variables to themselves.
#
#   scheduler_start WORKDIR GATE BACKEND [BANNER]
#       Starts Debian's cupsd on a free port of 127.0.0.1 with its own
#       configuration, spool and logs under WORKDIR, and a ServerBin whose
#       filter/ and backend/ hold the system's programs, the filter GATE and
#       the test backend BACKEND (as "quovtest"). With BANNER, a cat that prints
#       it stands first on the filters' PATH in place of /etc/issue.
#       WORKDIR's parents must be open to the lp user, who runs filters.
#       Sets CUPS_SERVER (exported), SCHED_PORT, SCHED_LOG.
#   scheduler_stop
#       Stops it. WORKDIR is left to the caller.
#   sched_wait_job ID [SECONDS]
#       Waits until job ID has ended (completed, cancelled or aborted).
#   sched_job_attr QUEUE ID NAME
#       Prints the job's or its printer's attribute NAME (job-state,
#       job-printer-state-message, printer-state-message).
#   sched_job_log ID
#       Prints the scheduler's log lines of job ID.
#
# Nothing of the system's scheduler, configuration or queues is touched.

scheduler_start() {
    local sched_dir=$1 gate=$2 backend=$3 d f name tries i
    mkdir -p "$sched_dir"
    chmod 755 "$sched_dir"
    for d in etc/ppd bin/filter bin/backend data spool/tmp cache state log; do
        mkdir -p "$sched_dir/$d"
    done
    # The scheduler runs filters as lp: they must reach their programs.
    chmod -R go+rX "$sched_dir"

    # ServerBin: links to the system's programs, with ours copied in, root's
    # and not writable by others, or the scheduler refuses to run them.
    for d in /usr/lib/cups/*; do
        name=${d##*/}
        mkdir -p "$sched_dir/bin/$name"
        for f in "$d"/*; do
            [ -e "$f" ] && ln -sf "$f" "$sched_dir/bin/$name/"
        done
    done
    # DataDir: the system's, with an empty driver folder of our own; the
    # drivers under /usr/share/ppd are listed all the same.
    for f in /usr/share/cups/*; do
        [ "${f##*/}" = model ] || ln -sf "$f" "$sched_dir/data/"
    done
    mkdir -p "$sched_dir/data/model"
    install -m 0755 "$gate" "$sched_dir/bin/filter/quovel-gate"
    # Mode 0700 makes the scheduler run the backend as root.
    install -m 0700 "$backend" "$sched_dir/bin/backend/quovtest"
    if [ $# -ge 4 ]; then
        printf '%s' "$4" >"$sched_dir/banner"
        printf '#!/bin/sh\nexec /bin/cat %s\n' "$sched_dir/banner" >"$sched_dir/bin/filter/cat"
        chmod 0755 "$sched_dir/bin/filter/cat"
    fi

    cat >"$sched_dir/etc/cups-files.conf" <<CONF
ServerRoot $sched_dir/etc
ServerBin $sched_dir/bin
DataDir $sched_dir/data
CacheDir $sched_dir/cache
StateDir $sched_dir/state
RequestRoot $sched_dir/spool
TempDir $sched_dir/spool/tmp
AccessLog $sched_dir/log/access_log
ErrorLog $sched_dir/log/error_log
PageLog $sched_dir/log/page_log
Printcap $sched_dir/printcap
SystemGroup root
User lp
Group lp
CONF
    # A private D-Bus system bus (tests/e2e/mdns.sh) reaches the backends and
    # helpers that browse DNS-SD only when the scheduler passes it on.
    if [ -n "${DBUS_SYSTEM_BUS_ADDRESS:-}" ]; then
        echo "SetEnv DBUS_SYSTEM_BUS_ADDRESS $DBUS_SYSTEM_BUS_ADDRESS" >>"$sched_dir/etc/cups-files.conf"
    fi
    SCHED_LOG=$sched_dir/log/error_log

    tries=0
    while :; do
        tries=$((tries + 1))
        SCHED_PORT=$(( 20000 + $(od -An -N2 -tu2 /dev/urandom) % 40000 ))
        # Skip a port that something already answers on.
        if (exec 3<>"/dev/tcp/127.0.0.1/$SCHED_PORT") 2>/dev/null; then
            continue
        fi
        cat >"$sched_dir/etc/cupsd.conf" <<CONF
LogLevel debug
MaxLogSize 0
Listen 127.0.0.1:$SCHED_PORT
Browsing No
WebInterface No
DefaultAuthType None
MaxJobs 0
PreserveJobFiles No
<Location />
  Order allow,deny
  Allow all
</Location>
<Policy default>
  <Limit All>
    Order deny,allow
  </Limit>
</Policy>
CONF
        : >"$SCHED_LOG"
        cupsd -f -c "$sched_dir/etc/cupsd.conf" -s "$sched_dir/etc/cups-files.conf" \
            </dev/null >>"$sched_dir/log/cupsd.out" 2>&1 &
        SCHED_PID=$!
        export CUPS_SERVER=127.0.0.1:$SCHED_PORT

        # Wait until it answers, or has given up (a port taken meanwhile).
        i=0
        while [ $i -lt 100 ]; do
            # lpstat -r exits 0 either way; only its words tell.
            if lpstat -r 2>/dev/null | grep -qx "scheduler is running"; then
                return 0
            fi
            kill -0 "$SCHED_PID" 2>/dev/null || break
            sleep 0.1
            i=$((i + 1))
        done
        scheduler_stop
        if [ $tries -ge 5 ]; then
            echo "scheduler did not start; its log:" >&2
            cat "$SCHED_LOG" "$sched_dir/log/cupsd.out" >&2
            return 1
        fi
    done
}

scheduler_stop() {
    [ -n "${SCHED_PID:-}" ] || return 0
    # Gone (or a zombie) before it was told to stop: say why it died.
    if ! kill -0 "$SCHED_PID" 2>/dev/null || grep -qs ') Z ' "/proc/$SCHED_PID/stat"; then
        echo "the scheduler had ended by itself; the end of its logs:" >&2
        tail -n 30 "$SCHED_LOG" "${SCHED_LOG%/*}/cupsd.out" >&2 2>/dev/null
    fi
    kill -TERM "$SCHED_PID" 2>/dev/null
    local i=0
    while kill -0 "$SCHED_PID" 2>/dev/null && [ $i -lt 100 ]; do
        sleep 0.1
        i=$((i + 1))
    done
    # It may be gone already; callers run under set -e.
    kill -KILL "$SCHED_PID" 2>/dev/null || true
    wait "$SCHED_PID" 2>/dev/null || true
    SCHED_PID=
}

sched_wait_job() {
    [ -n "$1" ] || { echo "no job to wait for" >&2; return 1; }
    local i=0
    while [ $i -lt $(( ${2:-60} * 10 )) ]; do
        lpstat -W completed -o 2>/dev/null | grep -q -- "-$1 " && return 0
        sleep 0.1
        i=$((i + 1))
    done
    echo "job $1 did not end" >&2
    return 1
}

sched_job_attr() {
    ipptool -t -d "job=$2" "ipp://127.0.0.1:$SCHED_PORT/printers/$1" \
        "$(dirname "${BASH_SOURCE[0]}")/job-state.test" |
        sed -n "s/^ *$3 ([^)]*) = //p"
}

sched_job_log() {
    grep -F "[Job $1] " "$SCHED_LOG"
}
