#!/usr/bin/python3
"""End to end: the window as the synthesizer's keyboard.

Runs the built program in a pseudo-terminal with its window on a private
Xvfb and its sound on a private PulseAudio null sink whose monitor is
captured, and plays it with real X key events from xdotool.

    SYNTH_PROGRAM=build/app/synth /usr/bin/python3 tests/e2e/test_window.py
    /usr/bin/python3 tests/e2e/test_window.py --program build/app/synth [unittest args]
"""
import os
import signal
import sys
import time
import unittest

import numpy as np
import pexpect

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pipewire_server import server_on_hand  # noqa: E402
from program import Program, foreign_lines, program_path  # noqa: E402
from xserver import XServer  # noqa: E402

if "--program" in sys.argv:
    _i = sys.argv.index("--program")
    os.environ["SYNTH_PROGRAM"] = os.path.abspath(sys.argv[_i + 1])
    del sys.argv[_i:_i + 2]

RATE = 44100


def note_frequency(note):
    return 8.1757989 * 2.0 ** ((note + 11) / 12.0)


F440 = note_frequency(58)
F880 = note_frequency(70)
F587 = note_frequency(63)
# Trigger to the gate closing: 2000 attack and 80000 decay samples, less the
# envelope clock's rounding; about 1.86 s.
GATE_OPEN_S = 81953 / RATE
FAST_REPEAT = ("-ardelay", "100", "-arinterval", "5")


class WindowSession:
    """Xvfb, a null sink with its monitor captured, and the program playing
    into it through ALSA's default device, its window open and under the
    pointer (no window manager: the window at +0+0 has the keyboard)."""

    def __init__(self, display=True, x_args=()):
        self.x = XServer(extra_args=x_args) if display else None
        self.pulse = server_on_hand()
        self.synth = None
        self.capture = None
        self.window = None

    def start(self):
        try:
            env = {"SDL_VIDEODRIVER": None, "DISPLAY": None}
            if self.x is not None:
                self.x.start()
                env["DISPLAY"] = self.x.display
            self.pulse.start()
            env.update(self.pulse.client_env)
            self.capture = os.path.join(self.pulse.dir, "monitor.raw")
            self.pulse.start_capture(self.capture)
            self.synth = Program(env=env, timeout=20).start()
            self.synth.expect_patch()
            self.synth.start_alsa_default()
            if self.x is not None:
                self.window = self.x.wait_for_window(pid=self.synth.pid)
                self.x.point_into()
        except BaseException:
            self.stop()
            raise
        return self

    def stop(self):
        if self.synth is not None:
            self.synth.close()
        self.pulse.stop()
        if self.x is not None:
            self.x.stop()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def key(self, action, key):
        """xdotool key/keydown/keyup; returns the capture's frame count just
        before the event was sent."""
        frame = self.frames()
        self.x.xdotool(action, key)
        return frame

    def frames(self):
        """Frames captured so far."""
        try:
            return os.path.getsize(self.capture) // 4
        except OSError:
            return 0

    def audio(self, first, seconds, timeout=10):
        """Left channel of the capture from frame `first` on, once there."""
        count = int(seconds * RATE)
        deadline = time.monotonic() + timeout
        while self.frames() < first + count:
            if time.monotonic() > deadline:
                raise AssertionError("the monitor stopped delivering audio")
            time.sleep(0.02)
        data = np.fromfile(self.capture, dtype="<i2", count=2 * count, offset=4 * first)
        return data[0::2]

    def output(self, quiet=0.3):
        """What the program prints until it has been quiet for `quiet` s."""
        out = ""
        child = self.synth.child
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


def pitch_track(x, size=2048, hop=220):
    """[(time in s, frequency of the strongest component)], window by window."""
    x = np.asarray(x, dtype=float)
    window = np.hanning(size)
    track = []
    for start in range(0, len(x) - size, hop):
        mag = np.abs(np.fft.rfft(x[start:start + size] * window)) + 1e-9
        k = min(max(int(np.argmax(mag)), 1), len(mag) - 2)
        a, b, c = np.log(mag[k - 1:k + 2])
        shift = 0.5 * (a - c) / (a - 2 * b + c) if a - 2 * b + c != 0 else 0.0
        track.append(((start + size / 2) / RATE, (k + shift) * RATE / size))
    return track


