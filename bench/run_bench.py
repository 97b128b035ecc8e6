#!/usr/bin/env python3
"""Runs upload_bench.exe under Wine against the device model on a pty and
prints the figures of the ROM loader upload at 115200 baud, for a file whose
records all go out with one exchange and for one where every fourth record
is also read back: milliseconds per
record, the floor for the same work (the pause after each record plus one
5 ms poll), their ratio, the program's CPU time per record, and the CPU it
uses while it waits on a silent line for 10 s.

    run_bench.py --bin BUILD_DIR [--records N] [--bits 32|64 ...]

By default both Windows builds are measured, the shipped 32-bit one first.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "wine"))
import winenv  # noqa: E402
import e2e  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")


def _stat(pid):
    with open("/proc/%d/stat" % pid) as f:
        return f.read().rsplit(")", 1)[1].split()


class CpuWatch:
    """User and system time, from /proc, of every process running the
    program `name` (threads included). Wine may run it in a process of its
    own that is no child of the one started (a 32-bit program is handed on
    by start.exe and then belongs to init, which reaps it at once), so the
    program is found by its command line, and sampled every 20 ms so that
    its last figures outlive it."""

    def __init__(self, name):
        self.name = name.lower().encode()
        self.last = {}
        self.lock = threading.Lock()
        self.stopped = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _sample(self):
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open("/proc/%s/cmdline" % entry, "rb") as f:
                    command = f.read().split(b"\0")[0]
                if not command.lower().endswith(self.name):
                    continue
                fields = _stat(int(entry))
            except OSError:
                continue
            with self.lock:
                self.last[int(entry)] = int(fields[11]) + int(fields[12])

    def _run(self):
        while not self.stopped.wait(0.02):
            self._sample()

    def seconds(self):
        self._sample()
        with self.lock:
            return sum(self.last.values()) / TICKS

    def stop(self):
        self.stopped.set()
        self.thread.join()


def without_read_backs(path):
    """Moves the records out of the range that is read back, so that every
    record is one exchange."""
    lines = open(path).read().split("\n")
    moved = ["0872" + l[4:] if l.startswith("0871") and "0871800000" not in l
             else l for l in lines]
    with open(path, "w") as f:
        f.write("\n".join(moved))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    parser.add_argument("--records", type=int, default=2000)
    parser.add_argument("--bits", type=int, choices=(32, 64), action="append")
    args = parser.parse_args()
    if os.environ.get("VANTOR_WINE_ISOLATED") != "1":
        script = os.path.join(HERE, "..", "tests", "wine", "run_isolated.sh")
        os.execv(script, [script, sys.executable] + sys.argv)
    status = 0
    for bits in args.bits or (32, 64):
        print("== %d-bit program ==" % bits)
        sys.stdout.flush()
        for plain in (True, False):
            status |= measure(os.path.abspath(args.bin), bits, args.records, plain)
    return status


def measure(b, bits, record_count, plain):
    tmp = tempfile.mkdtemp(prefix="vantor-bench-")
    try:
        work = os.path.join(tmp, "work")
        subprocess.run([os.path.join(b, "tools", "device_model", "vantor_make_inputs"),
                        work, "--records", str(record_count)], check=True,
                       stdout=subprocess.DEVNULL)
        if plain:
            without_read_backs(os.path.join(work, "blob-bootloader.txt"))
        device = e2e.Device(os.path.join(b, "tools", "device_model", "vantor_device"),
                            work, tmp, ["--reply-delay-ms", "0"])
        exe = os.path.join(b, "windows%d" % bits, "bench", "upload_bench.exe")
        with winenv.WineEnv(com_ports={5: device.pty}) as env:
            p = env.spawn(exe, ["COM5", "blob-bootloader.txt"], cwd=work,
                          time_limit=600)
            marks = {}
            cpu = CpuWatch("upload_bench.exe")
            try:
                for name in ("upload-start", "upload-end", "wait-start", "wait-end"):
                    p.expect(("mark %s" % name).encode(), timeout=600)
                    marks[name] = cpu.seconds()
            finally:
                cpu.stop()
            status = p.wait(30)
            out = p.output.decode(errors="replace")
        verdict = device.finish()
    finally:
        shutil.rmtree(tmp, ignore_errors=True)

    figures = {}
    for line in out.splitlines():
        parts = line.split()
        for i in range(0, len(parts) - 1, 2):
            figures[parts[i]] = parts[i + 1]
    records = int(figures["records"])
    seconds = float(figures["seconds"])
    delay = int(figures["line_delay_ms"])
    per_record = seconds * 1000 / records
    floor = delay + 5
    read_backs = int(figures["read_backs"])
    # A read-back is a second exchange with its own pause and poll.
    floor_with_read_backs = floor * (records + read_backs) / records
    upload_cpu = marks["upload-end"] - marks["upload-start"]
    wait_cpu = marks["wait-end"] - marks["wait-start"]
    waited = float(figures["waited_seconds"])
    print("\nROM loader upload at 115200 baud, %d records, %s (result %s, module: %s)"
          % (records, "none read back" if plain else "the marked ones read back",
             figures["result"], "records intact" if
             verdict.get("romLoaderComplete") == "yes" and not verdict["problem"]
             else verdict))
    print("  per record:        %.2f ms" % per_record)
    print("  floor:             %d ms (pause %d ms + one 5 ms poll)" % (floor, delay))
    print("  ratio:             %.2f (target 1.25 or less)" % (per_record / floor))
    print("  with read-backs:   floor %.2f ms (%d of the records are read back), "
          "ratio %.2f" % (floor_with_read_backs, read_backs,
                          per_record / floor_with_read_backs))
    print("  CPU per record:    %.3f ms" % (upload_cpu * 1000 / records))
    print("Waiting on a silent line for %.1f s:" % waited)
    print("  CPU:               %.2f%% of one core (target under 2%%)"
          % (100 * wait_cpu / waited))
    return 0 if status == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
