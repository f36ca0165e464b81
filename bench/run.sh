#!/bin/bash
# Benchmarks of the built filter, each against a baseline measured side by
# side in the same run: pass-through throughput against dd bs=8192 and cat,
# write calls per chunk, start-up against cat /etc/issue, and peak memory
# against a trivial program linked with libcups.
#
#   bench/run.sh [BUILD-DIR] [RUNS]      (after scripts/build; needs strace)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
runs=${2:-7}
gate=$build/filter/quovel-gate
ppd=$build/ppd/quovel-r4410kx.ppd
command -v strace >/dev/null || { echo "bench needs strace (apt-get install strace)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
size=$((256 << 20))
head -c "$size" /dev/urandom >"$work/job"
export PPD=$ppd

echo "machine: $(nproc) cores, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1), $(uname -r)"
echo

# Through pipes on both sides; the filter runs with no side channel, so the
# PPD admits the job.
through() { cat "$work/job" | "$@" | cat >/dev/null; }
gate_stage() { "$gate" 1 user title 1 "" 2>/dev/null 4>&-; }
dd_stage() { dd bs=8192 status=none; }
cat_stage() { cat; }
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
for stage in gate_stage dd_stage cat_stage; do : >"$work/$stage.times"; done
for ((i = 0; i < runs; i++)); do
    for stage in gate_stage dd_stage cat_stage; do
        start=$(date +%s%N)
        through "$stage"
        echo $(( ($(date +%s%N) - start) / 1000 )) >>"$work/$stage.times"
    done
done
g=$(median <"$work/gate_stage.times") d=$(median <"$work/dd_stage.times") c=$(median <"$work/cat_stage.times")
awk -v g="$g" -v d="$d" -v c="$c" -v mib=$((size >> 20)) -v n="$runs" 'BEGIN {
    printf "throughput, %d MiB through pipes, median of %d:\n", mib, n
    printf "  filter       %7.1f ms  %6.0f MiB/s\n", g / 1000, mib / (g / 1e6)
    printf "  dd bs=8192   %7.1f ms  %6.0f MiB/s\n", d / 1000, mib / (d / 1e6)
    printf "  cat          %7.1f ms  %6.0f MiB/s\n", c / 1000, mib / (c / 1e6)
    printf "  filter / dd bs=8192 = %.2fx, filter / cat = %.2fx\n", g / d, g / c
}'

# Every full chunk must leave in one write call.
count=$((32 << 20))
head -c "$count" "$work/job" | strace -o "$work/trace" -e trace=read,write -e signal=none \
    "$gate" 1 user title 1 "" 2>/dev/null 4>&- | cat >/dev/null
writes=$(grep -c '^write(1,' "$work/trace")
reads=$(grep -c '^read(0,' "$work/trace")
echo
echo "system calls on a $((count >> 20)) MiB job: $writes writes to standard output for" \
    "$((count / 8192)) chunks of 8192 bytes, $reads reads of standard input"

echo
"$build/bench/gate_bench" startup "$gate" "$ppd" "$build/bench/trivial_cups" $((runs * 15))
head -c $((16 << 20)) "$work/job" >"$work/job16"
"$build/bench/gate_bench" memory "$gate" "$ppd" "$build/bench/trivial_cups" "$work/job16" "$work/job" |
    sed "s|$work/||"
