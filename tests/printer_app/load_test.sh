#!/bin/bash
# 400 jobs of every format from eight clients at once to four printers, three
# whose devices report a supported model and one whose device reports
# another. Each client queues its jobs as a real one does, sending the next
# as soon as the last has its job ID, so raster arrives while the printers
# print. Every job is accepted; every job of a supported printer reaches its
# device whole, on a connection of its own, each client's in the order it
# sent them; every job of the other printer is refused with the message and
# reaches nothing; none is left pending. Throughout, a watchdog asks for the
# printers' attributes every second and must be answered within 5 s. After
# the run the app's memory shows no leak (plain build): it stays within half
# again what it was after the first 40 jobs (bench/load.sh measures the
# growth itself).
#
#   load_test.sh APP TCP_DEVICE ADDRESS1 ADDRESS2 ADDRESS3 ADDRESS4 plain|sanitized
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/app.sh"
. "$here/../e2e/assert.sh"
APP=$1 DEVICE=$2 BUILD=$7
ADDRS=("$3" "$4" "$5" "$6")
PRINTER_MSG='当前打印机不可打印，请使用正确的打印机'
CLIENTS=8 PER_CLIENT=50 WARM_UP=5
# An answer slower than this is a stall.
WATCHDOG_MS=5000

# The printers: queue | device ID its device reports | driver. A printer
# keeps its last 100 jobs, and each gets 100 of the 400, so Get-Jobs shows
# every job at the end.
PRINTERS=(
    "r4410|MFG:Quovel;CMD:PS;MDL:R4410KX series;CLS:PRINTER;DES:Quovel R4410KX;|quovel-r4410kx"
    "l8120|MFG:Quovel;MDL:L8120KX series;CLS:PRINTER;|quovel-l8120kx"
    "r4410b|MFG:Quovel;MDL:R4410KX series;CLS:PRINTER;|quovel-r4410kx"
    "other|MFG:Quovel;MDL:X9000 series;CLS:PRINTER;|quovel-r4410kx"
)
REFUSED=other

# The mix: kind | document-format | its document. "ps BODY": PostScript
# naming its job, then BODY; "file F": the same file for every job of the
# kind (PDF names its job in its title); "gs ARGS": a page made by
# Ghostscript that carries the job's number as bars (see device_jobs.py).
KINDS=(
    "ps|application/postscript|ps small.body"
    "ps-1mib|application/postscript|ps mib.body"
    "pdf|application/pdf|file one.pdf"
    "pdf-3|application/pdf|file three.pdf"
    "jpeg|image/jpeg|gs -sDEVICE=jpeggray -r50"
    "png|image/png|gs -sDEVICE=pnggray -r50"
    "pwg|image/pwg-raster|gs -sDEVICE=pwgraster -dcupsColorSpace=18 -dcupsBitsPerColor=8 -r300"
    "urf|image/urf|gs -sDEVICE=urf -dcupsColorSpace=18 -dcupsBitsPerColor=8 -r300"
)
declare -A FORMAT SOURCE
for row in "${KINDS[@]}"; do
    IFS='|' read -r kind format source <<<"$row"
    FORMAT[$kind]=$format SOURCE[$kind]=$source
done

W=$(mktemp -d)
[ -z "${KEEP:-}" ] || echo "work folder: $W"
DEV_PIDS=() SNMP_PIDS=() CLIENT_PIDS=() WATCHDOG_PID=
stop_all() {
    local p
    for p in "${CLIENT_PIDS[@]}" "$WATCHDOG_PID"; do stop_pid "$p"; done
    app_cleanup
    for p in "${DEV_PIDS[@]}" "${SNMP_PIDS[@]}"; do stop_pid "$p"; done
}
trap 'stop_all; [ -n "${KEEP:-}" ] || rm -rf "$W"' EXIT
mkdir "$W/docs" "$W/pages"
gs_run() { gs -q -dBATCH -dNOPAUSE -dSAFER "$@" >/dev/null 2>&1; }

