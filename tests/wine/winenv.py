"""Throw-away Wine environments for end-to-end tests of the Windows build.

Each WineEnv owns a private prefix, one long-lived Wine process that keeps
the wineserver and the mount manager alive, and every process it starts.
It must run inside the mount namespace set up by run_isolated.sh; see
README.md for the reasons and for usage.
"""

import atexit
import collections
import contextlib
import fcntl
import os
import re
import select
import shutil
import signal
import stat
import subprocess
import tempfile
import threading
import time
import weakref

__all__ = [
    "WineEnv", "WineProcess", "WineError", "WineTimeout", "RunResult",
    "check_isolated", "find_wine_tool", "WINDOWS_VERSIONS",
]

# Names Wine accepts in HKCU\Software\Wine\Version.
WINDOWS_VERSIONS = (
    "win95", "win98", "winme", "nt40", "win2k", "winxp", "win2003",
    "vista", "win2008", "win7", "win8", "win81", "win10",
)

SERIAL_DEVICE_GLOBS = ("ttyS", "ttyUSB", "ttyACM")
ISOLATION_MARK = "VANTOR_WINE_ISOLATED"
_NULL_RDEV = os.makedev(1, 3)


class WineError(RuntimeError):
    pass


class WineTimeout(WineError):
    def __init__(self, message, output=b""):
        super().__init__("%s; output so far: %r" % (message, output))
        self.output = output


def find_wine_tool(name):
    """Debian keeps wine64/wineserver out of PATH, hence the fallback."""
    found = shutil.which(name)
    if found:
        return found
    candidate = os.path.join("/usr/lib/wine", name)
    if os.access(candidate, os.X_OK):
        return candidate
    raise WineError("%s not found; run scripts/deps.sh" % name)


def _real_serial_devices():
    names = []
    with contextlib.suppress(FileNotFoundError):
        for entry in os.listdir("/dev"):
            if entry.startswith(SERIAL_DEVICE_GLOBS):
                names.append(os.path.join("/dev", entry))
    return sorted(names)


def check_isolated():
    """Refuse to run where Wine could reach a real serial port.

    Wine maps COM1 to /dev/ttyS0 on its own; only the /dev/null bind mounts
    made by run_isolated.sh guarantee that a mistake in a test cannot send
    bytes to hardware on the build machine.
    """
    if os.environ.get(ISOLATION_MARK) != "1":
        raise WineError("not isolated: run the tests through "
                        "tests/wine/run_isolated.sh")
    for dev in _real_serial_devices():
        st = os.stat(dev)
        if not stat.S_ISCHR(st.st_mode) or st.st_rdev != _NULL_RDEV:
            raise WineError("%s is not covered by /dev/null" % dev)


RunResult = collections.namedtuple(
    "RunResult", "returncode stdout stderr timed_out")

# A test runner that dies through sys.exit or an uncaught exception outside
# a with-block must not leave a 700 MB prefix and a wineserver behind.
_live_envs = weakref.WeakSet()


@atexit.register
def _close_live_envs():
    for env in list(_live_envs):
        env.close()


