#!/usr/bin/env python3
"""Deliberate single-token breaks of the program, and which of them the host
tests catch.

Two modes. By default, a hand-picked list of breaks (BREAKS below); with
--random, a seeded random sample of single-token changes, a fairer measure
of what the tests catch than a list written by someone who knew the tests.

For each break: apply it, rebuild the host tests incrementally, run
`ctest -LE wine`, record caught / not caught, restore the file. The file is
restored whatever happens (a failed build, Ctrl-C, SIGTERM).

    scripts/mutants.py [--source DIR] [--build DIR] [--only N,M] [--jobs J]
                       [--every-test] [--timeout S] [--run-timeout S]
    scripts/mutants.py --random [--per-file N] [--seed S] [--files GLOB...]
                       [--list] [--source DIR] [--build DIR] [--jobs J]
                       [--every-test] [--timeout S] [--run-timeout S]

--source is the tree whose files are broken (default: this checkout);
--build is its host build folder (default build-mutants/), configured here
when it is missing. The tests must pass on the unbroken tree first. A break
may make a test spin for ever: --timeout is ctest's limit per test (300 s
for the list, 60 s for the random sample), which the campaign (600 s) and
the replays (120 s) override with their own, so --run-timeout limits each
whole test run (default five times the unbroken run, at least 120 s). A
test or run that runs out of time counts as a failure: the break is caught.

The list: a break whose old text is no longer in its file is reported as
"missing" and never counted as caught. One that does not compile is reported
as "no build" and not counted as caught either. By default the tests of a
break stop at the first failure. --every-test runs them all and lists every
test that failed: before a test is deleted or merged, this tells which
breaks it alone catches.

The random sample (--random): every .cpp file under app/, serial/, stages/
and disk/, and the bodies of the inline functions in the headers there
(the rest of a header, enumerator values, sizes and constants, is shared
with the tests that include it, so a change there changes both sides). The
files are tokenised (comments, string and character literals and
preprocessor lines are never touched, nor the angle brackets of a template
or cast), and every one of these changes of one token is a candidate:

  comparison   negated: < to >=, > to <=, <= to >, >= to <, == to !=,
               != to ==; and the boundary moved: < to <=, > to >=,
               <= to <, >= to >
  logical      && to ||, || to &&, a ! dropped
  constant     an integer literal n to n+1 (so 0 to 1), true to false and
               false to true
  return       return 0; to return -1; and to return 1;, return -1; to
               return 0;, return 1; to return 0; (these values are left
               out of the constant change, which would repeat them)

Each file's candidates are shuffled by a generator seeded with the seed and
the file's path (so a file's sample depends on nothing but its own text and
the seed), and taken in that order until --per-file of them (default 8)
have compiled: a candidate that does not build is printed as "no build" and
replaced by the next, and is not counted (with -Werror this includes a
change the compiler sees through, such as a test that is now always true). A file with fewer candidates gives
what it has. Files run in sorted order; the same tree and seed give the same
sample. Each mutant prints one line: file:line:column, the change, the
outcome (caught, SURVIVED, "equivalent: why", no build), the test that
failed, the time and the line's code. The score is caught / (compiled -
equivalent). EQUIVALENTS below lists the mutants shown to behave exactly
as the program does, each with its reason; they are still built and tested,
and one that a test catches is reported as a wrong entry and counted as
caught. --list prints each file's number of candidates and the head of
its draw order, building nothing (a run may go further down the order to
replace the ones that do not build). --files limits the run to the files that match one of
the patterns (fnmatch, against paths like serial/probe.cpp).
"""
import argparse
import bisect
import fnmatch
import os
import random
import re
import signal
import subprocess
import sys
import time

