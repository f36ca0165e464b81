#!/bin/bash
# What a printer maker ships: the PPDs that the build made pass cupstestppd,
# and an install puts the filter where the scheduler runs filters, whatever
# the prefix, and the PPDs under the prefix's ppd folder.
#
#   package_test.sh BUILD-DIR
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/assert.sh"
BUILD=$1
PPDS="$BUILD/ppd/quovel-r4410kx.ppd $BUILD/ppd/quovel-l8120kx.ppd"
SERVERBIN=$(sed -n 's/^QUOVEL_CUPS_SERVERBIN:PATH=//p' "$BUILD/CMakeCache.txt")

W=$(mktemp -d)
chmod 755 "$W"
trap 'rm -rf "$W"' EXIT
mode_is() { [ "$(stat -c '%a %U' "$1")" = "$2" ] || { stat -c '  got: %a %U' "$1" >&2; false; }; }

# The PPDs pass cupstestppd with the built filter where the scheduler would run it.
mkdir -p "$W/root/usr/lib/cups/filter"
install -m 0755 "$BUILD/filter/quovel-gate" "$W/root/usr/lib/cups/filter/"
for ppd in $PPDS; do
    check "cupstestppd passes ${ppd##*/}" cupstestppd -q -R "$W/root" "$ppd"
done

check "the filter folder is libcups's" equals "$SERVERBIN" "$(cups-config --serverbin 2>/dev/null)"
for prefix in /usr /usr/local /opt/quovel; do
    DESTDIR=$W/dest cmake --install "$BUILD" --prefix "$prefix" >/dev/null
    check "with prefix $prefix the filter is root's, mode 0755, in the scheduler's folder" \
        mode_is "$W/dest$SERVERBIN/filter/quovel-gate" "755 root"
    for ppd in $PPDS; do
        check "with prefix $prefix ${ppd##*/} is under share/ppd/quovel" \
            cmp -s "$ppd" "$W/dest$prefix/share/ppd/quovel/${ppd##*/}"
    done
    rm -rf "$W/dest"
done

summary package
