#!/bin/bash
# The app, as the package runs it (TLS on), killed again and again: while it
# saves its state (printers added, changed and deleted, their defaults set,
# jobs submitted, all over IPP) and while a job prints. After each restart
# every change that was answered is there, every job that was answered ends
# (printed, or ended with a reason), none is left processing, and the state
# file is whole.
#
#   kill_test.sh APP TCP_DEVICE ADDRESS [ROUNDS]
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/app.sh"
. "$here/../e2e/assert.sh"
APP=$1 DEVICE=$2 ADDR=$3 ROUNDS=${4:-16}

W=$(mktemp -d)
[ -z "${KEEP:-}" ] || echo "work folder: $W"
SINK_PID='' SLOW_PID='' BURST_PID=''
trap 'stop_pid "$BURST_PID"; app_cleanup; stop_pid "$SINK_PID"; stop_pid "$SLOW_PID"; [ -n "${KEEP:-}" ] || rm -rf "$W"' EXIT
# The TLS credentials that libcups makes go into the test's folder.
export CUPS_SERVERROOT=$W/cups
mkdir -p "$CUPS_SERVERROOT"
STATE=$W/app/quovel-printer-app.state

printf '%%!PS\n/Helvetica findfont 24 scalefont setfont 72 720 moveto (ok) show showpage\n' >"$W/small.ps"
# More than the socket buffers hold, so that a printer that does not read
# holds the job at its device.
{ printf '%%!PS\n'; yes '% padding that a printer skips as a comment, line after line.' |
    head -c $((8 * 1024 * 1024)); printf 'showpage\n'; } >"$W/big.ps"

# The requests, each one IPP operation; ipptool -d sets the $ words.
request() { # FILE OPERATION [LINES...]
    local f=$1 op=$2
    shift 2
    {
        printf '{\n  OPERATION %s\n  GROUP operation-attributes-tag\n' "$op"
        printf '  ATTR charset attributes-charset utf-8\n'
        printf '  ATTR naturalLanguage attributes-natural-language en\n'
        printf '  %s\n' "$@"
        printf '  STATUS successful-ok\n}\n'
    } >"$W/$f.test"
}
request create Create-Printer 'ATTR uri system-uri $uri' 'ATTR name requesting-user-name root' \
    'ATTR keyword printer-service-type print' 'ATTR keyword smi55357-driver quovel-r4410kx' \
    'ATTR uri smi55357-device-uri $device' 'GROUP printer-attributes-tag' \
    'ATTR name printer-name $name' 'ATTR text printer-location $location'
request set Set-Printer-Attributes 'ATTR uri printer-uri $uri' 'ATTR name requesting-user-name root' \
    'GROUP printer-attributes-tag' 'ATTR text printer-location $location' \
    'ATTR enum print-quality-default $quality'
request delete Delete-Printer 'ATTR uri system-uri $uri' 'ATTR integer printer-id $id' \
    'ATTR name requesting-user-name root'
request default Set-System-Attributes 'ATTR uri system-uri $uri' 'ATTR name requesting-user-name root' \
    'GROUP system-attributes-tag' 'ATTR integer system-default-printer-id $id'
request settings Get-Printer-Attributes 'ATTR uri printer-uri $uri' \
    'ATTR keyword requested-attributes printer-id,printer-location,print-quality-default,printer-state' \
    'DISPLAY printer-id' 'DISPLAY printer-location' 'DISPLAY print-quality-default' 'DISPLAY printer-state'
request system Get-System-Attributes 'ATTR uri system-uri $uri' \
    'ATTR keyword requested-attributes system-default-printer-id' 'DISPLAY system-default-printer-id'

ipp() { ipptool -T 10 "$@" 2>&1; }

