#!/usr/bin/env python3
"""Whole runs of the real vantor_config.exe under Wine, against the device
model served on a pseudo-terminal, with a simulated operator.

Each scenario gets a fresh Wine prefix, a working folder with the input
files, the module on COM5, and an operator who presses Enter when asked,
plugs the module's disk when blob reports it connected and takes it away
when the program asks for its removal. The scenario then checks the console
transcript, the log, the exit status and the module's verdict.

    e2e.py --bin BUILD_DIR [--bits 32|64] SCENARIO...  run scenarios (under run_isolated.sh)
    e2e.py --bin BUILD_DIR --demo [--auto]    one whole re-flash, shown live
    e2e.py --list                             the scenario names, one per line

--bits chooses the Windows build: 32 (the shipped program, the default) or
64, from BUILD_DIR/windows32 or BUILD_DIR/windows64.
"""

import argparse
import json
import os
import queue
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import tty

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import winenv  # noqa: E402

# The program's operator messages, as its catalogue holds them: filled by
# binaries() from the host build's vantor_messages.
MSG = {}

FAST_MODULE = ["--reply-delay-ms", "1", "--blob-start-ms", "100",
               "--flash-blob-ms", "600", "--flash-kernel-ms", "600",
               "--flash-ramdisk-ms", "600", "--power-cycle-ms", "1500",
               "--connect-ms", "300"]


def text(raw):
    """The console's bytes as text: OEM code page, CR LF as LF."""
    return raw.decode("cp437").replace("\r\n", "\n")


class Failure(Exception):
    pass


def expect_in_order(haystack, needles, what):
    at = 0
    for needle in needles:
        found = haystack.find(needle, at)
        if found < 0:
            raise Failure("%s: missing or out of order: %r\n--- %s ---\n%s"
                          % (what, needle, what, haystack[-3000:]))
        at = found + len(needle)


class Device:
    """vantor_device on a pty, its events read as they happen."""

    def __init__(self, exe, workdir, tmp, args):
        self.disk_dir = os.path.join(tmp, "disk")
        self.control = os.path.join(tmp, "control")
        self.verdict_file = os.path.join(tmp, "verdict.txt")
        os.mkdir(self.disk_dir)
        os.mkfifo(self.control)
        cmd = [exe,
               "--romloader", os.path.join(workdir, "blob-bootloader.txt"),
               "--blob-uue", os.path.join(workdir, "blob.uue"),
               "--kernel", os.path.join(workdir, "zImage"),
               "--ramdisk", os.path.join(workdir, "cramfs.img"),
               "--disk-dir", self.disk_dir, "--control", self.control,
               "--verdict", self.verdict_file, "--trace",
               "--time-limit", "900"] + FAST_MODULE + list(args)
        self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE,
                                     start_new_session=True)
        self.pty = self.proc.stdout.readline().decode().strip()
        if not self.pty.startswith("/dev/pts/"):
            raise Failure("device model did not start: %r" % self.pty)
        self.events = queue.Queue()
        threading.Thread(target=self._read_events, daemon=True).start()
        # Opening the FIFO for writing waits for the device's reader.
        self._control = open(self.control, "w")

    def _read_events(self):
        for line in self.proc.stderr:
            parts = line.decode(errors="replace").split(None, 2)
            if len(parts) >= 2:
                self.events.put((parts[1], parts[2].strip() if len(parts) > 2 else ""))

    def tell(self, line):
        self._control.write(line + "\n")
        self._control.flush()

    def finish(self):
        """Ends the model and returns its verdict as a dict."""
        try:
            self.tell("quit")
            self._control.close()
        except OSError:
            pass
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        verdict = {"problem": []}
        if os.path.exists(self.verdict_file):
            for line in open(self.verdict_file):
                key, _, value = line.rstrip("\n").partition(": ")
                if key == "problem":
                    verdict["problem"].append(value)
                else:
                    verdict[key] = value
        return verdict