# (file, exact old text, new text, what the break does[, which occurrence])
BREAKS = [
    # ---- app/
    ("app/context.cpp", "if (pathLength < 0 || static_cast",
     "if (pathLength < 0 && static_cast",
     "configuration path length check: or turned into and"),
    ("app/context.cpp", "if (n >= kFileNameSize && tooLong",
     "if (n > kFileNameSize && tooLong",
     "a file name one character too long is accepted"),
    ("app/context.cpp", "configuredPort != 0 ? portName",
     "configuredPort == 0 ? portName",
     "the log names the port the wrong way round"),
    ("app/context.cpp", "if (pf::CreateDirectoryA(directory, nullptr)) {",
     "if (false) {", "the log fallback never creates the temp folder"),
    ("app/context.cpp", "if (major > 4 && minor != 0) return 6;",
     "if (major > 4) return 6;", "Windows 2000 classed as XP"),
    ("app/context.cpp", "{5, 30, 50, 50}", "{5, 5, 50, 50}",
     "line pause at 38400 baud too short"),
    ("app/console.cpp", "(spinnerPhase + 1) % static_cast<int>(sizeof kMarks)",
     "(spinnerPhase + 1) % (static_cast<int>(sizeof kMarks) - 1)",
     "spinner skips its last mark"),
    ("app/context.cpp", "if (port != nullptr) port->close();",
     "if (false) port->close();", "abort leaves the port open"),
    ("app/console.cpp", "vprintFlushed(context.log, message(n.id), copy);",
     "if (false) vprintFlushed(context.log, message(n.id), copy);",
     "console-then-log messages never reach the log"),
    ("stages/blob_dialogue.cpp", "kBlobBaud, 0) != OpenOk)",
     "kBlobBaud, 0) != OpenOk && false)",
     "failed reopen at 115200 reported as success"),
    ("app/procedure.cpp", "if (uploadRomLoader(context) && reachBlob(context))",
     "if (uploadRomLoader(context) && (reachBlob(context) || true))",
     "blob's prompt not needed after the ROM loader"),
    ("app/procedure.cpp",
     "if (context.baudIndex >= context.baudCount) context.abortProcedure();",
     "", "the last pass failing goes on to discovery again"),
    ("stages/blob_dialogue.cpp", "const int kAutobootMs = 2000;",
     "const int kAutobootMs = 200;",
     "wait for Autoboot after the reopen too short"),
    # ---- serial/
    ("serial/serial_port.cpp", "pending = StateFailed;", "pending = OpenOk;",
     "a port whose settings fail opens as if fine"),
    ("serial/serial_port.cpp", "dcb.fDtrControl = pf::DTR_CONTROL_DISABLE;",
     "dcb.fDtrControl = 1;", "DTR raised"),
    ("serial/serial_port.cpp", "kBreakMs = 375;", "kBreakMs = 37;",
     "line break ten times shorter"),
    ("serial/serial_port.cpp", "return got == 1 ? byte : 0;", "return byte;",
     "a failed byte read returns stale data"),
    ("serial/discovery.cpp", "if (candidate.state.load() == Failed) continue;",
     "", "a port that failed is probed again at every rate"),
    ("serial/probe.cpp", "if (answer == ':') {", "if (answer > 0) {",
     "any answer taken for the module's colon"),
    ("serial/prompt_watcher.cpp", "if (w.fill == 0) logPrint(context, \" <- \");",
     "logPrint(context, \" <- \");", "each wait opens a new log entry"),
    ("serial/prompt_watcher.cpp", "if (byte == '\\r' || byte == '\\n') {",
     "if (byte == '\\n') {", "a carriage return no longer starts a line"),
    ("serial/prompt_watcher.cpp", "if (byte == '\\0') return;", "",
     "a NUL hides the wanted text from a capture"),
    ("serial/port_list.cpp", "if (length == 0 || length >= kPortNameSize)",
     "if (length >= kPortNameSize)", "an empty port name becomes a candidate"),
    # ---- stages/
    ("stages/rom_loader.cpp",
     "if (waitForChar(context, '\\r', kRecordAnswerMs) < 0) return false;",
     "if (waitForChar(context, '\\r', kRecordAnswerMs) < -1) return false;",
     "read-back without the carriage-return echo counts as verified", 2),
    ("stages/rom_loader.h", "kRecordAttempts = 5;", "kRecordAttempts = 4;",
     "four tries per record"),
    ("stages/rom_loader.cpp", "kHeaderEchoMs = 500;", "kHeaderEchoMs = 1000;",
     "read-back header echo waited for too long"),
    ("stages/rom_loader.cpp", "(control | kSendBackBit) & 0xFFu", "control & 0xFFu",
     "read-back header without its read flag"),
    ("stages/rom_loader.cpp",
     "if (!continuation && std::strstr(line, kEndRecord) != nullptr) {",
     "if (std::strstr(line, kEndRecord) != nullptr) {",
     "a long line's continuation may be the end record"),
    ("stages/rom_loader.cpp", "if (data[0] != '\\0' && waitForText",
     "if (waitForText", "a read-back without data swallows the acknowledgement"),
    ("stages/rom_loader.cpp", "if (length < kHeaderLength) return false;",
     "if (length < kHeaderLength) return true;",
     "a marked record too short for a header counts as verified"),
    ("stages/boot_loader.cpp", "if (std::strchr(received, '.') != nullptr)",
     "if (true)", "everything blob says during the transfer shown"),
    ("stages/blob_dialogue.h", "constexpr int kConfirmTries = 5;",
     "constexpr int kConfirmTries = 4;",
     "one try fewer for a clean prompt"),
    ("stages/boot_loader.cpp",
     "if (waitForText(context, \"downloading\", kDownloadingMs) < 0) return -1;",
     "waitForText(context, \"downloading\", kDownloadingMs);",
     "transfer sent although blob never said downloading"),
    ("stages/boot_loader.cpp", "pf::fopen(context.fileNames[1], \"rb\")",
     "pf::fopen(context.fileNames[1], \"r\")",
     "the boot loader file read in text mode"),
    ("stages/image_transfer.h", "kUsbTries = 4;", "kUsbTries = 3;",
     "three USB tries instead of four"),
    ("app/context.cpp", "return osClass == 5 || osClass == 6;",
     "return osClass == 6;", "Windows 2000 not asked to replug"),
    ("stages/image_transfer.cpp", "if (flashWithSpinner(context, name)) {",
     "if (flashWithSpinner(context, name) && false) {",
     "an image blob did not receive passes as flashed"),
    ("stages/image_transfer.cpp", "if (isEmptyFile(fileName)) {",
     "if (isEmptyFile(fileName) && false) {", "an empty image copied and flashed"),
    ("stages/image_transfer.cpp", "char destination[4 + kFileNameSize];",
     "char destination[4 + 64];", "a long destination name cut"),
    ("stages/image_transfer.h", "kOlderWindowsAfterCopyMs = 7000;",
     "kOlderWindowsAfterCopyMs = 700;",
     "pause after the copy on older Windows too short"),
    ("stages/image_transfer.cpp", "if (result != 0 || operation.fAnyOperationsAborted) {",
     "if ((result != 0 || operation.fAnyOperationsAborted) && false) {",
     "a failed copy reported as done"),
    # ---- disk/
    ("disk/drive_watcher.cpp", "context.drivesBefore = context.drivesNow;", "",
     "a letter that went away is not forgotten"),
    ("app/context.cpp", "return osClass == 5 || osClass == 6;",
     "return osClass >= 4;", "Windows Me ejects instead of the applet"),
    ("disk/drive_watcher.cpp", "if (ejectDrive(context, context.driveLetter[0]) < 0) {",
     "if (ejectDrive(context, context.driveLetter[0]) < -1) {",
     "a failed eject does not open the applet"),
    ("disk/drive_eject.cpp", "deviceId[0] == '\\0') {", "false) {",
     "an empty device id passes for a device"),
    ("disk/drive_eject.cpp", "if (result == Ok) {",
     "if (result == Ok || result == Vetoed) {", "a vetoed eject reported as done"),
    ("disk/mounted_device.cpp", "if (c == '{') break;", "",
     "the interface class read as part of the id"),
    ("disk/device_ejector.cpp", "if (target.problem != 0) {", "if (false) {",
     "a device with a problem is ejected"),
    ("disk/device_ejector.cpp", "if (result == Ok && counter == 0) result = NotFound;",
     "if (result == Ok && counter < 0) result = NotFound;",
     "no device of that name counts as ejected"),
]


