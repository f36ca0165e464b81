#!/bin/bash
# The app in front of a network printer: a listener stands for its AppSocket
# port and Debian's snmpd, started here with a configuration of our own,
# answers its device ID. Each case runs its own app, agent and listener on
# the address given (a 127.0.0.x of this test's own).
#
#   network_test.sh APP TCP_SINK ADDRESS CASE
set -u
here=$(cd "$(dirname "$0")" && pwd)
APP=$1 SINK=$2 ADDR=$3 CASE=$4
. "$here/begin.sh"

R4410='MFG:Quovel;CMD:PS;MDL:R4410KX series;CLS:PRINTER;DES:Quovel R4410KX;'
L8120='MFG:Quovel;MDL:L8120KX series;CLS:PRINTER;'
OTHER='MFG:Quovel;MDL:X9000 series;CLS:PRINTER;'
SYSTEM_MSG='当前打印机不可打印，请使用正确的系统'
PRINTER_MSG='当前打印机不可打印，请使用正确的打印机'

DEV=$W/device.out
PORT=9100
DEVICE_URI=socket://$ADDR:$PORT

. "$here/../e2e/readme.sh"
pages() { gs -q -dBATCH -dNOPAUSE -dSAFER -sDEVICE=bbox "$1" 2>&1 | grep -c '^%%HiResBoundingBox'; }
make_and_model() {
    ipptool -t "$APP_URI/ipp/print/$1" "$here/printer.test" |
        sed -n 's/^ *printer-make-and-model ([^)]*) = //p'
}
# Longest device-ID wait of the jobs so far, in ms.
longest_id_wait() {
    sed -n 's/.*Device ID query took \([0-9]*\) ms\./\1/p' "$APP_LOG" | sort -n | tail -n 1
}
at_most() { [ "$1" -le "$2" ] || { echo "  $1 > $2" >&2; false; }; }

printf '%%!PS\n/Helvetica findfont 24 scalefont setfont\n72 720 moveto (Quovel test page) show showpage\n' >"$W/page.ps"

# print QUEUE: submits the sample page; sets JOB, STATE, MESSAGE, OUT (what
# reached the device for it).
print() {
    local before
    before=$(device_bytes "$DEV")
    JOB=$(app_submit "$1" "$W/page.ps")
    STATE=$(app_wait_job "$1" "$JOB")
    MESSAGE=$(app_job_attr "$1" "$JOB" job-state-message)
    OUT=$W/job$JOB.ps
    device_since "$DEV" "$before" "$OUT"
}
printed() { # what
    check "$1: the job completed" equals "$STATE" completed
    check "$1: one page reached the printer" equals "$(pages "$OUT")" 1
    check "$1: the document follows the setup unchanged" \
        equals "$(tail -c "$(stat -c %s "$W/page.ps")" "$OUT" | md5sum)" "$(md5sum <"$W/page.ps")"
}
refused() { # what, message
    check "$1: the job was aborted" equals "$STATE" aborted
    check "$1: its message says why" equals "$MESSAGE" "$2"
    check "$1: nothing reached the printer" equals "$(stat -c %s "$OUT")" 0
}

start() {
    sink_start "$SINK" "$ADDR" "$PORT" "$DEV" || exit 1
    app_start "$APP" "$W/app" "$ADDR" "$@" || exit 1
}

# The README's add line, from its subcommand on (the words before it say
# which user runs it), with the test's address for the printer's host. It
# names no port, so the listener's 9100 is the one it means.
readme_add() {
    local words i
    readme_words words '^runuser .* quovel-printer-app add ' || return 1
    set_word_after words -v "$(uri_with_host "$(word_after words -v)" "$ADDR")" || return 1
    for i in "${!words[@]}"; do
        [ "${words[$i]}" = add ] && break
    done
    app "${words[@]:$i}"
}

case_adding_a_device_picks_the_driver_of_the_model_it_reports() {
    start
    local row id model n=0 q readme
    readme_words readme '^runuser .* quovel-printer-app add ' || exit 1
    for row in "$R4410|Quovel R4410KX series" "$L8120|Quovel L8120KX series"; do
        id=${row%%|*} model=${row#*|} n=$((n + 1))
        snmp_start "$W" "$ADDR" "$id" || exit 1
        if [ $n = 1 ]; then
            q=$(word_after readme -d)
            check "$model: the README's add line adds $q without a driver" readme_add
        else
            q=p$n
            check "$model: added without a driver" app add -d "$q" -v "$DEVICE_URI"
        fi
        check "$model: its driver's make and model" equals "$(make_and_model "$q")" "$model"
        print "$q"
        printed "$model"
        snmp_stop
    done
}

case_an_unsupported_device_is_refused_at_add_and_its_jobs_are_refused() {
    start
    snmp_start "$W" "$ADDR" "$OTHER" || exit 1
    local err
    err=$(app add -d other -v "$DEVICE_URI" 2>&1)
    check "adding it without a driver fails" [ $? -ne 0 ]
    check "and says the device is not supported" grep -q "cannot be used with this printer" <<<"$err"
    check "no printer was made" equals "$(app printers)" ""
    check "it can still be added with a driver named" app add -d other -v "$DEVICE_URI" -m quovel-r4410kx
    print other
    refused "a device reporting another model" "$PRINTER_MSG"
    # The delete subcommand finds the printer by the printer-id it reports.
    check "the printer added for it can be deleted" app delete -d other
    check "and is gone" equals "$(app printers)" ""
}

case_without_an_agent_jobs_print_without_waiting_out_the_snmp_time_out() {
    start
    check "added with a driver" app add -d silent -v "$DEVICE_URI" -m quovel-l8120kx
    local i
    for i in 1 2; do
        print silent
        printed "job $i on a printer that reports no device ID"
    done
    # The app gives up after 2 s; PAPPL's own SNMP
    # query would have kept each job 10 s. 8 s tells the two apart on a busy
    # machine; bench/device_id.sh measures the wait itself.
    check "no job waited anywhere near 10 s for the device ID" at_most "$(longest_id_wait)" 8000
}

case_a_printer_swapped_behind_the_same_address_is_judged_anew() {
    start
    snmp_start "$W" "$ADDR" "$R4410" || exit 1
    check "added" app add -d swapped -v "$DEVICE_URI"
    print swapped
    printed "before the swap"
    snmp_stop
    snmp_start "$W" "$ADDR" "$OTHER" || exit 1
    print swapped
    refused "after the swap" "$PRINTER_MSG"
}

case_an_unsupported_system_refuses_every_job() {
    start "Welcome to Other OS 1.0 \\n \\l"
    check "added with a driver" app add -d q -v "$DEVICE_URI" -m quovel-r4410kx
    print q
    refused "a machine whose banner names no supported system" "$SYSTEM_MSG"
}

"case_$CASE"
check "the app stopped without a sanitizer report" app_stopped_cleanly
summary "network ($CASE)"
