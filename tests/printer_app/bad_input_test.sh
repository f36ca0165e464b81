#!/bin/bash
# Bad input: broken IPP requests are answered or dropped and the app goes on;
# documents that are not what their format says fail with a reason; a PDF's
# conversion ends when its job is cancelled or runs out of time, leaving no
# helper behind; and a job to the same printer after each prints.
#
#   bad_input_test.sh APP TCP_DEVICE ADDRESS
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/app.sh"
. "$here/../e2e/assert.sh"
APP=$1 DEVICE=$2 ADDR=$3

W=$(mktemp -d)
[ -z "${KEEP:-}" ] || echo "work folder: $W"
DEV_PID=
trap 'app_cleanup; stop_pid "$DEV_PID"; [ -n "${KEEP:-}" ] || rm -rf "$W"' EXIT

gs_run() { gs -q -dBATCH -dNOPAUSE -dSAFER "$@" >/dev/null 2>&1; }
page='/Helvetica findfont 24 scalefont setfont 72 720 moveto (ok) show showpage'
printf '%%!PS\n%s\n' "$page" >"$W/small.ps"
printf '%%!PS\n{} loop\n' >"$W/loop.ps"
{ printf '%%PDF-1.7\n'; head -c 20000 /dev/urandom; } >"$W/garbage.pdf"
gs_run -sDEVICE=pwgraster -dcupsColorSpace=18 -dcupsBitsPerColor=8 -r300 -o "$W/good.pwg" -c "$page"
# A header that claims 60000 lines where the page has 3508, and a header
# whose bytes per line disagree with its width.
python3 - "$W" <<'PWG'
import struct, sys
w = sys.argv[1]
data = bytearray(open(w + "/good.pwg", "rb").read())
tall = bytearray(data); struct.pack_into(">I", tall, 4 + 376, 60000)
open(w + "/tall.pwg", "wb").write(tall)
wide = bytearray(data); struct.pack_into(">I", wide, 4 + 392, 1)
open(w + "/wide.pwg", "wb").write(wide)
PWG
# Forty pages that show one large image each: slow enough to convert that a
# cancel or the time limit lands in the middle.
python3 - "$W/slow.pdf" <<'PDF'
import sys, zlib
side, pages = 6000, 40
img = zlib.compress(bytes(side * side), 9)
objs = [b"<</Type/Catalog/Pages 2 0 R>>", b"",
        b"<</Type/XObject/Subtype/Image/Width %d/Height %d/ColorSpace/DeviceGray"
        b"/BitsPerComponent 8/Filter/FlateDecode/Length %d>>stream\n" % (side, side, len(img)) +
        img + b"\nendstream"]
draw = b"q 500 0 0 700 50 50 cm /Im Do Q"
for i in range(pages):
    objs.append(b"<</Length %d>>stream\n%s\nendstream" % (len(draw), draw))
    objs.append(b"<</Type/Page/Parent 2 0 R/MediaBox[0 0 595 842]/Resources<</XObject<</Im 3 0 R>>>>"
                b"/Contents %d 0 R>>" % len(objs))
objs[1] = b"<</Type/Pages/Count %d/Kids[%s]>>" % (pages, b" ".join(b"%d 0 R" % (5 + 2 * i) for i in range(pages)))
out, offsets = bytearray(b"%PDF-1.4\n"), []
for i, o in enumerate(objs):
    offsets.append(len(out))
    out += b"%d 0 obj\n" % (i + 1) + o + b"\nendobj\n"
xref = len(out)
out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objs) + 1) + b"".join(b"%010d 00000 n \n" % o for o in offsets)
out += b"trailer\n<</Size %d/Root 1 0 R>>\nstartxref\n%d\n%%%%EOF\n" % (len(objs) + 1, xref)
open(sys.argv[1], "wb").write(out)
PDF