# ---- the random sample --------------------------------------------------------

RANDOM_DIRS = ("app", "serial", "stages", "disk")
DEFAULT_SEED = 1
DEFAULT_PER_FILE = 8

# Mutants no input can tell apart from the program: (file, the mutated
# line's code with the indentation stripped, the change as the output prints
# it, why). When the same change fits more than one token of a line, the
# output adds " #2", " #3" for the later ones. An entry holds for every line
# of its file with that code, so the reason must be true of each.
_UNREAD_PROBE_RESULT = ("probePort's result is never read: the probe thread "
                        "drops it and its own exit code is never asked for; "
                        "the verdict travels in the candidate's state")
_UNREAD_DRIVE_RESULT = ("no caller reads the result of rememberDrives, "
                        "waitForNewDrive, waitForDriveRemoval or removeDisk")
_FIVE_MS_POLLS = ("a wait gives up at the first count of empty 5 ms polls "
                  "above its limit, the same for the limit and the limit + 1")
_NUL_AFTER_READ = ("a successful fgets reads at least one byte and puts its NUL "
                   "after it, so the scan down to the last NUL stops at 1 or "
                   "later and never looks at the first byte")
EQUIVALENTS = [
    ("app/catalogue.cpp",
     "if (n == static_cast<std::size_t>(-1) || n == 0 || n >= sizeof bytes) {",
     "'>=' -> '>'",
     "one character takes at most 4 bytes in any code page, never the "
     "buffer's 16"),
    ("app/context.cpp", "candidateIndex(0) {", "'0' -> '1'",
     "discovery sets the index to 0 before anything reads it"),
    ("app/context.cpp", "candidateCount(0),", "'0' -> '1'",
     "discovery sets the count (1 for a configured port, else 0 before "
     "reading the list) before anything reads it"),
    ("app/context.cpp", "std::memset(&info, 0, sizeof info);", "'0' -> '1'",
     "GetVersionExA reads only the size, set after the fill, and on success "
     "writes every field read after it; on failure none is read"),
    ("disk/device_ejector.cpp", r"vetoName[0] = '\0';", "'0' -> '1'",
     "the veto name is only an output of the eject call and is never read"),
    ("disk/drive_watcher.cpp", "return 1;", "'return 1' -> 'return 0'",
     _UNREAD_DRIVE_RESULT),
    ("disk/drive_watcher.cpp", "return 0;", "'return 0' -> 'return -1'",
     _UNREAD_DRIVE_RESULT),
    ("disk/drive_watcher.cpp", "return 0;", "'return 0' -> 'return 1'",
     _UNREAD_DRIVE_RESULT),
    ("serial/probe.cpp", "return 0;", "'return 0' -> 'return -1'",
     _UNREAD_PROBE_RESULT),
    ("serial/probe.cpp", "return 0;", "'return 0' -> 'return 1'",
     _UNREAD_PROBE_RESULT),
    ("serial/probe.cpp", "return 1;", "'return 1' -> 'return 0'",
     _UNREAD_PROBE_RESULT),
    ("serial/probe.cpp", "if (givenUp(job)) return 0;", "'return 0' -> 'return -1'",
     _UNREAD_PROBE_RESULT),
    ("serial/probe.cpp", "if (givenUp(job)) return 0;", "'return 0' -> 'return 1'",
     _UNREAD_PROBE_RESULT),
    ("serial/prompt_watcher.cpp", "PromptWatcher promptWatcher = {{0}, 0, nullptr};",
     "'0' -> '1'",
     "the empty window's first byte is overwritten by the first byte taken; "
     "until then no awaited text (hex records, fixed words) holds a byte 1"),
    ("stages/blob_dialogue.cpp", "const int kAutobootMs = 2000;",
     "'2000' -> '2001'", _FIVE_MS_POLLS),
    ("stages/blob_dialogue.cpp", "const int kPromptMs = 1000;",
     "'1000' -> '1001'", _FIVE_MS_POLLS),
    ("stages/blob_dialogue.cpp", "const int kSpinnerStepMs = 100;",
     "'100' -> '101'", _FIVE_MS_POLLS + "; the step is only that wait's limit"),
    ("stages/file_lines.cpp",
     "while (length > 0 && line[length] != '\\0') --length;", "'>' -> '>='",
     _NUL_AFTER_READ),
    ("stages/file_lines.cpp",
     "while (length > 0 && line[length] != '\\0') --length;", "'0' -> '1'",
     _NUL_AFTER_READ),
    ("stages/image_transfer.cpp",
     'if (std::strcmp(name, "blob") == 0) return context.fileNames[1];',
     "'0' -> '1'",
     "the images are only ever \"kernel\" and \"ramdisk\" (blob offers no USB "
     "disk for itself), and neither compares to \"blob\" as 1"),
    ("stages/boot_loader.cpp", "int count = 0;", "'0' -> '1'",
     "receiveAvailable writes the count whatever it reads, before it is read"),
    ("stages/boot_loader.cpp", "return 0;", "'return 0' -> 'return 1'",
     "the only return 0 is download's success, and its one caller asks only "
     "whether the result is below 0"),
]

