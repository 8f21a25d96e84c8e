"""PipeWire's own ALSA plugin (ALSA device "pipewire") for a client of a
private PipeWire server, without installing pipewire-alsa machine-wide
(installing it would make PipeWire the machine's default ALSA device).

The Debian package is fetched with `apt-get download` into a directory of
the build tree and unpacked there once; a private ALSA configuration names
the plugin's library by path and defines the "pipewire" device, added after
the system's own files, so that the other devices stay as they are.

    alsa = PipeWireAlsa(cache_dir, tmp_dir)   # fetches once, unpacks into tmp_dir
    env = alsa.env(base_env, server_dir)      # ALSA device "pipewire" reaches it

pipewire_jack_env() does the same for PipeWire's JACK library (pw-jack).

Also a command line: `python3 pipewire_alsa.py DIR` prints the configuration
file's path (fetching when needed), for shell scripts.
"""
import glob
import os
import subprocess
import sys

PACKAGE = "pipewire-alsa"
SYSTEM_CONFIG = "/usr/share/alsa/alsa.conf"


def unpack(package, cache_dir, root):
    """Fetches a Debian package into cache_dir (once) and unpacks it under
    root, installing nothing. Everyone may read what is unpacked."""
    os.makedirs(cache_dir, exist_ok=True)
    debs = glob.glob(os.path.join(cache_dir, package + "_*.deb"))
    if not debs:
        subprocess.run(["apt-get", "download", "-q", package], cwd=cache_dir, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        debs = glob.glob(os.path.join(cache_dir, package + "_*.deb"))
    subprocess.run(["dpkg-deb", "-x", debs[0], root], check=True)
    for top, dirs, _ in os.walk(root):
        for d in dirs:
            os.chmod(os.path.join(top, d), 0o755)


def open_native_socket(server_dir):
    """Lets every user connect to the private server's native socket (the
    tests run clients as an unprivileged user)."""
    os.chmod(os.path.join(server_dir, "pipewire-0"), 0o777)


def pipewire_jack_env(base, cache_dir, server_dir, unpack_dir=None):
    """base for a JACK client of the PipeWire server whose socket is in
    server_dir, through PipeWire's libjack (pipewire-jack, fetched into
    cache_dir and unpacked under unpack_dir, by default cache_dir, as pw-jack
    does with the installed one)."""
    root = os.path.join(os.path.abspath(unpack_dir or cache_dir), "jack-root")
    found = glob.glob(os.path.join(root, "usr/lib/*/pipewire-0.3/jack"))
    if not found:
        unpack("pipewire-jack", os.path.abspath(cache_dir), root)
        found = glob.glob(os.path.join(root, "usr/lib/*/pipewire-0.3/jack"))
    open_native_socket(server_dir)
    return dict(base, LD_LIBRARY_PATH=found[0], PIPEWIRE_RUNTIME_DIR=server_dir)


class PipeWireAlsa:
    def __init__(self, cache_dir, unpack_dir=None):
        """Fetches the package into cache_dir (once) and unpacks it into
        unpack_dir (by default cache_dir): a directory that the users who
        run the clients can read."""
        self.cache = os.path.abspath(cache_dir)
        self.dir = os.path.abspath(unpack_dir or cache_dir)
        self.root = os.path.join(self.dir, "root")
        self.config = os.path.join(self.dir, "pipewire-alsa.conf")
        if not os.path.exists(self.config):
            unpack(PACKAGE, self.cache, self.root)
            self._write_config()

    def _library(self, kind):
        found = glob.glob(os.path.join(self.root, "usr/lib/*/alsa-lib/libasound_module_%s_pipewire.so" % kind))
        if not found:
            raise RuntimeError("%s has no %s plugin" % (PACKAGE, kind))
        return found[0]

    def _write_config(self):
        with open(os.path.join(self.root, "usr/share/alsa/alsa.conf.d/50-pipewire.conf")) as f:
            definitions = f.read()
        text = ("pcm_type.pipewire { lib \"%s\" }\nctl_type.pipewire { lib \"%s\" }\n%s"
                % (self._library("pcm"), self._library("ctl"), definitions))
        with open(self.config + ".tmp", "w") as f:
            f.write(text)
        os.chmod(self.config + ".tmp", 0o644)
        os.rename(self.config + ".tmp", self.config)

    def env(self, base, server_dir, default=False):
        """base with ALSA's configuration extended by the "pipewire" device,
        reaching the PipeWire server whose socket is in server_dir; default
        also makes it ALSA's default device."""
        files = [SYSTEM_CONFIG, self.config]
        if default:
            default_conf = os.path.join(self.dir, "pipewire-default.conf")
            if not os.path.exists(default_conf):
                with open(os.path.join(self.root, "usr/share/alsa/alsa.conf.d/99-pipewire-default.conf")) as f:
                    text = f.read()
                with open(default_conf, "w") as f:
                    f.write(text)
                os.chmod(default_conf, 0o644)
            files.append(default_conf)
        open_native_socket(server_dir)
        return dict(base, ALSA_CONFIG_PATH=":".join(files), PIPEWIRE_RUNTIME_DIR=server_dir)


if __name__ == "__main__":
    print(PipeWireAlsa(sys.argv[1]).config)
