#!/bin/bash
# A PostScript printer reads each connection as one job and flushes the rest
# of a connection after an error: a job with a PostScript error, followed at
# once by a good one, leaves the good one printed, each job on a connection
# of its own. The printer is tcp_device feeding each connection to
# Ghostscript.
#
#   ghostscript_device_test.sh APP TCP_DEVICE ADDRESS
set -u
here=$(cd "$(dirname "$0")" && pwd)
APP=$1 DEVICE=$2 ADDR=$3
. "$here/begin.sh"

"$DEVICE" "$ADDR" 9100 "$W/dev" ghostscript >"$W/ready" 2>&1 &
SINK_PID=$!
wait_port "$ADDR" 9100 50 || { echo "the device did not start" >&2; exit 1; }
app_start "$APP" "$W/app" "$ADDR" || exit 1
app add -d gs -v "socket://$ADDR:9100" -m quovel-r4410kx || exit 1

# The bad job is long enough that the good one is queued behind it.
{ printf '%%!PS\n'; yes '% a comment the interpreter skips, line after line.' | head -c $((4 * 1024 * 1024))
  printf '\n/Helvetica findfont 24 scalefont setfont 72 720 moveto (bad) show\nnosuchoperator\nshowpage\n'; } >"$W/bad.ps"
printf '%%!PS\n/Helvetica findfont 24 scalefont setfont 72 720 moveto (good) show showpage\n' >"$W/good.ps"

bad=$(app_submit gs "$W/bad.ps")
good=$(app_submit gs "$W/good.ps")
check "the bad job ends" app_wait_job gs "$bad"
check "the good job ends completed" equals "$(app_wait_job gs "$good")" completed

# Connection N has been interpreted once its status file exists. The app may
# open connections of its own that carry no job (an empty stream: status 0,
# no page).
failed_streams() { grep -lv '^0$' "$W"/dev.*.status 2>/dev/null | wc -l; }
printed_streams() {
    local s n=0
    for s in "$W"/dev.*.status; do
        [ -f "$s" ] && [ "$(cat "$s")" = 0 ] && ls "${s%.status}".*.pgm >/dev/null 2>&1 && n=$((n + 1))
    done
    echo $n
}
# The device's Ghostscript may still be reading what the jobs sent: wait for
# both streams to be interpreted (the bound only guards against a hang; on a
# loaded machine the 4 MB stream takes many seconds).
i=0
while { [ "$(printed_streams)" -lt 1 ] || [ "$(failed_streams)" -lt 1 ]; } && [ $i -lt 1200 ]; do
    sleep 0.1
    i=$((i + 1))
done
check "the bad job's stream ended in an error" equals "$(failed_streams)" 1
check "the good job came on a stream of its own and printed" equals "$(printed_streams)" 1
check "one page was printed in all" equals "$(ls "$W"/dev.*.pgm 2>/dev/null | wc -l)" 1

summary ghostscript_device_test
