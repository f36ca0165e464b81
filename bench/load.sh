#!/bin/bash
# The Printer Application's memory over the load test's 400 jobs of every
# format from eight clients to four printers (tests/printer_app/load_test.sh,
# run whole RUNS times): its VmRSS after the first 40 jobs and after all 400,
# the growth between them, and how long the last 360 took. Prints the
# medians and each run's figures.
#
#   bench/load.sh [BUILD-DIR] [RUNS]      (after scripts/build; as root)
#
# Runs in a network namespace of its own, whose loopback is the only interface.
set -u
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
runs=${2:-5}
. "$here/../tests/e2e/netns.sh"
netns_enter "$0" "$build" "$runs"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for ((i = 1; i <= runs; i++)); do
    bash "$here/../tests/printer_app/load_test.sh" "$build/printer_app/quovel-printer-app" \
        "$build/tests/printer_app/tcp_device" 127.0.0.70 127.0.0.71 127.0.0.76 127.0.0.77 plain \
        >"$work/run$i" 2>&1 ||
        { echo "run $i failed:" >&2; tail -n 20 "$work/run$i" >&2; exit 1; }
    # "memory after 40 jobs: VmHWM: A VmRSS: B ; after 400: VmHWM: C VmRSS: D ;
    #  the last 360 took T s; all took U s"
    awk '/^memory after 40 jobs:/ {
        later = 0
        t = ""
        for (i = 1; i < NF; i++) {
            if ($i == "400:") later = 1
            if ($i == "VmRSS:") rss[later] = $(i + 1)
            if ($i == "VmHWM:") hwm[later] = $(i + 1)
            if ($i == "took" && t == "") t = $(i + 1)
        }
        print rss[0], rss[1], hwm[1], t
    }' "$work/run$i" >>"$work/figures"
done
[ "$(wc -l <"$work/figures")" -eq "$runs" ] || { echo "a run printed no memory line" >&2; exit 1; }
# median COLUMN: of the figures' column.
median() { awk -v c="$1" '{ print $c }' "$work/figures" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
awk '{ printf "%.2f\n", ($2 - $1) * 100 / $1 }' "$work/figures" >"$work/growth"
echo "machine: $(nproc) cores, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1), $(uname -r)"
echo "the app over the load test's 400 jobs, median of $runs (plain build):"
echo "  VmRSS after 40 jobs:   $(median 1) kB"
echo "  VmRSS after 400 jobs:  $(median 2) kB"
echo "  growth:                $(sort -n "$work/growth" | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }') % (each run: $(tr '\n' ' ' <"$work/growth"))"
echo "  VmHWM after 400 jobs:  $(median 3) kB"
echo "  the last 360 jobs:     $(median 4) s"
