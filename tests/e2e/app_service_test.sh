#!/bin/bash
# The quovel-printer-app package installed for real, and its service run as
# systemd would run it where no systemd runs: the README's dpkg line installs
# it and enables the unit, the unit passes systemd-analyze verify, its
# ExecStart line runs as the unit's user, with the unit's environment and
# folders, and serves on loopback; the README's add line, run as it stands
# but for the printer's address (a listener and Debian's snmpd on loopback),
# adds a printer that prints; printers, their defaults
# and the job history it keeps are there again after an upgrade to a newer
# build and a restart. Purge takes the state and the user. Needs root; the
# packages are purged at the end unless they were installed before.
#
#   app_service_test.sh DEB NEWER-DEB TCP_DEVICE
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/assert.sh"
. "$here/readme.sh"
. "$here/../printer_app/app.sh"
DEB=$1 NEWER=$2 TCP_DEVICE=$3
DEVICE_ADDR=127.0.0.80
R4410='MFG:Quovel;CMD:PS;MDL:R4410KX series;CLS:PRINTER;'
UNIT=/lib/systemd/system/quovel-printer-app.service
STATE=/var/lib/quovel-printer-app RUNTIME=/run/quovel-printer-app

W=$(mktemp -d)
chmod 755 "$W"
pid=
dpkg-query -W -f='${Status}' quovel-printer-app 2>/dev/null | grep -q "ok installed" && had_it=1 || had_it=
cleanup() {
    stop
    app_cleanup
    if [ -z "$had_it" ]; then
        pkill -u quovel-printer-app 2>/dev/null
        dpkg --purge quovel-printer-app >/dev/null 2>&1
    fi
    rm -rf "$W"
}
trap cleanup EXIT

unit() { sed -n "s/^$1=//p" "$UNIT"; }
# Runs a command as the unit's user, with its groups and environment, and the
# test's banner for the system's; in place of the caller.
as_service() {
    # shellcheck disable=SC2046
    exec setpriv --reuid="$(unit User)" --regid="$(unit Group)" --init-groups \
        env $(unit Environment) QUOVEL_ISSUE="$W/issue" "$@"
}
start() {
    # What systemd does for StateDirectory= and RuntimeDirectory=.
    install -d -m 0700 -o "$(unit User)" -g "$(unit Group)" "$STATE"
    install -d -m 0755 -o "$(unit User)" -g "$(unit Group)" "$RUNTIME"
    # shellcheck disable=SC2046
    (as_service $(unit ExecStart)) >>"$W/server.log" 2>&1 &
    pid=$!
    local i
    for i in $(seq 100); do
        (exec 3<>/dev/tcp/127.0.0.1/8631) 2>/dev/null && return 0
        sleep 0.1
    done
    echo "the service did not start; its log:" >&2
    cat "$W/server.log" >&2
    return 1
}
stop() {
    [ -n "$pid" ] || return 0
    kill -TERM "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    pid=
}
attr() { # printer, attribute
    ipptool -tv "ipp://127.0.0.1:8631/ipp/print/$1" get-printer-attributes.test |
        sed -n "s/^ *$2 ([^)]*) = //p"
}
job_state() { # printer, job
    ipptool -t -d "job=$2" -d lang=en "ipp://127.0.0.1:8631/ipp/print/$1" "$here/../printer_app/job.test" |
        sed -n 's/^ *job-state ([^)]*) = //p'
}

printf 'Debian GNU/Linux 12 \\n \\l\n' >"$W/issue"
printf '%%!PS\n72 720 moveto /Helvetica findfont 24 scalefont setfont (kept) show showpage\n' >"$W/page.ps"

readme_words install '^dpkg -i quovel-printer-app_' || exit 1
check "the README installs the package file that was built" equals "${install[-1]}" "${DEB##*/}"
install[-1]=$DEB
"${install[@]}" >"$W/dpkg.log" 2>&1 || { cat "$W/dpkg.log" >&2; exit 1; }
check "the package enabled the service, as the README says" \
    test -L /etc/systemd/system/multi-user.target.wants/quovel-printer-app.service
