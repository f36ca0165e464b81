#!/usr/bin/python3
# The languages' strings files: each must parse whole in PAPPL's format, hold
# each key once, translate every key of PAPPL's own English file and of the
# app's own (printer_app/strings/en.strings), keep each key's printf
# conversions in order, fit PAPPL's buffers, and leave the gate's refusal
# messages untranslated.
#
#   strings_test.py PAPPL_EN_STRINGS APP_STRINGS_DIR REFUSALS_SOURCE [PAPPL_SOURCE_DIR]
#
# With PAPPL_SOURCE_DIR, every text its C files mark for localization
# (_PAPPL_LOC), answer IPP requests with or report while listing devices must
# be a key too: PAPPL's English list lacks some.
#
# Exits 0 when every check passed, 1 otherwise.
import glob
import os
import re
import sys

# PAPPL's loader (loc.c) accepts these escapes in keys and texts.
ESCAPES = {"\\": "\\", "'": "'", '"': '"', "n": "\n", "r": "\r", "t": "\t"}
MARKED = re.compile(r'_PAPPL_LOC\(\s*(?:/\*.*?\*/\s*)?"((?:[^"\\]|\\.)*)"\s*\)')
# The texts PAPPL looks up without marking them: the status-message of an
# IPP answer, which is in the client's language, and an error met while
# listing devices, in the process's.
ANSWERED = re.compile(r'papplClientRespondIPP\(\s*client\s*,\s*\w+\s*,\s*"((?:[^"\\]|\\.)*)"')
LISTING = re.compile(r'_papplDeviceError\(\s*err_cb\s*,\s*err_data\s*,\s*"((?:[^"\\]|\\.)*)"')
CONVERSION = re.compile(r"%(?:%|[-+ #0]*(?:\*|\d+)?(?:\.(?:\*|\d+))?(?:hh|h|ll|l|z|j|t|L)?[diouxXeEfFgGaAcspn])")


class ParseError(Exception):
    pass


def unquote(text, pos, line):
    """The quoted string at text[pos], and the position after its closing quote."""
    if pos >= len(text) or text[pos] != '"':
        raise ParseError(f"line {line}: a quoted string expected")
    out = []
    pos += 1
    while pos < len(text) and text[pos] != '"':
        if text[pos] == "\\":
            pos += 1
            if pos < len(text) and text[pos] in ESCAPES:
                out.append(ESCAPES[text[pos]])
            elif re.match(r"[0-3][0-7][0-7]", text[pos:pos + 3]):
                out.append(chr(int(text[pos:pos + 3], 8)))
                pos += 2
            else:
                raise ParseError(f"line {line}: a bad escape")
        elif text[pos] == "\n":
            raise ParseError(f"line {line}: a string runs past its line")
        else:
            out.append(text[pos])
        pos += 1
    if pos >= len(text):
        raise ParseError(f"line {line}: an unterminated string")
    return "".join(out), pos + 1


def parse(path):
    """The (key, text) pairs of a strings file, in order."""
    with open(path, encoding="utf-8") as f:
        text = f.read()
    pairs = []
    pos = 0
    while True:
        while pos < len(text) and text[pos].isspace():
            pos += 1
        if pos >= len(text):
            return pairs
        line = text.count("\n", 0, pos) + 1
        if text.startswith("/*", pos):
            end = text.find("*/", pos + 2)
            if end < 0:
                raise ParseError(f"line {line}: an unterminated comment")
            pos = end + 2
            continue
        key, pos = unquote(text, pos, line)
        m = re.compile(r"[ \t]*=[ \t]*").match(text, pos)
        if not m:
            raise ParseError(f"line {line}: no '=' after the key")
        value, pos = unquote(text, m.end(), line)
        if not text.startswith(";", pos):
            raise ParseError(f"line {line}: no ';' after the text")
        pos += 1
        pairs.append((key, value))


def conversions(s):
    return [c for c in CONVERSION.findall(s) if c != "%%"]


def main():
    pappl_en, folder, refusals_source = sys.argv[1:4]
    failures = []
    marked = set()
    if len(sys.argv) > 4:
        for source in sorted(glob.glob(os.path.join(sys.argv[4], "*.c"))):
            with open(source, encoding="utf-8", errors="replace") as f:
                code = f.read()
                for pattern in (MARKED, ANSWERED, LISTING):
                    for m in pattern.finditer(code):
                        key, _ = unquote('"' + m.group(1) + '"', 0, 0)
                        marked.add(key)
        if not marked:
            failures.append(f"{sys.argv[4]}: no text marked for localization found")
    pappl_keys = [k for k, _ in parse(pappl_en)]
    app_keys = [k for k, _ in parse(os.path.join(folder, "en.strings"))]
    with open(refusals_source, encoding="utf-8") as f:
        refusals = re.findall(r'Message\[\] = "([^"]+)"', f.read())
    if len(refusals) != 2:
        failures.append(f"{refusals_source}: found {len(refusals)} refusal messages, not 2")
    wanted = pappl_keys + app_keys
    for k in sorted(marked - set(wanted)):
        failures.append(f"PAPPL's source marks {k!r}, which neither list has")

    for name in sorted(os.listdir(folder)):
        if not name.endswith(".strings"):
            continue
        path = os.path.join(folder, name)
        try:
            pairs = parse(path)
        except ParseError as e:
            failures.append(f"{name}: {e}")
            continue
        keys = [k for k, _ in pairs]
        texts = dict(pairs)
        seen = set()
        for k in keys:
            if k in seen:
                failures.append(f"{name}: the key {k!r} appears twice")
            seen.add(k)
        if name == "en.strings":
            continue
        missing = [k for k in wanted if k not in texts]
        for k in missing:
            failures.append(f"{name}: no translation of {k!r}")
        for k in set(keys) - set(wanted):
            failures.append(f"{name}: the key {k!r} is neither PAPPL's nor the app's")
        for k, v in pairs:
            if conversions(k) != conversions(v):
                failures.append(f"{name}: {k!r} has conversions {conversions(k)}, its text {conversions(v)}")
            # PAPPL's loader cuts longer ones at its 1024-byte buffers.
            if max(len(k.encode()), len(v.encode())) > 1023:
                failures.append(f"{name}: {k!r} or its text is longer than PAPPL reads")
            if v.strip() == "":
                failures.append(f"{name}: {k!r} has an empty text")
            for r in refusals:
                if r in k or r in v:
                    failures.append(f"{name}: {k!r} holds the refusal message {r!r}")
        print(f"{name}: {len(pairs)} keys, {len(pappl_keys)} of PAPPL's list and {len(app_keys)} "
              f"of the app's wanted ({len(marked)} marked in PAPPL's source), {len(missing)} missing")

    for f in failures:
        print("FAIL:", f)
    print("PASS" if not failures else f"{len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
