"""A private headless PipeWire with a null sink, as on a Debian desktop:
pipewire, WirePlumber and pipewire-pulse as child processes on a private
session bus, with the PulseAudio interface of PulseServer.

    from pipewire_server import SERVERS, PipeWireServer

    with PipeWireServer() as server:        # as PulseServer
        subprocess.run([player], env=server.env)
    for kind, Server in SERVERS.items():    # "pulseaudio" (where installed), "pipewire"
        ...
    with server_on_hand() as server:        # PulseAudio, else PipeWire

The graph runs at 44100 Hz only, so that the null sink's monitor carries
exactly what a 44100 Hz client plays. Clients reach the server through
PULSE_SERVER (the program: ALSA's default device, the pulse plugin). No
device monitors: the machine's own sound cards are left alone.
Use Debian's /usr/bin/python3.
"""
import os
import socket
import sys
import time

from pulse_server import CHANNELS, PULSEAUDIO_MISSING, RATE, SINK, PulseServer, SoundServer

_PIPEWIRE_CONF = """\
context.properties = {
    default.clock.rate = %d
    default.clock.allowed-rates = [ %d ]
}
""" % (RATE, RATE)

_NO_MONITORS = """\
alsa_monitor.enabled = false
v4l2_monitor.enabled = false
libcamera_monitor.enabled = false
"""


def _accepts(path):
    """Whether a unix socket at path takes connections."""
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        try:
            s.connect(path)
            return True
        except OSError:
            return False


def _write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)


class PipeWireServer(SoundServer):
    """pipewire + wireplumber + pipewire-pulse, with a dbus-daemon session
    bus of their own (WirePlumber exits without one). kill(), suspend() and
    resume() act on the three together."""

    name = "pipewire"
    prefix = "pipewire-"

    def _launch(self, env):
        config = env["XDG_CONFIG_HOME"]
        _write(os.path.join(config, "pipewire", "pipewire.conf.d", "44100.conf"),
               _PIPEWIRE_CONF)
        _write(os.path.join(config, "wireplumber", "main.lua.d", "51-no-monitors.lua"),
               _NO_MONITORS)
        _write(os.path.join(config, "wireplumber", "bluetooth.lua.d", "51-no-monitor.lua"),
               "bluez_monitor.enabled = false\n")

        read, write = os.pipe()
        try:
            self._spawn(["dbus-daemon", "--session",
                         "--address=unix:path=%s" % os.path.join(self.dir, "bus"),
                         "--nofork", "--nopidfile", "--print-address=%d" % write],
                        env, pass_fds=(write,))
            os.close(write)
            write = None
            address = b""
            while not address.endswith(b"\n"):
                chunk = os.read(read, 4096)
                if not chunk:
                    raise RuntimeError("dbus-daemon gave no address")
                address += chunk
        finally:
            os.close(read)
            if write is not None:
                os.close(write)
        env = dict(env, DBUS_SESSION_BUS_ADDRESS=address.decode().strip())
        # WirePlumber and pipewire-pulse give up when PipeWire is not there.
        pipewire = self._spawn(["pipewire"], env)
        deadline = time.monotonic() + self.startup_timeout
        while not _accepts(os.path.join(self.dir, "pipewire-0")):
            if pipewire.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("pipewire did not start")
            time.sleep(0.01)
        for program in ("wireplumber", "pipewire-pulse"):
            self._spawn([program], env)
        self._sink_loaded = False
        return os.path.join(self.dir, "pulse", "native")

    def _configure(self):
        if not self._sink_loaded:
            self.pactl("load-module", "module-null-sink", "sink_name=" + SINK,
                       "rate=%d" % RATE, "channels=%d" % CHANNELS)
            self._sink_loaded = True
        # WirePlumber makes the new sink the default a moment later.
        return self.pactl("get-default-sink").strip() == SINK

    def _server_procs(self):
        return self.procs[1:]


SERVERS = {"pulseaudio": PulseServer, "pipewire": PipeWireServer}
if PULSEAUDIO_MISSING:
    print(PULSEAUDIO_MISSING, file=sys.stderr)
    del SERVERS["pulseaudio"]


def server_on_hand(**kwargs):
    """PulseAudio where it is installed, else PipeWire: for tests that need a
    server, not a given one."""
    return PipeWireServer(**kwargs) if PULSEAUDIO_MISSING else PulseServer(**kwargs)
