#!/usr/bin/env python3
"""What each connection to a stand-in printer carried: the job it printed,
whole, or why not.

    device_jobs.py DOCS CONNECTION...

Each CONNECTION is the file that tcp_device wrote for one connection. A
load-test job is known by its name, which its document carries in a form
that survives its route to the device:

  PostScript  a "% load-job NAME" line, and the document's own bytes (the
              file DOCS/NAME) end the connection;
  PDF         the "%%Title: (NAME)" that pdftops writes from the job's name,
              and the connection ends with the trailer;
  raster      (PWG and Apple raster, JPEG and PNG, sent as Flate-compressed
              PostScript images) the job's number as two rows of ten bars,
              the second the first's complement, read back from the decoded
              image; the job is "#NUMBER", and the connection ends with the
              trailer.

Prints "CONNECTION NAME" when the connection carried exactly one job, whole,
else "CONNECTION BAD: why".
"""
import os
import re
import sys
import zlib

BITS = 10
IMAGE = re.compile(
    rb"<</ImageType 1/Width (\d+)/Height (\d+)/BitsPerComponent 8/Decode \[0 1\]"
    rb"[^\n]*/Predictor 12/Colors 1/BitsPerComponent 8/Columns \d+>>"
    rb"/FlateDecode filter>>image\n")
ANY_IMAGE = re.compile(rb"/FlateDecode filter>>image\n")
PS_NAME = re.compile(rb"\n% load-job (\S+)\n")
PDF_NAME = re.compile(rb"\n%%Title: \((\S+)\)\n")


def read_bars(width, height, rows, fraction):
    """The bars' values (True: dark) across the row at fraction of the height
    of an image of Up-predicted 8-bit grey rows."""
    stride = width + 1
    y = int(height * fraction)
    cols = [int(width * (i + 0.5) / BITS) + 1 for i in range(BITS)]
    acc = [0] * BITS
    # Each row holds its difference from the row above.
    for r in range(y + 1):
        base = r * stride
        if rows[base] != 2:
            raise ValueError("row %d is not Up-predicted" % r)
        for i, c in enumerate(cols):
            acc[i] = (acc[i] + rows[base + c]) & 0xFF
    return [v < 128 for v in acc]


def raster_job(data, match):
    """The number that the image at match carries; raises when the image is
    cut short or unreadable."""
    width, height = int(match.group(1)), int(match.group(2))
    z = zlib.decompressobj()
    rows = z.decompress(data[match.end():])
    if not z.eof:
        raise ValueError("the image's data stops short")
    if len(rows) != (width + 1) * height:
        raise ValueError("the image has %d bytes for %dx%d" % (len(rows), width, height))
    if not z.unused_data.startswith(b"\ngrestore\nshowpage\n"):
        raise ValueError("the page does not end after its image")
    upper = read_bars(width, height, rows, 0.35)
    lower = read_bars(width, height, rows, 0.65)
    if any(a == b for a, b in zip(upper, lower)):
        raise ValueError("the bars do not read: %s / %s" % (upper, lower))
    return "#%d" % sum(1 << i for i, dark in enumerate(upper) if dark)


def carried(docs, data):
    names = [m.group(1).decode() for m in PS_NAME.finditer(data)]
    titles = [m.group(1).decode() for m in PDF_NAME.finditer(data)]
    images = list(ANY_IMAGE.finditer(data))
    found = len(names) + len(titles) + (1 if images else 0)
    if found != 1:
        raise ValueError("%d jobs (%s %s, %d images)" % (found, names, titles, len(images)))
    if names:
        with open(os.path.join(docs, names[0]), "rb") as f:
            document = f.read()
        if not data.endswith(document):
            raise ValueError("%s does not end with its document" % names[0])
        return names[0]
    # pdftops ends its output with a ^D, as a PostScript printer's job ends.
    if not data.rstrip(b" \t\r\n\x04").endswith(b"%%EOF"):
        raise ValueError("no trailer at the end")
    if titles:
        return titles[0]
    pages = set()
    for image in images:
        m = IMAGE.match(data, data.rfind(b"\n", 0, image.start()) + 1)
        if m is None:
            raise ValueError("an image not in 8-bit grey")
        pages.add(raster_job(data, m))
    if len(pages) != 1:
        raise ValueError("pages of several jobs: %s" % sorted(pages))
    return pages.pop()


def main():
    docs = sys.argv[1]
    for path in sys.argv[2:]:
        with open(path, "rb") as f:
            data = f.read()
        try:
            print(path, carried(docs, data))
        except (OSError, ValueError, zlib.error) as e:
            print(path, "BAD:", e)


if __name__ == "__main__":
    main()