check "the unit passes systemd-analyze verify" equals "$(systemd-analyze verify "$UNIT" 2>&1)" ""
check "systemd-analyze security rates its exposure 2.0 or less" \
    systemd-analyze security --offline=true --threshold=20 "$UNIT" >/dev/null
check "the service's user is in the lp group, for USB printers" \
    lists " $(id -nG "$(unit User)") " " lp "
check "the service runs as its own user, not root" test "$(id -u "$(unit User)")" -ne 0
check "the web logins' PAM service is installed" test -s /etc/pam.d/quovel-printer-app
check "their admin group exists" getent group lpadmin

start || exit 1
check "the server answers on 127.0.0.1 only" equals "$(ss -Htln 'sport = :8631' | awk '{ print $4 }')" "127.0.0.1:8631"

# The README's add line as it stands, but for the printer's address: a
# listener on the port the URI names (9100 when it names none) and an agent
# answering a supported device ID stand for the printer there.
readme_words add '^runuser .* quovel-printer-app add ' || exit 1
uri=$(word_after add -v) && name=$(word_after add -d) || exit 1
set_word_after add -v "$(uri_with_host "$uri" "$DEVICE_ADDR")"
port=$(sed -nE 's#^socket://[^/:]+:([0-9]+).*#\1#p' <<<"$uri")
snmp_start "$W" "$DEVICE_ADDR" "$R4410" || exit 1
sink_start "$TCP_DEVICE" "$DEVICE_ADDR" "${port:-9100}" "$W/device.out" || exit 1
check "the README's add line adds printer $name" "${add[@]}"
check "it chose the driver of the model the printer reports" \
    equals "$(attr "$name" printer-make-and-model)" "Quovel R4410KX series"
job=$( (as_service quovel-printer-app submit -d "$name" "$W/page.ps") | sed -n 's/^.*-\([0-9]*\)$/\1/p')
for i in $(seq 100); do [ "$(job_state "$name" "$job")" = completed ] && break; sleep 0.1; done
check "a job to it completed" equals "$(job_state "$name" "$job")" completed
check "and reached the printer's port" grep -q "(kept) show" "$W/device.out"

install -m 0666 /dev/null "$W/printer.prn"
(as_service quovel-printer-app add -d kept -v "file://$W/printer.prn" -m quovel-r4410kx)
(as_service quovel-printer-app modify -d kept -o print-quality=high)
job=$( (as_service quovel-printer-app submit -d kept "$W/page.ps") | sed -n 's/^.*-\([0-9]*\)$/\1/p')
for i in $(seq 100); do [ "$(job_state kept "$job")" = completed ] && break; sleep 0.1; done
check "a job printed before the upgrade" equals "$(job_state kept "$job")" completed
check "it reached the printer" grep -q "(kept) show" "$W/printer.prn"
check "the default was changed" equals "$(attr kept print-quality-default)" high
stop

dpkg -i "$NEWER" >"$W/dpkg.log" 2>&1 || { cat "$W/dpkg.log" >&2; exit 1; }
check "the newer build is installed" equals "$(dpkg-query -W -f='${Version}' quovel-printer-app)" \
    "$(dpkg-deb -f "$NEWER" Version)"
start || exit 1
check "after the upgrade the printer is there" equals "$(attr kept printer-name)" kept
check "its default is kept" equals "$(attr kept print-quality-default)" high
check "the completed job is kept" equals "$(job_state kept "$job")" completed
stop

if [ -z "$had_it" ]; then
    dpkg --purge quovel-printer-app >/dev/null 2>&1
    check "purge takes the printers and settings" test ! -e "$STATE"
    check "purge takes the service's user" test -z "$(getent passwd quovel-printer-app)"
fi

summary app-service
