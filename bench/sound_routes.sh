#!/bin/bash
# Dropouts, latency and CPU of the sound layer on each route a desktop has,
# through a private PipeWire (WirePlumber, pipewire-pulse, a null sink), the
# players run as an unprivileged user (nobody) when run as root:
#
#   pulse     ALSA -> the PulseAudio plugin -> pipewire-pulse
#   pipewire  ALSA -> PipeWire's own ALSA plugin (device "pipewire")
#   jack      JACK through PipeWire's libjack (as pw-jack does)
#
# Each run plays a 1 kHz tone (the program: its 440 Hz drone) for SECONDS and
# captures the sink's monitor:
# dropouts per minute (analyse_tone in tests/e2e/pulse_server.py), the
# latency the layer reports, the block it started and ended at, and the CPU
# seconds used per second played. The layer's tone player runs at each block
# of BLOCKS (0: the layer's own choice), the program at the layer's choice; aplay plays the same tone at each
# block of APLAY_BLOCKS (two blocks buffered; 0: aplay's own default), idle
# and with HOGS busy loops (default 1: one core of two).
#
#   bench/sound_routes.sh [BUILD_DIR] [SECONDS]
#   BLOCKS="0 256 512 1024" ROUTES="pulse pipewire jack" HOGS=1 bench/sound_routes.sh build 30
#
# PipeWire's ALSA and JACK libraries are fetched with apt-get download into
# BUILD_DIR/e2e-cache (as the tests) and unpacked there, never installed
# (tests/e2e/pipewire_alsa.py, tests/e2e/pipewire_jack.py).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$here/build}" && pwd)"
seconds="${2:-30}"
player="$build/tests/tone_player"
program="$build/app/synth"
[ -x "$player" ] || { echo "no $player: build the tone_player target first" >&2; exit 1; }
[ -x "$program" ] || { echo "no $program: build the synth target first" >&2; exit 1; }

exec /usr/bin/python3 - "$here/tests/e2e" "$player" "$build/e2e-cache" "$seconds" "$program" <<'PY'
import os, pwd, subprocess, sys, tempfile, time
sys.path.insert(0, sys.argv[1])
import numpy as np
from pipewire_alsa import PipeWireAlsa
from pipewire_jack import pipewire_jack_env
from pipewire_server import PipeWireServer
from program import Program
from pulse_server import LocalUser, analyse_tone, read_capture

player, cache, seconds, program = sys.argv[2], sys.argv[3], float(sys.argv[4]), sys.argv[5]
routes = os.environ.get("ROUTES", "pulse pipewire jack").split()
blocks = [int(b) for b in os.environ.get("BLOCKS", "0").split()]
aplay_blocks = [int(b) for b in os.environ.get("APLAY_BLOCKS", "0 1024").split()]
hogs = int(os.environ.get("HOGS", "1"))
FREQ, RATE = 1000.0, 44100
tmp = tempfile.TemporaryDirectory()
os.chmod(tmp.name, 0o755)
alsa = PipeWireAlsa(cache)
if alsa.missing:
    sys.exit(alsa.missing)
user = LocalUser("nobody" if os.getuid() == 0 else pwd.getpwuid(os.getuid()).pw_name, tmp.name)
tone = os.path.join(tmp.name, "tone.raw")
t = np.arange(int((seconds + 2) * RATE)) / RATE
pcm = (16000 * np.sin(2 * np.pi * FREQ * t)).astype("<i2")
np.repeat(pcm, 2).tofile(tone)
os.chmod(tone, 0o644)


def client_env(route, server):
    if route == "pulse":
        return server.env
    if route == "pipewire":
        return {k: v for k, v in alsa.env(server, server.env).items() if v is not None}
    return pipewire_jack_env(server.env, cache, server)


