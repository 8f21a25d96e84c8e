"""A private X server (Xvfb) for end-to-end tests, and xdotool against it.

    with XServer() as x:
        env = x.env()                    # os.environ plus DISPLAY
        proc = start_something(env=env)
        x.wait_for_window(pid=proc.pid)
        x.xdotool("mousemove", "100", "100")
        x.xdotool("key", "n")

Xvfb picks a free display itself (-displayfd) and writes its number once it
accepts clients. It runs in its own process group and is stopped by its
process id only; its log goes to a private temporary directory.
"""

import os
import select
import shutil
import signal
import subprocess
import tempfile
import time

XVFB = "Xvfb"
XDOTOOL = "xdotool"


class XServerError(RuntimeError):
    pass


class XServer:
    def __init__(self, screen="1024x900x24", start_timeout=10.0, extra_args=()):
        self.screen = screen
        self.extra_args = list(extra_args)  # e.g. ["-ardelay", "100", "-arinterval", "5"]
        self.start_timeout = start_timeout
        self.proc = None
        self.display = None
        self.tmpdir = None

    # -- lifecycle -----------------------------------------------------------

    def start(self):
        if shutil.which(XVFB) is None:
            raise XServerError("Xvfb is not installed (Debian package xvfb)")
        self.tmpdir = tempfile.mkdtemp(prefix="xserver-")
        log = open(os.path.join(self.tmpdir, "Xvfb.log"), "wb")
        cmd = [XVFB, "-screen", "0", self.screen, "-nolisten", "tcp", "-noreset",
               "-displayfd", "1"] + self.extra_args
        try:
            self.proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                         stderr=log, start_new_session=True)
        finally:
            log.close()
        try:
            self.display = ":" + self._read_display_number()
        except BaseException:
            self.stop()
            raise
        return self

    def _read_display_number(self):
        deadline = time.monotonic() + self.start_timeout
        out = b""
        fd = self.proc.stdout.fileno()
        while not out.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0:
                raise XServerError("Xvfb did not report a display within %.0f s: %s"
                                   % (self.start_timeout, self.log()))
            ready, _, _ = select.select([fd], [], [], left)
            if not ready:
                continue
            chunk = os.read(fd, 64)
            if not chunk:
                raise XServerError("Xvfb ended before reporting a display (status %s): %s"
                                   % (self.proc.wait(), self.log()))
            out += chunk
        number = out.decode().strip()
        if not number.isdigit():
            raise XServerError("Xvfb reported %r as its display" % number)
        return number

    def stop(self):
        """Stops the server by its pid; safe to call more than once."""
        proc, self.proc = self.proc, None
        if proc is not None:
            if proc.poll() is None:
                proc.send_signal(signal.SIGTERM)
                try:
                    proc.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()
            if proc.stdout is not None:
                proc.stdout.close()
        if self.tmpdir is not None:
            shutil.rmtree(self.tmpdir, ignore_errors=True)
            self.tmpdir = None

    def crash(self):
        """Kills the server at once (SIGKILL), as a crash would, and removes
        the lock and socket files it leaves behind."""
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        number = (self.display or ":").lstrip(":")
        if number:
            for path in ("/tmp/.X%s-lock" % number, "/tmp/.X11-unix/X%s" % number):
                try:
                    os.unlink(path)
                except OSError:
                    pass

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False

    def log(self):
        try:
            with open(os.path.join(self.tmpdir, "Xvfb.log"), errors="replace") as f:
                return f.read()[-2000:]
        except (OSError, TypeError):
            return ""

    # -- clients -------------------------------------------------------------

    def env(self, base=None):
        """The environment for a client of this server."""
        env = dict(os.environ if base is None else base)
        env["DISPLAY"] = self.display
        env.pop("XAUTHORITY", None)
        return env

    def xdotool(self, *args, timeout=10.0, check=True):
        """Runs xdotool against this server; returns its standard output."""
        if self.display is None:
            raise XServerError("the X server is not running")
        result = subprocess.run([XDOTOOL] + [str(a) for a in args], env=self.env(),
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, timeout=timeout)
        if check and result.returncode != 0:
            raise XServerError("xdotool %s failed (%d): %s"
                               % (" ".join(map(str, args)), result.returncode,
                                  result.stderr.decode(errors="replace").strip()))
        return result.stdout.decode(errors="replace")

    def windows(self, pid=None, class_name=None):
        """Ids of the visible windows, of one process (pid) or one program
        (class_name: SDL names the class after the executable) if given."""
        args = ["search", "--onlyvisible"]
        if pid is not None:
            args += ["--pid", str(pid)]
        elif class_name is not None:
            args += ["--class", "^%s$" % class_name]
        else:
            args += ["--name", ""]
        out = self.xdotool(*args, check=False)
        return [int(w) for w in out.split()]

    def wait_for_window(self, pid=None, class_name=None, timeout=10.0):
        """Waits until a visible window of pid, or of class_name, or any, exists;
        returns its id."""
        deadline = time.monotonic() + timeout
        while True:
            found = self.windows(pid, class_name)
            if found:
                return found[0]
            if time.monotonic() > deadline:
                raise XServerError("no window appeared within %.0f s" % timeout)
            time.sleep(0.05)

    def point_into(self, x=100, y=100):
        """Moves the pointer into the window at +0+0, so that it has the keyboard."""
        self.xdotool("mousemove", x, y)
