#!/bin/bash
# How soon a cancel ends the filter: on its own (gate_bench cancel: from
# SIGTERM to its end in each state a cancel can find it, against sleep ended
# by the signal), and inside a private scheduler (from the cancel command to
# the filter's end, while the filter waits for a device ID that the test
# backend never sends, against the same for a cancel of a job that the
# backend takes slowly, which the filter passes on).
#
#   bench/cancel.sh [BUILD-DIR] [RUNS]      (after scripts/build; as root)
set -u
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
runs=${2:-9}
. "$here/../tests/e2e/scheduler.sh"

echo "machine: $(nproc) cores, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1), $(uname -r)"
echo
"$build/bench/gate_bench" cancel "$build/filter/quovel-gate" "$build/ppd/quovel-r4410kx.ppd" \
    "$build/bench/trivial_cups" $((runs * 5)) || exit 1

work=$(mktemp -d)
chmod 755 "$work"
trap 'scheduler_stop; rm -rf "$work"' EXIT
scheduler_start "$work/s" "$build/filter/quovel-gate" "$build/tests/e2e/quovtest" "Debian GNU/Linux 12" || exit 1
ppd=$build/ppd/quovel-r4410kx.ppd
lpadmin -p mute -E -v "quovtest:$work/mute.prn?mute" -P "$ppd" 2>/dev/null
lpadmin -p slow -E -v "quovtest:$work/slow.prn?slow&id=MFG:Quovel%3BCMD:PS%3BMDL:R4410KX%20series%3BCLS:PRINTER%3B" \
    -P "$ppd" 2>/dev/null
printf '%%!PS\nshowpage\n' >"$work/page.ps"
head -c $((16 << 20)) /dev/urandom >"$work/big.bin"

# The process ID of job ID's filter, from the scheduler's log.
filter_pid() {
    grep -F "[Job $1] " "$SCHED_LOG" | sed -n 's|.*Started filter .*/quovel-gate (PID \([0-9]*\)).*|\1|p' | head -n 1
}
# True while process PID runs (a zombie has ended).
running() { [ -n "$1" ] && [ -r "/proc/$1/stat" ] && ! grep -qs ') Z ' "/proc/$1/stat"; }
# until_true COMMAND...: polls COMMAND for up to a minute.
until_true() {
    local i=0
    until "$@"; do
        [ $i -lt 3000 ] || { echo "gave up waiting for: $*" >&2; exit 1; }
        sleep 0.02
        i=$((i + 1))
    done
}
logged() { grep -F "[Job $1] " "$SCHED_LOG" | grep -qF -- "$2"; }
# cancelled QUEUE FILE WHEN [lp options]: ms from the cancel to the filter's end,
# the cancel sent once the log line WHEN shows.
cancelled() {
    local job pid start
    job=$(lp -d "$1" "${@:4}" "$2" | sed -n 's/^request id is [^ ]*-\([0-9]*\) .*/\1/p')
    until_true logged "$job" "$3"
    pid=$(filter_pid "$job")
    running "$pid" || { echo "job $job: its filter is not running" >&2; exit 1; }
    start=$(date +%s%N)
    cancel "$job"
    until_true eval '! running "$pid"'
    echo $((($(date +%s%N) - start) / 1000000))
    sched_wait_job "$job" 60 || exit 1
}
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

: >"$work/mute" && : >"$work/slow"
for ((i = 0; i < runs; i++)); do
    cancelled mute "$work/page.ps" "side-channel request left unanswered" >>"$work/mute"
    cancelled slow "$work/big.bin" "side-channel request GET_DEVICE_ID answered" \
        -o document-format=application/vnd.cups-postscript >>"$work/slow"
done
m=$(median <"$work/mute") s=$(median <"$work/slow")
echo
echo "in a scheduler, the cancel command to the filter's end, median of $runs (ms):"
echo "  the filter waiting for a device ID that never comes: $m (all: $(sort -n "$work/mute" | tr '\n' ' '))"
echo "  the filter passing a job on to a slow backend:       $s (all: $(sort -n "$work/slow" | tr '\n' ' '))"
awk -v m="$m" -v s="$s" 'BEGIN { if (s > 0) printf "  waiting / copying = %.2fx\n", m / s }'