# A comparison's negation, then its boundary moved.
COMPARISONS = {
    "<": (">=", "<="),
    ">": ("<=", ">="),
    "<=": (">", "<"),
    ">=": ("<", ">"),
    "==": ("!=",),
    "!=": ("==",),
}
LOGICAL = {"&&": ("||",), "||": ("&&",)}

_OPERATORS = sorted("""
    ... <<= >>= ->* -> ++ -- << >> <= >= == != && || :: += -= *= /= %= &= |= ^=
    .* + - * / % & | ^ ! ~ = < > ? : ; , . ( ) { } [ ] #
""".split(), key=len, reverse=True)
_NUMBER = re.compile(r"\.?\d(?:[eEpP][+-]|[\w.'])*")
_IDENT = re.compile(r"[A-Za-z_]\w*")
_LITERAL_START = re.compile(r"(?:u8|[uUL])?(R?)([\"'])")
_INTEGER = re.compile(r"(0[xX][0-9a-fA-F]+|[0-9]+)([uUlL]*)\Z")


def tokenize(text):
    """The tokens of a C++ source as (kind, start, end, text), kind one of
    ident, number, literal, op. Whitespace, comments and preprocessor lines
    (with their continuations) are left out."""
    tokens = []
    i, n = 0, len(text)
    line_blank = True  # nothing but whitespace so far on this line
    while i < n:
        c = text[i]
        if c == "\n":
            line_blank = True
            i += 1
            continue
        if c in " \t\r\f\v":
            i += 1
            continue
        if text.startswith("//", i):
            end = text.find("\n", i)
            i = n if end < 0 else end
            continue
        if text.startswith("/*", i):
            end = text.find("*/", i + 2)
            i = n if end < 0 else end + 2
            continue
        if c == "#" and line_blank:
            while i < n and text[i] != "\n":
                if text[i] == "\\" and text.startswith("\n", i + 1):
                    i += 2
                elif text[i] == "\\" and text.startswith("\r\n", i + 1):
                    i += 3
                else:
                    i += 1
            continue
        line_blank = False
        m = _LITERAL_START.match(text, i)
        if m:
            j = m.end()
            if m.group(1):  # raw string: R"delim( ... )delim"
                open_at = text.find("(", j)
                close = ")" + text[j:open_at] + '"'
                end = text.find(close, open_at)
                j = n if open_at < 0 or end < 0 else end + len(close)
            else:
                quote = m.group(2)
                while j < n and text[j] != quote and text[j] != "\n":
                    j += 2 if text[j] == "\\" else 1
                j = min(j + 1, n)
            tokens.append(("literal", i, j, text[i:j]))
            i = j
            continue
        m = _NUMBER.match(text, i) or _IDENT.match(text, i)
        if m:
            kind = "number" if m.re is _NUMBER else "ident"
            tokens.append((kind, i, m.end(), m.group()))
            i = m.end()
            continue
        op = next((o for o in _OPERATORS if text.startswith(o, i)), c)
        tokens.append(("op", i, i + len(op), op))
        i += len(op)
    return tokens