# The devices: one that takes everything (a file per connection), and the
# slow printer's, which reads nothing while a job is to be caught printing.
"$DEVICE" "$ADDR" 9100 "$W/dev" sink >"$W/dev.ready" 2>&1 &
SINK_PID=$!
slow_device() { # MODE [PREFIX]
    stop_pid "$SLOW_PID"
    : >"$W/slow.ready"
    "$DEVICE" "$ADDR" 9101 "${2:-$W/slow}" "$1" >"$W/slow.ready" 2>&1 &
    SLOW_PID=$!
    for _ in $(seq 50); do grep -q listening "$W/slow.ready" && return 0; sleep 0.1; done
    echo "the slow printer's device did not start" >&2
    return 1
}
slow_holds_data() { ss -Htn state established src "$ADDR:9101" | awk '$1 > 0 { f = 1 } END { exit !f }'; }

# What the answered requests promise: each printer's settings, the printers
# deleted, the jobs to end. A request cut short by the kill promises nothing:
# its printer may be there or not, with the old settings or the new.
declare -A LOC QUAL GONE MAYBE
JOBS=() DEFAULT=
SINK=socket://$ADDR:9100
APP_OPTIONS="-o server-options= -o device-timeout=60"
app_start "$APP" "$W/app" "$ADDR" || exit 1
app add -d keep -v "$SINK" -m quovel-r4410kx >/dev/null || exit 1
app add -d slow -v "socket://$ADDR:9101" -m quovel-r4410kx >/dev/null || exit 1
LOC[keep]='' LOC[slow]='' QUAL[keep]=normal QUAL[slow]=normal

# One burst of changes, until the kill (and the file "stop" after it): writes
# "try ..." before each request and "ok ..." once it is answered.
burst() { # ROUND KNOWN-PRINTERS...
    local r=$1 i=0 name target quality out p
    shift
    local known=("$@") left
    while [ ! -e "$W/stop" ]; do
        target=${known[$(((r + i) % ${#known[@]}))]}
        case $((i % 6)) in
        0)
            name=r${r}n$i
            echo "try create $name loc-$name"
            ipp -d "name=$name" -d "location=loc-$name" -d "device=$SINK" \
                "$APP_URI/ipp/system" "$W/create.test" >/dev/null && echo "ok create $name loc-$name"
            ;;
        1 | 3)
            quality=$([ $(((r + i) % 2)) = 0 ] && echo draft || echo high)
            echo "try set $target set-r${r}i$i $quality"
            ipp -d "location=set-r${r}i$i" -d "quality=$(quality_enum "$quality")" \
                "$APP_URI/ipp/print/$target" "$W/set.test" >/dev/null &&
                echo "ok set $target set-r${r}i$i $quality"
            ;;
        2)
            out=$(ipp -t -f "$W/small.ps" -d "name=r${r}i$i" "$APP_URI/ipp/print/keep" "$here/print.test") &&
                echo "ok job keep $(sed -n 's/^ *job-id ([^)]*) = //p' <<<"$out")"
            ;;
        4)
            # Printers made in an earlier round, one at a time.
            if [ "$target" != keep ] && [ "$target" != slow ] && [ "${target#r"$r"n}" = "$target" ]; then
                echo "try delete $target"
                ipp -d "id=$(printer_id "$target")" "$APP_URI/ipp/system" "$W/delete.test" >/dev/null &&
                    echo "ok delete $target"
                left=()
                for p in "${known[@]}"; do [ "$p" = "$target" ] || left+=("$p"); done
                known=("${left[@]}")
            fi
            ;;
        5)
            echo "try default $target"
            ipp -d "id=$(printer_id "$target")" "$APP_URI/ipp/system" "$W/default.test" >/dev/null &&
                echo "ok default $target"
            ;;
        esac
        i=$((i + 1))
    done
}

