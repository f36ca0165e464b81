#!/bin/bash
# The printer's state and supplies as its SNMP agent reports them: Debian's
# snmpd on udp ADDRESS:161 serves the Host Resources and Printer MIB objects
# of a stand-in printer with the values of each case, restarted with new ones
# between cases, and the app, asking every second, must show them through
# IPP; a job sent while the paper is out must say why it waits and print once
# the agent reports the printer clear; the web supplies page must show the
# agent's levels in headless Chromium.
#
#   status_test.sh APP TCP_DEVICE ADDRESS ARTEFACT_DIR
#
# Runs in a network namespace of its own (port 161 there is the test's);
# exits 77 (skipped) when none can be made.
set -u
here=$(cd "$(dirname "$0")" && pwd)
APP=$1 DEVICE=$2 ADDR=$3 ARTEFACTS=$4
. "$here/begin.sh" --netns "$@"
mkdir -p "$ARTEFACTS"

R4410='MFG:Quovel;CMD:PS;MDL:R4410KX series;CLS:PRINTER;DES:Quovel R4410KX;'
HR=.1.3.6.1.2.1.25.3
SUPPLY=.1.3.6.1.2.1.43.11.1.1

# agent ERROR-BYTES DEVICE-STATUS TONER-LEVEL [LINES]: restarts the agent with the
# printer's detected error state (hex), hrDeviceStatus, and a toner
# cartridge at TONER-LEVEL of 20000 impressions beside a waste box that
# reports only "some remaining" (-3); further snmpd.conf LINES, if given.
agent() {
    snmp_stop
    snmp_start "$W" "$ADDR" "$R4410" "$(
        cat <<CONF
override $HR.2.1.5.1 integer $2
override $HR.5.1.1.1 integer 3
override $HR.5.1.2.1 octet_str 0x$1
override $SUPPLY.3.1.1 integer 1
override $SUPPLY.4.1.1 integer 3
override $SUPPLY.5.1.1 integer 21
override $SUPPLY.6.1.1 octet_str "Black Toner Cartridge"
override $SUPPLY.7.1.1 integer 7
override $SUPPLY.8.1.1 integer 20000
override $SUPPLY.9.1.1 integer $3
override $SUPPLY.3.1.2 integer 0
override $SUPPLY.4.1.2 integer 4
override $SUPPLY.5.1.2 integer 4
override $SUPPLY.6.1.2 octet_str "Waste Toner Box"
override $SUPPLY.7.1.2 integer 19
override $SUPPLY.8.1.2 integer 100
override $SUPPLY.9.1.2 integer -3
override .1.3.6.1.2.1.43.12.1.1.4.1.1 octet_str "black"
${4:-}
CONF
    )"
}

cat >"$W/status.test" <<'TEST'
{
  NAME "printer state and supplies"
  OPERATION Get-Printer-Attributes
  GROUP operation-attributes-tag
  ATTR charset attributes-charset utf-8
  ATTR naturalLanguage attributes-natural-language en
  ATTR uri printer-uri $uri
  ATTR keyword requested-attributes printer-state-reasons,marker-levels,marker-names,marker-colors,printer-supply
  STATUS successful-ok
  DISPLAY printer-state-reasons
  DISPLAY marker-levels
  DISPLAY marker-names
  DISPLAY marker-colors
  DISPLAY printer-supply
}
TEST
# attr NAME: the printer's attribute as ipptool shows it.
attr() {
    ipptool -t "$APP_URI/ipp/print/office" "$W/status.test" | sed -n "s/^ *$1 ([^)]*) = //p"
}
# becomes NAME VALUE: true once the attribute reads VALUE (30 s at most, a
# guard against a hang: the app asks every second); else shows the last.
becomes() {
    local i=0 got
    while [ $i -lt 300 ]; do
        got=$(attr "$1")
        [ "$got" = "$2" ] && return 0
        sleep 0.1
        i=$((i + 1))
    done
    equals "$got" "$2"
}

W_DEV=$W/device
touch "$W/go" # the printer reads at once until a case says otherwise
"$DEVICE" "$ADDR" 9100 "$W_DEV" "hold=$W/go" >"$W_DEV.ready" 2>&1 &
SINK_PID=$!
wait_port "$ADDR" 9100 50 || { echo "the listener did not start" >&2; exit 1; }