def template_brackets(tokens):
    """Indexes of the < and > that enclose template arguments (casts,
    std::atomic<int>, template <typename T>): a < right after a name, then
    only names, numbers, ::, *, & and commas up to its closing >."""
    marked = set()
    for k, tok in enumerate(tokens):
        if tok[3] != "<" or k == 0 or tokens[k - 1][0] != "ident":
            continue
        depth, inside = 1, [k]
        for j in range(k + 1, min(k + 32, len(tokens))):
            kind, t = tokens[j][0], tokens[j][3]
            if t in ("<", ">", ">>"):
                depth += {"<": 1, ">": -1, ">>": -2}[t]
                inside.append(j)
            elif not (kind in ("ident", "number") or t in ("::", "*", "&", ",")):
                break
            if depth <= 0:
                marked.update(inside)
                break
    return marked


def function_bodies(tokens):
    """For each token, whether it lies inside a function's body: braces
    opened right after ) or const, and everything nested in them."""
    inside, stack = [], []
    for k, tok in enumerate(tokens):
        t = tok[3]
        within = any(stack)
        if t == "{":
            prev = tokens[k - 1][3] if k else ""
            stack.append(within or prev in (")", "const", "noexcept", "override"))
        elif t == "}" and stack:
            stack.pop()
        inside.append(within)
    return inside


def bumped(number):
    """n+1 in the literal's own base and suffix; None for anything but an
    integer literal."""
    m = _INTEGER.match(number.replace("'", ""))
    if not m:
        return None
    digits, suffix = m.groups()
    if digits[:2] in ("0x", "0X"):
        return "%s%X%s" % (digits[:2], int(digits, 16) + 1, suffix)
    if len(digits) > 1 and digits[0] == "0":
        return "0%o%s" % (int(digits, 8) + 1, suffix)
    return "%d%s" % (int(digits) + 1, suffix)