# Takes in what a killed burst's log says.
learn() { # LOG
    local word kind name a b tried=()
    while read -r word kind name a b; do
        if [ "$word" = try ]; then
            # Only the first request left unanswered can have reached the
            # app: the burst may try another before it sees the file "stop",
            # and that one finds the app gone.
            [ ${#tried[@]} -gt 0 ] || tried=("$kind" "$name" "$a" "$b")
            continue
        fi
        tried=()
        case $kind in
        create) LOC[$name]=$a QUAL[$name]=normal ;;
        set) [ -n "${GONE[$name]:-}" ] || { LOC[$name]=$a QUAL[$name]=$b; } ;;
        delete)
            GONE[$name]=1
            unset "LOC[$name]" "QUAL[$name]"
            [ "$DEFAULT" != "$name" ] || DEFAULT=
            ;;
        default) DEFAULT=$name ;;
        job) JOBS+=("$name:$a") ;;
        esac
    done <"$1"
    # The request cut short by the kill: either outcome.
    MAYBE=()
    [ ${#tried[@]} -eq 0 ] || MAYBE[${tried[1]}]="${tried[0]} ${tried[2]:-} ${tried[3]:-}"
}

# A printer's settings; asked again when the app did not answer at all (a
# busy machine), not when it answered that there is no such printer.
settings() {
    local i out
    for i in 1 2 3 4 5; do
        out=$(ipp -t "$APP_URI/ipp/print/$1" "$W/settings.test")
        grep -q 'printer-state\|client-error-not-found' <<<"$out" && break
    done
    printf '%s\n' "$out"
}
value() { sed -n "s/^ *$1 ([^)]*) = //p" <<<"$2" | head -n 1; }
printer_id() { value printer-id "$(settings "$1")"; }
quality_name() { case $1 in 3) echo draft ;; 4) echo normal ;; 5) echo high ;; *) echo "$1" ;; esac; }
quality_enum() { case $1 in draft) echo 3 ;; normal) echo 4 ;; high) echo 5 ;; esac; }

# After a restart: every answered change is there, the rest as it was or as
# asked.
check_printers() { # ROUND
    local name out loc qual maybe bad=0
    for name in "${!LOC[@]}"; do
        out=$(settings "$name")
        loc=$(value printer-location "$out") qual=$(quality_name "$(value print-quality-default "$out")")
        maybe=${MAYBE[$name]:-}
        # A creation or deletion cut short is judged below.
        case $maybe in create* | delete*) continue ;; esac
        if [ "$loc|$qual" = "${LOC[$name]}|${QUAL[$name]}" ]; then
            continue
        elif [ "${maybe%% *}" = set ] && [ "$loc $qual" = "${maybe#set }" ]; then
            # The change cut short by the kill made it to disk: it holds now.
            LOC[$name]=$loc QUAL[$name]=$qual
            continue
        fi
        echo "  round $1: printer $name has location '$loc' and quality '$qual', not '${LOC[$name]}' and '${QUAL[$name]}'" >&2
        bad=1
    done
    for name in "${!GONE[@]}"; do
        if settings "$name" | grep -q 'printer-state'; then
            echo "  round $1: printer $name was deleted and is back" >&2
            bad=1
        fi
    done
    # A printer whose creation or deletion was cut short: whichever it is
    # now holds from here on.
    for name in "${!MAYBE[@]}"; do
        case ${MAYBE[$name]} in
        create* | delete*)
            out=$(settings "$name")
            if grep -q 'printer-state' <<<"$out"; then
                LOC[$name]=$(value printer-location "$out")
                QUAL[$name]=$(quality_name "$(value print-quality-default "$out")")
                unset "GONE[$name]"
            else
                GONE[$name]=1
                unset "LOC[$name]" "QUAL[$name]"
                [ "$DEFAULT" != "$name" ] || DEFAULT=
            fi
            ;;
        esac
    done
    # The default printer: as last answered, or as the request cut short asked.
    local got maybe=''
    for name in "${!MAYBE[@]}"; do [ "${MAYBE[$name]%% *}" != default ] || maybe=$name; done
    got=$(value system-default-printer-id "$(ipp -t "$APP_URI/ipp/system" "$W/system.test")")
    if [ -n "$maybe" ] && [ "$got" = "$(printer_id "$maybe")" ]; then
        DEFAULT=$maybe
    elif [ -n "$DEFAULT" ] && [ "$got" != "$(printer_id "$DEFAULT")" ]; then
        echo "  round $1: the default printer's ID is $got, not $DEFAULT's ($(printer_id "$DEFAULT"))" >&2
        bad=1
    fi
    [ $bad = 0 ]
}