class WineProcess:
    """A Windows program started by WineEnv.spawn.

    stdout is collected by a thread as it arrives so the caller can wait for
    a prompt (expect) and answer it (send) while the program keeps running.
    """

    def __init__(self, popen, time_limit):
        self._popen = popen
        self._buf = bytearray()
        self._consumed = 0
        self._cond = threading.Condition()
        self._eof = False
        self.timed_out = False
        self._stderr = bytearray()
        self._deadline = (time.monotonic() + time_limit
                          if time_limit is not None else None)
        self._threads = [
            threading.Thread(target=self._pump, daemon=True,
                             args=(popen.stdout, self._buf, True)),
            threading.Thread(target=self._pump, daemon=True,
                             args=(popen.stderr, self._stderr, False)),
        ]
        for t in self._threads:
            t.start()
        if self._deadline is not None:
            self._watchdog = threading.Thread(target=self._watch, daemon=True)
            self._watchdog.start()

    @property
    def pid(self):
        return self._popen.pid

    def _pump(self, pipe, sink, is_stdout):
        # Wine's background processes may inherit the write end of the pipe,
        # so EOF is not guaranteed: stop shortly after the program exits.
        fd = pipe.fileno()
        exited_at = None
        while True:
            ready, _, _ = select.select([fd], [], [], 0.05)
            if ready:
                chunk = os.read(fd, 65536)
                if not chunk:
                    break
                with self._cond:
                    sink.extend(chunk)
                    self._cond.notify_all()
                continue
            if self._popen.poll() is not None:
                if exited_at is None:
                    exited_at = time.monotonic()
                elif time.monotonic() - exited_at > 0.2:
                    break
        if is_stdout:
            with self._cond:
                self._eof = True
                self._cond.notify_all()

    def _watch(self):
        while self._popen.poll() is None:
            if time.monotonic() >= self._deadline:
                self.timed_out = True
                self.kill()
                return
            time.sleep(0.05)

    def _remaining(self, timeout):
        limits = []
        if timeout is not None:
            limits.append(time.monotonic() + timeout)
        if self._deadline is not None:
            limits.append(self._deadline)
        return min(limits) if limits else None

    @property
    def output(self):
        """Everything the program printed so far (bytes, CRLF as written)."""
        with self._cond:
            return bytes(self._buf)

    @property
    def stderr(self):
        with self._cond:
            return bytes(self._stderr)

    def expect(self, pattern, timeout=10.0):
        """Wait until stdout, after the previous match, matches pattern.

        pattern is bytes (literal) or a compiled bytes regex.  Returns the
        match object; raises WineTimeout if the program ends or time runs
        out first.
        """
        if isinstance(pattern, bytes):
            pattern = re.compile(re.escape(pattern))
        until = self._remaining(timeout)
        with self._cond:
            while True:
                m = pattern.search(self._buf, self._consumed)
                if m:
                    self._consumed = m.end()
                    return m
                if self._eof:
                    raise WineTimeout("program ended before %r"
                                      % pattern.pattern, bytes(self._buf))
                left = None if until is None else until - time.monotonic()
                if left is not None and left <= 0:
                    raise WineTimeout("no %r in time" % pattern.pattern,
                                      bytes(self._buf))
                self._cond.wait(0.1 if left is None else min(left, 0.1))

    def read_new(self, timeout=0.0):
        """Return output not yet returned by read_new/expect (may be b'')."""
        until = time.monotonic() + timeout
        with self._cond:
            while len(self._buf) == self._consumed and not self._eof:
                left = until - time.monotonic()
                if left <= 0:
                    break
                self._cond.wait(left)
            data = bytes(self._buf[self._consumed:])
            self._consumed = len(self._buf)
            return data

    def send(self, data):
        if isinstance(data, str):
            data = data.encode("ascii")
        self._popen.stdin.write(data)
        self._popen.stdin.flush()

    def close_stdin(self):
        with contextlib.suppress(OSError):
            self._popen.stdin.close()

    def wait(self, timeout=None):
        """Exit status as Windows sees it modulo 256 (exit(-1) gives 255)."""
        until = self._remaining(timeout)
        try:
            left = None if until is None else max(0.0, until - time.monotonic())
            code = self._popen.wait(left)
        except subprocess.TimeoutExpired:
            if self._deadline is not None and \
                    time.monotonic() >= self._deadline - 0.01:
                self.timed_out = True
            self.kill()
            raise WineTimeout("program still running", self.output)
        finally:
            self._join()
        if self.timed_out:
            raise WineTimeout("time limit exceeded, program killed",
                              self.output)
        return code

    def _join(self):
        for t in self._threads:
            t.join(2.0)
        if not any(t.is_alive() for t in self._threads):
            self._popen.stdout.close()
            self._popen.stderr.close()
        self.close_stdin()

    def kill(self):
        if self._popen.poll() is None:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(self._popen.pid, signal.SIGKILL)
            with contextlib.suppress(subprocess.TimeoutExpired):
                self._popen.wait(5)
        self._join()