agent 0000 2 15000 || exit 1
APP_OPTIONS="-o status-interval=1" app_start "$APP" "$W/app" "$ADDR" || exit 1
app add -d office -v "socket://$ADDR:9100" -m quovel-r4410kx >/dev/null
check "the printer was added" equals "$(app printers)" office

# Each case: the agent's error bytes, device status and toner level; the
# reasons and marker levels the app must then report.
while read -r what errors device toner reasons levels; do
    agent "$errors" "$device" "$toner" || { check "$what: the agent started" false; continue; }
    check "$what: printer-state-reasons" becomes printer-state-reasons "$reasons"
    check "$what: marker-levels" becomes marker-levels "$levels"
done <<'CASES'
all_clear        0000 2 15000 none                          75,-1
paper_out        4000 5 15000 media-empty                   75,-1
jam              0400 5 15000 media-jam                     75,-1
door_open        0800 5 15000 door-open                     75,-1
toner_low        2000 3 1500  marker-supply-low,toner-low   8,-1
toner_empty      1000 5 0     marker-supply-empty,toner-empty 0,-1
paper_low_and_service 8100 3 15000 other,media-low          75,-1
CASES

agent 0000 2 15000 || exit 1
check "the supplies are named as the agent names them" \
    becomes marker-names "Black Toner Cartridge,Waste Toner Box"
check "the toner's colour comes from its colorant" lists "$(attr marker-colors)" "#000000,"
check "printer-supply gives the toner's level and type" \
    lists "$(attr printer-supply)" "type=tonerCartridge;maxcapacity=100;level=75;colorantname=black;"

# The supplies page in a browser: the toner at the agent's level.
if command -v chromium >/dev/null && /usr/bin/python3 -c 'import websocket' 2>/dev/null; then
    /usr/bin/python3 "$here/supplies_page.py" "http://$ADDR:${APP_URI##*:}/office/supplies" \
        "$ARTEFACTS" "Black Toner Cartridge=75%"
    check "the supplies page shows the agent's levels" equals "$?" 0
else
    echo "the supplies page was not checked: needs Debian's chromium and python3-websocket" >&2
fi

# No agent: the state is not known, so not ready; the levels are no longer
# known either.
snmp_stop
check "no agent: the printer is offline" becomes printer-state-reasons offline
check "no agent: the levels are unknown" becomes marker-levels "-1,-1"
check "no agent: the supplies are still listed" \
    equals "$(attr marker-names)" "Black Toner Cartridge,Waste Toner Box"

# An older agent that answers SNMPv1 only, and drops a v2c request
# unanswered: its state and levels show, not offline.
agent 4000 5 15000 "[snmp] disableSNMPv2c yes" || exit 1
check "an agent answering SNMPv1 only: its state shows" becomes printer-state-reasons media-empty
check "an agent answering SNMPv1 only: its levels show" becomes marker-levels "75,-1"

# A job sent while the paper is out goes to the printer, which takes a
# little and waits; the job says why, and prints once the paper is back.
agent 4000 5 15000 || exit 1
check "paper out again" becomes printer-state-reasons media-empty
rm -f "$W/go"
{
    printf '%%!PS\n'
    # Far more than the socket buffers hold, so that the job waits for the printer.
    head -c 12000000 /dev/zero | tr '\0' 'x' | fold -w 79 | sed 's/^/%/'
    printf '/Helvetica findfont 24 scalefont setfont\n72 720 moveto (paper) show showpage\n'
} >"$W/big.ps"
JOB=$(app_submit office "$W/big.ps")
job_becomes() { # NAME VALUE
    local i=0 got
    while [ $i -lt 300 ]; do
        got=$(app_job_attr office "$JOB" "$1")
        [ "$got" = "$2" ] && return 0
        sleep 0.1
        i=$((i + 1))
    done
    equals "$got" "$2"
}
check "the waiting job says the printer stopped" job_becomes job-state-reasons printer-stopped
check "the waiting job says why" job_becomes job-state-message "The printer is out of paper."
check "the waiting job says why in Chinese to a client asking in Chinese" \
    equals "$(APP_LANGUAGE=zh-cn app_job_attr office "$JOB" job-state-message)" "打印机缺纸。"
