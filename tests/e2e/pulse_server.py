"""A private PulseAudio server with a null sink, for tests that play sound.

    from pulse_server import PulseServer, read_capture, analyse_tone

    with PulseServer() as pulse:               # started, ready, stopped by pid
        pulse.start_capture(path)               # records what the sink plays
        subprocess.run([player], env=pulse.env) # PULSE_SERVER set for clients
        print(pulse.sink_inputs())              # parsed `pactl list sink-inputs`
        pulse.stop_capture()
    print(analyse_tone(read_capture(path)))   # freq, amplitude, dropouts...

    pulse.kill() / pulse.suspend() / pulse.resume() simulate a crashed or hung
    server.

ALSA's `default` device reaches the server only when the server is already
up when a process first loads the ALSA configuration: start the server
before the client. Every process is started here and stopped by its own pid.
Use Debian's /usr/bin/python3 (numpy is needed by the analysis only).
"""
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time

RATE = 44100
CHANNELS = 2
SINK = "nullsink"


def _stop(proc, sig=signal.SIGTERM, timeout=5.0):
    """Signals one process and reaps it, killing it after timeout seconds."""
    if proc is None or proc.poll() is not None:
        return
    try:
        proc.send_signal(sig)
        proc.wait(timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
    except ProcessLookupError:
        pass


class PulseServer:
    """PulseAudio with one 44100 Hz s16le stereo null sink, in a temp dir."""

    def __init__(self, startup_timeout=10.0, realtime=False, socket=None):
        """realtime: also run the server's main thread (client I/O) at a
        real-time priority, as its I/O thread already is; for measuring a
        client on a machine that other work keeps busy. socket: the path to
        listen on (say a killed server's, to restart it), else one in the
        server's own directory."""
        self.startup_timeout = startup_timeout
        self.realtime = realtime
        self.socket = socket
        self.dir = None
        self.server = None        # "unix:<dir>/native"
        self.proc = None
        self._capture = None
        self._capture_file = None
        self._log = None

    # -- lifetime ----------------------------------------------------------

    def start(self):
        self.dir = tempfile.mkdtemp(prefix="pulse-")
        socket = self.socket or os.path.join(self.dir, "native")
        self.server = "unix:" + socket
        server_env = dict(os.environ, HOME=self.dir, XDG_RUNTIME_DIR=self.dir,
                          XDG_CONFIG_HOME=os.path.join(self.dir, "config"))
        server_env.pop("PULSE_SERVER", None)
        self._log = open(os.path.join(self.dir, "server.log"), "wb")
        self.proc = subprocess.Popen(
            ["pulseaudio", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no", "-n",
             "--load=module-null-sink sink_name=%s rate=%d format=s16le channels=%d norewinds=1"
             % (SINK, RATE, CHANNELS),
             "--load=module-native-protocol-unix socket=%s auth-anonymous=1" % socket],
            env=server_env, stdin=subprocess.DEVNULL, stdout=self._log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + self.startup_timeout
        while True:
            if self.proc.poll() is not None:
                log = self.log()
                self.stop()
                raise RuntimeError("pulseaudio exited during start-up:\n" + log)
            if subprocess.run(["pactl", "info"], env=self.env, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL).returncode == 0:
                if self.realtime:
                    self._make_realtime()
                return self
            if time.monotonic() > deadline:
                log = self.log()
                self.stop()
                raise RuntimeError("pulseaudio not ready in %.0f s:\n%s"
                                   % (self.startup_timeout, log))
            time.sleep(0.05)

    def stop(self):
        """Stops the capture and the server, and removes the directory."""
        self.stop_capture()
        self.resume()
        _stop(self.proc)
        if self._log:
            self._log.close()
            self._log = None
        if self.dir:
            shutil.rmtree(self.dir, ignore_errors=True)
            self.dir = None

    def _make_realtime(self):
        for tid in os.listdir("/proc/%d/task" % self.proc.pid):
            try:
                if os.sched_getscheduler(int(tid)) == os.SCHED_OTHER:
                    os.sched_setscheduler(int(tid), os.SCHED_RR, os.sched_param(4))
            except OSError:
                pass  # not allowed here, or the thread ended

    def kill(self):
        """Kills the server at once (SIGKILL), as a crash would."""
        _stop(self.proc, signal.SIGKILL)

    def suspend(self):
        """Freezes the server (SIGSTOP), as a hung one would be; stop()
        resumes it before ending it."""
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGSTOP)

    def resume(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGCONT)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    # -- clients -----------------------------------------------------------

    @property
    def env(self):
        """The environment for client processes."""
        return dict(os.environ, PULSE_SERVER=self.server)

    def log(self):
        try:
            with open(os.path.join(self.dir, "server.log"), errors="replace") as f:
                return f.read()
        except (OSError, TypeError):
            return ""

    def pactl(self, *args):
        return subprocess.run(["pactl", *args], env=self.env, check=True, timeout=10,
                              stdout=subprocess.PIPE, universal_newlines=True).stdout

    def sink_inputs(self):
        """`pactl list sink-inputs` as a list of dicts: "index", the text
        fields by name, "buffer_latency_us" and "sink_latency_us" as ints, and
        "properties" as a dict."""
        inputs = []
        current = None
        for line in self.pactl("list", "sink-inputs").splitlines():
            m = re.match(r"Sink Input #(\d+)", line)
            if m:
                current = {"index": int(m.group(1)), "properties": {}}
                inputs.append(current)
                continue
            if current is None:
                continue
            m = re.match(r"\s+([\w.-]+) = \"(.*)\"$", line)
            if m:
                current["properties"][m.group(1)] = m.group(2)
                continue
            m = re.match(r"\t(\w[\w ]*): (.*)$", line)
            if m:
                current[m.group(1)] = m.group(2)
        for i in inputs:
            for key, name in (("buffer_latency_us", "Buffer Latency"),
                              ("sink_latency_us", "Sink Latency")):
                m = re.match(r"(\d+) usec", i.get(name, ""))
                i[key] = int(m.group(1)) if m else None
        return inputs

    # -- capture -----------------------------------------------------------

    def start_capture(self, path):
        """Records the sink's monitor as raw s16le stereo into path."""
        self.stop_capture()
        self._capture_file = open(path, "wb")
        self._capture = subprocess.Popen(
            ["parec", "-d", SINK + ".monitor", "--rate=%d" % RATE, "--format=s16le",
             "--channels=%d" % CHANNELS, "--raw", "--latency-msec=20"],
            env=self.env, stdin=subprocess.DEVNULL, stdout=self._capture_file,
            stderr=subprocess.DEVNULL)

    def stop_capture(self):
        if self._capture is None:
            return
        _stop(self._capture, signal.SIGINT)
        self._capture = None
        self._capture_file.close()
        self._capture_file = None


# -- analysis ---------------------------------------------------------------

def read_capture(path):
    """The raw capture as an int16 numpy array of shape (frames, 2)."""
    import numpy as np
    data = np.fromfile(path, dtype="<i2")
    return data[: len(data) // 2 * 2].reshape(-1, 2)


def analyse_tone(frames, rate=RATE, settle=0.1, tail=0.05, merge=0.05):
    """Measures a steady sine in a capture.

    The tone is the span from the first to the last sample above a tenth of
    the peak, less `settle` seconds at the start and `tail` at the end (where
    the player stops). Returns a dict: "seconds"
    (length of the tone), "freq" (Hz), "amplitude" (peak, from the RMS),
    "channels_equal", and "dropouts": the number of places where the signal
    leaves the sine recurrence x[n+1] = 2cos(w)x[n] - x[n-1] by more than 5%
    of the amplitude (gaps, repeats and jumps alike; disturbances less than
    `merge` seconds apart count once, so a gap is one dropout, not its two
    edges). "dropout_at" lists when the first ones start, in seconds."""
    import numpy as np
    result = {"seconds": 0.0, "freq": 0.0, "amplitude": 0.0,
              "channels_equal": bool(np.array_equal(frames[:, 0], frames[:, 1])),
              "dropouts": 0}
    x = frames[:, 0].astype(np.float64)
    if len(x) == 0:
        return result
    peak = np.max(np.abs(x))
    loud = np.nonzero(np.abs(x) > peak / 10)[0]
    if peak == 0 or len(loud) == 0:
        return result
    x = x[loud[0] + int(settle * rate): loud[-1] + 1 - int(tail * rate)]
    if len(x) < rate // 10:
        return result
    result["seconds"] = len(x) / rate
    result["amplitude"] = float(np.sqrt(2 * np.mean(x * x)))

    # Frequency: FFT peak refined by parabolic interpolation of the log magnitude.
    spectrum = np.abs(np.fft.rfft(x * np.hanning(len(x))))
    k = int(np.argmax(spectrum[1:])) + 1
    if 1 <= k < len(spectrum) - 1:
        a, b, c = np.log(spectrum[k - 1: k + 2] + 1e-12)
        k = k + 0.5 * (a - c) / (a - 2 * b + c)
    result["freq"] = float(k * rate / len(x))

    w = 2 * np.pi * result["freq"] / rate
    residual = x[2:] - 2 * np.cos(w) * x[1:-1] + x[:-2]
    bad = np.nonzero(np.abs(residual) > 0.05 * result["amplitude"])[0]
    firsts = bad[np.r_[True, np.diff(bad) > merge * rate]] if len(bad) else bad
    result["dropouts"] = int(len(firsts))
    result["dropout_at"] = [float(i / rate) for i in firsts[:20]]
    return result