class Operator:
    """Answers the program the way a service operator would."""

    def __init__(self, env, program, device, interactive=False, show=False,
                 read_only_disk=False):
        self.env, self.program, self.device = env, program, device
        self.interactive, self.show = interactive, show
        self.read_only_disk = read_only_disk
        self.seen = ""
        self.handled = {}
        self.mounts = []

    def _occurrences(self, needle):
        n = self.seen.count(needle)
        done = self.handled.get(needle, 0)
        self.handled[needle] = n
        return n - done

    def _enter(self):
        if self.interactive:
            sys.stdin.readline()
        elif self.show:
            self._say("presses Enter")
        self.program.send(b"\n")

    def _say(self, what):
        if self.show:
            sys.stdout.write("\n[operator] %s\n" % what)
            sys.stdout.flush()

    def _plug(self, image):
        self._say("the module's USB disk (%s) appears as drive E:" % image)
        folder = os.path.join(self.device.disk_dir, image)
        os.makedirs(folder, exist_ok=True)
        if self.read_only_disk:
            subprocess.run(["mount", "--bind", folder, folder], check=True)
            subprocess.run(["mount", "-o", "remount,bind,ro", folder], check=True)
            self.mounts.append(folder)
        time.sleep(0.5)
        self.env.add_drive("E", folder)

    def _unplug(self):
        self._say("removes the USB disk in the hot-plug window")
        time.sleep(1.0)
        self.env.remove_drive("E")
        self.device.tell("removed")

    def run(self):
        while True:
            chunk = self.program.read_new(0.1)
            if chunk:
                new = text(chunk)
                if self.show:
                    sys.stdout.write(new)
                    sys.stdout.flush()
                self.seen += new
                for asking in (MSG[13], MSG[16], MSG[12], MSG[39]):
                    for _ in range(self._occurrences(asking)):
                        self._enter()
                for _ in range(self._occurrences(MSG[34] % "E")):
                    self._unplug()
            while not self.device.events.empty():
                name, detail = self.device.events.get()
                if name == "connected":
                    self._plug(detail.split()[0])
            if self.program._popen.poll() is not None and not chunk:
                break

    def cleanup(self):
        for folder in self.mounts:
            subprocess.run(["umount", folder], check=False)


class Run:
    def __init__(self, scenario, bins):
        self.scenario, self.bins = scenario, bins

    def execute(self, demo=False, interactive=False, keep_log=None):
        sc = self.scenario
        tmp = tempfile.mkdtemp(prefix="vantor-e2e-")
        work = os.path.join(tmp, "work")
        try:
            subprocess.run([self.bins["make_inputs"], work, "--records",
                            str(sc.get("records", 24)), "--blob-size", "6000",
                            "--kernel-size", "40000", "--ramdisk-size", "60000"],
                           check=True, stdout=subprocess.DEVNULL)
            # A scenario may change the input files, and the prefix before
            # the program starts (its port list, say).
            if "prepare" in sc:
                sc["prepare"](work)
            originals = {name: open(os.path.join(work, name), "rb").read()
                         for name in os.listdir(work)}
            device = Device(self.bins["device"], work, tmp, sc.get("device", []))
            for old, new in sc.get("rename", {}).items():
                os.rename(os.path.join(work, old), os.path.join(work, new))
            for name in sc.get("remove", []):
                os.remove(os.path.join(work, name))
            if "ini" in sc:
                with open(os.path.join(work, "vantor_config.ini"), "w") as f:
                    f.write(sc["ini"].replace("\n", "\r\n"))
            with winenv.WineEnv(windows_version=sc.get("windows"),
                                com_ports={5: device.pty},
                                helper_exe=self.bins["wine_drive"]) as env:
                if "before_spawn" in sc:
                    sc["before_spawn"](env)
                program = env.spawn(self.bins["exe"], cwd=work,
                                    time_limit=sc.get("time_limit", 240))
                op = Operator(env, program, device, interactive=interactive,
                              show=demo, read_only_disk=sc.get("read_only_disk", False))
                try:
                    op.run()
                    status = program.wait(30)
                finally:
                    op.cleanup()
                console = text(program.output)
            verdict = device.finish()
            log_path = os.path.join(work, "vantor_config.log")
            if keep_log and os.path.exists(log_path):
                shutil.copyfile(log_path, keep_log)
            log = open(log_path, "rb").read().decode("cp437") if os.path.exists(log_path) else None
            # The input files are the program's to read, never to change.
            for name, content in originals.items():
                path = os.path.join(work, sc.get("rename", {}).get(name, name))
                if os.path.exists(path) and open(path, "rb").read() != content:
                    raise Failure("input file %s was changed" % name)
            return {"status": status, "console": console, "log": log,
                    "verdict": verdict}
        finally:
            shutil.rmtree(tmp, ignore_errors=True)