def blocked_signals(pid):
    """{thread id: set of signal numbers it blocks}, for every thread but the main one."""
    masks = {}
    for tid in os.listdir("/proc/%d/task" % pid):
        if int(tid) == pid:
            continue
        try:
            with open("/proc/%d/task/%s/status" % (pid, tid)) as f:
                line = next(l for l in f if l.startswith("SigBlk:"))
        except (OSError, StopIteration):
            continue  # the thread ended
        bits = int(line.split()[1], 16)
        masks[int(tid)] = {n for n in range(1, 65) if bits >> (n - 1) & 1}
    return masks


# -- tests ------------------------------------------------------------------------

have_program = os.access(program_path(), os.X_OK)
skip_reason = "set SYNTH_PROGRAM (or --program) to the built program"


@unittest.skipUnless(have_program, skip_reason)
class WindowPlaysNotes(unittest.TestCase):
    """One program run, played in order: the drone, held keys, a held "n", "a",
    Escape."""

    @classmethod
    def setUpClass(cls):
        # The server repeats a held key every 5 ms after 100 ms (rather than
        # every 40 ms after 660 ms), so that a hold is many repeats long.
        cls.s = WindowSession(x_args=FAST_REPEAT).start()

    @classmethod
    def tearDownClass(cls):
        cls.s.stop()

    def setUp(self):
        if not self.s.synth.child.isalive():
            self.skipTest("the program is no longer running")

    def test_1_drone_before_any_key(self):
        x = self.s.audio(self.s.frames(), 0.2)
        self.assertGreater(np.abs(x).max(), 10000, "the drone reaches the sink")
        self.assertAlmostEqual(dominant(x), F440, delta=8)

    def test_1_window_is_640_by_800_and_titled(self):
        geometry = self.s.x.xdotool("getwindowgeometry", self.s.window)
        self.assertIn("Geometry: 640x800", geometry)
        self.assertEqual(self.s.x.xdotool("getwindowname", self.s.window).strip(), "synth")

    def test_1_signals_reach_the_main_thread_only(self):
        masks = blocked_signals(self.s.synth.pid)
        self.assertTrue(masks, "the stream runs on a thread of its own")
        handled = {signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT, signal.SIGTSTP,
                   signal.SIGCONT, signal.SIGUSR1, signal.SIGALRM, signal.SIGPIPE}
        for tid, blocked in masks.items():
            self.assertLessEqual(handled, blocked, "thread %d" % tid)

    def test_2_every_hold_gives_one_key_down_and_one_key_up(self):
        # Each auto-repeat of a held key that reached the program would
        # release and re-trigger the envelope.
        for key in ("x", "b"):
            self.s.output(quiet=0.1)
            self.s.key("keydown", key)
            time.sleep(1.5)
            self.s.key("keyup", key)
            self.assertEqual(self.s.output(), "\r\nTRIG\r\nUNTRIG\r\n", key)

    def test_3_held_n_bends_then_sounds_880_and_587(self):
        self.s.output(quiet=0.1)
        down = time.monotonic()
        start = self.s.key("keydown", "n")
        try:
            self.s.synth.child.expect_exact("\r\nTRIG\r\n", timeout=5)
            self.assertEqual(self.s.synth.child.before, "")
            time.sleep(max(0.0, down + GATE_OPEN_S + 0.7 - time.monotonic()))
        finally:
            self.s.key("keyup", "n")
        self.assertEqual(self.s.output(), "UNTRIG\r\n",
                         "a held key gives one key-down, its key-up one release")

        # The envelope is open: both carriers bent upwards (level about 0.85),
        # nothing at the unbent pitches.
        bent = self.s.audio(start + int(0.3 * RATE), 0.05)
        self.assertGreater(dominant(bent), 1000)
        # Once it has closed: 880 Hz and 587 Hz at equal strength, no 440 Hz.
        closed = self.s.audio(start + int((GATE_OPEN_S + 0.25) * RATE), 0.3)
        freqs, mag = spectrum(closed)
        self.assertGreater(level_near(freqs, mag, F880), 0.7)
        self.assertGreater(level_near(freqs, mag, F587), 0.7)
        self.assertLess(level_near(freqs, mag, F440), 0.05)
        self.assertLess(np.abs(closed).max(), 20500)

    def test_4_a_prints_and_changes_nothing(self):
        self.s.output(quiet=0.1)
        start = self.s.key("key", "a")
        self.assertEqual(self.s.output(quiet=0.5), "")
        freqs, mag = spectrum(self.s.audio(start, 0.4))
        self.assertGreater(level_near(freqs, mag, F880), 0.7)
        self.assertGreater(level_near(freqs, mag, F587), 0.7)

    def test_4b_envelope_off_once_attack_release_and_end_are_reached(self):
        # Attack -1590 and decay 2000: E = 410, and attack + releaseTime + E
        # = 320 cuts the decay (from level 0.205) off at clock 320, 64000
        # samples after the trigger, where it would otherwise run to 410.
        self.s.synth.send(";" * 16 + ":" * 16)
        for _ in range(32):
            block = self.s.synth.status_block()
        self.assertEqual(block[5], "VCA [-1590.000000][2000.000000][0.000000] ")
        self.s.output(quiet=0.1)
        start = self.s.key("keydown", "z")  # 440 Hz on both carriers
        try:
            track = pitch_track(self.s.audio(start, 3.0, timeout=15))
        finally:
            self.s.key("keyup", "z")
        self.assertEqual(self.s.output(), "\r\nTRIG\r\nUNTRIG\r\n")
        bent = next(t for t, f in track if 500 < f < 560)  # 440 x 1.205 at the trigger
        off = next(t for t, f in track if t > bent and f < 442)
        self.assertAlmostEqual(off - bent, 64000 / RATE, delta=0.1,
                               msg=[(round(t, 3), round(f, 1)) for t, f in track[::10]])

    def test_5_escape_ends_with_status_0_and_terminal_restored(self):
        self.s.key("key", "Escape")
        self.assertEqual(self.s.synth.wait_exit(), (0, True))
        self.assertEqual(foreign_lines(self.s.synth.transcript), [])