def mutant_candidates(text, header):
    """Every single-token change of the file, as (start, end, new text,
    label), in the order of the text."""
    tokens = tokenize(text)
    templates = template_brackets(tokens)
    bodies = function_bodies(tokens) if header else None
    found = []
    returned = set()  # number tokens that are a whole return value

    def tok(k):
        return tokens[k][3] if 0 <= k < len(tokens) else ""

    for k, (kind, start, end, t) in enumerate(tokens):
        if bodies is not None and not bodies[k]:
            continue
        if kind == "op":
            if tok(k - 1) == "operator" or k in templates:
                continue
            for new in COMPARISONS.get(t, ()) + LOGICAL.get(t, ()):
                found.append((start, end, new, "'%s' -> '%s'" % (t, new)))
            if t == "!":
                found.append((start, end, "", "'!' dropped"))
        elif kind == "ident" and t in ("true", "false"):
            new = "false" if t == "true" else "true"
            found.append((start, end, new, "'%s' -> '%s'" % (t, new)))
        elif kind == "ident" and t == "return":
            if tok(k + 1) in ("0", "1") and tok(k + 2) == ";":
                value = tokens[k + 1]
                returned.add(k + 1)
                for new in (("-1", "1") if value[3] == "0" else ("0",)):
                    found.append((value[1], value[2], new,
                                  "'return %s' -> 'return %s'" % (value[3], new)))
            elif tok(k + 1) == "-" and tok(k + 2) == "1" and tok(k + 3) == ";":
                returned.add(k + 2)
                found.append((tokens[k + 1][1], tokens[k + 2][2], "0",
                              "'return -1' -> 'return 0'"))
        elif kind == "number" and k not in returned:
            new = bumped(t)
            if new is not None:
                found.append((start, end, new, "'%s' -> '%s'" % (t, new)))
    return found


class Mutant:
    def __init__(self, rel, text, start, end, new, label, line_starts):
        self.rel, self.start, self.end, self.new = rel, start, end, new
        self.line = bisect.bisect_right(line_starts, start)
        line_start = line_starts[self.line - 1]
        self.column = start - line_start + 1
        line_end = text.find("\n", start)
        self.code = text[line_start:len(text) if line_end < 0 else line_end].strip()
        self.label = label

    def where(self):
        return "%s:%d:%d" % (self.rel, self.line, self.column)

    def key(self):
        return (self.rel, self.code, self.label)


def file_mutants(source, rel):
    """Every candidate of one file, as Mutants."""
    text = open(os.path.join(source, rel)).read()
    line_starts = [0] + [m.end() for m in re.finditer("\n", text)]
    mutants = [Mutant(rel, text, s, e, new, label, line_starts)
               for s, e, new, label in mutant_candidates(text, rel.endswith(".h"))]
    seen = {}
    for m in mutants:  # the same change twice on one line: " #2" on the second
        count = seen.get((m.line, m.label), 0) + 1
        seen[(m.line, m.label)] = count
        if count > 1:
            m.label += " #%d" % count
    return mutants


def random_files(source, patterns):
    files = []
    for top in RANDOM_DIRS:
        for folder, _dirs, names in os.walk(os.path.join(source, top)):
            for name in names:
                if name.endswith((".cpp", ".h")):
                    rel = os.path.relpath(os.path.join(folder, name), source)
                    rel = rel.replace(os.sep, "/")
                    if not patterns or any(fnmatch.fnmatch(rel, p) for p in patterns):
                        files.append(rel)
    return sorted(files)


def draw_order(mutants, seed, rel):
    """The file's candidates in the order they are drawn: a shuffle seeded
    by the seed and the file's path only."""
    return random.Random("%s:%s" % (seed, rel)).sample(mutants, len(mutants))


def run(cmd, **kw):
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, **kw)


class Restorer:
    """Writes a broken file and puts the original back, also from a signal
    handler."""

    def __init__(self):
        self.original = {}

    def write(self, path, original, broken):
        self.original[path] = original
        with open(path, "w") as f:
            f.write(broken)

    def restore(self, *_):
        for path, text in self.original.items():
            with open(path, "w") as f:
                f.write(text)
        self.original.clear()


# The test run under way, in its own session: an interrupted runner ends it.
RUNNING_TESTS = []


