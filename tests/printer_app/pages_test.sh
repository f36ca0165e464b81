#!/bin/bash
# A job's page and sheet counts, read through IPP once it has ended, for
# PostScript (its own DSC count, in the header or at the end, or none), PDF
# (page ranges, copies, number-up, two-sided), PWG raster, JPEG and PNG; Ghostscript
# counts the pages that reached the device. A refused job and one whose
# device hangs up count only what went out.
#
#   pages_test.sh APP TCP_DEVICE ADDRESS
set -u
here=$(cd "$(dirname "$0")" && pwd)
APP=$1 DEVICE=$2 ADDR=$3
. "$here/begin.sh"
DEV=$W/device.out
gs_run() { gs -q -dBATCH -dNOPAUSE -dSAFER "$@" 2>&1; }
# The pages Ghostscript prints of a PostScript file, copies included.
rendered() {
    rm -f "$W"/page-*.pgm
    gs_run -sDEVICE=pgmraw -r10 -o "$W/page-%d.pgm" "$1" >/dev/null
    ls "$W"/page-*.pgm 2>/dev/null | wc -l
}

# The documents. A DSC page: its comment, then something to see.
page() { printf '%%%%Page: %s %s\n/Helvetica findfont 40 scalefont setfont 100 700 moveto (Page %s) show showpage\n' "$1" "$1" "$1"; }
{ printf '%%!PS-Adobe-3.0\n%%%%Pages: 3\n%%%%EndComments\n'; for i in 1 2 3; do page $i; done; printf '%%%%EOF\n'; } >"$W/dsc-3.ps"
printf '%%!PS-Adobe-3.0\n/Helvetica findfont 40 scalefont setfont\n100 700 moveto (One) show showpage\n100 700 moveto (Two) show showpage\n' >"$W/plain-2.ps"
gs_run -sDEVICE=pdfwrite -o "$W/a4-5.pdf" -c "<</PageSize[595 842]>>setpagedevice" \
    -c "1 1 5 { /Helvetica findfont 40 scalefont setfont 100 700 moveto (Page ) show 3 string cvs show showpage } for" >/dev/null
# cups-filters' pdftops gives its count at the end.
/usr/lib/cups/filter/pdftops 1 test test 1 "" "$W/a4-5.pdf" >"$W/atend-5.ps" 2>/dev/null
gs_run -sDEVICE=pdfwrite -o "$W/a4-3.pdf" "$W/dsc-3.ps" >/dev/null
gs_run -sDEVICE=pwgraster -dcupsColorSpace=18 -dcupsBitsPerColor=8 -r300 -o "$W/a4-3.pwg" "$W/a4-3.pdf" >/dev/null
gs_run -sDEVICE=jpeggray -r50 -dLastPage=1 -o "$W/a4.jpg" "$W/a4-3.pdf" >/dev/null
gs_run -sDEVICE=pnggray -r50 -dLastPage=1 -o "$W/a4.png" "$W/a4-3.pdf" >/dev/null
# 40 pages of 50 KiB each, for a device that hangs up after 256 KiB.
{
    printf '%%!PS-Adobe-3.0\n%%%%Pages: 40\n%%%%EndComments\n'
    for i in $(seq 40); do
        page "$i"
        yes '% padding that a printer skips as a comment, line after line.' | head -n 800
    done
} >"$W/long-40.ps"

check "the atend document gives its count at the end" grep -q '^%%Pages: (atend)' "$W/atend-5.ps"
check "the raster has three pages" equals "$(rendered "$W/a4-3.pdf")" 3

app_start "$APP" "$W/app" "$ADDR" "Debian GNU/Linux 12 \\n \\l" || exit 1
: >"$DEV"
app add -d q -v "file://$DEV" -m quovel-r4410kx || exit 1

# counts QUEUE JOB: "job-impressions completed sheets", "-" for one not given.
counts() {
    local out
    out=$(ipptool -t -d "job=$2" "$APP_URI/ipp/print/$1" "$here/pages.test")
    local imp done sheets
    imp=$(sed -n 's/^ *job-impressions ([^)]*) = //p' <<<"$out")
    done=$(sed -n 's/^ *job-impressions-completed ([^)]*) = //p' <<<"$out")
    sheets=$(sed -n 's/^ *job-media-sheets-completed ([^)]*) = //p' <<<"$out")
    echo "${imp:--} ${done:--} ${sheets:--}"
}