def probe_line(baud, outcome):
    """The console's line of a probe of COM5 that opened the port."""
    return MSG[17] % ("COM5", baud) + MSG[19] + outcome


def whole_run_console(newer):
    """The operator's dialogue of a complete run, in order: the newer
    Windows family removes the disk through an eject, the older one with
    the operator."""
    removal = [MSG[30] % "E", MSG[34] % "E", MSG[29] % "E"] if newer else [
        MSG[37] + "\n", MSG[34] % "E", MSG[29] % "E", MSG[31]]
    steps = [MSG[0], MSG[6] + MSG[13],
             probe_line(115200, MSG[20]), MSG[21].split(" - ")[1] % 100, MSG[11], MSG[22],
             MSG[24], "\rFlashing blob: ", "\n" + MSG[27] + "\n", "\r" + MSG[23] + ": "]
    for image, prompt in (("zImage", MSG[26]), ("cramfs.img", MSG[33] if newer else MSG[26])):
        steps += [prompt, MSG[28] % "E", MSG[35] % (image, "E:\\" + image),
                  MSG[27]] + removal + [
                  "\rFlashing %s: " % ("kernel" if image == "zImage" else "ramdisk"),
                  "\n" + MSG[27] + "\n"]
    return steps + [MSG[40] + MSG[41] + MSG[12]]


def check_complete(result, newer):
    if result["status"] != 0:
        raise Failure("exit status %r\n%s" % (result["status"], result["console"][-3000:]))
    expect_in_order(result["console"], whole_run_console(newer), "console")
    v = result["verdict"]
    if v.get("ok") != "yes":
        raise Failure("device model verdict: %r" % v)
    log = result["log"].replace("\r\n", "\n")
    expect_in_order(log, ["Nomi dei file:\n", "[COM PORT]: * auto-detect\n\n",
                          "Porte seriali:\nPorta trovata: COM5\n",
                          "Closing com port: Port closed.\n",
                          "Open com port at 115200: port opened.\n",
                          " -> download blob\n", " -> flash blob\n",
                          " -> usbddisk kernel\n", " -> flash kernel\n",
                          " -> usbddisk ramdisk\n", " -> flash ramdisk\n"], "log")
    if "Configurazione terminata" in log:
        raise Failure("closing messages in the log")


def check_failed(result, console_steps, verdict=None, log_steps=()):
    if result["status"] != 255:
        raise Failure("exit status %r, wanted 255\n%s"
                      % (result["status"], result["console"][-3000:]))
    expect_in_order(result["console"], console_steps + [MSG[39]], "console")
    if not result["console"].endswith(MSG[39]):
        raise Failure("message 39 is not the last word:\n" + result["console"][-500:])
    for key, value in (verdict or {}).items():
        if result["verdict"].get(key) != value:
            raise Failure("verdict %s=%r, wanted %r: %r"
                          % (key, result["verdict"].get(key), value, result["verdict"]))
    if log_steps:
        expect_in_order(result["log"].replace("\r\n", "\n"), list(log_steps), "log")


