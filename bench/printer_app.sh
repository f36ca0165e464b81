#!/bin/bash
# The Printer Application against CUPS's own IPP Everywhere PostScript
# printer (ippeveprinter with ippeveps), side by side in one run, on the same
# documents and the same device: a listener on 127.0.0.7:9100 that times the
# last byte (bench/print_timer), with Debian's snmpd answering the printer's
# device ID there, as a network printer's agent does. Prints medians and
# ratios:
#
#   - request to last byte at the device, 1-page PDF and 1-page PostScript;
#   - throughput of a 256 MiB PostScript job, against a plain socket copy;
#   - time and size of a 10-page 600 dpi PWG raster job of a colour document,
#     rasterised as both models take it (8-bit grey: they are monochrome),
#     and of the same raster through cups-filters' rastertops.
#
#   bench/printer_app.sh [BUILD-DIR] [RUNS] [latency|throughput|raster ...]
#       (after scripts/build; as root); all three parts when none is named
#
# Everything runs in a network namespace of its own, whose loopback is the
# only interface: ippeveprinter can't start without Avahi, so a private
# D-Bus and Avahi run there too.
set -u
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
runs=${2:-21}
shift $(($# < 2 ? $# : 2))
parts=${*:-latency throughput raster}
. "$here/../tests/e2e/netns.sh"
netns_enter "$0" "$build" "$runs" $parts
part() { [[ " $parts " == *" $1 "* ]]; }
. "$here/../tests/e2e/mdns.sh"
. "$here/../tests/printer_app/app.sh"

timer=$build/bench/print_timer
DEV_ADDR=127.0.0.7 DEV_PORT=9100
R4410='MFG:Quovel;CMD:PS;MDL:R4410KX series;CLS:PRINTER;'
L8120='MFG:Quovel;CMD:PS;MDL:L8120KX series;CLS:PRINTER;'
work=$(mktemp -d)
chmod 755 "$work"
ipe_pid=
trap 'app_cleanup; stop_pid "$ipe_pid"; mdns_stop; rm -rf "$work"' EXIT
mdns_start "$work/mdns" || exit 1

# The documents.
cd "$work"
printf '%%!PS\n/Helvetica findfont 24 scalefont setfont\n72 720 moveto (Quovel bench page) show showpage\n' >page.ps
gs -q -dBATCH -dNOPAUSE -dSAFER -sDEVICE=pdfwrite -o page.pdf page.ps
{
    # 256 MiB of PostScript on one page: little to render, all to carry.
    printf '%%!PS-Adobe-3.0\n%%%%Pages: 1\n%%%%EndComments\n%%%%Page: 1 1\n'
    yes "($(printf '%120s' '' | tr ' ' x)) pop" | head -n $(((256 << 20) / 127))
    printf '/Helvetica findfont 24 scalefont setfont 72 720 moveto (big) show showpage\n%%%%EOF\n'
} >big.ps
cat >colour.ps <<'EOF'
%!PS
1 1 10 {
  /n exch def
  0 1 9 { /i exch def  i 10 div 1 n 10 div sethsbcolor 40 i 70 mul add 60 60 700 rectfill } for
  0 0 1 setrgbcolor /Helvetica findfont 48 scalefont setfont 72 760 moveto (Page ) show n 3 string cvs show
  showpage
} for
EOF
gs -q -dBATCH -dNOPAUSE -dSAFER -sDEVICE=pwgraster -r600 -sPAPERSIZE=a4 \
    -dcupsColorSpace=18 -dcupsBitsPerColor=8 -o colour.pwg colour.ps

# median [COLUMN]: the median of that column (the first when not given).
median() { awk -v c="${1:-1}" '{ print $c }' | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
# run_jobs URI FILE FORMAT N [OUT]: print_timer's line for each run: seconds
# from request to last byte, bytes, seconds from first byte to last.
run_jobs() {
    "$timer" job "$1" "$DEV_ADDR" "$DEV_PORT" "$2" "$3" "$4" ${5:+"$5"}
}
time_jobs() { run_jobs "$@" | median 1; }

# The two servers, each with its device on the timer's listener.
snmp_start "$work" "$DEV_ADDR" "$R4410" || exit 1
# Logging as a production server would, not as the tests do.
APP_LOG_LEVEL=warn app_start "$build/printer_app/quovel-printer-app" "$work/app" 127.0.0.1 "Debian GNU/Linux 12" || exit 1
app add -d mono -v "socket://$DEV_ADDR:$DEV_PORT" -m quovel-r4410kx >/dev/null || exit 1
app add -d colour -v "socket://$DEV_ADDR:$DEV_PORT" -m quovel-l8120kx >/dev/null || exit 1
mkdir -p ipe
ipe_port=$(( 20000 + $(od -An -N2 -tu2 /dev/urandom) % 40000 ))
ippeveprinter -r off -p "$ipe_port" -c /usr/sbin/ippeveps -P "$build/ppd/quovel-l8120kx.ppd" \
    -D "socket://$DEV_ADDR:$DEV_PORT" -d "$work/ipe" Bench >"$work/ipe.log" 2>&1 &
ipe_pid=$!
wait_port 127.0.0.1 "$ipe_port" 100 || { cat "$work/ipe.log" >&2; exit 1; }
APP_MONO=$APP_URI/ipp/print/mono APP_COLOUR=$APP_URI/ipp/print/colour
IPE=ipp://127.0.0.1:$ipe_port/ipp/print

echo "machine: $(nproc) cores, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1), $(uname -r)"
if part latency; then
echo
echo "request to last byte at the device, median of $runs (ms):"
printf '  %-22s %12s %14s %8s\n' document quovel-app ippeveprinter ratio
for doc in page.pdf:application/pdf page.ps:application/postscript; do
    a=$(time_jobs "$APP_MONO" "${doc%%:*}" "${doc#*:}" "$runs")
    b=$(time_jobs "$IPE" "${doc%%:*}" "${doc#*:}" "$runs")
    awk -v d="1-page ${doc#*/}" -v a="$a" -v b="$b" \
        'BEGIN { printf "  %-22s %12.1f %14.1f %7.2fx\n", d, a * 1000, b * 1000, a / b }'
done
fi

if part throughput; then
echo
big_runs=5
echo "$(($(stat -c %s big.ps) >> 20)) MiB PostScript job, median of $big_runs (MiB/s):"
# Both figures of each server come from the same runs.
run_jobs "$APP_MONO" big.ps application/postscript $big_runs >app.big
run_jobs "$IPE" big.ps application/postscript $big_runs >ipe.big
a=$(median 1 <app.big) sa=$(median 3 <app.big)
b=$(median 1 <ipe.big) sb=$(median 3 <ipe.big)
c=$("$timer" copy "$DEV_ADDR" "$DEV_PORT" big.ps $big_runs | median 1)
awk -v mib="$(stat -c %s big.ps | awk '{ print $1 / 1048576 }')" -v a="$a" -v b="$b" -v sa="$sa" -v sb="$sb" -v c="$c" 'BEGIN {
    printf "  request to last byte:    quovel-app %6.0f   ippeveprinter %6.0f   ratio %.2fx\n", mib / a, mib / b, b / a
    printf "  first to last byte:      quovel-app %6.0f   ippeveprinter %6.0f   plain socket copy %6.0f\n", mib / sa, mib / sb, mib / c
    printf "  quovel-app / plain socket copy = %.2fx (first to last byte)\n", c / sa }'
fi
if part raster; then
echo
raster_runs=3
echo "10-page 600 dpi PWG raster of a colour document ($(($(stat -c %s colour.pwg) >> 10)) KiB), median of $raster_runs:"
a=$(time_jobs "$APP_COLOUR" colour.pwg image/pwg-raster $raster_runs app.ps)
b=$(time_jobs "$IPE" colour.pwg image/pwg-raster $raster_runs ipe.ps)
: >rtp.times
for ((i = 0; i < raster_runs; i++)); do
    start=$(date +%s%N)
    /usr/lib/cups/filter/rastertops 1 bench bench 1 "" colour.pwg >rtp.ps 2>/dev/null
    echo "$(( $(date +%s%N) - start ))" | awk '{ print $1 / 1e9 }' >>rtp.times
done
c=$(median <rtp.times)
for row in "quovel-app:$a:app.ps" "ippeveprinter:$b:ipe.ps" "rastertops:$c:rtp.ps"; do
    IFS=: read -r name t f <<<"$row"
    awk -v n="$name" -v t="$t" -v s="$(stat -c %s "$f")" -v p="$(gs -q -dBATCH -dNOPAUSE -dSAFER -sDEVICE=bbox "$f" 2>&1 | grep -c HiResBoundingBox)" \
        'BEGIN { printf "  %-14s %8.2f s %10.1f MiB  %d pages\n", n, t, s / 1048576, p }'
done
fi
