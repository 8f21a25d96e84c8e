#!/usr/bin/python3
"""Key-to-sound latency of the window keys.

Plays note keys into the program's window with xdotool under a private Xvfb
and captures a PulseAudio null sink's monitor through a pipe, stamping every
chunk with its arrival time. For each key-down it finds the first sample
that leaves the steady sound before it (the previous pair of notes, fitted
as sines) and reports:

  key -> TRIG      from starting xdotool (keydown, no delay) to "TRIG" read
                   from the terminal: X server, SDL, the event pump, the pty
  key -> monitor   from starting xdotool to the first changed sample arriving
                   from the monitor (the earliest arrival that the capture's
                   chunk timing allows)
  TRIG -> monitor  the sound path alone: the next stream callback, the
                   output buffers, the null sink and the capture

The key times include xdotool's own start-up (a few ms), so they are upper
bounds; the capture's own latency (5 ms fragments requested; PulseAudio's
report is printed) is included in the monitor times.

    SYNTH_PROGRAM=build/app/synth /usr/bin/python3 bench/key_latency.py [trials]

Needs Xvfb, xdotool, pulseaudio, parec and numpy (Debian's /usr/bin/python3).
"""
import os
import re
import signal
import subprocess
import sys
import threading
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
from program import Program  # noqa: E402
from pulse_server import SINK, PulseServer  # noqa: E402
from xserver import XServer  # noqa: E402

RATE = 44100
HOLD_S = 2.0          # past the gate closing (about 1.86 s): steady sound after
NOTES = {"z": (58, 58), "x": (63, 59), "c": (65, 60), "v": (66, 61), "b": (68, 62),
         "n": (70, 63)}


def note_frequency(note):
    return 8.1757989 * 2.0 ** ((note + 11) / 12.0)