def run_tests(build, args):
    """The host tests, stopped at the first failure unless --every-test:
    (passed, ctest's output, seconds). A run past args.run_limit seconds is
    killed with every test it started and counts as failed: ctest's own
    --timeout yields to the TIMEOUT property of the campaign (600 s) and the
    replays (120 s), which a mutant that spins would otherwise use up."""
    started = time.time()
    p = subprocess.Popen(["ctest", "--test-dir", build, "-LE", "wine",
                          "-j", args.jobs, "--timeout", str(args.timeout)]
                         + ([] if args.every_test else ["--stop-on-failure"]),
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         text=True, start_new_session=True)
    RUNNING_TESTS.append(p)
    try:
        out, _ = p.communicate(timeout=args.run_limit)
    except subprocess.TimeoutExpired:
        os.killpg(p.pid, signal.SIGKILL)
        out, _ = p.communicate()
        out += "\nthe tests ran past %d s (Timeout)\n" % args.run_limit
        return False, out, time.time() - started
    finally:
        RUNNING_TESTS.remove(p)
    return p.returncode == 0, out, time.time() - started


def build_and_test(build, args):
    """Rebuilds and runs the host tests: (no build | caught | survived,
    the failed tests)."""
    b = run(["cmake", "--build", build, "-j", args.jobs])
    if b.returncode != 0:
        return "no build", ""
    passed, out, _ = run_tests(build, args)
    failed = [l.split(" - ")[-1].strip() for l in out.splitlines()
              if "(Failed)" in l or "(Timeout)" in l
              or "(Subprocess aborted)" in l or "(SEGFAULT)" in l]
    if not passed:
        shown = failed if args.every_test else failed[:3]
        return "caught", ", ".join(shown) or "ctest failed"
    return "survived", ""


def run_list(args, source, build, restorer):
    chosen = [int(n) for n in args.only.split(",") if n]
    results = []
    for number, entry in enumerate(BREAKS, 1):
        if chosen and number not in chosen:
            continue
        rel, old, new, what = entry[:4]
        nth = entry[4] if len(entry) > 4 else 1
        path = os.path.join(source, rel)
        text = open(path).read()
        at = -1
        for _ in range(nth):
            at = text.find(old, at + 1)
            if at < 0:
                break
        started = time.time()
        if at < 0:
            outcome, detail = "missing", "old text not found"
        else:
            restorer.write(path, text, text[:at] + new + text[at + len(old):])
            try:
                outcome, detail = build_and_test(build, args)
            finally:
                restorer.restore()
            if outcome == "survived":
                outcome = "NOT caught"
        line = "%2d %-10s %-28s %s  [%s] (%ds)" % (
            number, outcome, rel, what, detail, time.time() - started)
        print(line, flush=True)
        results.append((number, outcome, rel, what))

    caught = sum(1 for r in results if r[1] == "caught")
    print("\ncaught %d of %d" % (caught, len(results)))
    for r in results:
        if r[1] != "caught":
            print("  %s: #%d %s: %s" % (r[1], r[0], r[2], r[3]))


def list_random(args, source):
    for rel in random_files(source, args.files):
        mutants = file_mutants(source, rel)
        if not mutants:
            continue
        print("%s: %d candidates; drawn first:" % (rel, len(mutants)))
        for m in draw_order(mutants, args.seed, rel)[:args.per_file]:
            print("  %-32s %-26s | %s" % (m.where(), m.label, m.code[:70]))


