#!/bin/bash
# How long the Printer Application waits for a network printer's device ID
# before each job: with Debian's snmpd answering it on the printer's address
# and with nothing there, jobs alternating, a listener on 127.0.0.8:9100
# standing for the printer's port. Prints the medians of the wait that the app
# logs for each job ("Device ID query took N ms") and their ratio.
#
#   bench/device_id.sh [BUILD-DIR] [RUNS]      (after scripts/build; as root)
#
# Runs in a network namespace of its own, whose loopback is the only interface.
set -u
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
runs=${2:-9}
. "$here/../tests/e2e/netns.sh"
netns_enter "$0" "$build" "$runs"
. "$here/../tests/printer_app/app.sh"

ADDR=127.0.0.8
R4410='MFG:Quovel;CMD:PS;MDL:R4410KX series;CLS:PRINTER;'
work=$(mktemp -d)
trap 'app_cleanup; rm -rf "$work"' EXIT
printf '%%!PS\n/Helvetica findfont 24 scalefont setfont 72 720 moveto (bench) show showpage\n' >"$work/page.ps"
sink_start "$build/tests/printer_app/tcp_device" "$ADDR" 9100 "$work/device.out" || exit 1
APP_LOG_LEVEL=info app_start "$build/printer_app/quovel-printer-app" "$work/app" "$ADDR" "Debian GNU/Linux 12" || exit 1
app add -d net -v "socket://$ADDR:9100" -m quovel-r4410kx >/dev/null || exit 1

# Prints the device-ID wait that the app logged for one job.
one_job() {
    local job state
    job=$(app_submit net "$work/page.ps")
    state=$(app_wait_job net "$job") || exit 1
    [ "$state" = completed ] || { echo "job $job ended $state" >&2; exit 1; }
    sed -n "s/.*\[Job $job\] Device ID query took \([0-9]*\) ms\..*/\1/p" "$APP_LOG" | tail -n 1
}
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

: >"$work/with" && : >"$work/without"
for ((i = 0; i < runs; i++)); do
    snmp_start "$work" "$ADDR" "$R4410" || exit 1
    one_job >>"$work/with"
    snmp_stop
    one_job >>"$work/without"
done
w=$(median <"$work/with") wo=$(median <"$work/without")
echo "machine: $(nproc) cores, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1), $(uname -r)"
echo "the app's wait for the device ID before a job, median of $runs (ms):"
echo "  with an agent answering it:  $w (all: $(sort -n "$work/with" | tr '\n' ' '))"
echo "  with no agent at the address: $wo (all: $(sort -n "$work/without" | tr '\n' ' '))"
awk -v w="$w" -v wo="$wo" 'BEGIN { printf "  without - with = %.2f s more per job\n", (wo - w) / 1000 }'
