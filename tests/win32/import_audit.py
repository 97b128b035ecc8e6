#!/usr/bin/env python3
"""The import audit of a Windows program of this project.

Reads the PE header and the import table of an exe (no other tool needed)
and fails when the program is not what it claims to be, or when it asks
Windows for a function that is not in the list of allowed imports, or for
one that the oldest Windows its build is for does not have.

    import_audit.py --bits 32|64 --allowed LIST [--sources DIR] EXE
    import_audit.py --list EXE        # prints the imports, one per line

The list (allowed_imports.txt) has one line per function:

    DLL | function | oldest | NT 4.0 | 98/Me | how | source

`oldest` is the oldest Windows that has the function (95, NT4, 98, 2000,
XP, 2003, Vista, 7); `NT 4.0` and `98/Me` are yes, no or ? (documentation
does not tell); `how` is import (in the import table) or runtime (looked up
with GetProcAddress); `source` says where the facts come from.

With --sources, every name the program looks up at run time (a string
literal handed to GetProcAddress or to the project's own entryPoint helper)
must be in the list as a runtime entry, and every runtime entry must be
looked up somewhere, so the list cannot fall behind the code.
"""
import argparse
import os
import re
import struct
import sys

ORDER = ["95", "NT4", "98", "2000", "XP", "2003", "Vista", "7"]
# The oldest Windows each build is for: the 32-bit program must start on
# Windows 2000, the 64-bit one on the first 64-bit Windows for x86.
OLDEST_FOR_BITS = {32: "2000", 64: "2003"}
MACHINE_FOR_BITS = {32: 0x014C, 64: 0x8664}
MAGIC_FOR_BITS = {32: 0x10B, 64: 0x20B}
# The highest subsystem version whose loader each build must pass.
SUBSYSTEM_FOR_BITS = {32: (4, 0), 64: (5, 2)}
IMAGE_SUBSYSTEM_WINDOWS_CUI = 3


class PeError(Exception):
    pass


