"""A private PulseAudio server with a null sink, for tests that play sound
(pipewire_server.py has a PipeWire one with the same interface), and
clients run as another local user.

    from pulse_server import PulseServer, read_capture, analyse_tone

    with PulseServer() as pulse:               # started, ready, stopped by pid
        pulse.start_capture(path)               # records what the sink plays
        subprocess.run([player], env=pulse.env) # PULSE_SERVER set for clients
        print(pulse.sink_inputs())              # parsed `pactl list sink-inputs`
        pulse.stop_capture()
    print(analyse_tone(read_capture(path)))   # freq, amplitude, dropouts...

    pulse.kill() / pulse.suspend() / pulse.resume() simulate a crashed or hung
    server. Its socket is open to every local user; LocalUser runs clients
    as one.

Clients reach the server through ALSA's pulse plugin as ALSA's `default`
device: `env` and `client_env` name a private top-level ALSA configuration
(ALSA_CONFIG_PATH) that makes it so, whatever the machine's own default is
(PipeWire's ALSA plugin on a GNOME desktop, or none without pulseaudio). Every process is started here and stopped by its own pid.
Use Debian's /usr/bin/python3 (numpy is needed by the analysis only).
"""
import os
import re
import shlex
import shutil
import signal
import subprocess
import tempfile
import time

RATE = 44100
CHANNELS = 2
SINK = "nullsink"

# Why the PulseAudio server cannot be used here, or None. scripts/deps.sh
# leaves pulseaudio out where installing it would remove the desktop's
# PipeWire. SYNTH_TEST_NO_PULSEAUDIO=1 makes a machine that has it behave
# as one that does not.
PULSEAUDIO_MISSING = (
    "pulseaudio is not installed (where it would remove the desktop's PipeWire "
    "it is left out): the PulseAudio-server tests are skipped"
    if not shutil.which("pulseaudio") or os.environ.get("SYNTH_TEST_NO_PULSEAUDIO") == "1"
    else None)


_alsa_pulse_config = None


def alsa_top_config(path, definitions):
    """Writes a top-level ALSA configuration (for ALSA_CONFIG_PATH) to path:
    the machine's own, then definitions, loaded after every file the
    machine's configuration loads (its conf.d, asound.conf, asoundrc), so
    that they win. Returns path; everyone may read what it writes."""
    override = path + ".override"
    with open(override, "w") as f:
        f.write(definitions)
    with open(path, "w") as f:
        f.write("</usr/share/alsa/alsa.conf>\n"
                "@hooks.1 { func load files [ \"%s\" ] errors false }\n" % override)
    for written in (path, override):
        os.chmod(written, 0o644)
    return path


def alsa_pulse_config():
    """The path of a private top-level ALSA configuration whose default
    device is the pulse plugin (which reaches PULSE_SERVER), whatever the
    machine's default. One file for the whole test process."""
    global _alsa_pulse_config
    if _alsa_pulse_config is None:
        import atexit
        folder = tempfile.mkdtemp(prefix="alsa-pulse-")
        os.chmod(folder, 0o755)
        atexit.register(shutil.rmtree, folder, True)
        _alsa_pulse_config = alsa_top_config(os.path.join(folder, "asound.conf"),
                                             "pcm.!default { type pulse }\n"
                                             "ctl.!default { type pulse }\n")
    return _alsa_pulse_config


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