# Every job that was answered ends, none stays processing; one that did not
# print says why.
check_jobs() { # ROUND
    local entry queue id state bad=0
    for entry in "${JOBS[@]}"; do
        queue=${entry%%:*} id=${entry#*:}
        state=$(app_wait_job "$queue" "$id") || { bad=1; continue; }
        case $state in
        completed) ;;
        *)
            if [ -z "$(app_job_attr "$queue" "$id" job-state-message)" ]; then
                echo "  round $1: job $id on $queue ended $state without a reason" >&2
                bad=1
            fi
            ;;
        esac
    done
    JOBS=()
    [ $bad = 0 ]
}

# The state file after a kill: there, with the system's own lines, every
# block it opens closed and its last line ended.
state_whole() {
    [ -s "$STATE" ] || { echo "  no state file" >&2; return 1; }
    awk '/^NextPrinterID [0-9]+$/ { next_id = 1 } /^<[A-Za-z]/ { depth++ } /^<\// { depth-- }
         depth < 0 { bad = 1 } END { exit bad || depth != 0 || !next_id }' "$STATE" &&
        [ -z "$(tail -c 1 "$STATE")" ] ||
        { echo "  the state file is cut short:" >&2; tail -n 5 "$STATE" >&2; false; }
}

slow_device stall || exit 1
for r in $(seq 1 "$ROUNDS"); do
    # A job caught printing: the slow printer holds its data unread.
    slow_job=$(app_submit slow "$W/big.ps")
    [ -n "$slow_job" ] || { check "round $r: the slow job was accepted" false; break; }
    check "round $r: the slow printer's job is printing" until_ok 30 slow_holds_data

    # The kill moment, varied from round to round: 0.15 s to 1.1 s into a
    # burst of changes, each of which the app saves before it answers.
    known=("${!LOC[@]}")
    rm -f "$W/stop"
    burst "$r" "${known[@]}" >"$W/burst.$r" 2>/dev/null &
    BURST_PID=$!
    sleep "$(printf '%d.%03d' $(((150 + r * 379 % 950) / 1000)) $(((150 + r * 379 % 950) % 1000)))"
    kill -KILL "$APP_PID"
    wait "$APP_PID" 2>/dev/null
    APP_PID=
    # The request under way fails with the app gone, as do any the burst
    # tries before it sees "stop".
    : >"$W/stop"
    wait "$BURST_PID"
    BURST_PID=
    learn "$W/burst.$r"
    JOBS+=("slow:$slow_job")
    check "round $r: the state file is whole" state_whole

    # The slow printer reads again, so that the interrupted job can print;
    # its first connection is that job's.
    slow_device sink "$W/slow$r" || exit 1
    app_start "$APP" "$W/app" "$ADDR" || { check "round $r: the app restarts" false; break; }
    check "round $r: every answered change is there" check_printers "$r"
    check "round $r: every answered job ended, none is left processing" check_jobs "$r"
    if [ "$(app_job_attr slow "$slow_job" job-state)" = completed ]; then
        until_ok 30 grep -q '^closed 1$' "$W/slow.ready"
        check "round $r: the interrupted job was printed again, whole" \
            equals "$(tail -c "$(stat -c %s "$W/big.ps")" "$W/slow$r.1" | md5sum)" "$(md5sum <"$W/big.ps")"
    fi
    slow_device stall || exit 1
done

check "the app stopped without a sanitizer report" app_stopped_cleanly
summary kill
