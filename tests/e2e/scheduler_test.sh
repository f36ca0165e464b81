#!/bin/bash
# The filter inside a real CUPS scheduler, behind pstops and in front of a
# backend that answers on the side channel: the test backend, or CUPS's own
# socket backend to a stand-in for a network printer's port (PRINTER_PORT)
# with Debian's SNMP agent reporting the printer's device ID.
#
#   scheduler_test.sh GATE BACKEND CASE PRINTER_PORT PPD_DIR
#
# PPD_DIR holds the PPDs that the build made.
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/scheduler.sh"
. "$here/snmp_agent.sh"
. "$here/assert.sh"

GATE=$1 BACKEND=$2 CASE=$3 PRINTER_PORT=$4 PPD_DIR=$5

R4410='MFG:Quovel%3BCMD:PS%3BMDL:R4410KX%20series%3BCLS:PRINTER%3BDES:Quovel%20R4410KX%3B'
L8120='MFG:Quovel%3BMDL:L8120KX%20series%3BCLS:PRINTER%3B'
OTHER='MFG:Quovel%3BMDL:X9000%20series%3BCLS:PRINTER%3B'
decode() { printf '%b' "${1//%/\\x}"; }
SYSTEM_MSG='当前打印机不可打印，请使用正确的系统'
PRINTER_MSG='当前打印机不可打印，请使用正确的打印机'
# Every case brings its own banner: the machine's /etc/issue may name any system.
BANNER='Debian GNU/Linux 12 \n \l'
# The network printer's address: not 127.0.0.1, where a system SNMP agent
# listens once it runs.
NET_ADDR=127.0.0.2

W=$(mktemp -d)
chmod 755 "$W"
PORTS=()
trap 'scheduler_stop; snmp_agent_stop; [ ${#PORTS[@]} -eq 0 ] || kill "${PORTS[@]}"; [ -n "${KEEP:-}" ] || rm -rf "$W"' EXIT

same_file() { cmp -s "$1" "$2"; }
empty_file() { [ -f "$1" ] && [ ! -s "$1" ]; }
log_has() { sched_job_log "$1" | grep -qF -- "$2"; }
log_lacks() { ! log_has "$@"; }
pages() { gs -q -dBATCH -dNOPAUSE -dSAFER -sDEVICE=bbox "$1" 2>&1 | grep -c '^%%HiResBoundingBox'; }

printf '%%!PS\n/Helvetica findfont 24 scalefont setfont\n72 720 moveto (Quovel test page) show showpage\n' >"$W/sample.ps"
head -c 1048576 /dev/urandom >"$W/raw.bin"
# A PPD with the filter in its chain and a nickname that is not supported.
OTHER_NICK_PPD=$W/other-nickname.ppd
sed 's/^\*ShortNickName: .*/*ShortNickName: "Other Laser PS"/' "$PPD_DIR/quovel-r4410kx.ppd" >"$OTHER_NICK_PPD"

