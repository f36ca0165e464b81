#!/bin/bash
# IPP Everywhere conformance with CUPS's own ipptool and the
# ipp-everywhere.test of Debian's cups-ipp-utils, against a private app. The
# documents that the test prints are made here with Ghostscript, beside a copy
# of the test files, whose FILE paths are relative to themselves.
#
#   ipp_everywhere_test.sh APP ADDRESS
set -u
here=$(cd "$(dirname "$0")" && pwd)
APP=$1 ADDR=$2
. "$here/begin.sh"
T=$W/tests
mkdir -p "$T"
cp /usr/share/cups/ipptool/ipp-everywhere.test /usr/share/cups/ipptool/ipp-2.0.test \
    /usr/share/cups/ipptool/ipp-1.1.test "$T/"

gs_run() { gs -q -dBATCH -dNOPAUSE -dSAFER "$@" >/dev/null 2>&1; }
page() { # size in points, then text
    printf '<</PageSize[%s]>>setpagedevice /Helvetica findfont 36 scalefont setfont ' "$1"
    printf '72 600 moveto (%s) show 0.5 setgray 72 100 300 300 rectfill showpage\n' "$2"
}
doc() { # size, pages
    local i
    for i in $(seq 1 "$2"); do page "$1" "Page $i"; done
}
doc "595 842" 2 >"$W/a4.ps"
doc "612 792" 2 >"$W/letter.ps"
page "595 842" "One page" >"$W/onepage-a4.ps"
page "612 792" "One page" >"$W/onepage-letter.ps"
printf '<</PageSize[288 432]>>setpagedevice 1 0 0 setrgbcolor 20 20 248 392 rectfill 0 0 1 setrgbcolor 60 60 100 100 rectfill showpage\n' >"$W/photo.ps"

gs_run -sDEVICE=pdfwrite -o "$T/document-a4.pdf" "$W/a4.ps"
gs_run -sDEVICE=pdfwrite -o "$T/document-letter.pdf" "$W/letter.ps"
gs_run -sDEVICE=ps2write -o "$T/document-a4.ps" "$W/a4.ps"
gs_run -sDEVICE=ps2write -o "$T/document-letter.ps" "$W/letter.ps"
gs_run -sDEVICE=jpeg -r72 -o "$T/color.jpg" "$W/photo.ps"
gs_run -sDEVICE=jpeggray -r72 -o "$T/gray.jpg" "$W/photo.ps"
# PWG raster samples in the type and resolutions that the printers take.
for dpi in 300 600; do
    d=$T/pwg-raster-samples-${dpi}dpi/sgray-8
    mkdir -p "$d"
    for src in a4:document-a4 letter:document-letter onepage-a4:onepage-a4 \
        onepage-letter:onepage-letter photo:color.jpg-4x6 photo:gray.jpg-4x6; do
        gs_run -sDEVICE=pwgraster -dcupsColorSpace=18 -dcupsBitsPerColor=8 -r$dpi \
            -o "$d/${src#*:}-sgray-8-${dpi}dpi.pwg" "$W/${src%%:*}.ps"
    done
done

# ipptool reads every FILE when it loads the test, also in tests that the
# printer's own attributes skip (other raster types and resolutions): those
# get an empty stand-in.
grep -o 'pwg-raster-samples-[^ ]*\.pwg' "$T/ipp-everywhere.test" | sort -u | while read -r f; do
    [ -f "$T/$f" ] || { mkdir -p "$T/$(dirname "$f")" && : >"$T/$f"; }
done

# With TLS on, as the packaged service runs it (no server-options: the
# defaults). The credentials that libcups makes for it go into the test's
# folder, not the machine's.
export CUPS_SERVERROOT=$W/cups
mkdir -p "$CUPS_SERVERROOT"
APP_OPTIONS="-o server-options= ${APP_OPTIONS:-}" app_start "$APP" "$W/app" "$ADDR" || exit 1
app add -d everywhere -v "file:///dev/null" -m quovel-r4410kx || exit 1

# Right after the start, with no pause: a printer asked in its first second
# must pass as well.
cd "$T" || exit 1
ipptool -t -I -f document-a4.pdf "$APP_URI/ipp/print/everywhere" ipp-everywhere.test >"$W/report" 2>&1
grep -E '\[(PASS|FAIL|SKIP)\]' "$W/report" | sed 's/^ *//; s/ *\[\(PASS\|FAIL\|SKIP\)\]$/ [\1]/' >"$W/results"
sed 's/^/  /' "$W/results"

passed=$(grep -c '\[PASS\]' "$W/results")
failed=0
while IFS= read -r line; do
    name=${line% \[FAIL\]}
    failed=$((failed + 1))
    echo "FAILED: $name" >&2
    awk -v n="$name" 'index($0, n) { on = 1; next } on && /\[(PASS|FAIL|SKIP)\]/ { exit } on' \
        "$W/report" | grep -v "^ *[a-z0-9-]* (" | head -n 40 >&2
done < <(grep '\[FAIL\]' "$W/results")
if ! app_stopped_cleanly; then
    echo "FAILED: the app stopped with a sanitizer report" >&2
    failed=$((failed + 1))
fi
[ "$passed" -gt 0 ] || { echo "ipptool ran no test" >&2; failed=$((failed + 1)); }
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