# The printer's page lists the waiting job with the reason, in the
# browser's language.
while IFS='|' read -r language says; do
    check "the printer's page in '$language' says why the job waits" lists \
        "$(curl -sS --max-time 60 -H "Accept-Language: $language" "http://$ADDR:${APP_URI##*:}/office/")" "<br>$says</td>"
done <<CASES
zh-CN|打印机缺纸。
en|The printer is out of paper.
CASES
check "the waiting job is still printing" equals "$(app_job_attr office "$JOB" job-state)" processing

agent 0000 2 15000 || exit 1
check "paper back: the job no longer says the printer stopped" \
    job_becomes job-state-message "Job printing."
check "paper back: the job's reasons are the printer's no more" \
    job_becomes job-state-reasons job-printing
touch "$W/go"
check "the job completed" equals "$(app_wait_job office "$JOB")" completed
# ended JOB WHAT: the job, ended, says nothing of a printer it no longer
# waits for, and its message is its end's own.
ended() {
    local reasons message
    reasons=$(app_job_attr office "$1" job-state-reasons)
    message=$(app_job_attr office "$1" job-state-message)
    check "$2: the ended job's reasons say nothing of the printer ($reasons)" \
        test -n "$reasons" -a "${reasons/printer-stopped/}" = "$reasons"
    check "$2: the ended job's message is its end's" equals "$message" "Job completed."
}
ended "$JOB" "waited for the paper"
device_settle "$W_DEV"
last=$(ls "$W_DEV".[0-9]* | sort -t. -k2 -n | tail -n 1)
check "the whole document reached the printer" \
    equals "$(tail -c "$(stat -c %s "$W/big.ps")" "$last" | md5sum)" "$(md5sum <"$W/big.ps")"
check "the printer reports no trouble" equals "$(attr printer-state-reasons)" none

# No agent again: a job waits no longer than its 2 s in all. The device-ID
# query has waited its whole time for the agent, so the state is not asked
# then; the agent, back and reporting the paper out, is shown on the job.
snmp_stop
check "no agent again: offline" becomes printer-state-reasons offline
rm -f "$W/go"
JOB=$(app_submit office "$W/big.ps")
skipped() { grep -q "\[Job $JOB\] No time is left to ask the printer's state" "$APP_LOG"; }
until_skipped() { local i=0; until skipped || [ $i -ge 300 ]; do sleep 0.1; i=$((i + 1)); done; skipped; }
check "no agent: the state was not asked before the job" until_skipped
waited() { # the job's wait for the device's answers, in ms
    sed -n "s/.*\[Job $JOB\] \(Device ID\|Printer state\) query took \([0-9]*\) ms\./\2/p" "$APP_LOG" |
        awk '{ t += $1 } END { print t + 0 }'
}
check "no agent: the job waited at most 2 s for its device" test "$(waited)" -le 2000
agent 4000 5 15000 || exit 1
check "the agent back: the waiting job says why" job_becomes job-state-message "The printer is out of paper."
agent 0000 2 15000 || exit 1
check "paper back again: the job prints" job_becomes job-state-message "Job printing."
touch "$W/go"
check "that job completed" equals "$(app_wait_job office "$JOB")" completed
ended "$JOB" "waited for the agent"

# A printer that takes a whole job into its buffer while it reports the
# paper out: the job completes as far as the app knows, and does not wait.
agent 4000 5 15000 || exit 1
check "paper out once more" becomes printer-state-reasons media-empty
printf '%%!PS\n72 720 moveto showpage\n' >"$W/small.ps"
JOB=$(app_submit office "$W/small.ps")
check "a job the printer took while out of paper completed" equals "$(app_wait_job office "$JOB")" completed
check "the printer's state was asked before that job" \
    grep -q "\[Job $JOB\] Printer state query took" "$APP_LOG"
ended "$JOB" "taken while out of paper"
check "the app stopped cleanly" app_stopped_cleanly
summary "printer state"
