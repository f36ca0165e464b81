#!/bin/bash
# What a job to a network printer costs with and without an SNMP agent that
# reports the printer's device ID: CUPS's socket backend prints to a stand-in
# for the printer's port on 127.0.0.2, in a private scheduler, with Debian's
# snmpd on udp 127.0.0.2:161 or nothing there. Jobs with and without the agent
# alternate; prints the medians of the time from submission to completion and
# their ratio.
#
#   bench/network.sh [BUILD-DIR] [RUNS]      (after scripts/build; as root)
set -u
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
runs=${2:-5}
. "$here/../tests/e2e/scheduler.sh"
. "$here/../tests/e2e/snmp_agent.sh"

work=$(mktemp -d)
chmod 755 "$work"
port_pid=
trap 'scheduler_stop; snmp_agent_stop; [ -z "$port_pid" ] || kill "$port_pid"; rm -rf "$work"' EXIT

scheduler_start "$work/s" "$build/filter/quovel-gate" "$build/tests/e2e/quovtest" "Debian GNU/Linux 12" || exit 1
"$build/tests/e2e/printer_port" "$work/port" 127.0.0.2 >"$work/port-number" &
port_pid=$!
while [ ! -s "$work/port-number" ]; do sleep 0.01; done
lpadmin -p net -E -v "socket://127.0.0.2:$(cat "$work/port-number")" -P "$build/ppd/quovel-r4410kx.ppd" 2>/dev/null
printf '%%!PS\n72 720 moveto /Helvetica findfont 24 scalefont setfont (bench) show showpage\n' >"$work/job.ps"

# Prints the milliseconds from submission until the job has completed.
one_job() {
    local start job i=0
    start=$(date +%s%N)
    job=$(lp -d net "$work/job.ps" | sed -n 's/^request id is [^ ]*-\([0-9]*\) .*/\1/p')
    until lpstat -W completed -o net 2>/dev/null | grep -q -- "-$job "; do
        [ $i -lt 6000 ] || { echo "job $job did not end" >&2; exit 1; }
        sleep 0.01
        i=$((i + 1))
    done
    echo $((($(date +%s%N) - start) / 1000000))
}
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

: >"$work/with" && : >"$work/without"
for ((i = 0; i < runs; i++)); do
    snmp_agent_start "$work/snmp" 'MFG:Quovel;CMD:PS;MDL:R4410KX series;CLS:PRINTER;' 127.0.0.2 || exit 1
    one_job >>"$work/with"
    snmp_agent_stop
    one_job >>"$work/without"
done
w=$(median <"$work/with") wo=$(median <"$work/without")
echo "machine: $(nproc) cores, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1), $(uname -r)"
echo "a one-page PostScript job through the socket backend, median of $runs, submission to completion:"
echo "  with an agent answering the device ID:  $w ms"
echo "  with no agent on the printer's address: $wo ms"
awk -v w="$w" -v wo="$wo" 'BEGIN { printf "  without / with = %.1fx, %.2f s more per job\n", wo / w, (wo - w) / 1000 }'
grep -c 'cups api can' "$SCHED_LOG" | sed 's/^/  jobs where the filter got no device ID and the nickname decided: /'
