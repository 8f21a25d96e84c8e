"""PipeWire's own ALSA plugin, the route Debian's GNOME desktop plays ALSA
through (package pipewire-alsa), for a test's clients only: the machine's
ALSA configuration is left as it is.

    route = PipeWireAlsa()                   # fetched and unpacked once
    if route.missing: skip(route.missing)
    env = route.env(server, base_env)        # ALSA's default is the plugin

The package is fetched with `apt-get download` into a cache directory
(SYNTH_TEST_CACHE, which the build sets to one in the build tree) and unpacked
with `dpkg-deb -x`; a private top-level ALSA configuration (ALSA_CONFIG_PATH,
see pulse_server.alsa_top_config) makes the unpacked plugin the default device,
connected to the given PipeWireServer's socket.
"""
import glob
import os
import subprocess
import tempfile

from pulse_server import alsa_top_config


class PipeWireAlsa:
    def __init__(self, cache_dir=None):
        cache_dir = cache_dir or os.environ.get("SYNTH_TEST_CACHE") or os.path.join(
            tempfile.gettempdir(), "synth-test-cache")
        self.dir = os.path.join(os.path.abspath(cache_dir), "pipewire-alsa")
        self.missing = None     # why the route cannot be used, or None
        self.lib_dir = None
        self.conf_d = None
        try:
            self._unpack()
        except (OSError, subprocess.SubprocessError) as e:
            self.missing = "PipeWire's ALSA plugin could not be fetched (%s)" % e

    def _unpack(self):
        root = os.path.join(self.dir, "root")
        libs = glob.glob(os.path.join(root, "usr/lib/*/alsa-lib/libasound_module_pcm_pipewire.so"))
        if not libs:
            os.makedirs(self.dir, exist_ok=True)
            for stale in glob.glob(os.path.join(self.dir, "*.deb")):
                os.remove(stale)
            subprocess.run(["apt-get", "download", "pipewire-alsa"], cwd=self.dir, check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=120)
            debs = glob.glob(os.path.join(self.dir, "pipewire-alsa_*.deb"))
            if not debs:
                raise OSError("no package downloaded")
            subprocess.run(["dpkg-deb", "-x", debs[0], root], check=True, timeout=60)
            libs = glob.glob(os.path.join(root, "usr/lib/*/alsa-lib/libasound_module_pcm_pipewire.so"))
            if not libs:
                raise OSError("the package holds no plugin")
        # Clients of other users load the plugin too.
        for path in [self.dir] + [os.path.join(d, n) for d, dirs, files in os.walk(self.dir)
                                  for n in dirs + files]:
            if not os.path.islink(path):
                os.chmod(path, 0o755 if os.path.isdir(path) else 0o644)
        self.lib_dir = os.path.dirname(libs[0])
        self.conf_d = os.path.join(root, "usr/share/alsa/alsa.conf.d")

    def config(self, socket_path):
        """Writes the private top-level ALSA configuration for a server's
        socket; returns its path."""
        definitions = "<%s>\n" % os.path.join(self.conf_d, "50-pipewire.conf")
        for kind in ("pcm", "ctl"):
            definitions += ('%s_type.pipewire { lib "%s" }\n'
                            % (kind, os.path.join(self.lib_dir, "libasound_module_%s_pipewire.so" % kind)))
        definitions += ('defaults.pipewire.server "%s"\n'
                        'pcm.!default { type pipewire server "%s" playback_node "-1" capture_node "-1" }\n'
                        'ctl.!default { type pipewire server "%s" }\n'
                        % (socket_path, socket_path, socket_path))
        return alsa_top_config(os.path.join(self.dir, "asound-%d.conf" % abs(hash(socket_path))),
                               definitions)

    def env(self, server, base):
        """base with ALSA's default device the plugin, on server's socket
        (a PipeWireServer), and PULSE_SERVER None (no PulseAudio server)."""
        socket = os.path.join(server.dir, "pipewire-0")
        os.chmod(socket, 0o777)   # clients of other users too, as on pipewire-pulse's
        return dict(base, ALSA_CONFIG_PATH=self.config(socket), PULSE_SERVER=None)