def run_random(args, source, build, restorer):
    equivalents = {(f, code, change): why for f, code, change, why in EQUIVALENTS}
    known = set()
    results, no_build, empty = [], 0, []
    began = time.time()
    files = random_files(source, args.files)
    for rel in files:
        path = os.path.join(source, rel)
        text = open(path).read()
        mutants = file_mutants(source, rel)
        known.update(m.key() for m in mutants)
        if not mutants:
            empty.append(rel)
            continue
        compiled = 0
        for m in draw_order(mutants, args.seed, rel):
            if compiled >= args.per_file:
                break
            started = time.time()
            restorer.write(path, text, text[:m.start] + m.new + text[m.end:])
            try:
                outcome, detail = build_and_test(build, args)
            finally:
                restorer.restore()
            why = equivalents.get(m.key())
            if outcome == "no build":
                no_build += 1
                shown = "no build"
            else:
                compiled += 1
                if outcome == "caught":
                    shown = "caught"
                    if why:
                        detail += "; listed as equivalent: a wrong entry"
                elif why:
                    outcome, shown = "equivalent", "equivalent: " + why
                else:
                    shown = "SURVIVED"
                results.append((m, outcome, why))
            print("%-32s %-26s %s%s (%ds) | %s" % (
                m.where(), m.label, shown, "  [%s]" % detail if detail else "",
                time.time() - started, m.code[:80]), flush=True)
        if compiled < args.per_file:
            print("  %s: %d compiling mutants only, of %d candidates"
                  % (rel, compiled, len(mutants)), flush=True)

    caught = [r for r in results if r[1] == "caught"]
    survived = [r for r in results if r[1] == "survived"]
    equivalent = [r for r in results if r[1] == "equivalent"]
    counted = len(results) - len(equivalent)
    print("\nrandom sample, seed %s, %d per file: %d mutants in %d files "
          "(%d more did not build and were replaced), %d min"
          % (args.seed, args.per_file, len(results), len(files) - len(empty),
             no_build, (time.time() - began + 30) // 60))
    if empty:
        print("no candidates in: " + ", ".join(empty))
    print("caught %d, survived %d, equivalent %d"
          % (len(caught), len(survived), len(equivalent)))
    print("score: %d / %d = %s" % (
        len(caught), counted,
        "%.1f%%" % (100.0 * len(caught) / counted) if counted else "n/a"))
    if survived:
        print("survived:")
        for m, _, _ in survived:
            print("  %-32s %-26s | %s" % (m.where(), m.label, m.code[:80]))
    if equivalent:
        print("equivalent:")
        for m, _, why in equivalent:
            print("  %-32s %-26s %s" % (m.where(), m.label, why))
    stale = [e for e in EQUIVALENTS if e[0] in files and e[:3] not in known]
    for f, code, change, _ in stale:
        print("stale EQUIVALENTS entry, no such change: %s: %s | %s" % (f, change, code))


def main():
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    ap = argparse.ArgumentParser(
        description="Which deliberate breaks the host tests catch.")
    ap.add_argument("--source", default=here)
    ap.add_argument("--build", default=os.path.join(here, "build-mutants"))
    ap.add_argument("--only", default="", help="list mode: the breaks to run, N,M")
    ap.add_argument("--jobs", default="2")
    ap.add_argument("--timeout", type=int, default=None,
                    help="per test, seconds (300; 60 with --random)")
    ap.add_argument("--run-timeout", type=int, default=0,
                    help="for the whole test run of a break, seconds "
                    "(5 times the unbroken run, at least 120)")
    ap.add_argument("--every-test", action="store_true")
    ap.add_argument("--random", action="store_true",
                    help="a seeded random sample of single-token changes")
    ap.add_argument("--per-file", type=int, default=DEFAULT_PER_FILE)
    ap.add_argument("--seed", default=str(DEFAULT_SEED))
    ap.add_argument("--files", nargs="+", default=[], metavar="GLOB")
    ap.add_argument("--list", action="store_true",
                    help="with --random: print the draw, build nothing")
    args = ap.parse_args()
    if args.timeout is None:
        args.timeout = 60 if args.random else 300
    source, build = os.path.abspath(args.source), os.path.abspath(args.build)

    if args.random and args.list:
        list_random(args, source)
        return

    if not os.path.exists(os.path.join(build, "CMakeCache.txt")):
        r = run(["cmake", "-S", source, "-B", build, "-DVANTOR_WITH_WINDOWS=OFF"])
        if r.returncode != 0:
            sys.exit(r.stdout)
    r = run(["cmake", "--build", build, "-j", args.jobs])
    if r.returncode != 0:
        sys.exit("the unbroken tree does not build:\n" + r.stdout[-3000:])
    # Every break would count as caught by a test that fails anyway; the
    # clean run's time also sets the limit for a broken one.
    args.run_limit = args.run_timeout or 600
    passed, out, seconds = run_tests(build, args)
    if not passed:
        sys.exit("the host tests fail on the unbroken tree:\n" + out[-3000:])
    if not args.run_timeout:
        args.run_limit = max(120, int(5 * seconds))

    restorer = Restorer()

    def interrupted(signum, _frame):
        restorer.restore()
        for p in RUNNING_TESTS:
            os.killpg(p.pid, signal.SIGKILL)
        sys.exit(128 + signum)

    signal.signal(signal.SIGINT, interrupted)
    signal.signal(signal.SIGTERM, interrupted)

    try:
        if args.random:
            run_random(args, source, build, restorer)
        else:
            run_list(args, source, build, restorer)
    finally:
        restorer.restore()
        run(["cmake", "--build", build, "-j", args.jobs])


if __name__ == "__main__":
    main()