class SoundServer:
    """What PulseServer and PipeWireServer share: a server speaking the
    PulseAudio protocol on a private socket, with one 44100 Hz s16le stereo
    null sink "nullsink", in a temp dir. Subclasses start the processes."""

    name = "sound server"
    prefix = "sound-"

    def __init__(self, startup_timeout=10.0, realtime=False, socket=None):
        """realtime: also run the server's main threads (client I/O) at a
        real-time priority, as its I/O threads already are; for measuring a
        client on a machine that other work keeps busy. socket: the path to
        listen on (say a killed server's, to restart it), else one in the
        server's own directory."""
        self.startup_timeout = startup_timeout
        self.realtime = realtime
        self.socket = socket
        self.dir = None
        self.server = None        # "unix:<socket>"
        self.procs = []           # the server's processes, in start order
        self._capture = None
        self._capture_file = None
        self._log = None

    # -- lifetime ----------------------------------------------------------

    def _launch(self, env):
        """Starts the processes into self.procs; returns the socket path."""
        raise NotImplementedError

    def _configure(self):
        """Runs once the socket answers; True when the sink is ready."""
        return True

    def _spawn(self, argv, env, **kwargs):
        proc = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=self._log,
                                stderr=subprocess.STDOUT, **kwargs)
        self.procs.append(proc)
        return proc

    def start(self):
        self.dir = tempfile.mkdtemp(prefix=self.prefix)
        server_env = dict(os.environ, HOME=self.dir, XDG_RUNTIME_DIR=self.dir,
                          XDG_CONFIG_HOME=os.path.join(self.dir, "config"),
                          XDG_STATE_HOME=os.path.join(self.dir, "state"),
                          XDG_DATA_HOME=os.path.join(self.dir, "data"))
        for key in ("PULSE_SERVER", "PULSE_RUNTIME_PATH", "DISPLAY", "DBUS_SESSION_BUS_ADDRESS",
                    "PIPEWIRE_REMOTE", "PIPEWIRE_RUNTIME_DIR"):
            server_env.pop(key, None)
        self._log = open(os.path.join(self.dir, "server.log"), "wb")
        try:
            socket = self._launch(server_env)
            self.server = "unix:" + socket
            deadline = time.monotonic() + self.startup_timeout
            answered = False
            while True:
                dead = [p.args[0] for p in self.procs if p.poll() is not None]
                if dead:
                    raise RuntimeError("%s exited during start-up" % ", ".join(dead))
                if not answered:
                    answered = subprocess.run(
                        ["pactl", "info"], env=self.env, stdout=subprocess.DEVNULL,
                        stderr=subprocess.DEVNULL).returncode == 0
                if answered and self._configure():
                    break
                if time.monotonic() > deadline:
                    raise RuntimeError("not ready in %.0f s" % self.startup_timeout)
                time.sleep(0.02)
        except Exception as e:
            log = self.log()
            self.stop()
            raise RuntimeError("%s: %s:\n%s" % (self.name, e, log)) from e
        # Clients of other users reach the socket, as the tests run programs
        # as an unprivileged user: the directories on its path are 0700.
        path = os.path.dirname(socket)
        while len(path) >= len(self.dir):
            os.chmod(path, 0o711)
            path = os.path.dirname(path)
        if self.realtime:
            self._make_realtime()
        return self

    def stop(self):
        """Stops the capture and the server, and removes the directory."""
        self.stop_capture()
        self.resume()
        for proc in reversed(self.procs):
            _stop(proc)
        self.procs = []
        if self._log:
            self._log.close()
            self._log = None
        if self.dir:
            shutil.rmtree(self.dir, ignore_errors=True)
            self.dir = None

    def _server_procs(self):
        """The processes that make the sound server (not its helpers)."""
        return self.procs

    def _make_realtime(self):
        for proc in self._server_procs():
            for tid in os.listdir("/proc/%d/task" % proc.pid):
                try:
                    if os.sched_getscheduler(int(tid)) == os.SCHED_OTHER:
                        os.sched_setscheduler(int(tid), os.SCHED_RR, os.sched_param(4))
                except OSError:
                    pass  # not allowed here, or the thread ended

    def kill(self):
        """Kills the server at once (SIGKILL), as a crash would."""
        for proc in self._server_procs():
            _stop(proc, signal.SIGKILL)

    def suspend(self):
        """Freezes the server (SIGSTOP), as a hung one would be; stop()
        resumes it before ending it."""
        for proc in self._server_procs():
            if proc.poll() is None:
                proc.send_signal(signal.SIGSTOP)

    def resume(self):
        for proc in self._server_procs():
            if proc.poll() is None:
                proc.send_signal(signal.SIGCONT)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    # -- clients -----------------------------------------------------------

    @property
    def client_env(self):
        """What a client's environment needs to play through the server on
        ALSA's default device: PULSE_SERVER and ALSA_CONFIG_PATH."""
        return {"PULSE_SERVER": self.server, "ALSA_CONFIG_PATH": alsa_pulse_config()}

    @property
    def env(self):
        """The environment for client processes."""
        return dict(os.environ, **self.client_env)

    def log(self):
        try:
            with open(os.path.join(self.dir, "server.log"), errors="replace") as f:
                return f.read()
        except (OSError, TypeError):
            return ""

    def pactl(self, *args):
        """Runs pactl against the server as root; returns its output.
        (Clients get PULSE_SERVER only: a root libpulse client that also had
        the server's XDG_RUNTIME_DIR would reset pulse/ to 0700.)"""
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