@unittest.skipUnless(have_program, skip_reason)
class EscapeWhileANoteSounds(unittest.TestCase):
    def test_escape_key_down_ends_at_once_and_cleanly(self):
        with WindowSession() as s:
            s.key("keydown", "c")
            s.synth.child.expect_exact("\r\nTRIG\r\n", timeout=5)
            s.key("keydown", "Escape")
            self.assertEqual(s.synth.wait_exit(), (0, True))
            self.assertNotIn("UNTRIG", s.synth.transcript, "ends on Escape's key-down")
            self.assertEqual(foreign_lines(s.synth.transcript), [])


@unittest.skipUnless(have_program, skip_reason)
class XConnectionLost(unittest.TestCase):
    def test_drone_and_console_go_on_without_the_window(self):
        for how in ("Xvfb killed",) * 3 + ("xdotool windowkill",) * 2:
            with self.subTest(how=how), WindowSession() as s:
                time.sleep(0.2)
                if how == "Xvfb killed":
                    s.x.crash()
                else:
                    s.x.xdotool("windowkill", s.window)
                x = s.audio(s.frames() + int(0.5 * RATE), 0.2)
                self.assertGreater(np.abs(x).max(), 10000)
                self.assertAlmostEqual(dominant(x), F440, delta=8)
                s.synth.send("e")
                self.assertTrue(s.synth.status_block()[2].startswith("Freq [0.500] "))
                s.synth.send(".")
                s.synth.status_block()
                self.assertEqual(s.synth.wait_exit(), (0, True))
                self.assertEqual(foreign_lines(s.synth.transcript), [])


    def test_exit_does_not_wait_on_a_hung_x_server(self):
        for _ in range(3):
            with WindowSession() as s:
                s.x.proc.send_signal(signal.SIGSTOP)
                self.addCleanup(s.x.proc.send_signal, signal.SIGCONT)
                s.synth.send(".")
                s.synth.status_block()
                self.assertEqual(s.synth.wait_exit(timeout=5), (0, True))
                self.assertEqual(foreign_lines(s.synth.transcript), [])
                s.x.proc.send_signal(signal.SIGCONT)


@unittest.skipUnless(have_program, skip_reason)
class WithoutDisplay(unittest.TestCase):
    def test_sound_and_console_keys_work_without_a_window(self):
        with WindowSession(display=False) as s:
            x = s.audio(s.frames(), 0.2)
            self.assertGreater(np.abs(x).max(), 10000)
            self.assertAlmostEqual(dominant(x), F440, delta=8)
            s.synth.send("e")  # frequency LFO up by 0.5
            self.assertTrue(s.synth.status_block()[2].startswith("Freq [0.500] "))
            s.synth.send(".")
            s.synth.status_block()
            self.assertEqual(s.synth.wait_exit(), (0, True))
            self.assertEqual(foreign_lines(s.synth.transcript), [])


if __name__ == "__main__":
    unittest.main(verbosity=2)