class LiveCapture:
    """parec on the sink's monitor, read as it arrives."""

    def __init__(self, env, latency_msec=5):
        self.proc = subprocess.Popen(
            ["parec", "-d", SINK + ".monitor", "--raw", "--format=s16le", "--rate=%d" % RATE,
             "--channels=2", "--latency-msec=%d" % latency_msec],
            env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.data = bytearray()
        self.chunks = []     # (arrival time, frames received by then)
        self.lock = threading.Lock()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        fd = self.proc.stdout.fileno()
        while True:
            chunk = os.read(fd, 1024)
            now = time.monotonic()
            if not chunk:
                return
            with self.lock:
                self.data += chunk
                self.chunks.append((now, len(self.data) // 4))

    def frames(self):
        with self.lock:
            return len(self.data) // 4

    def frame_at(self, t):
        with self.lock:
            got = [frames for when, frames in self.chunks if when <= t]
        return got[-1] if got else 0

    def left(self):
        with self.lock:
            n = len(self.data) // 4 * 4
            return np.frombuffer(bytes(self.data[:n]), dtype="<i2")[0::2].astype(float)

    def arrival(self, frame, around):
        """Earliest arrival time of a frame that the chunks' timing allows,
        from the chunks within 2 s of time `around` (clock drift is nil)."""
        with self.lock:
            chunks = [(w, f) for w, f in self.chunks if abs(w - around) < 2.0]
        offset = min(w - f / RATE for w, f in chunks)
        return offset + frame / RATE

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.reader.join(2)
        self.proc.stdout.close()


def first_change(x, start, freqs, block=128, threshold=1500.0):
    """Index of the first sample from `start` on that leaves a steady sum of
    sines at freqs, fitted on the samples just before it, for good (the
    following 1024 samples stay off the fit); and the indices of transient
    departures passed over on the way (dropouts)."""
    def basis(n0, n):
        t = (np.arange(n0, n0 + n)) / RATE
        cols = [np.ones(n)]
        for f in set(round(f, 6) for f in freqs):
            cols += [np.sin(2 * np.pi * f * t), np.cos(2 * np.pi * f * t)]
        return np.stack(cols, axis=1)

    fit_len, check = 1024, 1024
    transients = []
    i = start
    while i + block + check <= len(x):
        a = basis(i - fit_len, fit_len)
        coef, *_ = np.linalg.lstsq(a, x[i - fit_len:i], rcond=None)
        residual = x[i:i + block] - basis(i, block) @ coef
        bad = np.nonzero(np.abs(residual) > threshold)[0]
        if len(bad):
            c = i + int(bad[0])
            after = x[c + 256:c + 256 + check] - basis(c + 256, check) @ coef
            if np.sqrt(np.mean(after ** 2)) > threshold:
                return c, transients
            transients.append(c)
            i = c + 256 + check + fit_len
            continue
        i += block
    return None, transients


def capture_latency_us(pulse):
    """Buffer + source latency of the capture (parec), as PulseAudio reports."""
    text = pulse.pactl("list", "source-outputs")
    buf = re.search(r"Buffer Latency: (\d+) usec", text)
    src = re.search(r"Source Latency: (\d+) usec", text)
    return (int(buf.group(1)) if buf else 0) + (int(src.group(1)) if src else 0)


def measure(trials):
    x_server = XServer()
    pulse = PulseServer()
    capture = synth = None
    results = []
    try:
        x_server.start()
        pulse.start()
        capture = LiveCapture(pulse.env)
        synth = Program(env=dict(pulse.client_env, DISPLAY=x_server.display, SDL_VIDEODRIVER=None),
                        timeout=20).start()
        synth.expect_patch()
        synth.start_alsa_default()
        x_server.wait_for_window(pid=synth.pid)
        x_server.point_into()
        time.sleep(0.5)
        keys = ["n", "x"] * ((trials + 1) // 2)
        steady = NOTES["z"]     # the drone: both carriers at note 58
        monitor_us = []
        dropouts = 0
        for key in keys[:trials]:
            before = time.monotonic()
            xdo = subprocess.Popen(["xdotool", "keydown", "--delay", "0", key],
                                   env=x_server.env(), stdin=subprocess.DEVNULL)
            synth.child.expect_exact("TRIG", timeout=5)
            trig = time.monotonic()
            xdo.wait(10)
            sent = time.monotonic()
            time.sleep(HOLD_S)
            x_server.xdotool("keyup", key)
            synth.child.expect_exact("UNTRIG", timeout=5)
            monitor_us.append(capture_latency_us(pulse))
            time.sleep(0.5)

            x = capture.left()
            start = max(2048, capture.frame_at(before) - int(0.05 * RATE))
            change, transients = first_change(x, start, [note_frequency(n) for n in steady])
            dropouts += len(transients)
            if change is None:
                raise RuntimeError("no change found after key %r" % key)
            heard = capture.arrival(change, trig)
            results.append((key, sent - before, trig - before, heard - before, heard - trig))
            steady = NOTES[key]
        sink_inputs = pulse.sink_inputs()
        synth.send(".")
        synth.wait_exit()
    finally:
        if synth is not None:
            synth.close()
        if capture is not None:
            capture.stop()
        pulse.stop()
        x_server.stop()
    return results, monitor_us, sink_inputs, dropouts


def main():
    trials = int(sys.argv[1]) if len(sys.argv) > 1 else 8
    results, monitor_us, sink_inputs, dropouts = measure(trials)
    monitor_ms = np.median(monitor_us) / 1000.0
    print("key  xdotool run  key->TRIG  key->monitor  TRIG->monitor   (ms)")
    for key, xdo, trig, heard, audio in results:
        print("%-4s %11.1f  %9.1f  %12.1f  %13.1f" % (key, xdo * 1e3, trig * 1e3, heard * 1e3,
                                                    audio * 1e3))
    print()

    def line(what, values):
        v = np.array(values) * 1e3
        print("%-15s median %5.1f ms  (min %5.1f, max %5.1f)" % (what, np.median(v), v.min(), v.max()))

    line("key -> TRIG", [r[2] for r in results])
    line("key -> monitor", [r[3] for r in results])
    line("TRIG -> monitor", [r[4] for r in results])
    print("capture's own latency as PulseAudio reports it (buffer + source): %.1f ms; "
          "parec asked for 5 ms fragments" % monitor_ms)
    print("transient departures from the steady sound before a change (dropouts): %d" % dropouts)
    for i in sink_inputs:
        print("program's stream at the sink: buffer latency %s us, sink latency %s us"
              % (i.get("buffer_latency_us"), i.get("sink_latency_us")))


if __name__ == "__main__":
    main()