"$DEVICE" "$ADDR" 9100 "$W/dev" sink >"$W/ready" 2>&1 &
DEV_PID=$!
APP_OPTIONS="-o conversion-timeout=3"
app_start "$APP" "$W/app" "$ADDR" || exit 1
app add -d q -v "socket://$ADDR:9100" -m quovel-l8120kx || exit 1
PORT=${APP_URI##*:}

# raw KIND: sends a broken request; prints the HTTP status line, if any.
raw() {
    python3 - "$ADDR" "$PORT" "$1" <<'RAW'
import socket, struct, sys
host, port, kind = sys.argv[1], int(sys.argv[2]), sys.argv[3]
def attr(tag, name, value):
    return struct.pack(">BH", tag, len(name)) + name + struct.pack(">H", len(value)) + value
uri = ("ipp://%s:%d/ipp/print/q" % (host, port)).encode()
ops = (b"\x01" + attr(0x47, b"attributes-charset", b"utf-8") +
       attr(0x48, b"attributes-natural-language", b"en") + attr(0x45, b"printer-uri", uri))
head = b"\x02\x00\x00\x02\x00\x00\x00\x01"
body = {
    "truncated": head + ops[:20],
    "garbage": bytes(range(256)) * 4,
    "oversized": head + ops + attr(0x42, b"job-name", b"x" * 65535) + b"\x03%!PS\n",
    "lying-length": head + ops + b"\x42\x00\x08job-name\xff\xf0short\x03",
    "no-end-tag": head + ops,
}[kind]
declared = len(body) + (1000 if kind == "truncated" else 0)
s = socket.create_connection((host, port), timeout=10)
s.sendall(b"POST /ipp/print/q HTTP/1.1\r\nHost: %s:%d\r\nContent-Type: application/ipp\r\n"
          b"Content-Length: %d\r\n\r\n" % (host.encode(), port, declared) + body)
if kind == "truncated":
    s.shutdown(socket.SHUT_WR)
try:
    print(s.recv(4096).split(b"\r\n")[0].decode())
except OSError:
    pass
RAW
}
serving() { ipptool -t "$APP_URI/ipp/print/q" "$here/printer.test" >/dev/null; }
prints() { # NAME: a plain job after the case prints
    local job
    job=$(app_submit q "$W/small.ps")
    check "$1: a job after it printed" equals "$(app_wait_job q "$job")" completed
}
# The conversion helpers of this test's app, found by the environment that
# they inherit from it (Ghostscript is not the app's child).
helpers() {
    local p
    for p in $(pgrep -x pdftopdf; pgrep -x pdftops; pgrep -x gs); do
        grep -qsz "^SNAP_COMMON=$W/app\$" "/proc/$p/environ" && echo "$p"
    done
}

converting() { [ -n "$(helpers)" ]; }
no_helpers() { [ -z "$(helpers)" ]; }

# request | what the app may answer: an HTTP status line, or nothing
requests=(
    "truncated|"
    "garbage|HTTP/1.1 400"
    "oversized|HTTP/1.1 400"
    "lying-length|HTTP/1.1 400"
    "no-end-tag|HTTP/1.1 400"
)
for row in "${requests[@]}"; do
    IFS='|' read -r kind answer <<<"$row"
    got=$(raw "$kind")
    [ -z "$answer" ] || check "a $kind request is answered $answer" lists "$got" "$answer"
    check "after a $kind request the app serves" serving
done
prints "broken requests"

# The PostScript loop is the printer's to run: the app passes PostScript on
# as it is, so the job completes.
# document (its format found from its first bytes) | copies | cancelled
# once its conversion runs (yes, or none) | state | message holds
documents=(
    "garbage.pdf|1|none|aborted|The PDF document could not be converted"
    "tall.pwg|1|none|aborted|"
    "wide.pwg|1|none|aborted|"
    "loop.ps|1|none|completed|"
    "slow.pdf|1|yes|canceled|"
    "slow.pdf|1|none|aborted|The document took more than 3 s to convert."
)
for row in "${documents[@]}"; do
    IFS='|' read -r doc copies cancel want message <<<"$row"
    name="$doc ($want)"
    job=$(app_submit q "$W/$doc" -n "$copies")
    if [ "$cancel" != none ]; then
        check "$name: its conversion started" until_ok 10 converting
        app cancel -d q -j "$job"
    fi
    check "$name: the job ended $want" equals "$(app_wait_job q "$job")" "$want"
    [ -z "$message" ] ||
        check "$name: its message says why" lists "$(app_job_attr q "$job" job-state-message)" "$message"
    [ "$want" = completed ] || [ "$want" = canceled ] ||
        check "$name: its message is not empty" [ -n "$(app_job_attr q "$job" job-state-message)" ]
    check "$name: no helper is left running" until_ok 10 no_helpers
    prints "$name"
done

check "the app stopped without a sanitizer report" app_stopped_cleanly
summary bad-input