# name | document | options | job-impressions impressions-completed sheets-completed | pages rendered
cases=(
    "PostScript with its count in the header|dsc-3.ps||3 3 3|3"
    "PostScript, two copies|dsc-3.ps|-o copies=2|3 6 6|6"
    "PostScript, two-sided|dsc-3.ps|-o sides=two-sided-long-edge|3 3 2|3"
    "PostScript, two copies two-sided|dsc-3.ps|-o copies=2 -o sides=two-sided-long-edge|3 6 4|6"
    "PostScript with its count at the end|atend-5.ps||5 5 5|5"
    "PostScript that gives no count|plain-2.ps||0 0 0|2"
    "PDF|a4-5.pdf||5 5 5|5"
    "PDF page range|a4-5.pdf|-o page-ranges=2-4|3 3 3|3"
    "PDF two copies two up|a4-5.pdf|-o copies=2 -o number-up=2|3 6 6|6"
    "PDF two-sided|a4-5.pdf|-o sides=two-sided-long-edge|5 5 3|5"
    # Each copy starts on a sheet of its own: a blank back after page 5.
    "PDF two copies two-sided|a4-5.pdf|-o copies=2 -o sides=two-sided-short-edge|6 12 6|12"
    "PDF page range two-sided|a4-5.pdf|-o page-ranges=1-3 -o sides=two-sided-long-edge|3 3 2|3"
    "PWG raster|a4-3.pwg|-o printer-resolution=300dpi|3 3 3|3"
    "PWG raster two-sided|a4-3.pwg|-o printer-resolution=300dpi -o sides=two-sided-long-edge|3 3 2|3"
    # PAPPL prints each copy of an image, each on a sheet of its own.
    "JPEG, two copies two-sided|a4.jpg|-o copies=2 -o sides=two-sided-long-edge|1 2 2|2"
    "JPEG, three copies|a4.jpg|-o copies=3|1 3 3|3"
    "PNG, three copies|a4.png|-o copies=3|1 3 3|3"
)
n=0
for row in "${cases[@]}"; do
    IFS='|' read -r name doc opts want rendered <<<"$row"
    n=$((n + 1))
    before=$(device_bytes "$DEV")
    # shellcheck disable=SC2086
    job=$(app_submit q "$W/$doc" $opts)
    check "$name: the job completed" equals "$(app_wait_job q "$job")" completed
    check "$name: its counts" equals "$(counts q "$job")" "$want"
    device_since "$DEV" "$before" "$W/out$n.ps"
    check "$name: the pages that reached the device" equals "$(rendered "$W/out$n.ps")" "$rendered"
done

# Refused by the gate: nothing went out, nothing is counted.
printf 'Welcome to Other OS 1.0 \\n \\l' >"$W/app/banner"
job=$(app_submit q "$W/dsc-3.ps")
check "a refused job: it was aborted" equals "$(app_wait_job q "$job")" aborted
check "a refused job: nothing is counted" equals "$(counts q "$job" | cut -d' ' -f2-)" "0 0"
printf 'Debian GNU/Linux 12 \\n \\l' >"$W/app/banner"

# A device that hangs up after 256 KiB of a 2 MiB document: the job counts
# the pages that went out before, a page a sheet, and not the rest.
"$DEVICE" "$ADDR" 9100 "$W/hang" hangup=262144 >"$W/hang.ready" 2>&1 &
SINK_PID=$!
for i in $(seq 50); do grep -q listening "$W/hang.ready" && break; sleep 0.1; done
app add -d h -v "socket://$ADDR:9100" -m quovel-r4410kx || exit 1
job=$(app_submit h "$W/long-40.ps")
check "a device that hangs up: the job was aborted" equals "$(app_wait_job h "$job")" aborted
read -r imp done sheets <<<"$(counts h "$job")"
check "a device that hangs up: the document's count is known" equals "$imp" 40
check "a device that hangs up: the first pages, which went out whole, are counted" [ "$done" -ge 1 ]
check "a device that hangs up: fewer pages counted than the document has" [ "$done" -lt 40 ]
check "a device that hangs up: a sheet for each page counted" equals "$sheets" "$done"

check "the app stopped without a sanitizer report" app_stopped_cleanly
summary pages
