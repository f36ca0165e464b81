#!/bin/bash
# Finding the app and its printers as clients and administrators do, in a
# network and mount namespace of the test's own (its loopback is the only
# network; nothing reaches the machine's):
#
#   dnssd  a private D-Bus system bus and avahi-daemon on lo (tests/e2e/mdns.sh):
#          "devices" and the add-printer page list a printer announced as
#          _pdl-datastream._tcp; a printer added while the app runs is
#          announced; ippfind finds it
#          and its URI answers Get-Printer-Attributes; a private cupsd lists
#          it in "lpinfo -v", and a queue made on it with "-m everywhere"
#          prints a PDF that reaches the device as PostScript.
#   snmp   Debian's snmpd answering a supported device ID: "devices" lists the
#          network printer and the web page that adds a printer offers it; a
#          printer added on the URI listed prints to the device's port; with
#          the agent gone, neither lists it.
#
#   discovery_test.sh APP SINK GATE BACKEND CASE
# Exits 77 (skipped) when no network namespace can be made (not root); see
# tests/e2e/netns.sh.
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../e2e/netns.sh"
netns_enter "$0" "$@"
. "$here/app.sh"
. "$here/../e2e/scheduler.sh"
. "$here/../e2e/mdns.sh"
. "$here/../e2e/assert.sh"
APP=$1 SINK=$2 GATE=$3 BACKEND=$4 CASE=$5
R4410='MFG:Quovel;CMD:PS;MDL:R4410KX series;CLS:PRINTER;'

lacks() { ! grep -qF -- "$2" <<<"$1"; }

W=$(mktemp -d)
chmod 755 "$W"
PUBLISH_PID=
trap 'scheduler_stop; app_cleanup; stop_pid "$PUBLISH_PID"; mdns_stop; [ -n "${KEEP:-}" ] || rm -rf "$W"' EXIT