class PulseServer(SoundServer):
    """PulseAudio, with the null sink and the socket given on its command
    line."""

    name = "pulseaudio"
    prefix = "pulse-"

    @property
    def proc(self):
        return self.procs[0] if self.procs else None

    def _launch(self, env):
        socket = self.socket or os.path.join(self.dir, "native")
        self._spawn(
            ["pulseaudio", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no", "-n",
             "--load=module-null-sink sink_name=%s rate=%d format=s16le channels=%d norewinds=1"
             % (SINK, RATE, CHANNELS),
             "--load=module-native-protocol-unix socket=%s auth-anonymous=1" % socket], env)
        return socket


class LocalUser:
    """Runs clients as a local user: this process's own (commands as they
    are) or an unprivileged one such as "nobody", as desktop users are
    (through setpriv: no capabilities, so no real-time priority unless
    granted as to any user). The user gets a private home and runtime
    directory under `parent`, and copies of the programs it runs, which the
    build tree may keep out of its reach.

        user = LocalUser("nobody", tmp)
        subprocess.run(user.command([user.program(path), ...]),
                       env=user.env(server.env), cwd=user.home)
        Program(program=user.script(path), env=user.env({...}))
    """

    def __init__(self, name, parent):
        import pwd
        entry = pwd.getpwnam(name)
        self.name = name
        self.uid, self.gid = entry.pw_uid, entry.pw_gid
        self.own = self.uid == os.getuid()
        self.dir = os.path.join(parent, "user-" + name)
        os.mkdir(self.dir)
        os.chmod(self.dir, 0o755)
        self.home = os.path.join(self.dir, "home")
        self.runtime = os.path.join(self.dir, "run")
        for path in (self.home, self.runtime):
            os.mkdir(path, 0o700)
            os.chown(path, self.uid, self.gid)

    def program(self, path):
        """A copy of the executable at path that the user can run."""
        if self.own:
            return path
        copy = os.path.join(self.dir, os.path.basename(path))
        if not os.path.exists(copy):
            shutil.copy(path, copy)
            os.chmod(copy, 0o755)
        return copy

    def command(self, argv):
        if self.own:
            return list(argv)
        return ["setpriv", "--reuid=%d" % self.uid, "--regid=%d" % self.gid,
                "--clear-groups", "--", *argv]

    def env(self, base):
        """base with the user's HOME, XDG_RUNTIME_DIR, USER and LOGNAME."""
        if self.own:
            return dict(base)
        return dict(base, HOME=self.home, XDG_RUNTIME_DIR=self.runtime,
                    USER=self.name, LOGNAME=self.name)

    def script(self, path):
        """An executable that runs (a copy of) the program at path as the
        user, in its home, keeping its own pid: for harnesses that take one
        program path."""
        if self.own:
            return path
        script = os.path.join(self.dir, "run-" + os.path.basename(path))
        with open(script, "w") as f:
            f.write("#!/bin/sh\ncd %s && exec %s \"$@\"\n" % (
                shlex.quote(self.home),
                " ".join(shlex.quote(a) for a in self.command([self.program(path)]))))
        os.chmod(script, 0o755)
        return script


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