def driver_of(route, env):
    """The tone player's output type and driver index for the route."""
    if route == "jack":
        return 7, 0
    out = subprocess.run(user.command([user.program(player), "--list"]), env=user.env(env),
                         cwd=user.home, stdout=subprocess.PIPE, universal_newlines=True).stdout
    for line in out.splitlines():
        if line.startswith("driver ") and line.split(" ", 2)[2] == route:
            return 6, int(line.split()[1])
    raise RuntimeError("no ALSA device %s in %r" % (route, out))


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def play_program(route, env, capture, server):
    """The program's drone (440 Hz) for the given seconds, on the route's
    driver: output 1 (ALSA) or 3 (JACK)."""
    synth = Program(program=user.script(program), env=env, timeout=30)
    try:
        synth.start()
        name, drivers = synth.choose_output("3" if route == "jack" else "1")
        key = "1" if route == "jack" else str(drivers.index(route) + 1)
        start = time.monotonic()
        synth.choose_driver(key)
        time.sleep(seconds)
        cpu = cpu_seconds(synth.pid)
        played = time.monotonic() - start
        synth.send(".")
        synth.status_block()
        rc = synth.wait_exit()[0]
    finally:
        synth.close()
    time.sleep(0.3)
    server.stop_capture()
    result = analyse_tone(read_capture(capture))
    return result, {}, played, cpu, rc, ""


def play(route, what, block, busy):
    loops = [subprocess.Popen(["/bin/sh", "-c", "while :; do :; done"]) for _ in range(hogs if busy else 0)]
    try:
        with PipeWireServer() as server:
            env = user.env(client_env(route, server))
            capture = os.path.join(tmp.name, "capture.raw")
            server.start_capture(capture)
            time.sleep(0.3)
            if what == "program":
                return play_program(route, env, capture, server)
            if what == "player":
                output, driver = driver_of(route, env)
                argv = [user.program(player), "--output", str(output), "--driver", str(driver),
                        "--seconds", str(seconds), "--freq", str(FREQ)]
                if block:
                    argv += ["--block", str(block)]
            else:
                argv = ["aplay", "-q", "-D", route, "-t", "raw", "-f", "S16_LE", "-c", "2",
                        "-r", str(RATE), "-d", str(int(seconds))]
                if block:
                    argv += ["--period-size=%d" % block, "--buffer-size=%d" % (2 * block)]
                argv.append(tone)
            start = time.monotonic()
            with tempfile.TemporaryFile("w+") as err_file:
                p = subprocess.Popen(user.command(argv), env=env, cwd=user.home, stdout=subprocess.PIPE,
                                     stderr=err_file, universal_newlines=True)
                out = p.stdout.read()
                _, status, usage = os.wait4(p.pid, 0)
                p.returncode = os.waitstatus_to_exitcode(status)
                err_file.seek(0)
                err = err_file.read()
            played = time.monotonic() - start
            cpu = usage.ru_utime + usage.ru_stime
            time.sleep(0.3)
            server.stop_capture()
            result = analyse_tone(read_capture(capture))
    finally:
        for loop in loops:
            loop.kill()
            loop.wait()
    fields = dict(l.split(" ", 1) for l in out.splitlines() if " " in l)
    return result, fields, played, cpu, p.returncode, err.strip()


print("route     load  who     block  start->end  latency ms  dropouts/min  underruns  tone s  CPU s/s  status",
      flush=True)
for route in routes:
    players = [("player", b) for b in blocks] + [("program", 0)]
    if route != "jack":
        players += [("aplay", b) for b in aplay_blocks]
    for busy in (False, True):
        for who, block in players:
            result, fields, played, cpu, rc, err = play(route, who, block, busy)
            per_minute = result["dropouts"] * 60.0 / result["seconds"] if result["seconds"] else float("nan")
            latency = float(fields.get("latency", "nan")) * 1e3
            if who == "program":
                blocks_seen = "auto"
            elif who == "player":
                start = block or "auto"
                blocks_seen = "%s->%s" % (start, fields.get("block_frames", "?"))
            else:
                blocks_seen = "default" if not block else "%d" % block
            print("%-9s %-5s %-7s %-6s %-11s %-11.1f %-13.1f %-10s %-7.1f %-8.3f %s"
                  % (route, "busy" if busy else "idle", who, block or "-", blocks_seen, latency, per_minute,
                     fields.get("underruns", "-"), result["seconds"], cpu / max(played, 1e-3), "ok" if rc == 0 else "exit %d %s" % (rc, err[:80])),
                  flush=True)
PY
