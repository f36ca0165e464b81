#!/bin/bash
# Devices that fail, the app killed mid-job, a full spool: the app keeps
# serving, the job ends with a clear state and reason, a job to another
# printer prints whole meanwhile, and no document is left in the spool.
# Runs in a mount namespace of its own, where the spool is a 16 MiB tmpfs.
#
#   faults_test.sh APP TCP_DEVICE ADDRESS OTHER_ADDRESS
set -u
if [ "$(id -u)" != 0 ]; then
    echo "SKIP: the spool's tmpfs needs root" >&2
    exit 77
fi
if [ -z "${FAULTS_NS:-}" ]; then
    FAULTS_NS=1 exec unshare --mount --propagation private --fork bash "$0" "$@"
fi
here=$(cd "$(dirname "$0")" && pwd)
. "$here/app.sh"
. "$here/../e2e/assert.sh"
APP=$1 DEVICE=$2 ADDR=$3 OK_ADDR=$4

W=$(mktemp -d)
[ -z "${KEEP:-}" ] || echo "work folder: $W"
DEV_PID= OK_PID=
trap 'app_cleanup; stop_pid "$DEV_PID"; stop_pid "$OK_PID"; umount "$SPOOL" 2>/dev/null; [ -n "${KEEP:-}" ] || rm -rf "$W"' EXIT
SPOOL=$W/app/quovel-printer-app.d
mkdir -p "$SPOOL" && mount -t tmpfs -o size=16m spool "$SPOOL" || exit 1

printf '%%!PS\n/Helvetica findfont 24 scalefont setfont 72 720 moveto (ok) show showpage\n' >"$W/small.ps"
{ printf '%%!PS\n'; yes '% padding that a printer skips as a comment, line after line.' |
    head -c $((8 * 1024 * 1024)); printf 'showpage\n'; } >"$W/mid.ps"
{ printf '%%!PS\n'; head -c $((20 * 1024 * 1024)) /dev/zero | tr '\0' '%'; printf '\nshowpage\n'; } >"$W/big.ps"

# device MODE: the faulty printer's device (none: nothing listens).
device() {
    stop_pid "$DEV_PID"
    DEV_PID=
    [ "$1" = none ] && return 0
    : >"$W/ready"
    "$DEVICE" "$ADDR" 9100 "$W/dev" "$1" >"$W/ready" 2>&1 &
    DEV_PID=$!
    for i in $(seq 50); do grep -q listening "$W/ready" && return 0; sleep 0.1; done
    echo "the device did not start" >&2
}
"$DEVICE" "$OK_ADDR" 9100 "$W/ok" sink >"$W/ok-ready" 2>&1 &
OK_PID=$!
start() {
    app_start "$APP" "$W/app" "$ADDR" || exit 1
}
# Long enough that a cancel waiting it out shows, short enough for the case
# that waits it out.
APP_OPTIONS="-o device-timeout=15"
start
app add -d faulty -v "socket://$ADDR:9100" -m quovel-r4410kx || exit 1
app add -d ok -v "socket://$OK_ADDR:9100" -m quovel-r4410kx || exit 1

state() { app_job_attr faulty "$1" job-state; }
is() { [ "$($1 "$2")" = "$3" ]; }
writing() { grep -q "\[Job $1\] The device reports\|\[Job $1\] The device reported no device ID" "$APP_LOG"; }

# Each action leaves the fault's job ended or gone.
then_wait() { app_wait_job faulty "$1" >/dev/null; }
then_device_up() {
    check "$CASE: the printer is stopped while the device refuses" \
        until_ok 10 is printer_state faulty stopped
    device sink
    app_wait_job faulty "$1" >/dev/null
}
# The job's data waits unread in the device's end of the connection.
device_holds_data() { ss -Htn state established src "$ADDR:9100" | awk '$1 > 0 { f = 1 } END { exit !f }'; }
then_cancel() {
    until_ok 20 writing "$1"
    check "$CASE: the device got data it does not read" until_ok 20 device_holds_data
    local t
    t=$(date +%s%N)
    app cancel -d faulty -j "$1"
    app_wait_job faulty "$1" >/dev/null
    # Not the device-timeout of 15 s.
    check "$CASE: the cancel took effect within 10 s" [ $((($(date +%s%N) - t) / 1000000000)) -lt 10 ]
}
then_kill() {
    until_ok 20 writing "$1"
    # The other printer's job may end just before the kill, before PAPPL
    # saved it: what its device got tells.
    app_wait_job ok "$ok_job" >/dev/null
    ok_job=
    kill -KILL "$APP_PID"
    wait "$APP_PID" 2>/dev/null
    APP_PID=
    device sink
    start
    app_wait_job faulty "$1" >/dev/null
}
printer_state() {
    ipptool -tv "$APP_URI/ipp/print/$1" get-printer-attributes.test 2>/dev/null |
        sed -n 's/^ *printer-state ([^)]*) = //p' | head -n 1
}

# name | device | document | then | job state | job-state-message
cases=(
    "a device that refuses the connection keeps the job until it answers|none|small.ps|device_up|completed|"
    "a device that hangs up halfway aborts the job|hangup=65536|mid.ps|wait|aborted|Unable to write to the printer."
    "a device that stops reading is given up after device-timeout|stall|mid.ps|wait|aborted|The printer stopped taking data; the job was ended."
    "a job cancelled while its device does not read ends at once|stall|mid.ps|cancel|canceled|"
    "the app killed in the middle of a job prints it after a restart|stall|mid.ps|kill|completed|"
)
for row in "${cases[@]}"; do
    IFS='|' read -r CASE mode doc action want message <<<"$row"
    device "$mode"
    ok_before=$(cat "$W"/ok.* 2>/dev/null | wc -c)
    job=$(app_submit faulty "$W/$doc")
    ok_job=$(app_submit ok "$W/small.ps")
    "then_$action" "$job"
    check "$CASE: the job ended $want" equals "$(state "$job")" "$want"
    [ -z "$message" ] ||
        check "$CASE: its message says why" equals "$(app_job_attr faulty "$job" job-state-message)" "$message"
    [ -z "$ok_job" ] ||
        check "$CASE: a job to another printer printed" equals "$(app_wait_job ok "$ok_job")" completed
    check "$CASE: it arrived whole" equals "$(tail -c "$(stat -c %s "$W/small.ps")" "$(ls -v "$W"/ok.* | tail -n 1)" | md5sum)" "$(md5sum <"$W/small.ps")"
    check "$CASE: no document is left in the spool" equals "$(ls "$SPOOL" | grep -v '\.ipp$')" ""
done

# The spool full: the upload is refused, and nothing of it is kept.
CASE="a full spool refuses the job"
device sink
out=$(ipptool -t -f "$W/big.ps" -d name=big "$APP_URI/ipp/print/faulty" "$here/print.test" 2>&1)
# PAPPL 1.3.1 names errno of the short write, "Success", as the cause.
check "$CASE: with the reason" lists "$out" "Unable to write print file"
check "$CASE: no document is left in the spool" equals "$(ls "$SPOOL" | grep -v '\.ipp$')" ""
ok_job=$(app_submit faulty "$W/small.ps")
check "$CASE: the next job prints" equals "$(app_wait_job faulty "$ok_job")" completed

check "the app stopped without a sanitizer report" app_stopped_cleanly
summary faults
