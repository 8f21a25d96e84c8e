"""PipeWire's JACK library (package pipewire-jack) for a test's clients,
as pw-jack uses it, without installing it: fetched with `apt-get download`
into a cache directory and unpacked there once.

    env = pipewire_jack_env(base_env, cache_dir, server)   # JACK clients reach server
"""
import glob
import os
import subprocess


def pipewire_jack_env(base, cache_dir, server):
    """base for a JACK client of a PipeWireServer through PipeWire's libjack."""
    root = os.path.join(os.path.abspath(cache_dir), "pipewire-jack", "root")
    found = glob.glob(os.path.join(root, "usr/lib/*/pipewire-0.3/jack"))
    if not found:
        os.makedirs(os.path.dirname(root), exist_ok=True)
        subprocess.run(["apt-get", "download", "-q", "pipewire-jack"], cwd=os.path.dirname(root),
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        debs = glob.glob(os.path.join(os.path.dirname(root), "pipewire-jack_*.deb"))
        subprocess.run(["dpkg-deb", "-x", debs[0], root], check=True)
        for top, dirs, _ in os.walk(os.path.dirname(root)):
            for d in dirs:
                os.chmod(os.path.join(top, d), 0o755)
        found = glob.glob(os.path.join(root, "usr/lib/*/pipewire-0.3/jack"))
    socket = os.path.join(server.dir, "pipewire-0")
    os.chmod(socket, 0o777)   # clients of other users too
    return dict(base, LD_LIBRARY_PATH=found[0], PIPEWIRE_RUNTIME_DIR=server.dir)
