#!/bin/bash
# Every format that the app advertises reaches the device as PostScript:
# Ghostscript renders what arrived and counts its pages, measures them and,
# for images and raster, compares them with the document.
#
#   formats_test.sh APP PNM_COMPARE ADDRESS
set -u
here=$(cd "$(dirname "$0")" && pwd)
APP=$1 COMPARE=$2 ADDR=$3
. "$here/begin.sh"
DEV=$W/device.out

gs_run() { gs -q -dBATCH -dNOPAUSE -dSAFER "$@" 2>&1; }

# The documents, made here with Ghostscript.
BODY='0 setgray 60 600 200 180 rectfill 0.5 setgray 320 120 220 300 rectfill
/Helvetica-Bold findfont 60 scalefont setfont 0 setgray 80 420 moveto (QUOVEL) show'
printf '%%!PS\n<</PageSize[595 842]>>setpagedevice\n%s showpage\n' "$BODY" >"$W/a4.ps"
printf '%%!PS-Adobe-3.0\n<</PageSize[612 792]>>setpagedevice\n%s showpage\n%s showpage\n' \
    "$BODY" "$BODY" >"$W/letter-2.ps"
gs_run -sDEVICE=pdfwrite -o "$W/a4-3.pdf" -c "<</PageSize[595 842]>>setpagedevice" \
    -c "1 1 3 { /Helvetica findfont 40 scalefont setfont 100 700 moveto (Page ) show 3 string cvs show showpage } for"
gs_run -sDEVICE=jpeggray -r50 -o "$W/a4.jpg" "$W/a4.ps" >/dev/null
gs_run -sDEVICE=pnggray -r50 -o "$W/a4.png" "$W/a4.ps" >/dev/null
gs_run -sDEVICE=pwgraster -dcupsColorSpace=18 -dcupsBitsPerColor=8 -r300 -o "$W/a4.pwg" "$W/a4.ps" >/dev/null
gs_run -sDEVICE=urf -dcupsColorSpace=18 -dcupsBitsPerColor=8 -r300 -o "$W/a4.urf" "$W/a4.ps" >/dev/null
# What an image looks like once fitted into the printable area: centred,
# scaled to the width inside the models' 18 pt margins.
printf '%%!PS\n<</PageSize[595 842]>>setpagedevice 18 25.47 translate 0.9395 dup scale\n%s showpage\n' \
    "$BODY" >"$W/fitted.ps"
for ref in a4 fitted; do
    gs_run -sDEVICE=pgmraw -r36 -o "$W/$ref.pgm" "$W/$ref.ps" >/dev/null
done

app_start "$APP" "$W/app" "$ADDR" || exit 1
: >"$DEV"
app add -d q -v "file://$DEV" -m quovel-r4410kx || exit 1

# name | document | options | sheets | page size (points, at 72 dpi) | image
cases=(
    "PostScript keeps its own page size|letter-2.ps||2|612x792|"
    "PostScript gets copies from the prolog|letter-2.ps|-o copies=2|4|612x792|"
    "PostScript two-sided|letter-2.ps|-o sides=two-sided-short-edge|2|612x792|"
    "PDF on A4|a4-3.pdf||3|595x842|"
    "PDF on Letter|a4-3.pdf|-o media=na_letter_8.5x11in|3|612x792|"
    "PDF copies|a4-3.pdf|-o copies=2|6|595x842|"
    "PDF two up|a4-3.pdf|-o number-up=2|2|595x842|"
    "PDF page range|a4-3.pdf|-o page-ranges=2-3|2|595x842|"
    "JPEG|a4.jpg||1|595x842|fitted"
    "PNG|a4.png||1|595x842|fitted"
    "PWG raster|a4.pwg|-o printer-resolution=300dpi|1|595x842|a4"
    "Apple raster|a4.urf|-o printer-resolution=300dpi|1|595x842|a4"
)

n=0
for row in "${cases[@]}"; do
    IFS='|' read -r name doc opts sheets size image <<<"$row"
    n=$((n + 1))
    before=$(device_bytes "$DEV")
    # shellcheck disable=SC2086
    job=$(app_submit q "$W/$doc" $opts)
    check "$name: the job completed" equals "$(app_wait_job q "$job")" completed
    out=$W/out$n.ps
    device_since "$DEV" "$before" "$out"
    check "$name: PostScript reached the device" equals "$(head -c 4 "$out")" "%!PS"

    rm -f "$W"/page-*.pgm
    gs_run -sDEVICE=pgmraw -r72 -o "$W/page-%d.pgm" "$out" >/dev/null
    check "$name: sheets" equals "$(ls "$W"/page-*.pgm 2>/dev/null | wc -l)" "$sheets"
    check "$name: page size" equals "$(sed -n 3p "$W/page-1.pgm" | tr ' ' x)" "$size"

    if [ -n "$image" ]; then
        gs_run -sDEVICE=pgmraw -r36 -dDEVICEWIDTHPOINTS=595 -dDEVICEHEIGHTPOINTS=842 -dFIXEDMEDIA \
            -o "$W/got.pgm" "$out" >/dev/null
        check "$name: the page shows the document" "$COMPARE" "$W/$image.pgm" "$W/got.pgm" 1.5 0.008
    fi
done

# The PostScript document's own bytes follow the prolog unchanged, and the
# prolog asked for the job's sides.
before=$(device_bytes "$DEV")
job=$(app_submit q "$W/letter-2.ps" -o sides=two-sided-long-edge)
app_wait_job q "$job" >/dev/null
device_since "$DEV" "$before" "$W/ps.out"
check "PostScript: the document's bytes end the output unchanged" \
    equals "$(tail -c "$(stat -c %s "$W/letter-2.ps")" "$W/ps.out" | md5sum)" "$(md5sum <"$W/letter-2.ps")"
check "PostScript: the prolog asks for long-edge duplex" grep -q "/Duplex true/Tumble false" "$W/ps.out"

# The web interface's pages carry the footer (PAPPL 1.3.1 crashes on them
# without one); the home page and the printer's page are asked for.
web_page() {
    local hostport=${APP_URI#ipp://}
    exec 3<>"/dev/tcp/${hostport%:*}/${hostport##*:}" || return 1
    printf 'GET %s HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n\r\n' "$1" "${hostport%:*}" >&3
    timeout 10 cat <&3
    exec 3<&-
}
for path in / /q; do
    check "web page $path shows the footer" grep -q "Quovel Printer Application" <<<"$(web_page "$path")"
done
web_page /q/icon-md.png | sed '1,/^\r$/d' >"$W/icon.png"
check "the printer's icon is the model's own" cmp -s "$W/icon.png" "$here/../../printer_app/icons/icon-md.png"

check "the app stopped without a sanitizer report" app_stopped_cleanly
summary formats
