#!/usr/bin/env python3
"""Runs the real program under Wine against the device model and keeps the
vantor_config.log of each run, for tests/replay_logs.

    run_isolated.sh python3 tests/wine/field_logs.py --bin BUILD --out DIR [NAME...]

BUILD is the host build folder (with windows/ beside it, as e2e.py wants).
"""
import argparse
import os
import re
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import e2e  # noqa: E402

SERIALCOMM = r"HKLM\HARDWARE\DEVICEMAP\SERIALCOMM"


def list_ports(entries):
    """Replaces the ports Windows lists with these (device, port name)
    pairs. Wine enumerates the values in the order of their names."""
    def before_spawn(env):
        listing = env._wine_tool(["reg", "query", SERIALCOMM], check=False).stdout
        for line in listing.decode("utf-8", "replace").splitlines():
            m = re.match(r"\s+(\S.*?)\s+REG_SZ\s", line)
            if m:
                env._reg("delete", SERIALCOMM, "/v", m.group(1), "/f")
        for device, port in entries:
            env._reg("add", SERIALCOMM, "/v", device, "/t", "REG_SZ", "/d", port, "/f")
    return before_spawn


def inputs_of(name):
    """The input files of a kept log, written by make_field_logs over the
    ones e2e.py made (same sizes and seed, so only what differs changes)."""
    def prepare(work):
        subprocess.run([MAKE_FIELD_LOGS[0], "--inputs", name, work], check=True,
                       stdout=subprocess.DEVNULL)
    return prepare


MAKE_FIELD_LOGS = [None]

# The endings worth keeping; the device model's options shape each one.
RUNS = {
    "wine_whole_run_win7": {"windows": "win7"},
    "wine_whole_run_vista": {"windows": "vista"},
    "wine_silent_module": {"device": ["--silent-from-ms", "0"]},
    "wine_never_connected": {"device": ["--connect-from-try", "0"], "time_limit": 420},
    "wine_missing_rom_loader": {"remove": ["blob-bootloader.txt"]},
    "wine_missing_kernel": {"remove": ["zImage"]},
    "wine_record_failure": {"device": ["--corrupt-echo", "5:-1"]},
    "wine_read_back_failure": {"device": ["--corrupt-readback", "2:-1"]},
    "wine_answers_only_at_19200": {"device": ["--answer-baud", "19200"]},
    "wine_configured_port_and_names": e2e.SCENARIOS["configured_port_and_names"],
    # COM1 with nothing behind it opens but refuses every setting, COM12 is
    # not there: both give message 18 and are left out of the next passes.
    # The module is listed by its device path and answers only at 38400.
    "wine_ports_not_opened": {
        "device": ["--answer-baud", "38400", "--quiet-wrong-baud"],
        "before_spawn": list_ports([(r"\Device\Serial0", "COM1"),
                                    (r"\Device\Serial1", "COM12"),
                                    (r"\Device\Serial2", r"\\.\COM5")])},
    "wine_configured_port_not_opened": {
        "ini": "[COM]\nport=12\n", "time_limit": 120},
    "wine_long_rom_loader_lines": {
        "prepare": inputs_of("wine_long_rom_loader_lines")},
}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--bits", type=int, choices=(32, 64), default=32)
    parser.add_argument("names", nargs="*")
    args = parser.parse_args()
    if os.environ.get("VANTOR_WINE_ISOLATED") != "1":
        os.execv(os.path.join(HERE, "run_isolated.sh"),
                 [os.path.join(HERE, "run_isolated.sh"), sys.executable] + sys.argv)
    bins = e2e.binaries(args.bin, args.bits)
    MAKE_FIELD_LOGS[0] = os.path.join(os.path.abspath(args.bin), "tools", "replay",
                                      "make_field_logs")
    os.makedirs(args.out, exist_ok=True)
    for name in args.names or sorted(RUNS):
        started = time.monotonic()
        path = os.path.join(os.path.abspath(args.out), name + ".log")
        try:
            result = e2e.Run(RUNS[name], bins).execute(keep_log=path)
            print("%s: exit status %s, %.0f s" % (name, result["status"],
                                                 time.monotonic() - started))
        except Exception as e:  # keep going: one run that breaks is reported
            print("%s: FAILED %s" % (name, e))
        sys.stdout.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())
