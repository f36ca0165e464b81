#!/bin/bash
# The filter under valgrind on each of its paths: no memory error, no leak
# that it owns, and no descriptor open at exit beyond those it inherited.
#
#   gate_valgrind.sh GATE SC_PEER
set -u
GATE=$1 SC_PEER=$2
here=$(cd "$(dirname "$0")" && pwd)
PPDS=$here/../filter/ppd
ROW0='MFG:Quovel;CMD:PS;MDL:R4410KX series;CLS:PRINTER;'

W=$(mktemp -d)
trap 'rm -rf "$W"' EXIT
# Each run reads a banner of its own, not the machine's /etc/issue.
for banner in debian:"Debian GNU/Linux 12" other-system:"Ubuntu 22.04 LTS"; do
    mkdir "$W/${banner%%:*}"
    printf '#!/bin/sh\nprintf "%s\\n"\n' "${banner#*:}" >"$W/${banner%%:*}/cat"
    chmod +x "$W/${banner%%:*}/cat"
done
head -c 100000 /dev/urandom >"$W/job"

VALGRIND=$(command -v valgrind)
passed=0 failed=0
# grind NAME EXPECTED-OUTPUT-BYTES [env...] -- [sc_peer args]
grind() {
    local name=$1 bytes=$2
    shift 2
    local env=()
    while [ "$1" != -- ]; do env+=("$1"); shift; done
    shift
    local log="$W/$name.log"
    env "${env[@]}" "$@" "$VALGRIND" -q --leak-check=full --track-fds=yes --error-exitcode=1 \
        --log-file="$log" "$GATE" 1 user title 1 "" <"$W/job" >"$W/out" 2>"$W/err" 4>&-
    local rc=$? ok=1
    [ $rc -eq 0 ] || { echo "$name: exit status $rc" >&2; ok=0; }
    [ "$(stat -c %s "$W/out")" -eq "$bytes" ] || { echo "$name: $(stat -c %s "$W/out") bytes out" >&2; ok=0; }
    # Every descriptor still open at exit must be one that was inherited.
    [ "$(grep -cE '^==[0-9]+== Open ' "$log")" -eq "$(grep -c '<inherited from parent>' "$log")" ] &&
        grep -q "FILE DESCRIPTORS: .* open .* at exit" "$log" ||
        { echo "$name: a descriptor of its own was left open" >&2; ok=0; }
    if [ $ok -eq 1 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); cat "$log" >&2; fi
}

grind admitted 100000 PATH="$W/debian" PPD="$PPDS/other-printer.ppd" -- "$SC_PEER" 1 "$ROW0"
grind refused-printer 0 PATH="$W/debian" PPD="$PPDS/r4410kx.ppd" -- "$SC_PEER" 1 "MFG:Other;MDL:X1;CLS:PRINTER;"
grind refused-system 0 PATH="$W/other-system" PPD="$PPDS/r4410kx.ppd" --
grind nickname-fallback 100000 PATH="$W/debian" PPD="$PPDS/r4410kx.ppd" --

echo "valgrind: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
