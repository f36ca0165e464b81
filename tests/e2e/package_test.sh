#!/bin/bash
# What a printer maker or a distribution ships: the PPDs pass cupstestppd, an
# install puts the filter and PPDs where CUPS finds them, and the Debian
# package holds them with the right owner and modes.
#
#   package_test.sh BUILD-DIR BACKEND
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/scheduler.sh"
BUILD=$1 BACKEND=$2
PPDS="$here/../../ppd/quovel-r4410kx.ppd $here/../../ppd/quovel-l8120kx.ppd"

W=$(mktemp -d)
chmod 755 "$W"
trap 'scheduler_stop; rm -rf "$W"' EXIT

passed=0 failed=0
check() {
    local what=$1
    shift
    if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: $what" >&2; fi
}
mode_is() { [ "$(stat -c '%a %U' "$1")" = "$2" ] || { stat -c '  got: %a %U' "$1" >&2; false; }; }
lists() { grep -qF -- "$2" <<<"$1" || { echo "  not in: $1" >&2; false; }; }

# The PPDs pass cupstestppd with the built filter where the scheduler would run it.
mkdir -p "$W/root/usr/lib/cups/filter"
install -m 0755 "$BUILD/filter/quovel-gate" "$W/root/usr/lib/cups/filter/"
for ppd in $PPDS; do
    check "cupstestppd passes ${ppd##*/}" cupstestppd -q -R "$W/root" "$ppd"
done

# cmake --install: the filter as the scheduler accepts it, the PPDs as drivers.
cmake --install "$BUILD" --prefix "$W/prefix" >/dev/null
check "the installed filter is root's, mode 0755" mode_is "$W/prefix/lib/cups/filter/quovel-gate" "755 root"
for ppd in $PPDS; do
    check "${ppd##*/} is installed" cmp -s "$ppd" "$W/prefix/share/ppd/quovel/${ppd##*/}"
done
SCHED_DRIVERS=$W/prefix/share/ppd/quovel scheduler_start "$W/s" "$BUILD/filter/quovel-gate" "$BACKEND" || exit 1
drivers=$(lpinfo -m 2>&1)
check "lpinfo -m lists the R4410KX PPD" lists "$drivers" "quovel/quovel-r4410kx.ppd Quovel R4410KX Series PS"
check "lpinfo -m lists the L8120KX PPD" lists "$drivers" "quovel/quovel-l8120kx.ppd Quovel L8120KX Series PS"
scheduler_stop

# The Debian package.
(cd "$BUILD" && cpack -G DEB -B "$W/pkg" >/dev/null) || { echo "cpack failed" >&2; exit 1; }
deb=$(ls "$W"/pkg/*.deb)
contents=$(dpkg-deb -c "$deb")
check "the package's filter is root's, mode 0755" \
    lists "$(grep -F ./usr/lib/cups/filter/quovel-gate <<<"$contents")" "-rwxr-xr-x root/root"
depends=$(dpkg-deb -f "$deb" Depends)
check "the package depends on libcups2" lists "$depends" "libcups2"
check "the package depends on the scheduler" lists "$depends" "cups-daemon"
dpkg -x "$deb" "$W/deb"
check "the unpacked filter has mode 0755" mode_is "$W/deb/usr/lib/cups/filter/quovel-gate" "755 root"
for ppd in $PPDS; do
    check "the package holds ${ppd##*/}" cmp -s "$ppd" "$W/deb/usr/share/ppd/quovel/${ppd##*/}"
done

echo "package: $passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