SCENARIOS = {
    "whole_run_win7": {
        "windows": "win7",
        "check": lambda r: check_complete(r, True)},
    "whole_run_win2k": {
        "windows": "win2k",
        "check": lambda r: check_complete(r, True)},
    "whole_run_vista": {
        "windows": "vista",
        "check": lambda r: check_complete(r, False)},
    "configured_port_and_names": {
        "ini": "[File Name]\nblob_boot=loader v2.txt\nblob=new-blob.uue\n"
               "kernel=kernel.bin\nramdisk=rootfs.img\n[COM]\nport=5\n",
        "rename": {"blob-bootloader.txt": "loader v2.txt", "blob.uue": "new-blob.uue",
                   "zImage": "kernel.bin", "cramfs.img": "rootfs.img"},
        "check": lambda r: check_configured(r)},
    "missing_rom_loader": {
        "remove": ["blob-bootloader.txt"],
        "check": lambda r: check_missing(r)},
    "ini_recorded_in_log": {
        "ini": "[File Name]\nblob_boot=rom.txt\nblob=b.uue\nkernel=k.bin\n"
               "ramdisk=r.img\n[COM]\nport=12\n",
        "remove": ["blob-bootloader.txt", "blob.uue", "zImage", "cramfs.img"],
        "check": lambda r: check_failed(
            r, [MSG[9] % "rom.txt"], {},
            ["Nomi dei file:\n[BLOB TXT]: rom.txt\n[BLOB]: b.uue\n"
             "[KERNEL]: k.bin\n[RAMDISK]: r.img\n[COM PORT]: COM12\n\n"])},
    "silent_module": {
        "device": ["--silent-from-ms", "0"],
        "check": lambda r: check_failed(
            r, [MSG[13], MSG[15], MSG[16], MSG[15], MSG[16], MSG[15], MSG[16],
                MSG[15], MSG[10]], {"romLoaderComplete": "no"})},
    "answers_only_at_19200": {
        "device": ["--answer-baud", "19200"],
        "check": lambda r: check_19200(r)},
    "never_connected": {
        "device": ["--connect-from-try", "0"],
        "time_limit": 420,
        "check": lambda r: check_failed(
            r, [MSG[26], MSG[33], MSG[33], MSG[33]],
            {"bootLoaderFlashed": "yes", "kernelFlashed": "no"},
            [" -> usbddisk kernel\n"] * 4)},
    "disk_not_writable": {
        "read_only_disk": True,
        "check": lambda r: check_failed(
            r, [MSG[28] % "E", MSG[35] % ("zImage", "E:\\zImage"), MSG[36]],
            {"kernelFlashed": "no"})},
}


def check_configured(r):
    if r["status"] != 0 or r["verdict"].get("ok") != "yes":
        raise Failure("status %r verdict %r\n%s" % (r["status"], r["verdict"], r["console"][-2000:]))
    expect_in_order(r["log"].replace("\r\n", "\n"),
                    ["[BLOB TXT]: loader v2.txt\n[BLOB]: new-blob.uue\n"
                     "[KERNEL]: kernel.bin\n[RAMDISK]: rootfs.img\n"
                     "[COM PORT]: COM5\n\n"], "log")
    if "Porte seriali" in r["log"]:
        raise Failure("the port list was read although a port is configured")
    expect_in_order(r["console"], [MSG[35] % (name, "E:\\" + name)
                                   for name in ("kernel.bin", "rootfs.img")], "console")


def check_missing(r):
    if r["status"] != 255:
        raise Failure("exit status %r" % r["status"])
    wanted = MSG[0] + MSG[6] + MSG[9] % "blob-bootloader.txt" + MSG[39]
    if r["console"] != wanted:
        raise Failure("console %r, wanted %r" % (r["console"], wanted))
    log = r["log"].replace("\r\n", "\n")
    if not log.startswith("Nomi dei file:\n[BLOB TXT]: blob-bootloader.txt\n"
                          "[BLOB]: blob.uue\n[KERNEL]: zImage\n[RAMDISK]: cramfs.img\n"
                          "[COM PORT]: * auto-detect\n\n"):
        raise Failure("log: %r" % log)
    if not r["log"].count("\r\n") == log.count("\n"):
        raise Failure("the log must end its lines with CR LF")


def check_19200(r):
    check_complete_at(r, probe_line(19200, MSG[20]))