class WineEnv:
    """A private Wine prefix with its own wineserver for one test run.

    Use as a context manager; everything is torn down on exit, also when
    the body raised.
    """

    def __init__(self, windows_version=None, com_ports=None,
                 helper_exe=None, use_template=True, template_dir=None,
                 tmp_root=None):
        self.windows_version = windows_version
        self.com_ports = dict(com_ports or {})
        self.helper_exe = helper_exe
        self.use_template = use_template
        self.template_dir = template_dir or os.environ.get(
            "VANTOR_WINE_TEMPLATE",
            os.path.join(os.environ.get("XDG_CACHE_HOME",
                                        os.path.expanduser("~/.cache")),
                         "vantor_wine", "template"))
        self.wine = find_wine_tool("wine64")
        self.wineserver = find_wine_tool("wineserver")
        # A prefix is ~700 MB; a tmpfs /tmp may be too small for it.
        self.tmp_root = tmp_root or os.environ.get("VANTOR_WINE_TMP")
        self.tmpdir = None
        self.prefix = None
        self.timings = {}
        self._keeper = None
        self._drives = {}
        self._processes = []

    # -- lifecycle ---------------------------------------------------------

    def __enter__(self):
        try:
            self.start()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()

    def env(self):
        e = dict(os.environ)
        e.update(WINEPREFIX=self.prefix, WINEDEBUG="-all", WINEARCH="win64",
                 # No X server: keeps Wine from trying to open windows that
                 # nobody could see or close.
                 DISPLAY="", WAYLAND_DISPLAY="",
                 # Stops wineboot from offering to install Mono and Gecko.
                 WINEDLLOVERRIDES="mscoree,mshtml=")
        return e

    def start(self):
        check_isolated()
        for n, path in self.com_ports.items():
            self._check_com(n, path)
        if self.windows_version is not None:
            self._check_version(self.windows_version)
        self.tmpdir = tempfile.mkdtemp(prefix="vantor_wine_",
                                       dir=self.tmp_root)
        _live_envs.add(self)
        self.prefix = os.path.join(self.tmpdir, "prefix")
        t0 = time.monotonic()
        if self.use_template:
            self._ensure_template()
            subprocess.run(["cp", "-a", self.template_dir, self.prefix],
                           check=True)
        else:
            self._boot(self.prefix)
        self.timings["prefix"] = time.monotonic() - t0
        t0 = time.monotonic()
        self._write_settings()
        self._start_keeper()
        self.timings["start"] = time.monotonic() - t0

    def close(self):
        for p in self._processes:
            p.kill()
        self._processes = []
        if self.prefix and os.path.isdir(self.prefix):
            subprocess.run([self.wineserver, "-k"], env=self.env(),
                           stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
            with contextlib.suppress(subprocess.TimeoutExpired):
                subprocess.run([self.wineserver, "-w"], env=self.env(),
                               timeout=20, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
        self._stop_keeper()
        if self.tmpdir:
            shutil.rmtree(self.tmpdir, ignore_errors=True)
            self.tmpdir = None
            self.prefix = None
        _live_envs.discard(self)

    # -- configuration -----------------------------------------------------

    @staticmethod
    def _check_com(n, path):
        if not (isinstance(n, int) and 1 <= n <= 256):
            raise WineError("bad COM port number %r" % (n,))
        if not os.path.realpath(path).startswith("/dev/pts/"):
            # Anything else could be real hardware on the build machine.
            raise WineError("only pseudo terminals may be mapped: %s" % path)

    @staticmethod
    def _check_version(version):
        if version not in WINDOWS_VERSIONS:
            raise WineError("unknown Windows version %r" % version)

    def _write_settings(self):
        if self.windows_version is None and not self.com_ports:
            return
        lines = ["Windows Registry Editor Version 5.00", ""]
        if self.windows_version is not None:
            lines += [r"[HKEY_CURRENT_USER\Software\Wine]",
                      '"Version"="%s"' % self.windows_version, ""]
        lines.append(r"[HKEY_LOCAL_MACHINE\Software\Wine\Ports]")
        for n, path in sorted(self.com_ports.items()):
            lines.append('"COM%d"="%s"' % (n, path))
        lines.append("")
        regfile = os.path.join(self.tmpdir, "settings.reg")
        with open(regfile, "w", encoding="utf-8") as f:
            f.write("\r\n".join(lines))
        self._wine_tool(["reg", "import", self._unix_to_wine(regfile)])
        # The mount manager only reads the port mappings when it starts.
        self._stop_wine()

    # -- the long-lived process and the serial port clean-up ----------------

    def _start_keeper(self):
        # cmd.exe is named by its path so Wine runs it directly instead of
        # through start.exe, which would leave it outside our process.
        cmd = os.path.join(self.prefix, "drive_c", "windows", "system32",
                           "cmd.exe")
        self._keeper = subprocess.Popen(
            [self.wine, cmd, "/c", "pause"], env=self.env(),
            stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL, start_new_session=True,
            cwd=self.tmpdir)
        self._wait_for_server()
        self._hide_real_ports()

    def _wait_for_server(self):
        # reg.exe succeeding means the server, services and mount manager
        # are up and the keeper is the process holding them.
        # A host with no serial devices and no mapped pty may never get the
        # key, so there the wait is short and only proves the keeper runs.
        started = time.monotonic()
        deadline = started + 60
        nothing_to_list = not self.com_ports and not _real_serial_devices()
        while True:
            r = self._wine_tool(["reg", "query",
                                 r"HKLM\HARDWARE\DEVICEMAP\SERIALCOMM"],
                                check=False)
            listed = r.stdout.decode("utf-8", "replace").upper()
            # Waiting for the mapped ports too narrows the window in which
            # the mount manager could still be adding ports after the
            # clean-up below has run.
            if r.returncode == 0 and all(
                    re.search(r"\bCOM%d\b" % n, listed)
                    for n in self.com_ports):
                return
            if self._keeper.poll() is not None:
                raise WineError("keeper process ended early")
            if nothing_to_list and time.monotonic() - started > 5:
                return
            if time.monotonic() > deadline:
                raise WineError("mount manager did not come up")
            time.sleep(0.2)

    def _hide_real_ports(self):
        wanted = {"COM%d" % n for n in self.com_ports}
        listing = self._wine_tool(
            ["reg", "query", r"HKLM\HARDWARE\DEVICEMAP\SERIALCOMM"],
            check=False).stdout
        for line in listing.decode("utf-8", "replace").splitlines():
            m = re.match(r"\s+(\S.*?)\s+REG_SZ\s+(\S+)\s*$", line)
            if m and m.group(2).upper() not in wanted:
                self._reg("delete", r"HKLM\HARDWARE\DEVICEMAP\SERIALCOMM",
                          "/v", m.group(1), "/f")
        dosdevices = os.path.join(self.prefix, "dosdevices")
        for entry in os.listdir(dosdevices):
            path = os.path.join(dosdevices, entry)
            if not re.fullmatch(r"(com|lpt)\d+", entry, re.I):
                continue
            target = os.readlink(path) if os.path.islink(path) else ""
            if entry.upper() not in wanted or not target.startswith("/dev/pts/"):
                os.unlink(path)

    def _stop_wine(self):
        subprocess.run([self.wineserver, "-k"], env=self.env(),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run([self.wineserver, "-w"], env=self.env(),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=30)
        self._stop_keeper()

    def _stop_keeper(self):
        if self._keeper is None:
            return
        with contextlib.suppress(OSError):
            self._keeper.stdin.close()
        if self._keeper.poll() is None:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(self._keeper.pid, signal.SIGKILL)
        with contextlib.suppress(subprocess.TimeoutExpired):
            self._keeper.wait(5)
        self._keeper = None

    # -- drives ------------------------------------------------------------

    def add_drive(self, letter, folder):
        """Plug a removable drive LETTER: backed by the Unix folder."""
        folder = os.path.abspath(folder)
        self._helper("add", letter, folder)
        self._drives[letter.upper()] = folder

    def remove_drive(self, letter):
        self._helper("remove", letter)
        self._drives.pop(letter.upper(), None)

    def _helper(self, *args):
        if not self.helper_exe:
            raise WineError("WineEnv needs helper_exe (wine_drive.exe) "
                            "for drive letters")
        r = self._wine_tool([self.helper_exe] + list(args), check=False)
        if r.returncode != 0:
            raise WineError("wine_drive %s failed (%d): %s"
                            % (" ".join(args), r.returncode,
                               (r.stdout + r.stderr).decode(errors="replace")))

    # -- running programs --------------------------------------------------

    def spawn(self, exe, args=(), cwd=None, time_limit=60.0, extra_env=None):
        """Start a Windows program; returns a WineProcess.

        exe is a Unix path.  cwd is a Unix folder (reached via Z:).  The
        program is killed when time_limit seconds have passed.
        """
        if self._keeper is None:
            raise WineError("WineEnv not started")
        env = self.env()
        env.update(extra_env or {})
        popen = subprocess.Popen(
            [self.wine, os.path.abspath(exe)] + [str(a) for a in args],
            env=env, cwd=cwd or self.tmpdir, stdin=subprocess.PIPE,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            start_new_session=True)
        proc = WineProcess(popen, time_limit)
        self._processes.append(proc)
        return proc

    def run(self, exe, args=(), cwd=None, stdin=b"", time_limit=60.0):
        """Run to completion; stdin is sent and then closed."""
        p = self.spawn(exe, args, cwd=cwd, time_limit=time_limit)
        if stdin:
            p.send(stdin)
        p.close_stdin()
        try:
            code = p.wait()
        except WineTimeout:
            return RunResult(None, p.output, p.stderr, True)
        return RunResult(code, p.output, p.stderr, False)

    # -- internals ---------------------------------------------------------

    def _unix_to_wine(self, path):
        return "Z:" + os.path.abspath(path).replace("/", "\\")

    def _reg(self, *args):
        return self._wine_tool(["reg"] + list(args))

    def _wine_tool(self, argv, check=True):
        # Files, not pipes: a wineserver or service started by this call
        # inherits the handles and would hold a pipe open forever.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            rc = subprocess.run([self.wine] + argv, env=self.env(),
                                stdin=subprocess.DEVNULL, stdout=out,
                                stderr=err, cwd=self.tmpdir,
                                timeout=120).returncode
            out.seek(0)
            err.seek(0)
            r = subprocess.CompletedProcess(argv, rc, out.read(), err.read())
        if check and r.returncode != 0:
            raise WineError("%s failed (%d): %s" % (
                " ".join(argv), r.returncode,
                (r.stdout + r.stderr).decode(errors="replace")))
        return r

    def _boot(self, prefix):
        env = self.env()
        env["WINEPREFIX"] = prefix
        subprocess.run([self.wine, "wineboot", "-i"], env=env, check=True,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=300)
        subprocess.run([self.wineserver, "-k"], env=env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run([self.wineserver, "-w"], env=env, timeout=30,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def _wine_version(self):
        r = subprocess.run([self.wine, "--version"], capture_output=True)
        return r.stdout.decode().strip()

    def _ensure_template(self):
        # A copied prefix is much faster than wineboot; the stamp makes a
        # Wine upgrade rebuild it instead of reusing a stale one.
        stamp = os.path.join(self.template_dir, ".wine-version")
        version = self._wine_version()
        parent = os.path.dirname(self.template_dir)
        os.makedirs(parent, exist_ok=True)
        with open(os.path.join(parent, ".lock"), "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            with contextlib.suppress(FileNotFoundError):
                with open(stamp) as f:
                    if f.read().strip() == version:
                        return
            shutil.rmtree(self.template_dir, ignore_errors=True)
            staging = tempfile.mkdtemp(prefix="staging_", dir=parent)
            try:
                prefix = os.path.join(staging, "prefix")
                self._boot(prefix)
                with open(os.path.join(prefix, ".wine-version"), "w") as f:
                    f.write(version + "\n")
                os.rename(prefix, self.template_dir)
            finally:
                shutil.rmtree(staging, ignore_errors=True)
