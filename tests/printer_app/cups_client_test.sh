#!/bin/bash
# The CUPS client path: a private cupsd whose queues are made with
# "lpadmin -m everywhere" on the app's printers, as any desktop makes them,
# and nothing of ours in it. The supported printer's queue is made and printed
# to with the README's own lpadmin and lp lines, but for the app's address and
# the document; the README's printer is a supported device here (a file). The
# other printer is a network device that reports another model through
# Debian's snmpd.
#
#   cups_client_test.sh APP TCP_SINK GATE BACKEND ADDRESS
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/app.sh"
. "$here/../e2e/scheduler.sh"
. "$here/../e2e/readme.sh"
APP=$1 SINK=$2 GATE=$3 BACKEND=$4 ADDR=$5
PRINTER_MSG='当前打印机不可打印，请使用正确的打印机'

W=$(mktemp -d)
chmod 755 "$W"
trap 'scheduler_stop; app_cleanup; [ -n "${KEEP:-}" ] || rm -rf "$W"' EXIT

. "$here/../e2e/assert.sh"
sheets() {
    rm -f "$W"/sheet-*.pgm
    gs -q -dBATCH -dNOPAUSE -dSAFER -sDEVICE=pgmraw -r10 -o "$W/sheet-%d.pgm" "$1" >/dev/null 2>&1
    ls "$W"/sheet-*.pgm 2>/dev/null | wc -l
}

gs -q -dBATCH -dNOPAUSE -dSAFER -sDEVICE=pdfwrite -o "$W/doc.pdf" \
    -c "1 1 2 { <</PageSize[595 842]>>setpagedevice /Helvetica findfont 40 scalefont setfont 100 700 moveto (Page ) show 3 string cvs show showpage } for" \
    >/dev/null 2>&1

snmp_start "$W" "$ADDR" "MFG:Quovel;MDL:X9000 series;CLS:PRINTER;" || exit 1
sink_start "$SINK" "$ADDR" 9100 "$W/other.out" || exit 1
app_start "$APP" "$W/app" "$ADDR" || exit 1
readme_words client '^lpadmin -p [^ ]+ .*-m everywhere' || exit 1
readme_words added '^runuser .* quovel-printer-app add ' || exit 1
good=$(word_after client -p) uri=$(word_after client -v) || exit 1
check "the README's client line is for the printer its add line adds" \
    equals "${uri##*/}" "$(word_after added -d)"
: >"$W/good.out"
app add -d "${uri##*/}" -v "file://$W/good.out" -m quovel-r4410kx || exit 1
app add -d other -v "socket://$ADDR:9100" -m quovel-r4410kx || exit 1

scheduler_start "$W/cups" "$GATE" "$BACKEND" || exit 1
set_word_after client -v "$(uri_with_authority "$uri" "${APP_URI#ipp://}")"
check "the README's lpadmin -m everywhere line makes queue $good on the app's printer" "${client[@]}"
check "other: lpadmin -m everywhere makes a queue on the app's printer" \
    lpadmin -p other -E -v "$APP_URI/ipp/print/other" -m everywhere

readme_words print "^lp -d $good " || exit 1
print[-1]=$W/doc.pdf
job=$("${print[@]}" | sed -n 's/^request id is [^ ]*-\([0-9]*\) .*/\1/p')
sched_wait_job "$job" 120
check "a PDF printed with the README's lp line completes" \
    equals "$(sched_job_attr "$good" "$job" job-state)" completed
check "it reaches the device as PostScript" equals "$(head -c 4 "$W/good.out")" "%!PS"
check "with both its pages" equals "$(sheets "$W/good.out")" 2

job=$(lp -d other "$W/doc.pdf" | sed -n 's/^request id is [^ ]*-\([0-9]*\) .*/\1/p')
sched_wait_job "$job" 120
check "nothing reached the device reporting another model" equals "$(device_bytes "$W/other.out")" 0
# What the queue shows of it is CUPS's: its ipp backend passes on a printer's
# printer-state-message only, never a job's job-state-message (and PAPPL
# 1.3.1 can't set the former), and it reports the job cancelled at the
# printer or, when its status thread misses the end, completed. The app's job
# tells why, to any IPP client.
app_job=$(app jobs -d other | awk 'NR == 1 { print $1 }')
check "the app's job was aborted" equals "$(app_job_attr other "$app_job" job-state)" aborted
check "the app's job carries the Chinese message" \
    equals "$(app_job_attr other "$app_job" job-state-message)" "$PRINTER_MSG"

check "the app stopped without a sanitizer report" app_stopped_cleanly
summary cups-client
