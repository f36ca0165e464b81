#!/bin/bash
# The quovel-printer-app package installed for real, and its service run as
# systemd would run it where no systemd runs: the unit passes systemd-analyze
# verify, its ExecStart line runs as the unit's user, with the unit's
# environment and folders, and serves on loopback; printers, their defaults
# and the job history it keeps are there again after an upgrade to a newer
# build and a restart. Purge takes the state and the user. Needs root; the
# packages are purged at the end unless they were installed before.
#
#   app_service_test.sh DEB NEWER-DEB
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/assert.sh"
DEB=$1 NEWER=$2
UNIT=/lib/systemd/system/quovel-printer-app.service
STATE=/var/lib/quovel-printer-app RUNTIME=/run/quovel-printer-app

W=$(mktemp -d)
chmod 755 "$W"
pid=
dpkg-query -W -f='${Status}' quovel-printer-app 2>/dev/null | grep -q "ok installed" && had_it=1 || had_it=
cleanup() {
    stop
    if [ -z "$had_it" ]; then
        pkill -u quovel-printer-app 2>/dev/null
        dpkg --purge quovel-printer-app >/dev/null 2>&1
    fi
    rm -rf "$W"
}
trap cleanup EXIT

unit() { sed -n "s/^$1=//p" "$UNIT"; }
# Runs a command as the unit's user, with its groups and environment, and a
# cat that shows the test's banner first on PATH; in place of the caller.
as_service() {
    # shellcheck disable=SC2046
    exec setpriv --reuid="$(unit User)" --regid="$(unit Group)" --init-groups \
        env $(unit Environment) PATH="$W/bin:$PATH" "$@"
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
    ipptool -t -d "job=$2" "ipp://127.0.0.1:8631/ipp/print/$1" "$here/../printer_app/job.test" |
        sed -n 's/^ *job-state ([^)]*) = //p'
}

mkdir "$W/bin"
printf '#!/bin/sh\nprintf "Debian GNU/Linux 12 \\\\n \\\\l\\n"\n' >"$W/bin/cat"
chmod 755 "$W/bin/cat"
printf '%%!PS\n72 720 moveto /Helvetica findfont 24 scalefont setfont (kept) show showpage\n' >"$W/page.ps"

dpkg -i "$DEB" >"$W/dpkg.log" 2>&1 || { cat "$W/dpkg.log" >&2; exit 1; }
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
install -m 0666 /dev/null "$W/printer.prn"
(as_service quovel-printer-app add -d office -v "file://$W/printer.prn" -m quovel-r4410kx)
(as_service quovel-printer-app modify -d office -o print-quality=high)
job=$( (as_service quovel-printer-app submit -d office "$W/page.ps") | sed -n 's/^.*-\([0-9]*\)$/\1/p')
for i in $(seq 100); do [ "$(job_state office "$job")" = completed ] && break; sleep 0.1; done
check "a job printed before the upgrade" equals "$(job_state office "$job")" completed
check "it reached the printer" grep -q "(kept) show" "$W/printer.prn"
check "the default was changed" equals "$(attr office print-quality-default)" high
stop

dpkg -i "$NEWER" >"$W/dpkg.log" 2>&1 || { cat "$W/dpkg.log" >&2; exit 1; }
check "the newer build is installed" equals "$(dpkg-query -W -f='${Version}' quovel-printer-app)" \
    "$(dpkg-deb -f "$NEWER" Version)"
start || exit 1
check "after the upgrade the printer is there" equals "$(attr office printer-name)" office
check "its default is kept" equals "$(attr office print-quality-default)" high
check "the completed job is kept" equals "$(job_state office "$job")" completed
stop

if [ -z "$had_it" ]; then
    dpkg --purge quovel-printer-app >/dev/null 2>&1
    check "purge takes the printers and settings" test ! -e "$STATE"
    check "purge takes the service's user" test -z "$(getent passwd quovel-printer-app)"
fi

summary app-service