case_dnssd() {
    mdns_start "$W/mdns" || exit 1
    # Names in .local resolve through Avahi, as on a desktop (libnss-mdns);
    # the bind mount lives only as long as this namespace.
    printf 'hosts: files mdns4_minimal [NOTFOUND=return] dns\n' >"$W/nsswitch.conf"
    mount --bind "$W/nsswitch.conf" /etc/nsswitch.conf || exit 1

    sink_start "$SINK" 127.0.0.50 9100 "$W/device.out" || exit 1
    # CUPS turns a service seen on lo into "localhost", so the app listens
    # where its default puts it: 127.0.0.1, this namespace's own.
    app_start "$APP" "$W/app" 127.0.0.1 || exit 1
    local port=${APP_URI##*:}
    app add -d office -v socket://127.0.0.50:9100 -m quovel-r4410kx || exit 1

    local found
    found=$(ippfind -T 5 _ipp._tcp --name office 2>&1)
    check "a printer added while the app runs is announced as _ipp._tcp" \
        lists "$found" ":$port/ipp/print/office"
    check "with the _print subtype" \
        lists "$(ippfind -T 5 _ipp._tcp,_print --name office 2>&1)" ":$port/ipp/print/office"
    # ippfind's status is that of ipptool: 0 when the request succeeded.
    check "the URI ippfind found answers Get-Printer-Attributes" \
        ippfind -T 5 _ipp._tcp --name office -x ipptool -T 5 -q '{}' get-printer-attributes.test ';'

    # The bus reaches the app, so its guard leaves PAPPL's own DNS-SD browsing
    # on: a printer that announces its port as _pdl-datastream._tcp (here
    # avahi-publish, in place of the printer's own responder) is listed and
    # offered. PAPPL stops browsing once 250 ms bring nothing new, which can
    # come before Avahi's answer or the TXT record that the device ID is made
    # from: ask again, a second apart, up to 5 times.
    avahi-publish -s quovel-lobby _pdl-datastream._tcp 9100 "usb_MFG=Quovel" \
        "usb_MDL=R4410KX series" >"$W/publish.log" 2>&1 &
    PUBLISH_PID=$!
    local listed page lobby=dnssd://quovel-lobby._pdl-datastream._tcp.local/
    for _ in $(seq 5); do
        listed=$(app devices -o verbose=1 2>&1)
        ! lacks "$listed" "    MFG:Quovel;MDL:R4410KX series;" && break
        sleep 1
    done
    check "devices browses DNS-SD through the private bus" lacks "$listed" "DNS-SD discovery is off"
    check "and lists a printer announced there" lists "$listed" "$lobby"
    check "with the device ID its announcement gives" \
        lists "$listed" "    MFG:Quovel;MDL:R4410KX series;"
    page=$(curl -sS --max-time 60 "http://127.0.0.1:$port/addprinter" 2>&1)
    check "the web page that adds a printer offers it" \
        lists "$page" "<option value=\"$lobby|MFG:Quovel;MDL:R4410KX series;CMD:;\">quovel-lobby (DNS-SD Network Printer)</option>"

    scheduler_start "$W/cups" "$GATE" "$BACKEND" || exit 1
    # CUPS's dnssd backend leaves out the services of its own machine's Avahi
    # (the one here), so cups-filters' driverless backend lists the app. It
    # runs ippfind with no wait (-T 0), which now and then stops before Avahi
    # has reported the service: ask again, a second apart, up to 10 times.
    local devices uri job
    for _ in $(seq 10); do
        devices=$(lpinfo -v 2>&1)
        uri=$(awk '$1 == "network" && $2 ~ /^(dnssd|ipp):\/\/office[._]/ { print $2; exit }' <<<"$devices")
        [ -z "$uri" ] || break
        sleep 1
    done
    check "lpinfo -v lists it as a dnssd:// or ipp:// device" \
        lists "$uri" "office"
    [ -n "$uri" ] || echo "$devices" >&2
    check "lpadmin -m everywhere makes a queue on it" lpadmin -p found -E -v "$uri" -m everywhere

    gs -q -dBATCH -dNOPAUSE -dSAFER -sDEVICE=pdfwrite -o "$W/doc.pdf" \
        -c "1 1 2 { <</PageSize[595 842]>>setpagedevice /Helvetica findfont 40 scalefont setfont 100 700 moveto (Page ) show 3 string cvs show showpage } for" \
        >/dev/null 2>&1
    job=$(lp -d found "$W/doc.pdf" | sed -n 's/^request id is [^ ]*-\([0-9]*\) .*/\1/p')
    sched_wait_job "$job" 120
    check "a PDF printed to that queue completes" equals "$(sched_job_attr found "$job" job-state)" completed
    device_settle "$W/device.out"
    check "it reaches the device as PostScript" equals "$(head -c 4 "$W/device.out")" "%!PS"
    rm -f "$W"/sheet-*.pgm
    gs -q -dBATCH -dNOPAUSE -dSAFER -sDEVICE=pgmraw -r10 -o "$W/sheet-%d.pgm" "$W/device.out" >/dev/null 2>&1
    check "with both its pages" equals "$(ls "$W"/sheet-*.pgm 2>/dev/null | wc -l)" 2
}

# PAPPL 1.3.1 looks for SNMP printers only at the IPv4 broadcast addresses of
# interfaces that have one (getifaddrs, IFF_BROADCAST); lo has none. And
# Debian's snmpd cannot answer a request sent to a subnet's broadcast address:
# it replies from the address the request went to, which Linux refuses
# (ENETUNREACH, where net-snmp retries only on EINVAL). So the namespace gets a
# veth interface whose broadcast address is the printer's own address,
# 127.0.0.52 on lo: what PAPPL sends there reaches the agent, which answers
# from its address. Everything from PAPPL's query on is PAPPL's own: the
# printer-type check, sysName, the device ID and port objects, the listing.
case_snmp() {
    ip addr add 127.0.0.52/32 dev lo &&
        ip link add quovel0 type veth peer name quovel1 &&
        ip addr add 127.0.0.50/32 brd 127.0.0.52 dev quovel0 &&
        ip link set quovel0 up && ip link set quovel1 up || exit 1

    # hrDeviceType.1 says "printer" (hrDevicePrinter): PAPPL lists nothing
    # else; sysName names the device's URI.
    snmp_start "$W" 127.0.0.52 "$R4410" "sysName quovel-office
override .1.3.6.1.2.1.25.3.2.1.2.1 object_id .1.3.6.1.2.1.25.3.1.5" || exit 1
    sink_start "$SINK" 127.0.0.52 9100 "$W/device.out" || exit 1
    app_start "$APP" "$W/app" 127.0.0.51 || exit 1
    local http=http://127.0.0.51:${APP_URI##*:} listed page
    local info="Quovel R4410KX series (Network Printer quovel-office)"

    listed=$(app devices -o verbose=1 2>&1)
    check "devices lists the network printer that answers SNMP" \
        lists "$listed" "snmp://quovel-office"
    check "with its description" lists "$listed" "    $info"
    check "and its device ID" lists "$listed" "    $R4410"
    check "and the listing process ends without a sanitizer report" \
        lacks "$listed" "Sanitizer"
    page=$(curl -sS --max-time 60 "$http/addprinter" 2>&1)
    check "the web page that adds a printer offers it" \
        lists "$page" "<option value=\"snmp://quovel-office|$R4410\">$info</option>"

    check "a printer added on the device it lists" \
        app add -d found -v snmp://quovel-office -m quovel-r4410kx
    local job
    printf '%%!PS\n/Helvetica findfont 24 scalefont setfont 72 720 moveto (found) show showpage\n' \
        >"$W/page.ps"
    job=$(app_submit found "$W/page.ps")
    check "prints to the printer's port" equals "$(app_wait_job found "$job")" completed
    device_settle "$W/device.out"
    check "where the job arrives" lists "$(cat "$W/device.out")" "(found) show"

    snmp_stop
    listed=$(app devices -o verbose=1 2>&1)
    check "with the agent gone, devices does not list it" \
        lacks "$listed" snmp://quovel-office
    page=$(curl -sS --max-time 60 "$http/addprinter" 2>&1)
    check "nor does the web page" lacks "$page" snmp://quovel-office
}

"case_$CASE"
check "the app stopped without a sanitizer report" app_stopped_cleanly
summary "discovery ($CASE)"
