#!/usr/bin/python3
"""End to end: the window as the synthesizer's keyboard.

Runs the built program in a pseudo-terminal under a private Xvfb, with its
sound going to a private PulseAudio null sink whose monitor is captured, and
plays it with real X key events from xdotool.

    /usr/bin/python3 tests/e2e/test_window.py --program build/app/synth [unittest args]

The program may also be named by the SYNTH_PROGRAM environment variable.
"""

import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import numpy as np
import pexpect

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from xserver import XServer  # noqa: E402

RATE = 44100
HELP_LAST = "(foireuxmaismarche)"
PROMPT = "Press a corresponding number or ESC to quit"
PROGRAM = os.environ.get("SYNTH_PROGRAM")


def note_frequency(note):
    return 8.1757989 * 2.0 ** ((note + 11) / 12.0)


F440 = note_frequency(58)
F880 = note_frequency(70)
F587 = note_frequency(63)
# Key-down to the gate closing: 2000 attack + 80000 decay samples, less the
# envelope's own rounding; about 1.86 s.
GATE_OPEN_S = 81953 / RATE


# -- PulseAudio null sink and its monitor ----------------------------------------


class NullSink:
    """A private PulseAudio server with one null sink; its monitor is captured
    into memory, each chunk stamped with its arrival time."""

    def __init__(self):
        self.tmpdir = None
        self.server = None
        self.capture = None
        self._chunks = []        # (arrival time, frames received so far)
        self._data = bytearray()
        self._lock = threading.Lock()
        self._reader = None

    def start(self):
        if shutil.which("pulseaudio") is None or shutil.which("parec") is None:
            raise RuntimeError("pulseaudio and parec are needed (Debian pulseaudio pulseaudio-utils)")
        self.tmpdir = tempfile.mkdtemp(prefix="window-pulse-")
        self.socket = os.path.join(self.tmpdir, "native")
        env = self.env(self._private_env())
        log = open(os.path.join(self.tmpdir, "pulse.log"), "wb")
        try:
            self.server = subprocess.Popen(
                ["pulseaudio", "-n", "--daemonize=no", "--use-pid-file=no", "--exit-idle-time=-1",
                 "--log-target=stderr",
                 "-L", "module-null-sink sink_name=null rate=%d channels=2" % RATE,
                 "-L", "module-native-protocol-unix socket=%s auth-anonymous=1" % self.socket],
                env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=log, start_new_session=True)
        finally:
            log.close()
        deadline = time.monotonic() + 10
        while subprocess.run(["pactl", "info"], env=env, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL).returncode != 0:
            if self.server.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("PulseAudio did not start: " + self._log())
            time.sleep(0.05)
        return self

    def _private_env(self):
        env = dict(os.environ)
        for name in ("HOME", "XDG_RUNTIME_DIR", "XDG_CONFIG_HOME", "PULSE_RUNTIME_PATH",
                     "PULSE_STATE_PATH"):
            env[name] = self.tmpdir
        env.pop("DISPLAY", None)  # no X11 session properties for the server
        return env

    def env(self, base=None):
        """Environment for a client of this server."""
        env = dict(os.environ if base is None else base)
        env["PULSE_SERVER"] = "unix:" + self.socket
        return env

    def _log(self):
        try:
            with open(os.path.join(self.tmpdir, "pulse.log"), errors="replace") as f:
                return f.read()[-2000:]
        except OSError:
            return ""

    def start_capture(self, latency_msec=5):
        self.capture = subprocess.Popen(
            ["parec", "--raw", "--device=null.monitor", "--format=s16le", "--rate=%d" % RATE,
             "--channels=2", "--latency-msec=%d" % latency_msec],
            env=self.env(), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL, start_new_session=True)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        deadline = time.monotonic() + 5
        while self.frames() < RATE // 20:
            if time.monotonic() > deadline:
                raise RuntimeError("the monitor delivers no audio")
            time.sleep(0.01)

    def _read(self):
        fd = self.capture.stdout.fileno()
        while True:
            try:
                chunk = os.read(fd, 4096)
            except OSError:
                return
            now = time.monotonic()
            if not chunk:
                return
            with self._lock:
                self._data += chunk
                self._chunks.append((now, len(self._data) // 4))

    def frames(self):
        with self._lock:
            return len(self._data) // 4

    def left(self):
        """All captured frames so far, left channel, as int16."""
        with self._lock:
            n = len(self._data) // 4 * 4
            return np.frombuffer(bytes(self._data[:n]), dtype="<i2")[0::2].copy()

    def wait_frames(self, count, timeout=10):
        deadline = time.monotonic() + timeout
        while self.frames() < count:
            if time.monotonic() > deadline:
                raise RuntimeError("the monitor stopped delivering audio")
            time.sleep(0.01)

    def frame_at(self, t):
        """Capture index of the audio that reached the monitor at time t: the
        frames received by then (an underestimate by the capture latency)."""
        with self._lock:
            chunks = list(self._chunks)
        best = 0
        for when, frames in chunks:
            if when > t:
                break
            best = frames
        return best

    def time_of(self, frame):
        """Earliest arrival time that the delivery pattern allows for a frame:
        every chunk bounds the clock offset, the tightest bound is kept."""
        with self._lock:
            chunks = list(self._chunks)
        offset = min(when - frames / RATE for when, frames in chunks)
        return offset + frame / RATE

    def stop(self):
        for attr in ("capture", "server"):
            proc = getattr(self, attr)
            setattr(self, attr, None)
            if proc is None:
                continue
            if proc.poll() is None:
                proc.send_signal(signal.SIGTERM)
                try:
                    proc.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()
            if proc.stdout is not None:
                proc.stdout.close()
        if self._reader is not None:
            self._reader.join(timeout=2)
            self._reader = None
        if self.tmpdir is not None:
            shutil.rmtree(self.tmpdir, ignore_errors=True)
            self.tmpdir = None


# -- the program in a pseudo-terminal ----------------------------------------------

# After the program ends, the wrapper shell reports its status and the state
# of the terminal it leaves behind.
WRAPPER = '"$0"; status=$?; echo; stty -a; echo "STATUS=$status"'


def start_program(program, env, timeout=20):
    """Starts the program through its menus (ALSA output, the PulseAudio
    driver) up to the help lines; returns the pexpect child."""
    env = dict(env)
    env.setdefault("TERM", "dumb")
    child = pexpect.spawn("/bin/sh", ["-c", WRAPPER, program], env=env, encoding="utf-8",
                          codec_errors="replace", timeout=timeout, dimensions=(50, 200))
    try:
        child.expect_exact(PROMPT)
        child.send("1")
        child.expect_exact(PROMPT)
        drivers = re.findall(r"^(\d+) - (.*?)\r?$", child.before, re.M)
        choice = next((n for n, name in drivers if "pulse" in name.lower()), "1")
        child.send(choice)
        child.expect_exact(HELP_LAST)
    except BaseException:
        stop_child(child)
        raise
    return child


def stop_child(child):
    if child.isalive():
        child.kill(signal.SIGTERM)
        try:
            child.expect(pexpect.EOF, timeout=5)
        except (pexpect.TIMEOUT, pexpect.EOF):
            pass
    child.close(force=True)


def finish(child, timeout=10):
    """Waits for the wrapper to report; returns (status, stty -a text)."""
    child.expect(r"STATUS=(-?\d+)", timeout=timeout)
    status = int(child.match.group(1))
    stty = child.before
    child.expect(pexpect.EOF)
    return status, stty


def terminal_restored(stty):
    flags = stty.split()
    return "icanon" in flags and "echo" in flags


def drain(child, quiet=0.3):
    """Everything the program prints until it has been quiet for a while."""
    out = ""
    while child.expect([r"(?s).+", pexpect.TIMEOUT, pexpect.EOF], timeout=quiet) == 0:
        out += child.match.group(0)
    return out


# -- spectra ----------------------------------------------------------------------


def spectrum(x):
    x = np.asarray(x, dtype=float)
    x = x - x.mean()
    mag = np.abs(np.fft.rfft(x * np.hanning(len(x))))
    freqs = np.fft.rfftfreq(len(x), 1.0 / RATE)
    return freqs, mag


def level_near(freqs, mag, f, width=6.0):
    """Largest magnitude within width Hz of f, relative to the strongest."""
    band = (freqs > f - width) & (freqs < f + width)
    return mag[band].max() / mag.max()


def dominant(x):
    freqs, mag = spectrum(x)
    return freqs[int(np.argmax(mag))]


# -- tests --------------------------------------------------------------------------


class Session:
    """Xvfb, a null sink, and the program playing into it with the window open."""

    def __init__(self, program, display=True):
        self.program = program
        self.x = XServer() if display else None
        self.sink = NullSink()
        self.child = None

    def start(self):
        try:
            env = dict(os.environ)
            env.pop("SDL_VIDEODRIVER", None)
            env.pop("DISPLAY", None)
            if self.x is not None:
                self.x.start()
                env = self.x.env(env)
            self.sink.start()
            env = self.sink.env(env)
            self.sink.start_capture()
            self.child = start_program(self.program, env)
            if self.x is not None:
                self.window = self.x.wait_for_window(class_name=os.path.basename(self.program))
                self.x.point_into()
        except BaseException:
            self.stop()
            raise
        return self

    def stop(self):
        if self.child is not None:
            stop_child(self.child)
            self.child = None
        self.sink.stop()
        if self.x is not None:
            self.x.stop()

    def audio(self, start, end):
        """Left channel between two times (monotonic), once it has arrived."""
        a, b = self.sink.frame_at(start), self.sink.frame_at(start) + int((end - start) * RATE)
        self.sink.wait_frames(b)
        return self.sink.left()[a:b]


def program_or_skip(case):
    if not PROGRAM or not os.access(PROGRAM, os.X_OK):
        raise unittest.SkipTest("no program built (pass --program or set SYNTH_PROGRAM)")


class WindowPlaysNotes(unittest.TestCase):
    """One program run, played in order: drone, a held "n", "a", Escape."""

    @classmethod
    def setUpClass(cls):
        program_or_skip(cls)
        cls.s = Session(PROGRAM).start()

    @classmethod
    def tearDownClass(cls):
        cls.s.stop()

    def setUp(self):
        if self.s.child is None or not self.s.child.isalive():
            self.skipTest("the program is no longer running")

    def test_1_drone_before_any_key(self):
        now = time.monotonic()
        x = self.s.audio(now, now + 0.2)
        self.assertGreater(np.abs(x).max(), 10000, "the drone reaches the sink")
        self.assertAlmostEqual(dominant(x), F440, delta=8)

    def test_2_held_n_bends_then_sounds_880_and_587(self):
        x = self.s.x
        drain(self.s.child, quiet=0.1)
        down = time.monotonic()
        x.xdotool("keydown", "n")
        try:
            self.s.child.expect_exact("\r\nTRIG\r\n", timeout=5)
            self.assertEqual(self.s.child.before, "")
            time.sleep(max(0.0, down + GATE_OPEN_S + 0.7 - time.monotonic()))
        finally:
            x.xdotool("keyup", "n")
        self.assertEqual(drain(self.s.child), "UNTRIG\r\n",
                         "a held key gives one key-down, its key-up one release")

        # The envelope is open: both carriers bent upwards, nothing left at
        # the unbent pitches.
        bent = self.s.audio(down + 0.3, down + 0.35)
        self.assertGreater(dominant(bent), 1000)
        # Once it has closed: 880 Hz and 587 Hz at equal strength, no 440 Hz.
        closed = self.s.audio(down + GATE_OPEN_S + 0.25, down + GATE_OPEN_S + 0.55)
        freqs, mag = spectrum(closed)
        self.assertGreater(level_near(freqs, mag, F880), 0.7)
        self.assertGreater(level_near(freqs, mag, F587), 0.7)
        self.assertLess(level_near(freqs, mag, F440), 0.05)
        self.assertLess(np.abs(closed).max(), 20500)

    def test_3_a_prints_and_changes_nothing(self):
        drain(self.s.child, quiet=0.1)
        pressed = time.monotonic()
        self.s.x.xdotool("key", "a")
        self.assertEqual(drain(self.s.child, quiet=0.5), "")
        x = self.s.audio(pressed + 0.1, pressed + 0.4)
        freqs, mag = spectrum(x)
        self.assertGreater(np.abs(x).max(), 10000)
        self.assertGreater(level_near(freqs, mag, F880), 0.7)
        self.assertGreater(level_near(freqs, mag, F587), 0.7)

    def test_4_escape_ends_with_status_0_and_terminal_restored(self):
        self.s.x.xdotool("key", "Escape")
        status, stty = finish(self.s.child)
        self.assertEqual(status, 0, stty)
        self.assertTrue(terminal_restored(stty), stty)
        self.s.child = None


class EscapeWhileANoteSounds(unittest.TestCase):
    def test_escape_on_the_key_down_of_a_chord(self):
        program_or_skip(self)
        s = Session(PROGRAM).start()
        try:
            s.x.xdotool("keydown", "c")
            s.child.expect_exact("TRIG", timeout=5)
            s.x.xdotool("keydown", "Escape")
            status, stty = finish(s.child)
            s.child = None
            self.assertEqual(status, 0, stty)
            self.assertTrue(terminal_restored(stty), stty)
            self.assertNotIn("UNTRIG", stty, "Escape ends on its key-down")
        finally:
            s.stop()


class WithoutDisplay(unittest.TestCase):
    def test_console_keys_and_sound_work_without_a_window(self):
        program_or_skip(self)
        s = Session(PROGRAM, display=False).start()
        try:
            now = time.monotonic()
            x = s.audio(now, now + 0.2)
            self.assertAlmostEqual(dominant(x), F440, delta=8)
            s.child.send(".")
            status, stty = finish(s.child)
            s.child = None
            self.assertEqual(status, 0, stty)
            self.assertTrue(terminal_restored(stty), stty)
        finally:
            s.stop()


def main():
    global PROGRAM
    args = list(sys.argv)
    if "--program" in args:
        i = args.index("--program")
        PROGRAM = os.path.abspath(args[i + 1])
        del args[i:i + 2]
    unittest.main(argv=args, verbosity=2)


if __name__ == "__main__":
    main()
