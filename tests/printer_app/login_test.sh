#!/bin/bash
# The app told to listen on every address (-o listen-hostname=*, TLS on):
# from 127.0.0.1, no settings page opens and no default changes without a
# print administrator's login, PAM checking it with the app's own service
# file; read-only pages stay open, and TLS answers on the same port.
#
#   login_test.sh APP PAM_FILE ADDRESS
#
# Listening on every address is only safe here: the test runs in a network
# namespace of its own whose only interface is loopback. In its mount
# namespace, copies of the PAM folder (with PAM_FILE installed),
# passwd, shadow and group (with two users of the test's own) and an empty
# folder for CUPS's TLS keys are mounted over the system's, which stay as
# they are. Exits 77 (skipped) when no namespace can be made.
set -u
here=$(cd "$(dirname "$0")" && pwd)
APP=$1 PAM_FILE=$2 ADDR=$3

. "$here/begin.sh" --netns "$@"

# Private TLS keys, PAM and users.
mkdir -p "$W/ssl" "$W/etc" "$W/device"
mount --bind "$W/ssl" /etc/cups/ssl || exit 1
cp -a /etc/pam.d "$W/etc/pam.d" && cp "$PAM_FILE" "$W/etc/pam.d/quovel-printer-app"
mount --bind "$W/etc/pam.d" /etc/pam.d || exit 1
for f in passwd shadow group; do cp -a "/etc/$f" "$W/etc/$f"; done
hash=$(openssl passwd -6 -salt quovelsalt 'right-Pass1')
uid=61060
for user in qadmin quser; do
    echo "$user:x:$uid:100::/nonexistent:/usr/sbin/nologin" >>"$W/etc/passwd"
    echo "$user:$hash:19000:0:99999:7:::" >>"$W/etc/shadow"
    uid=$((uid + 1))
done
# qadmin is in lpadmin as a supplementary group (its own is 100, users).
grep -q '^lpadmin:' "$W/etc/group" || echo "lpadmin:x:61070:" >>"$W/etc/group"
sed -i 's/^\(lpadmin:x:[0-9]*:\)\(.*\)$/\1\2,qadmin/; s/^\(lpadmin:x:[0-9]*:\),/\1/' "$W/etc/group"
for f in passwd shadow group; do mount --bind "$W/etc/$f" "/etc/$f" || exit 1; done

APP_OPTIONS="-o listen-hostname=* -o server-options=" app_start "$APP" "$W/app" "$ADDR" || exit 1
app add -d office -v "file://$W/device" -m quovel-r4410kx >/dev/null
check "the printer was added" equals "$(app printers)" office
PORT=${APP_URI##*:}
sides() {
    ipptool -t "ipp://$ADDR:$PORT/ipp/print/office" "$here/defaults.test" |
        sed -n 's/^ *sides-default ([^)]*) = //p'
}
# status SCHEME METHOD PATH [USER:PASSWORD]: the HTTP status from 127.0.0.1.
status() {
    local args=(-s -k -o "$W/body" -w '%{http_code}' --interface 127.0.0.1 -X "$2")
    [ -z "${4:-}" ] || args+=(-u "$4")
    [ "$2" != POST ] || args+=(--data "session=${SESSION:-none}&sides=two-sided-long-edge")
    curl "${args[@]}" "$1://$ADDR:$PORT$3"
}

# Without a login, or with a wrong one or a user who is no print
# administrator, nothing that changes something opens, over plain HTTP or
# TLS; read-only pages do.
while read -r what scheme method path login expected; do
    [ "$login" != - ] || login=
    check "$what: $method $scheme $path is answered $expected" \
        equals "$(status "$scheme" "$method" "$path" "$login")" "$expected"
    check "$what: the default is unchanged" equals "$(sides)" one-sided
done <<'CASES'
no-login         http  GET  /office/printing -                      401
no-login         http  POST /office/printing -                      401
no-login         http  GET  /config          -                      401
no-login         http  GET  /addprinter      -                      401
no-login         http  GET  /office/media    -                      401
no-login         https GET  /office/printing -                      401
no-login         https POST /office/printing -                      401
wrong-password   http  POST /office/printing qadmin:wrong-Pass2     401
unknown-user     http  POST /office/printing nobody-here:right-Pass1 401
not-an-admin     http  POST /office/printing quser:right-Pass1      403
no-login         http  GET  /                -                      200
no-login         https GET  /office/         -                      200
CASES
check "the log says PAM refused the wrong password" \
    grep -q "Login of 'qadmin' refused by PAM" "$APP_LOG"
check "the log says who is no print administrator" \
    grep -q "Login of 'quser' refused: not in group 'lpadmin'" "$APP_LOG"

# A print administrator's login changes the default, through the page's form.
check "an administrator opens the defaults page" \
    equals "$(status https GET /office/printing qadmin:right-Pass1)" 200
SESSION=$(sed -n 's/.*name="session" value="\([0-9a-f]*\)".*/\1/p' "$W/body")
check "an administrator's change is saved" \
    equals "$(status https POST /office/printing qadmin:right-Pass1)" 200
check "the page says so" grep -q "Changes saved." "$W/body"
check "Get-Printer-Attributes reports the new default" equals "$(sides)" two-sided-long-edge

check "the app stopped cleanly" app_stopped_cleanly
summary "login when listening everywhere"