# queue NAME PPD-FILE [ID]: a queue on the test backend, writing to $W/NAME.prn.
queue() {
    local uri="quovtest:$W/$1.prn"
    [ $# -ge 3 ] && uri="$uri?id=$3"
    add_queue "$1" "$uri" "$2"
}
# add_queue NAME URI PPD-FILE (a name in PPD_DIR, or a full path)
add_queue() {
    local ppd=$3
    [ "${ppd#/}" != "$ppd" ] || ppd=$PPD_DIR/$ppd
    lpadmin -p "$1" -E -v "$2" -P "$ppd" 2>&1 | grep -v 'Printer drivers are deprecated' >&2
}
# submit QUEUE FILE [lp options...]: prints the job ID.
submit() {
    local q=$1 f=$2
    shift 2
    lp -d "$q" "$@" "$f" | sed -n 's/^request id is [^ ]*-\([0-9]*\) .*/\1/p'
}
raw() { echo -o document-format=application/vnd.cups-postscript; }
# network_queue NAME PPD-FILE: a queue on CUPS's socket backend to a printer
# port of its own on $NET_ADDR; each job's data lands in $W/NAME.port.N.
network_queue() {
    "$PRINTER_PORT" "$W/$1.port" "$NET_ADDR" >"$W/$1.port-number" &
    PORTS+=($!)
    wait_until 5 test -s "$W/$1.port-number" || { echo "no printer port" >&2; exit 1; }
    add_queue "$1" "socket://$NET_ADDR:$(cat "$W/$1.port-number")" "$2"
}
# The scheduler names a filter's process after the queue, so running filters
# are found by their program: prints their process IDs.
filter_pids() {
    local p
    for p in /proc/[0-9]*; do
        [ "$(readlink "$p/exe" 2>/dev/null)" = "$W/s/bin/filter/quovel-gate" ] && echo "${p#/proc/}"
    done
    return 0
}
# wait_until SECONDS COMMAND...: true once COMMAND succeeds, false after SECONDS.
wait_until() {
    local end=$(($(date +%s%N) + $1 * 1000000000))
    shift
    until "$@"; do
        [ "$(date +%s%N)" -lt "$end" ] || return 1
        sleep 0.02
    done
}
no_filter_running() { [ -z "$(filter_pids)" ]; }
# The process ID of job ID's filter, from the scheduler's log: quicker to
# watch than a search of every process.
filter_pid() { sched_job_log "$1" | sed -n 's|.*Started filter .*/quovel-gate (PID \([0-9]*\)).*|\1|p' | head -n 1; }
# True while process PID runs (a zombie has ended).
running() { [ -n "$1" ] && [ -r "/proc/$1/stat" ] && ! grep -qs ') Z ' "/proc/$1/stat"; }
ended() { ! running "$1"; }

case_a_supported_printer_by_device_id_prints_every_job_whole() {
    scheduler_start "$W/s" "$GATE" "$BACKEND" "$BANNER" || exit 1
    for model in r4410kx:$R4410 l8120kx:$L8120; do
        local name=${model%%:*} id=${model#*:}
        queue "$name" "quovel-$name.ppd" "$id"
        local ps raw_job
        ps=$(submit "$name" "$W/sample.ps")
        sched_wait_job "$ps"
        check "$name: the PostScript job reached the backend as a page" equals "$(pages "$W/$name.prn")" 1
        check "$name: the filter logged the system banner" log_has "$ps" "SystemInfo: Debian"
        check "$name: the backend was asked for the device ID" log_has "$ps" "side-channel request GET_DEVICE_ID answered"
        check "$name: the job completed" equals "$(sched_job_attr "$name" "$ps" job-state)" completed
        check "$name: the filter exited without error" log_has "$ps" "quovel-gate) exited with no errors"

        raw_job=$(submit "$name" "$W/raw.bin" $(raw))
        sched_wait_job "$raw_job"
        check "$name: the filter passed a 1 MiB job on byte for byte" same_file "$W/raw.bin" "$W/$name.prn"
    done
}

case_an_unsupported_device_id_is_refused_despite_a_supported_nickname() {
    scheduler_start "$W/s" "$GATE" "$BACKEND" "$BANNER" || exit 1
    queue other quovel-r4410kx.ppd "$OTHER"
    local job
    job=$(submit other "$W/sample.ps")
    sched_wait_job "$job"
    check "nothing reached the backend" empty_file "$W/other.prn"
    check "the job's state message is the printer message" \
        equals "$(sched_job_attr other "$job" job-printer-state-message)" "$PRINTER_MSG"
    check "the printer's state message is the printer message" \
        equals "$(sched_job_attr other "$job" printer-state-message)" "$PRINTER_MSG"
    check "the nickname was not consulted" log_lacks "$job" "attr->value"
}

case_without_a_device_id_each_supported_nickname_prints() {
    scheduler_start "$W/s" "$GATE" "$BACKEND" "$BANNER" || exit 1
    for name in r4410kx l8120kx; do
        queue "$name" "quovel-$name.ppd"
        local job
        job=$(submit "$name" "$W/raw.bin" $(raw))
        sched_wait_job "$job"
        check "$name: the job printed whole" same_file "$W/raw.bin" "$W/$name.prn"
        check "$name: the failed query was logged" log_has "$job" "find 1284 information."
        check "$name: the nickname decided" log_has "$job" "attr->value :${name^^} Series PS."
    done
}

case_an_unsupported_system_prints_nothing_and_asks_the_printer_nothing() {
    scheduler_start "$W/s" "$GATE" "$BACKEND" "Ubuntu 22.04.3 LTS \\n \\l" || exit 1
    queue r4410kx quovel-r4410kx.ppd "$R4410"
    local job
    job=$(submit r4410kx "$W/sample.ps")
    sched_wait_job "$job"
    check "nothing reached the backend" empty_file "$W/r4410kx.prn"
    check "the job's state message is the system message" \
        equals "$(sched_job_attr r4410kx "$job" job-printer-state-message)" "$SYSTEM_MSG"
    check "the banner seen was the test's" log_has "$job" "SystemInfo: Ubuntu 22.04.3 LTS"
    check "no side-channel request was made" log_lacks "$job" "side-channel request"
}

case_a_job_cancelled_while_it_copies_ends_promptly() {
    scheduler_start "$W/s" "$GATE" "$BACKEND" "$BANNER" || exit 1
    add_queue slow "quovtest:$W/slow.prn?id=$R4410&slow" quovel-r4410kx.ppd
    head -c $((16 << 20)) /dev/urandom >"$W/big.bin"
    local job
    job=$(submit slow "$W/big.bin" $(raw))
    check "the copy had started" wait_until 10 test -s "$W/slow.prn"
    # Uncancelled, the copy takes over a minute; a filter deaf to the cancel
    # is killed by the scheduler only 30 s later.
    cancel "$job"
    check "the job ended within 10 s of the cancel" sched_wait_job "$job" 10
    check "the job is cancelled" equals "$(sched_job_attr slow "$job" job-state)" canceled
    check "the filter ended without crashing" log_has "$job" "($W/s/bin/filter/quovel-gate) exited"
    check "no process crashed" log_lacks "$job" "crashed"
    check "the job did not complete" test "$(stat -c %s "$W/slow.prn")" -lt $((16 << 20))
}

case_a_job_cancelled_while_the_filter_waits_for_the_device_id_ends_without_a_refusal() {
    scheduler_start "$W/s" "$GATE" "$BACKEND" "$BANNER" || exit 1
    # Were the wait to end in a failed query, this nickname would refuse the job.
    add_queue mute "quovtest:$W/mute.prn?mute" "$OTHER_NICK_PPD"
    local job pid start ms
    job=$(submit mute "$W/sample.ps")
    check "the filter's request went unanswered" \
        wait_until 10 log_has "$job" "side-channel request left unanswered"
    pid=$(filter_pid "$job")
    check "the filter was found waiting for the device ID" running "$pid"
    start=$(date +%s%N)
    cancel "$job"
    # The side channel would keep it waiting for hours, and the scheduler
    # kills a filter deaf to the cancel only after 30 s. The usual figure is
    # bench/cancel.sh's.
    check "the filter ended within 10 s of the cancel" wait_until 10 ended "$pid"
    ms=$(( ($(date +%s%N) - start) / 1000000 ))
    echo "the filter ended $ms ms after the cancel"
    sched_wait_job "$job" 10
    check "the job is cancelled" equals "$(sched_job_attr mute "$job" job-state)" canceled
    check "the filter reported no refusal" log_lacks "$job" "$PRINTER_MSG"
    check "the printer's state message is not the refusal" \
        test "$(sched_job_attr mute "$job" printer-state-message)" != "$PRINTER_MSG"
    check "nothing reached the backend" test ! -s "$W/mute.prn"
}

# The network backend asks the printer's address for the device ID by SNMP:
# the jobs below go to $NET_ADDR, where the test's own agent answers, or none.
case_on_the_network_the_agents_supported_device_id_prints_despite_the_nickname() {
    scheduler_start "$W/s" "$GATE" "$BACKEND" "$BANNER" || exit 1
    snmp_agent_start "$W/snmp" "$(decode "$R4410")" "$NET_ADDR" || exit 1
    network_queue net "$OTHER_NICK_PPD"
    local job
    job=$(submit net "$W/raw.bin" $(raw))
    sched_wait_job "$job" 60
    check "the job reached the printer whole" same_file "$W/raw.bin" "$W/net.port.1"
    check "the job completed" equals "$(sched_job_attr net "$job" job-state)" completed
    check "a device ID came" log_lacks "$job" "find 1284 information."
    check "the nickname was not consulted" log_lacks "$job" "attr->value"
}

case_on_the_network_the_agents_unsupported_device_id_is_refused_despite_the_nickname() {
    scheduler_start "$W/s" "$GATE" "$BACKEND" "$BANNER" || exit 1
    snmp_agent_start "$W/snmp" "$(decode "$OTHER")" "$NET_ADDR" || exit 1
    network_queue net quovel-r4410kx.ppd
    local job
    job=$(submit net "$W/raw.bin" $(raw))
    sched_wait_job "$job" 60
    check "nothing reached the printer" test ! -s "$W/net.port.1"
    check "the job's state message is the printer message" \
        equals "$(sched_job_attr net "$job" job-printer-state-message)" "$PRINTER_MSG"
    check "a device ID came" log_lacks "$job" "find 1284 information."
    check "the nickname was not consulted" log_lacks "$job" "attr->value"
}

case_on_the_network_without_an_agent_the_nickname_decides() {
    scheduler_start "$W/s" "$GATE" "$BACKEND" "$BANNER" || exit 1
    network_queue r4410kx quovel-r4410kx.ppd
    network_queue other "$OTHER_NICK_PPD"
    local job
    job=$(submit r4410kx "$W/raw.bin" $(raw))
    sched_wait_job "$job" 60
    check "supported nickname: the job reached the printer whole" same_file "$W/raw.bin" "$W/r4410kx.port.1"
    check "supported nickname: the failed query was logged" log_has "$job" "find 1284 information."
    check "supported nickname: the nickname decided" log_has "$job" "attr->value :R4410KX Series PS."
    job=$(submit other "$W/raw.bin" $(raw))
    sched_wait_job "$job" 60
    check "other nickname: nothing reached the printer" test ! -s "$W/other.port.1"
    check "other nickname: the job's state message is the printer message" \
        equals "$(sched_job_attr other "$job" job-printer-state-message)" "$PRINTER_MSG"
    check "other nickname: the nickname decided" log_has "$job" "attr->value :Other Laser PS."
}

case_two_hundred_jobs_of_mixed_sizes_arrive_whole_and_leave_nothing_behind() {
    scheduler_start "$W/s" "$GATE" "$BACKEND" "$BANNER" || exit 1
    add_queue load "quovtest:$W/load.prn?id=$R4410&perjob" quovel-r4410kx.ppd
    local sizes=(0 1 8191 8192 8193 100000 1048576 3000000 17 4096 65537 500000 2097152 8388608 123
                 9999 33554432 777777 2 250000)
    local i job fds_before fds_after
    for i in "${!sizes[@]}"; do head -c "${sizes[$i]}" /dev/urandom >"$W/body.$i"; done

    # Each job's data starts with its own number, so no two are alike.
    make_job() { { printf 'job %d\n' "$1"; cat "$W/body.$(($1 % ${#sizes[@]}))"; } >"$W/in.$1"; }
    declare -A ids
    for i in $(seq 0 99); do         # back to back
        make_job "$i"
        ids[$i]=$(submit load "$W/in.$i" $(raw))
        sched_wait_job "${ids[$i]}" 120 || break
        # Counted after the first job, which opens the page log for good.
        [ "$i" -eq 0 ] && fds_before=$(ls /proc/"$SCHED_PID"/fd | wc -l)
    done
    for i in $(seq 100 4 199); do    # four at a time
        for j in $i $((i + 1)) $((i + 2)) $((i + 3)); do
            make_job "$j"
            ids[$j]=$(submit load "$W/in.$j" $(raw))
        done
        for j in $i $((i + 1)) $((i + 2)) $((i + 3)); do sched_wait_job "${ids[$j]}" 120 || break 2; done
    done

    local whole=0 completed=0
    for i in $(seq 0 199); do
        cmp -s "$W/in.$i" "$W/load.prn.${ids[$i]:-none}" && whole=$((whole + 1))
        [ "$(sched_job_attr load "${ids[$i]:-0}" job-state)" = completed ] && completed=$((completed + 1))
    done
    check "all 200 jobs arrived whole" equals "$whole" 200
    check "all 200 jobs completed" equals "$completed" 200
    check "no job is left in the queue" equals "$(lpstat -o load | wc -l)" 0
    check "no filter is left running" no_filter_running
    check "no spooled data or temporary file is left" \
        equals "$(find "$W/s/spool" -type f ! -name 'c*' | wc -l)" 0
    fds_after=$(ls /proc/"$SCHED_PID"/fd | wc -l)
    check "the scheduler holds no more descriptors than before" test "$fds_after" -le "$fds_before"
}

"case_$CASE"
summary "$CASE"