# The plan: a line per job, "number client k kind queue", job k of client c
# being number c * PER_CLIENT + k. Each block of eight of a client's jobs
# holds every kind and goes to one printer, the next block to the next.
for ((c = 0; c < CLIENTS; c++)); do
    for ((k = 0; k < PER_CLIENT; k++)); do
        kind=${KINDS[$(((k + c) % ${#KINDS[@]}))]%%|*}
        queue=${PRINTERS[$(((c + k / 8) % ${#PRINTERS[@]}))]%%|*}
        echo "$((c * PER_CLIENT + k)) $c $k $kind $queue"
    done
done >"$W/plan"
name_of() { echo "j$1-c$2-k$3-$4"; }

# The documents.
page='/Helvetica findfont 24 scalefont setfont 72 720 moveto (Quovel load) show showpage'
printf '%s\n' "$page" >"$W/small.body"
{ yes '% padding that a printer skips as a comment, line after line.' |
    head -c $((1024 * 1024)); printf '\n%s\n' "$page"; } >"$W/mib.body"
gs_run -sDEVICE=pdfwrite -o "$W/one.pdf" -c "$page"
gs_run -sDEVICE=pdfwrite -o "$W/three.pdf" -c "$page $page $page"
# bars.ps NUMBER...: a page for each number, its ten bits as dark bars
# across the upper band, least first, and their complement across the lower.
bars_ps() {
    echo "%!PS"
    echo "<</PageSize[595 842]>>setpagedevice"
    echo "/cell 59.5 def"
    echo "/bars { /n exch def 0 1 9 { /i exch def n i neg bitshift 1 and 1 eq {
          i cell mul 505 cell 84 rectfill } { i cell mul 252 cell 84 rectfill } ifelse } for
          /Helvetica findfont 30 scalefont setfont 72 720 moveto n 10 string cvs show showpage } def"
    for n in "$@"; do echo "$n bars"; done
}
for kind in "${!SOURCE[@]}"; do
    read -ra how <<<"${SOURCE[$kind]}"
    set -- "${how[@]}"
    case $1 in
    ps)
        awk -v kind="$kind" '$4 == kind' "$W/plan" | while read -r n c k _ _; do
            name=$(name_of "$n" "$c" "$k" "$kind")
            { printf '%%!PS\n%% load-job %s\n' "$name"; cat "$W/$2"; } >"$W/docs/$name"
        done
        ;;
    gs)
        shift
        mapfile -t numbers < <(awk -v kind="$kind" '$4 == kind { print $1 }' "$W/plan")
        bars_ps "${numbers[@]}" >"$W/$kind-bars.ps"
        gs_run "$@" -o "$W/pages/$kind-%03d" "$W/$kind-bars.ps"
        # Ghostscript writes a raster stream's header into the first
        # page's file only; each document gets its own.
        case $kind in
        pwg) header_size=4 ;;  # "RaS2"
        urf) header_size=12 ;; # "UNIRAST", a NUL and the page count
        *) header_size=0 ;;
        esac
        head -c "$header_size" "$W/pages/$kind-001" >"$W/pages/$kind-header"
        i=0
        while read -r n c k _ _; do
            i=$((i + 1))
            page_file=$W/pages/$(printf '%s-%03d' "$kind" "$i")
            { [ "$i" -eq 1 ] || cat "$W/pages/$kind-header"; cat "$page_file"; } \
                >"$W/docs/$(name_of "$n" "$c" "$k" "$kind")"
        done < <(awk -v kind="$kind" '$4 == kind' "$W/plan")
        ;;
    esac
done
# document KIND NAME: the file that job NAME sends.
document() {
    local how
    read -ra how <<<"${SOURCE[$1]}"
    if [ "${how[0]}" = file ]; then echo "$W/${how[1]}"; else echo "$W/docs/$2"; fi
}
while read -r n c k kind _; do
    [ -f "$(document "$kind" "$(name_of "$n" "$c" "$k" "$kind")")" ] ||
        { echo "no document for job $n" >&2; exit 1; }
done <"$W/plan"

# A job as a client sends it, at a resolution the printers support.
cat >"$W/print.test" <<'TEST'
{
  NAME "print"
  OPERATION Print-Job
  GROUP operation-attributes-tag
  ATTR charset attributes-charset utf-8
  ATTR naturalLanguage attributes-natural-language en
  ATTR uri printer-uri $uri
  ATTR name requesting-user-name $owner
  ATTR name job-name $name
  ATTR mimeMediaType document-format $format
  GROUP job-attributes-tag
  ATTR resolution printer-resolution 300dpi
  FILE $filename
  STATUS successful-ok
  DISPLAY job-id
}
TEST
# Every job of a printer (or, with -d which=not-completed, those not ended),
# as CSV.
cat >"$W/jobs.test" <<'TEST'
{
  NAME "jobs"
  OPERATION Get-Jobs
  GROUP operation-attributes-tag
  ATTR charset attributes-charset utf-8
  ATTR naturalLanguage attributes-natural-language en
  ATTR uri printer-uri $uri
  ATTR name requesting-user-name root
  ATTR keyword which-jobs $which
  ATTR keyword requested-attributes job-id,job-state,job-state-message,time-at-creation,time-at-processing,time-at-completed
  STATUS successful-ok
  DISPLAY job-id
  DISPLAY job-state
  DISPLAY time-at-creation
  DISPLAY time-at-processing
  DISPLAY time-at-completed
  DISPLAY job-state-message
}
TEST

# The printers' stand-ins: an SNMP agent and a listener writing each
# connection to a file of its own, on each address.
for ((i = 0; i < ${#PRINTERS[@]}; i++)); do
    IFS='|' read -r queue id _ <<<"${PRINTERS[$i]}"
    snmp_start "$W/snmp-$queue" "${ADDRS[$i]}" "$id" || exit 1
    SNMP_PIDS+=("$SNMP_PID")
    SNMP_PID=
    "$DEVICE" "${ADDRS[$i]}" 9100 "$W/dev-$queue" sink >"$W/listener-$queue" 2>&1 &
    DEV_PIDS+=($!)
    # Not wait_port: every connection counts.
    for ((t = 0; t < 50; t++)); do grep -qs listening "$W/listener-$queue" && break; sleep 0.1; done
    grep -q listening "$W/listener-$queue" || { cat "$W/listener-$queue" >&2; exit 1; }
done
# At debug level the log of 400 jobs rotates its start away.
APP_LOG_LEVEL=info app_start "$APP" "$W/app" "${ADDRS[0]}" || exit 1
for ((i = 0; i < ${#PRINTERS[@]}; i++)); do
    IFS='|' read -r queue _ driver <<<"${PRINTERS[$i]}"
    app add -d "$queue" -v "socket://${ADDRS[$i]}:9100" -m "$driver" || exit 1
done

# client C FROM TO: jobs FROM..TO of client C, each sent once the last has
# its job ID; a line of its log per job: "queue job-id name", the job ID
# "none" when the job was refused.
client() {
    local n c k kind queue name id
    while read -r n c k kind queue; do
        name=$(name_of "$n" "$c" "$k" "$kind")
        id=$(ipptool -T 120 -t -f "$(document "$kind" "$name")" -d name="$name" \
            -d format="${FORMAT[$kind]}" -d owner="client$c" \
            "$APP_URI/ipp/print/$queue" "$W/print.test" | sed -n 's/^ *job-id ([^)]*) = //p')
        echo "$queue ${id:-none} $name"
    done < <(awk -v c="$1" -v from="$2" -v to="$3" '$2 == c && $3 >= from && $3 <= to' "$W/plan") \
        >>"$W/client$1"
}
# Jobs FROM..TO of every client at once.
round() {
    local c
    CLIENT_PIDS=()
    for ((c = 0; c < CLIENTS; c++)); do
        client "$c" "$1" "$2" &
        CLIENT_PIDS+=($!)
    done
    wait "${CLIENT_PIDS[@]}"
    CLIENT_PIDS=()
}
# jobs_of QUEUE [WHICH]: the printer's jobs, a CSV line each.
jobs_of() {
    ipptool -T 30 -c -d which="${2:-all}" "$APP_URI/ipp/print/$1" "$W/jobs.test" | sed 1d
}
# Waits until no printer has a job pending or processing (a bound that only
# guards against a hang).
all_ended() {
    local i=0 queue left
    while [ $i -lt 1500 ]; do
        left=0
        for queue in "${PRINTERS[@]%%|*}"; do
            left=$((left + $(jobs_of "$queue" not-completed | grep -c .)))
        done
        [ "$left" -eq 0 ] && return 0
        sleep 1
        i=$((i + 1))
    done
    echo "$left jobs still pending or processing" >&2
    return 1
}
memory() { awk '/^VmRSS|^VmHWM/ { printf "%s %s ", $1, $2 }' "/proc/$APP_PID/status"; }

# The watchdog: Get-Printer-Attributes every second, each printer in turn;
# a line per answer, "milliseconds ok|failed printer HH:MM:SS.mmm" (when it
# was asked, as in the app's log).
watchdog() {
    local i=0 start end queues=("${PRINTERS[@]%%|*}") rest
    while [ ! -e "$W/stop" ]; do
        start=$(date +%s%N)
        if timeout 60 ipptool -T 60 "$APP_URI/ipp/print/${queues[$((i % 4))]}" "$here/printer.test" \
            >/dev/null 2>&1; then rest=ok; else rest=failed; fi
        end=$(date +%s%N)
        echo "$(((end - start) / 1000000)) $rest ${queues[$((i % 4))]}" \
            "$(date -u -d "@$((start / 1000000000)).$(printf '%09d' $((start % 1000000000)))" +%T.%3N)" \
            >>"$W/watchdog"
        i=$((i + 1))
        rest=$((1000 - (end - start) / 1000000))
        [ "$rest" -le 0 ] || sleep "$(printf '%d.%03d' $((rest / 1000)) $((rest % 1000)))"
    done
}
watchdog &
WATCHDOG_PID=$!

start_time=$SECONDS
round 0 $((WARM_UP - 1))
all_ended
FIRST=$(memory)
late_start=$SECONDS
round "$WARM_UP" $((PER_CLIENT - 1))
check "every job ended" all_ended
LAST=$(memory)
touch "$W/stop"
wait "$WATCHDOG_PID"
WATCHDOG_PID=
n_all=$(wc -l <"$W/plan")
echo "memory after $((CLIENTS * WARM_UP)) jobs: $FIRST; after $n_all: $LAST;" \
    "the last $((n_all - CLIENTS * WARM_UP)) took $((SECONDS - late_start)) s; all took $((SECONDS - start_time)) s"

for queue in "${PRINTERS[@]%%|*}"; do
    jobs_of "$queue" | sed "s/^/$queue,/" >>"$W/ended"
done
cat "$W"/client? >"$W/sent"
check "every job was accepted with a job ID" equals "$(awk '$2 != "none"' "$W/sent" | wc -l)" "$n_all"
# sent and ended, joined: "queue job-id name state message".
awk -F, 'FILENAME == ARGV[1] { state[$1 " " $2] = $3; msg[$1 " " $2] = $7; next }
    { key = $1 " " $2; print key, $3, (key in state ? state[key] : "missing"), msg[key] }' \
    "$W/ended" FS=' ' "$W/sent" >"$W/outcome"
check "every job of a supported printer completed" equals \
    "$(awk -v r="$REFUSED" '$1 != r && $4 != "completed"' "$W/outcome")" ""
check "every job of the other printer was refused with the message" equals \
    "$(awk -v r="$REFUSED" '$1 == r' "$W/outcome" | cut -d' ' -f4- | sort | uniq -c | sed 's/^ *//')" \
    "$(awk -v r="$REFUSED" '$5 == r' "$W/plan" | wc -l) aborted $PRINTER_MSG"
check "the other printer's device got no byte" equals "$(cat "$W/dev-$REFUSED".* 2>/dev/null | wc -c)" 0

# PWG and Apple raster that arrived while its printer was busy: accepted
# while a job sent to that printer before it was still queued or printing,
# that is, that job ended in a later second than the raster was accepted in.
awk -F, 'FILENAME == ARGV[1] { if ($3 ~ /-(pwg|urf)$/) raster[$1 "," $2]; next }
    { n++; q[n] = $1; id[n] = $2; created[n] = $4; ended[n] = $6 }
    END {
        for (r = 1; r <= n; r++) if ((q[r] "," id[r]) in raster)
            for (j = 1; j <= n; j++)
                if (q[j] == q[r] && id[j] + 0 < id[r] + 0 && ended[j] + 0 > created[r] + 0) {
                    count++; break }
        print count + 0
    }' <(tr ' ' , <"$W/sent") "$W/ended" >"$W/raster-while-busy"
echo "PWG and Apple raster jobs accepted while their printer was busy: $(cat "$W/raster-while-busy")"
check "raster was accepted while the printers printed" test "$(cat "$W/raster-while-busy")" -gt 0

# What each connection to a supported printer's device carried, in order.
for queue in "${PRINTERS[@]%%|*}"; do
    [ "$queue" = "$REFUSED" ] && continue
    # shellcheck disable=SC2046
    python3 "$here/device_jobs.py" "$W/docs" $(ls -v "$W/dev-$queue".* 2>/dev/null) |
        sed "s/^[^ ]* /$queue /"
done >"$W/carried"
check "each connection carried one job, whole" equals "$(grep ' BAD:' "$W/carried" | head -5)" ""
# A raster job is known by its number.
printed() { sed -E 's/ #([0-9]+)$/ j\1-/' "$W/carried" | awk '{ print $1, $2 }'; }
expected() {
    awk -v r="$REFUSED" '$1 != r { print $1, $3 }' "$W/sent" |
        sed -E 's/ (j[0-9]+-)c[0-9]+-k[0-9]+-(jpeg|png|pwg|urf)$/ \1/'
}
check "every job of a supported printer reached its device once, on its own connection" equals \
    "$(printed | sort | md5sum)" "$(expected | sort | md5sum)"
[ "$failed" -eq 0 ] || diff <(expected | sort) <(printed | sort) | head >&2
# A client's jobs reach each printer in the order it sent them; job numbers
# follow each client's order.
in_order() {
    printed | grep -v ' BAD:' | sed -E 's/ j([0-9]+)-.*/ \1/' | awk -v per="$PER_CLIENT" '
        { c = int($2 / per); key = $1 " " c
          if (key in last && $2 < last[key]) { print "client " c " at " $1 ": job " $2 " after " last[key]; bad = 1 }
          last[key] = $2 }
        END { exit bad }' >&2
}
check "each client's jobs were printed in the order it sent them" in_order

sort -n "$W/watchdog" | tail -1 >"$W/slowest"
echo "watchdog: $(wc -l <"$W/watchdog") answers, the slowest in $(cut -d' ' -f1 "$W/slowest") ms"
check "the watchdog was answered throughout" equals "$(grep -c failed "$W/watchdog")" 0
check "the watchdog got answers" test "$(wc -l <"$W/watchdog")" -gt 0
check "every watchdog answer came within $WATCHDOG_MS ms" test "$(cut -d' ' -f1 "$W/slowest")" -le "$WATCHDOG_MS"
awk -v bound="$WATCHDOG_MS" '$1 > bound { print "  slow: " $0 }' "$W/watchdog" >&2

# Memory: what the app holds after the run, against what it held after the
# first jobs (meaningless under a sanitizer, which holds freed memory on
# purpose). Its peak is left alone: that follows how many jobs happened to
# run at once, not how many ran. It grows by a few per cent, and by about a
# tenth with more than one malloc arena; 50 % is a leak of some 20 KB a job,
# which no busy machine explains.
within() { # name before after percent
    [ $(($3 * 100)) -le $(($2 * (100 + $4))) ] || { echo "  $1 grew from $2 kB to $3 kB" >&2; false; }
}
if [ "$BUILD" = plain ]; then
    set -- $FIRST $LAST
    check "VmRSS after 400 jobs is within 50 % of after 40: no leak" within VmRSS "$4" "$8" 50
fi
check "the app stopped without a sanitizer report" app_stopped_cleanly
summary load