def check_complete_at(r, probe):
    if r["status"] != 0 or r["verdict"].get("ok") != "yes":
        raise Failure("status %r verdict %r\n%s" % (r["status"], r["verdict"], r["console"][-2000:]))
    expect_in_order(r["console"], [MSG[13], probe_line(115200, MSG[15]), MSG[16],
                                   probe_line(38400, MSG[15]), MSG[16], probe, MSG[11],
                                   MSG[40]], "console")


def run_serial_path(bins):
    """The Windows-built serial path test against the boot ROM on COM5."""
    tmp = tempfile.mkdtemp(prefix="vantor-serial-")
    try:
        work = os.path.join(tmp, "work")
        subprocess.run([bins["make_inputs"], work, "--records", "4"], check=True,
                       stdout=subprocess.DEVNULL)
        device = Device(bins["device"], work, tmp, [])
        with winenv.WineEnv(com_ports={5: device.pty}) as env:
            result = env.run(bins["serial_path_test"], cwd=tmp, time_limit=60)
        device.finish()
        out = text(result.stdout)
        if result.returncode != 0 or "FAILED" in out or out.count("ok ") < 10:
            raise Failure("serial path test (status %r):\n%s" % (result.returncode, out))
        return out
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


def binaries(build_dir, bits=32):
    """The programs a run needs, from the host build folder: the Windows
    ones from its 32-bit or 64-bit Windows build."""
    b = os.path.abspath(build_dir)
    w = os.path.join(b, "windows%d" % bits)
    MSG.update(enumerate(json.loads(subprocess.run(
        [os.path.join(b, "tests", "wine", "vantor_messages")], check=True,
        stdout=subprocess.PIPE).stdout)))
    return {"exe": os.path.join(w, "vantor_config.exe"),
            "wine_drive": os.path.join(w, "tools", "wine_drive", "wine_drive.exe"),
            "device": os.path.join(b, "tools", "device_model", "vantor_device"),
            "make_inputs": os.path.join(b, "tools", "device_model", "vantor_make_inputs"),
            "serial_path_test": os.path.join(w, "tests", "win32",
                                             "serial_path_test.exe")}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", help="the host build folder")
    parser.add_argument("--bits", type=int, choices=(32, 64), default=32,
                        help="which Windows build to run")
    parser.add_argument("--list", action="store_true",
                        help="print the scenario names and end")
    parser.add_argument("--demo", action="store_true")
    parser.add_argument("--auto", action="store_true",
                        help="with --demo: press Enter automatically")
    parser.add_argument("scenarios", nargs="*")
    args = parser.parse_args()
    if args.list:
        print("\n".join(["serial_path"] + sorted(SCENARIOS)))
        return 0
    if not args.bin:
        parser.error("--bin is needed")
    if os.environ.get("VANTOR_WINE_ISOLATED") != "1":
        os.execv(os.path.join(HERE, "run_isolated.sh"),
                 [os.path.join(HERE, "run_isolated.sh"), sys.executable] + sys.argv)
    bins = binaries(args.bin, args.bits)
    if args.demo:
        result = Run({"windows": "win7"}, bins).execute(demo=True,
                                                        interactive=not args.auto)
        print("\n[demo] exit status %d; module: %s" % (
            result["status"], "everything flashed intact" if result["verdict"].get("ok") == "yes"
            else result["verdict"]))
        return 0 if result["status"] == 0 and result["verdict"].get("ok") == "yes" else 1
    failed = 0
    for name in args.scenarios or sorted(SCENARIOS):
        started = time.monotonic()
        try:
            if name == "serial_path":
                run_serial_path(bins)
            else:
                result = Run(SCENARIOS[name], bins).execute()
                SCENARIOS[name]["check"](result)
            print("PASS %s (%.0f s)" % (name, time.monotonic() - started))
        except (Failure, winenv.WineError, winenv.WineTimeout) as e:
            failed += 1
            print("FAIL %s (%.0f s): %s" % (name, time.monotonic() - started, e))
            output = getattr(e, "output", None)
            if output:
                print(text(output)[-3000:])
        sys.stdout.flush()
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
