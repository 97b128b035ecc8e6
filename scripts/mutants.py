#!/usr/bin/env python3
"""Deliberate single-line breaks of the program, and which of them the host
tests catch.

For each break: apply it, rebuild the host tests incrementally, run
`ctest -LE wine`, record caught / not caught, restore the file. The file is
restored whatever happens (a failed build, Ctrl-C, SIGTERM).

    scripts/mutants.py [--source DIR] [--build DIR] [--only N,M] [--jobs J]
                       [--every-test]

--source is the tree whose files are broken (default: this checkout);
--build is its host build folder, configured here when it is missing.
A break whose old text is no longer in its file is reported as "missing"
and never counted as caught. One that does not compile is reported as
"no build" and not counted as caught either.

By default the tests of a break stop at the first failure. --every-test
runs them all and lists every test that failed: before a test is deleted or
merged, this tells which breaks it alone catches.
"""
import argparse
import os
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
    ("app/console.cpp", "(spinnerPhase + 1) % 4", "(spinnerPhase + 1) % 3",
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
     "if (waitForChar(context, '\\r', kAnswerMs) < 0) return false;",
     "if (waitForChar(context, '\\r', kAnswerMs) < -1) return false;",
     "read-back without the carriage-return echo counts as verified", 2),
    ("stages/rom_loader.cpp", "kAttempts = 5;", "kAttempts = 4;",
     "four tries per record"),
    ("stages/rom_loader.cpp", "kHeaderEchoMs = 500;", "kHeaderEchoMs = 1000;",
     "read-back header echo waited for too long"),
    ("stages/rom_loader.cpp", "(control | 0x20u) & 0xFFu", "control & 0xFFu",
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
    ("stages/blob_dialogue.cpp", "const int kConfirmTries = 5;",
     "const int kConfirmTries = 4;",
     "one try fewer for a clean prompt"),
    ("stages/boot_loader.cpp",
     "if (waitForText(context, \"downloading\", 1000) < 0) return -1;",
     "waitForText(context, \"downloading\", 1000);",
     "transfer sent although blob never said downloading"),
    ("stages/boot_loader.cpp", "pf::fopen(context.fileNames[1], \"rb\")",
     "pf::fopen(context.fileNames[1], \"r\")",
     "the boot loader file read in text mode"),
    ("stages/image_transfer.cpp", "kUsbTries = 4;", "kUsbTries = 3;",
     "three USB tries instead of four"),
    ("stages/image_transfer.cpp", "(context.osClass == 5 || context.osClass == 6)",
     "(context.osClass == 6)", "Windows 2000 not asked to replug"),
    ("stages/image_transfer.cpp", "if (flashWithSpinner(context, name)) {",
     "if (flashWithSpinner(context, name) && false) {",
     "an image blob did not receive passes as flashed"),
    ("stages/image_transfer.cpp", "if (isEmptyFile(fileName)) {",
     "if (isEmptyFile(fileName) && false) {", "an empty image copied and flashed"),
    ("stages/image_transfer.cpp", "char destination[4 + kFileNameSize];",
     "char destination[4 + 64];", "a long destination name cut"),
    ("stages/image_transfer.cpp", "pf::Sleep(7000);", "pf::Sleep(700);",
     "pause after the copy on older Windows too short"),
    ("stages/image_transfer.cpp", "if (pf::SHFileOperationA(&operation) != 0) {",
     "if (false) {", "a failed copy reported as done"),
    # ---- disk/
    ("disk/drive_watcher.cpp", "context.drivesBefore = context.drivesNow;", "",
     "a letter that went away is not forgotten"),
    ("disk/drive_watcher.cpp", "if (context.osClass <= 4) {",
     "if (context.osClass < 4) {", "Windows Me ejects instead of the applet"),
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
    ("disk/device_ejector.cpp", "wanted[0] != '\\0' && counter == 0) result = NotFound;",
     "wanted[0] != '\\0' && counter < 0) result = NotFound;",
     "no device of that name counts as ejected"),
]


def run(cmd, **kw):
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, **kw)


def main():
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    ap = argparse.ArgumentParser()
    ap.add_argument("--source", default=here)
    ap.add_argument("--build", default=os.path.join(here, "build-mutants"))
    ap.add_argument("--only", default="")
    ap.add_argument("--jobs", default="2")
    ap.add_argument("--timeout", default="300", help="per test, seconds")
    ap.add_argument("--every-test", action="store_true")
    args = ap.parse_args()
    source, build = os.path.abspath(args.source), os.path.abspath(args.build)

    if not os.path.exists(os.path.join(build, "CMakeCache.txt")):
        r = run(["cmake", "-S", source, "-B", build, "-DVANTOR_WITH_WINDOWS=OFF"])
        if r.returncode != 0:
            sys.exit(r.stdout)
    r = run(["cmake", "--build", build, "-j", args.jobs])
    if r.returncode != 0:
        sys.exit("the unbroken tree does not build:\n" + r.stdout[-3000:])

    chosen = [int(n) for n in args.only.split(",") if n]
    original = {}

    def restore(*_):
        for path, text in original.items():
            with open(path, "w") as f:
                f.write(text)
        original.clear()

    def interrupted(signum, _frame):
        restore()
        sys.exit(128 + signum)

    signal.signal(signal.SIGINT, interrupted)
    signal.signal(signal.SIGTERM, interrupted)

    results = []
    try:
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
                original[path] = text
                with open(path, "w") as f:
                    f.write(text[:at] + new + text[at + len(old):])
                try:
                    b = run(["cmake", "--build", build, "-j", args.jobs])
                    if b.returncode != 0:
                        outcome, detail = "no build", ""
                    else:
                        t = run(["ctest", "--test-dir", build, "-LE", "wine",
                                 "-j", args.jobs, "--timeout", args.timeout]
                                + ([] if args.every_test else ["--stop-on-failure"]))
                        failed = [l.split(" - ")[-1].strip() for l in t.stdout.splitlines()
                                  if "(Failed)" in l or "(Timeout)" in l
                                  or "(Subprocess aborted)" in l or "(SEGFAULT)" in l]
                        if t.returncode != 0:
                            outcome = "caught"
                            shown = failed if args.every_test else failed[:3]
                            detail = ", ".join(shown) or "ctest failed"
                        else:
                            outcome, detail = "NOT caught", ""
                finally:
                    restore()
            line = "%2d %-10s %-28s %s  [%s] (%ds)" % (
                number, outcome, rel, what, detail, time.time() - started)
            print(line, flush=True)
            results.append((number, outcome, rel, what))
    finally:
        restore()
        run(["cmake", "--build", build, "-j", args.jobs])

    caught = sum(1 for r in results if r[1] == "caught")
    print("\ncaught %d of %d" % (caught, len(results)))
    for r in results:
        if r[1] != "caught":
            print("  %s: #%d %s: %s" % (r[1], r[0], r[2], r[3]))


if __name__ == "__main__":
    main()
