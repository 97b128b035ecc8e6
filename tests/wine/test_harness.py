#!/usr/bin/env python3
"""Self-tests of the Wine harness, using small probe programs.

The product's end-to-end tests trust winenv.py to pass bytes through
unchanged, to reach a pty as a COM port, to plug drives and to keep real
serial hardware out of reach; each group below checks one of those.

Usage: test_harness.py [--probes DIR] [unittest args]
The probes are cross-compiled into DIR (default: VANTOR_WINE_PROBES or a
folder under the temp dir) when missing or older than their sources.  The script re-executes itself through
run_isolated.sh when it is not yet isolated.
"""

import os
import select
import signal
import subprocess
import sys
import tempfile
import termios
import time
import tty
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import winenv  # noqa: E402

PROBES = None


def probe(name):
    return os.path.join(PROBES, name + ".exe")


def make_env(**kwargs):
    return winenv.WineEnv(helper_exe=probe("wine_drive"), **kwargs)


def pids_using_prefix(prefix):
    marker = b"WINEPREFIX=" + prefix.encode() + b"\0"
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/environ" % entry, "rb") as f:
                if marker in f.read():
                    found.append(int(entry))
        except OSError:
            pass
    return found


class TimedCase(unittest.TestCase):
    """Prints how long each test took; the numbers go into the README."""

    def setUp(self):
        self._t0 = time.monotonic()

    def tearDown(self):
        sys.stderr.write("  [%s: %.2f s] " % (self._testMethodName,
                                              time.monotonic() - self._t0))

    @classmethod
    def start_env(cls, **kwargs):
        t0 = time.monotonic()
        cls.env = make_env(**kwargs).__enter__()
        sys.stderr.write("\n[%s env: %.2f s, prefix %.2f s, wine start "
                         "%.2f s]\n" % (cls.__name__, time.monotonic() - t0,
                                        cls.env.timings["prefix"],
                                        cls.env.timings["start"]))

    @classmethod
    def tearDownClass(cls):
        if getattr(cls, "env", None) is not None:
            cls.env.close()


class ConsoleTests(TimedCase):
    @classmethod
    def setUpClass(cls):
        cls.start_env()

    def test_prompt_answered_bytes_exact_and_exit_minus_one_is_255(self):
        p = self.env.spawn(probe("probe_console"), time_limit=20)
        p.expect(b"press Enter: ", timeout=10)
        p.send(b"\n")
        self.assertEqual(p.wait(10), 255)
        # \xe9 must arrive untranslated; \r\n comes from the C runtime.
        self.assertEqual(p.output,
                         b"caf\xe9 ready\r\npress Enter: \r\ngot 10\r\n")

    def test_closed_stdin_reads_as_end_of_file(self):
        r = self.env.run(probe("probe_console"), stdin=b"", time_limit=20)
        self.assertFalse(r.timed_out)
        self.assertEqual(r.returncode, 255)
        self.assertTrue(r.stdout.endswith(b"got -1\r\n"), r.stdout)

    def test_time_limit_kills_a_waiting_program(self):
        p = self.env.spawn(probe("probe_console"), time_limit=2)
        p.expect(b"press Enter: ", timeout=10)
        t0 = time.monotonic()
        with self.assertRaises(winenv.WineTimeout):
            p.wait()
        self.assertLess(time.monotonic() - t0, 5)
        self.assertTrue(p.timed_out)
        with self.assertRaises(ProcessLookupError):
            os.kill(p.pid, 0)

    def test_expect_fails_when_program_ends_without_the_text(self):
        p = self.env.spawn(probe("probe_version"), time_limit=20)
        with self.assertRaises(winenv.WineTimeout) as ctx:
            p.expect(b"never printed", timeout=10)
        self.assertIn(b"version", ctx.exception.output)


class SerialTests(TimedCase):
    @classmethod
    def setUpClass(cls):
        cls.master, slave = os.openpty()
        tty.setraw(cls.master)
        tty.setraw(slave)
        cls.slave_path = os.ttyname(slave)
        # The slave stays open so the pty survives between programs.
        cls.slave = slave
        cls.start_env(com_ports={5: cls.slave_path})

    @classmethod
    def tearDownClass(cls):
        super().tearDownClass()
        os.close(cls.master)
        os.close(cls.slave)

    def read_master(self, n, timeout=10):
        ready, _, _ = select.select([self.master], [], [], timeout)
        self.assertTrue(ready, "nothing written to the pty")
        return os.read(self.master, n)

    def test_round_trip_at_115200_8n1(self):
        p = self.env.spawn(probe("probe_serial"), ["COM5"], time_limit=20)
        self.assertEqual(self.read_master(16), b"a")
        attrs = termios.tcgetattr(self.master)
        self.assertEqual(attrs[4:6], [termios.B115200, termios.B115200])
        self.assertEqual(attrs[2] & termios.CSIZE, termios.CS8)
        self.assertFalse(attrs[2] & (termios.PARENB | termios.CSTOPB))
        os.write(self.master, b":")
        self.assertEqual(p.wait(10), 0, p.output)
        self.assertIn(b"received :", p.output)

    def test_only_the_mapped_port_is_listed_and_usable(self):
        r = self.env.run(probe("probe_ports"), time_limit=20)
        self.assertEqual(r.returncode, 0)
        lines = r.stdout.decode().splitlines()
        self.assertEqual([x for x in lines if x.startswith("listed")],
                         ["listed COM5"])
        # Wine may still let COM1 be opened (it falls back to /dev/ttyS0,
        # which is /dev/null here), but it must not accept any setting.
        usable = [x for x in lines if x.startswith("opened") and
                  x.endswith("set=1")]
        self.assertEqual(usable, ["opened COM5 get=1 set=1"])

    def test_serial_device_nodes_are_null_in_the_namespace(self):
        winenv.check_isolated()
        for dev in ("/dev/ttyS0", "/dev/ttyUSB0", "/dev/ttyACM0"):
            if os.path.exists(dev):
                self.assertEqual(os.stat(dev).st_rdev, os.makedev(1, 3))

    def test_only_pseudo_terminals_can_be_mapped(self):
        with self.assertRaises(winenv.WineError):
            make_env(com_ports={1: "/dev/ttyS0"}).start()


