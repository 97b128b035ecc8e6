#!/usr/bin/env python3
"""Puts the release package together from a built vantor_config.exe.

The zip holds the program, the configuration example and the operator's
guide as LEGGIMI.txt, both as Notepad on an old Windows reads them
(Windows-1252, CR LF), and SHA256SUMS over the three. Names are stored in
order with one fixed date and fixed attributes, so the same inputs give
the same bytes.
"""
import argparse
import hashlib
import os
import re
import sys
import textwrap
import time
import zipfile

WIDTH = 76


def read_version(path):
    with open(path, encoding="ascii") as f:
        version = f.readline().strip()
    if not re.fullmatch(r"[0-9]+\.[0-9]+\.[0-9]+", version):
        sys.exit("%s: expected MAJOR.MINOR.PATCH, found %r" % (path, version))
    return version


def plain(text):
    """Inline markdown as plain text: code in double quotes, no bold marks.
    Code is taken as it stands: a log line such as "*** serial port error"
    keeps its stars."""
    pieces = re.split(r"(`[^`]*`)", text)
    return "".join('"%s"' % piece[1:-1] if piece.startswith("`") and piece.endswith("`")
                   and len(piece) > 1 else piece.replace("**", "")
                   for piece in pieces)


def wrap(text, first, rest):
    return textwrap.wrap(text, WIDTH, initial_indent=first, subsequent_indent=rest,
                         break_long_words=False, break_on_hyphens=False)


def cells(row):
    return [c.strip() for c in row.strip().strip("|").split("|")]


def table_as_text(rows):
    """A table as one block per row: the first cell, then the others under
    their column names; Notepad has no room for the columns side by side."""
    header = cells(rows[0])
    out = []
    if len(header) == 2:
        body = [[plain(c) for c in cells(row)] for row in rows[2:]]
        width = max(len(plain(header[0])), *(len(r[0]) for r in body)) + 2
        for first, second in [[plain(c) for c in header]] + body:
            out.extend(wrap(second, "  " + first.ljust(width), " " * (width + 2)))
        out.append("")
        return out
    for row in rows[2:]:
        values = cells(row)
        out.extend(wrap(plain(values[0]), "* ", "  "))
        for name, value in zip(header[1:], values[1:]):
            out.extend(wrap(plain(value), "    %s: " % plain(name), "      "))
        out.append("")
    return out


def guide_as_text(markdown):
    lines = markdown.split("\n")
    out = []
    i = 0
    in_code = False
    while i < len(lines):
        line = lines[i]
        if line.startswith("```"):
            in_code = not in_code
        elif in_code:
            out.append(("    " + line).rstrip())
        elif line.startswith("|"):
            rows = []
            while i < len(lines) and lines[i].startswith("|"):
                rows.append(lines[i])
                i += 1
            if out and out[-1] != "":
                out.append("")
            out.extend(table_as_text(rows))
            continue
        elif line.startswith("#"):
            level = len(line) - len(line.lstrip("#"))
            title = plain(line[level:].strip())
            out.append(title)
            if level <= 2:
                out.append(("=" if level == 1 else "-") * len(title))
        else:
            out.append(plain(line).rstrip())
        i += 1
    while out and out[-1] == "":
        out.pop()
    # Fails here, not on the operator's screen, on a character that
    # Windows-1252 lacks.
    return ("\r\n".join(out) + "\r\n").encode("cp1252")


def crlf(data):
    return data.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")


def package_date():
    """SOURCE_DATE_EPOCH when given, else the zip format's first day."""
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    if epoch is None:
        return (1980, 1, 1, 0, 0, 0)
    # Zip dates are even seconds from 1980 on.
    t = time.gmtime(max(int(epoch), 315532800))
    return (t.tm_year, t.tm_mon, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec // 2 * 2)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--sources", required=True, help="the source tree")
    parser.add_argument("--out", required=True, help="folder for the zip")
    args = parser.parse_args()

    src = args.sources
    version = read_version(os.path.join(src, "VERSION"))
    with open(args.exe, "rb") as f:
        files = {"vantor_config.exe": f.read()}
    with open(os.path.join(src, "vantor_config.ini.example"), "rb") as f:
        files["vantor_config.ini.example"] = crlf(f.read())
    with open(os.path.join(src, "docs", "guida-operatore.md"), encoding="utf-8") as f:
        files["LEGGIMI.txt"] = guide_as_text(f.read())
    files["SHA256SUMS"] = "".join(
        "%s  %s\n" % (hashlib.sha256(files[name]).hexdigest(), name)
        for name in sorted(files)).encode("ascii")

    os.makedirs(args.out, exist_ok=True)
    target = os.path.join(args.out, "vantor_config-%s.zip" % version)
    partial = target + ".part"
    date = package_date()
    with zipfile.ZipFile(partial, "w") as zf:
        for name in sorted(files):
            info = zipfile.ZipInfo(name, date_time=date)
            info.compress_type = zipfile.ZIP_DEFLATED
            # Plain readable files, whatever this machine's umask.
            info.create_system = 3
            info.external_attr = 0o100644 << 16
            zf.writestr(info, files[name], compresslevel=9)
    os.replace(partial, target)
    print(target)
    for name in sorted(files):
        print("  %8d  %s" % (len(files[name]), name))


if __name__ == "__main__":
    main()