class Pe:
    def __init__(self, data):
        self.data = data
        if len(data) < 0x40 or data[:2] != b"MZ":
            raise PeError("no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if pe + 24 > len(data) or data[pe:pe + 4] != b"PE\0\0":
            raise PeError("no PE signature")
        (self.machine, sections, _stamp, _symtab, _symbols, optional_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", data, pe + 4)
        opt = pe + 24
        if opt + optional_size > len(data):
            raise PeError("optional header cut short")
        self.magic = struct.unpack_from("<H", data, opt)[0]
        if self.magic == 0x10B:
            dirs = opt + 96
        elif self.magic == 0x20B:
            dirs = opt + 112
        else:
            raise PeError("unknown optional header magic %#x" % self.magic)
        (self.os_major, self.os_minor, _image_major, _image_minor,
         self.subsystem_major, self.subsystem_minor) = struct.unpack_from(
             "<HHHHHH", data, opt + 40)
        self.subsystem = struct.unpack_from("<H", data, opt + 68)[0]
        count = struct.unpack_from("<I", data, dirs - 4)[0]
        self.directories = []
        for i in range(min(count, 16)):
            self.directories.append(struct.unpack_from("<II", data, dirs + 8 * i))
        table = opt + optional_size
        self.sections = []
        for i in range(sections):
            at = table + 40 * i
            if at + 40 > len(data):
                raise PeError("section table cut short")
            (vsize, vaddr, rawsize, rawptr) = struct.unpack_from("<IIII", data, at + 8)
            self.sections.append((vaddr, max(vsize, rawsize), rawptr, rawsize))

    def offset(self, rva):
        for vaddr, size, rawptr, rawsize in self.sections:
            if vaddr <= rva < vaddr + size:
                if rva - vaddr >= rawsize:
                    raise PeError("rva %#x lies outside the file" % rva)
                return rawptr + rva - vaddr
        raise PeError("rva %#x is in no section" % rva)

    def string(self, rva):
        at = self.offset(rva)
        end = self.data.find(b"\0", at)
        if end < 0:
            raise PeError("unterminated name")
        return self.data[at:end].decode("ascii")

    def imports(self):
        """(dll, function) pairs; an import by ordinal is ('dll', '#N')."""
        if len(self.directories) < 2 or self.directories[1][0] == 0:
            return []
        at = self.offset(self.directories[1][0])
        wide = self.magic == 0x20B
        thunk_size = 8 if wide else 4
        ordinal_flag = 1 << 63 if wide else 1 << 31
        found = []
        while True:
            lookup, _stamp, _chain, name, address = struct.unpack_from(
                "<IIIII", self.data, at)
            if lookup == 0 and name == 0 and address == 0:
                break
            dll = self.string(name)
            thunk = self.offset(lookup or address)
            while True:
                value = struct.unpack_from("<Q" if wide else "<I", self.data,
                                           thunk)[0]
                if value == 0:
                    break
                if value & ordinal_flag:
                    found.append((dll, "#%d" % (value & 0xFFFF)))
                else:
                    found.append((dll, self.string((value & 0x7FFFFFFF) + 2)))
                thunk += thunk_size
            at += 20
        return found


def read_allowed(path):
    allowed = {}
    problems = []
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            fields = [x.strip() for x in line.split("|")]
            where = "%s:%d" % (os.path.basename(path), number)
            if len(fields) != 7:
                problems.append("%s: %d fields, 7 expected" % (where, len(fields)))
                continue
            dll, function, oldest, nt4, nine, how, source = fields
            if oldest not in ORDER:
                problems.append("%s: oldest Windows %r is none of %s"
                                % (where, oldest, ", ".join(ORDER)))
            if nt4 not in ("yes", "no", "?") or nine not in ("yes", "no", "?"):
                problems.append("%s: NT 4.0 and 98/Me are yes, no or ?" % where)
            if how not in ("import", "runtime"):
                problems.append("%s: how is import or runtime" % where)
            if not source:
                problems.append("%s: no source" % where)
            key = (dll.lower(), function)
            if key in allowed:
                problems.append("%s: %s!%s listed twice" % (where, dll, function))
            allowed[key] = {"oldest": oldest, "how": how, "line": where}
    return allowed, problems


LOOKUP = re.compile(r'(?:GetProcAddress|entryPoint<[^>]*>)\s*\(\s*[^,()]+,\s*"([A-Za-z_][A-Za-z0-9_]*)"')


def runtime_lookups(root):
    names = set()
    for folder in ("app", "serial", "stages", "disk", "platform"):
        for base, _dirs, files in os.walk(os.path.join(root, folder)):
            for name in files:
                if name.endswith((".cpp", ".h")):
                    with open(os.path.join(base, name), encoding="utf-8") as f:
                        names.update(LOOKUP.findall(f.read()))
    return names


def audit(exe, bits, allowed_path, sources):
    failures = []
    with open(exe, "rb") as f:
        pe = Pe(f.read())
    if pe.machine != MACHINE_FOR_BITS[bits]:
        failures.append("machine %#06x, %#06x expected for a %d-bit program"
                        % (pe.machine, MACHINE_FOR_BITS[bits], bits))
    if pe.magic != MAGIC_FOR_BITS[bits]:
        failures.append("%s header, %s expected"
                        % ("PE32+" if pe.magic == 0x20B else "PE32",
                           "PE32+" if bits == 64 else "PE32"))
    if pe.subsystem != IMAGE_SUBSYSTEM_WINDOWS_CUI:
        failures.append("subsystem %d, the console (3) expected" % pe.subsystem)
    version = (pe.subsystem_major, pe.subsystem_minor)
    if version > SUBSYSTEM_FOR_BITS[bits]:
        failures.append("subsystem version %d.%d: loaders older than that "
                        "refuse it; at most %d.%d" % (version + SUBSYSTEM_FOR_BITS[bits]))
    if (pe.os_major, pe.os_minor) > SUBSYSTEM_FOR_BITS[bits]:
        failures.append("operating system version %d.%d above %d.%d"
                        % ((pe.os_major, pe.os_minor) + SUBSYSTEM_FOR_BITS[bits]))

    allowed, problems = read_allowed(allowed_path)
    failures.extend(problems)
    limit = ORDER.index(OLDEST_FOR_BITS[bits])
    imports = pe.imports()
    per_dll = {}
    for dll, function in imports:
        per_dll[dll] = per_dll.get(dll, 0) + 1
        entry = allowed.get((dll.lower(), function))
        if entry is None:
            failures.append("%s!%s is not in the list of allowed imports"
                            % (dll, function))
        elif entry["how"] != "import":
            failures.append("%s!%s is imported but listed as a run-time lookup "
                            "(%s)" % (dll, function, entry["line"]))
        elif ORDER.index(entry["oldest"]) > limit:
            failures.append("%s!%s needs Windows %s; the %d-bit program must "
                            "start on Windows %s (%s)"
                            % (dll, function, entry["oldest"], bits,
                               OLDEST_FOR_BITS[bits], entry["line"]))
    if sources:
        looked_up = runtime_lookups(sources)
        listed = {f for (_d, f), e in allowed.items() if e["how"] == "runtime"}
        for name in sorted(looked_up - listed):
            failures.append("%s is looked up at run time but not listed as a "
                            "runtime entry" % name)
        for name in sorted(listed - looked_up):
            failures.append("%s is listed as a runtime entry but no code looks "
                            "it up" % name)
    print("%s: %s, machine %#06x, subsystem %d version %d.%d, OS version %d.%d"
          % (exe, "PE32+" if pe.magic == 0x20B else "PE32", pe.machine,
             pe.subsystem, pe.subsystem_major, pe.subsystem_minor,
             pe.os_major, pe.os_minor))
    for dll in sorted(per_dll, key=str.lower):
        print("  %-14s %3d imports" % (dll, per_dll[dll]))
    return failures


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bits", type=int, choices=(32, 64))
    parser.add_argument("--allowed")
    parser.add_argument("--sources")
    parser.add_argument("--list", action="store_true")
    parser.add_argument("exe")
    args = parser.parse_args()
    if args.list:
        with open(args.exe, "rb") as f:
            for dll, function in Pe(f.read()).imports():
                print("%s %s" % (dll, function))
        return 0
    if args.bits is None or args.allowed is None:
        parser.error("--bits and --allowed are needed for the audit")
    try:
        failures = audit(args.exe, args.bits, args.allowed, args.sources)
    except (OSError, PeError, struct.error) as e:
        print("FAIL: %s: %s" % (args.exe, e))
        return 1
    for failure in failures:
        print("FAIL: " + failure)
    print("import audit: %s" % ("%d failure(s)" % len(failures) if failures else "passed"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