class DriveTests(TimedCase):
    @classmethod
    def setUpClass(cls):
        cls.start_env()

    def test_drive_plugged_copied_onto_and_unplugged(self):
        payload = os.urandom(4096)
        with open(os.path.join(self.env.tmpdir, "payload.bin"), "wb") as f:
            f.write(payload)
        for mode in ("simple", "silent"):
            with self.subTest(progress=mode), \
                    tempfile.TemporaryDirectory() as disk:
                p = self.env.spawn(probe("probe_drive"),
                                   ["R", "payload.bin", mode],
                                   cwd=self.env.tmpdir, time_limit=30)
                p.expect(b"waiting for R", timeout=10)
                self.env.add_drive("R", disk)
                p.expect(b"drive R present type 2", timeout=5)
                p.expect(b"copied rc=0 aborted=0", timeout=15)
                with open(os.path.join(disk, "payload.bin"), "rb") as f:
                    self.assertEqual(f.read(), payload)
                self.env.remove_drive("R")
                p.expect(b"drive R gone", timeout=5)
                self.assertEqual(p.wait(10), 0, p.output)

    def test_helper_reports_bad_requests(self):
        for args in (["add", "1", "/tmp"], ["add", "R", "relative"],
                     ["remove"], ["eject", "R"]):
            with self.subTest(args=args):
                r = self.env.run(probe("wine_drive"), args, time_limit=20)
                self.assertNotEqual(r.returncode, 0)
                self.assertTrue(r.stderr, "no message on stderr")


class VersionTests(TimedCase):
    @classmethod
    def setUpClass(cls):
        cls.start_env(windows_version="win2k")

    def test_version_set_at_start(self):
        r = self.env.run(probe("probe_version"), time_limit=20)
        self.assertEqual(r.stdout, b"version 5.0 platform 2\r\n")


class CleanupTests(TimedCase):
    def test_everything_removed_even_when_the_body_fails(self):
        with self.assertRaises(ZeroDivisionError):
            with make_env() as env:
                tmpdir, prefix = env.tmpdir, env.prefix
                keeper = env._keeper.pid
                p = env.spawn(probe("probe_console"), time_limit=60)
                p.expect(b"press Enter: ", timeout=10)
                # wineserver, services and the keeper all carry the prefix.
                self.assertGreaterEqual(len(pids_using_prefix(prefix)), 3)
                1 / 0
        self.assertFalse(os.path.exists(tmpdir))
        for pid in (keeper, p.pid):
            with self.assertRaises(ProcessLookupError):
                os.kill(pid, 0)
        self.assertEqual(pids_using_prefix(prefix), [])

    def test_runner_exiting_without_close_still_cleans_up(self):
        script = (
            "import sys; sys.path.insert(0, %r)\n"
            "import winenv\n"
            "env = winenv.WineEnv(); env.start()\n"
            "print(env.prefix, flush=True)\n"
            "sys.exit(3)\n" % HERE)
        r = subprocess.run([sys.executable, "-c", script],
                           capture_output=True, text=True, timeout=120)
        self.assertEqual(r.returncode, 3, r.stderr)
        prefix = r.stdout.strip()
        self.assertTrue(prefix)
        self.assertFalse(os.path.exists(prefix))
        self.assertEqual(pids_using_prefix(prefix), [])


def main():
    global PROBES
    args = sys.argv[1:]
    if "--probes" in args:
        i = args.index("--probes")
        PROBES = os.path.abspath(args[i + 1])
        del args[i:i + 2]
    else:
        PROBES = os.environ.get("VANTOR_WINE_PROBES")
    if os.environ.get(winenv.ISOLATION_MARK) != "1":
        extra = ["--probes", PROBES] if PROBES else []
        os.execv(os.path.join(HERE, "run_isolated.sh"),
                 [os.path.join(HERE, "run_isolated.sh"), sys.executable,
                  os.path.abspath(__file__)] + extra + args)
    if not PROBES:
        PROBES = os.path.join(tempfile.gettempdir(), "vantor_wine_probes")
    # Incremental: only sources newer than their .exe are compiled.
    subprocess.run([os.path.join(HERE, "build_probes.sh"), PROBES],
                   check=True)
    # CTest ends a test that runs too long with SIGTERM; exiting normally
    # lets winenv's atexit hook stop Wine and delete the prefixes.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    unittest.main(argv=[sys.argv[0]] + args, verbosity=2)


if __name__ == "__main__":
    main()
