#!/bin/bash
# The app's web pages in a real browser (web_pages.py drives Debian's
# headless Chromium), against an app with one printer on a file device.
#
#   web_test.sh APP ADDRESS ARTEFACT_DIR
#
# Runs in a network namespace of its own whose only interface is loopback,
# with a tmpfs over /run hiding the system's D-Bus: the add-printer page
# looks for devices by SNMP broadcast and DNS-SD, and neither may leave the
# machine. Screenshots of every page go to ARTEFACT_DIR. Exits 77 (skipped)
# when Chromium or its driver is missing or no namespace can be made.
set -u
here=$(cd "$(dirname "$0")" && pwd)
APP=$1 ADDR=$2 ARTEFACTS=$3

if ! command -v chromium >/dev/null || ! /usr/bin/python3 -c 'import websocket' 2>/dev/null; then
    echo "SKIPPED: needs Debian's chromium and python3-websocket (scripts/setup installs them)"
    exit 77
fi
. "$here/begin.sh" --netns "$@"
mkdir -p "$W/device" "$ARTEFACTS"

app_start "$APP" "$W/app" "$ADDR" || exit 1
app add -d office -v "file://$W/device" -m quovel-r4410kx >/dev/null
check "the printer was added" equals "$(app printers)" office

/usr/bin/python3 "$here/web_pages.py" "http://$ADDR:${APP_URI##*:}" office "$ARTEFACTS" \
    "$here/../../printer_app/icons" "$here/defaults.test"
check "every page and the form passed in the browser" equals "$?" 0
check "the app stopped cleanly" app_stopped_cleanly
summary "web interface"
