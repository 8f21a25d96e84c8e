#!/bin/bash
# Measures the sound layer through a private PulseAudio server with a null
# sink: the device latency the layer reports, the server's buffer and sink latency for
# the stream (`pactl list sink-inputs`), dropouts in the captured tone, and
# the underruns the device reported and the block size the stream ended at
# (it starts at the layer's block for the route and grows when underruns repeat), idle and with
# one core kept busy.
#
#   bench/sound_latency.sh [BUILD_DIR] [RUNS] [SECONDS]
#
# SERVER_REALTIME=1 also runs the server's main thread (client I/O) at a
# real-time priority. HOGS=N keeps N busy loops running for the loaded runs
# (default 1: one core of two).
# BUILD_DIR holds tests/tone_player (default: build-sound next to this script).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$here/build-sound}"
runs="${2:-3}"
seconds="${3:-10}"
player="$build/tests/tone_player"
[ -x "$player" ] || { echo "no $player: build the tone_player target first" >&2; exit 1; }

exec /usr/bin/python3 - "$here/tests/e2e" "$player" "$runs" "$seconds" <<'PY'
import os, subprocess, sys, tempfile, time
sys.path.insert(0, sys.argv[1])
from pulse_server import PulseServer, analyse_tone, read_capture

player, runs, seconds = sys.argv[2], int(sys.argv[3]), float(sys.argv[4])

def run(busy):
    hogs = [subprocess.Popen(["/bin/sh", "-c", "while :; do :; done"])
            for _ in range(int(os.environ.get("HOGS", "1")) if busy else 0)]
    try:
        with PulseServer(realtime=os.environ.get("SERVER_REALTIME") == "1") as pulse, tempfile.TemporaryDirectory() as tmp:
            capture = os.path.join(tmp, "capture.raw")
            pulse.start_capture(capture)
            time.sleep(0.2)
            p = subprocess.Popen([player, "--seconds", str(seconds), "--freq", "1000"],
                                 env=pulse.env, stdout=subprocess.PIPE, universal_newlines=True)
            samples = []
            try:
                time.sleep(1.0)
                while p.poll() is None and len(samples) < seconds - 1.5:
                    for i in pulse.sink_inputs():
                        samples.append((i["buffer_latency_us"], i["sink_latency_us"]))
                    time.sleep(1.0)
                out = dict(l.split(" ", 1) for l in p.communicate(timeout=seconds + 30)[0].splitlines())
            finally:
                if p.poll() is None:
                    p.kill(); p.wait()
            time.sleep(0.2)
            pulse.stop_capture()
            tone = analyse_tone(read_capture(capture))
    finally:
        for hog in hogs:
            hog.kill(); hog.wait()
    buf = [s[0] / 1e3 for s in samples if s[0] is not None]
    sink = [s[1] / 1e3 for s in samples if s[1] is not None]
    block = int(out.get("block_frames", 0))
    print("%-9s device %.2f ms | server buffer %.2f ms, sink %.2f-%.2f ms | "
          "%.1f s of tone at %.1f Hz, dropouts %d %s | underruns %s, block %d frames at the end"
          % ("busy" if busy else "idle", float(out.get("latency", 0)) * 1e3,
             max(buf) if buf else -1, min(sink) if sink else -1, max(sink) if sink else -1,
             tone["seconds"], tone["freq"], tone["dropouts"],
             ["%.3f" % t for t in tone.get("dropout_at", [])[:6]], out.get("underruns", "?"), block),
          flush=True)
    return tone["dropouts"], block

total = {False: 0, True: 0}
blocks = {False: [], True: []}
for _ in range(runs):
    for busy in (False, True):
        dropouts, block = run(busy)
        total[busy] += dropouts
        blocks[busy].append(block)
load = "%s busy loop(s)" % os.environ.get("HOGS", "1")
print("dropouts in %d x %.0f s: idle %d, %s %d" % (runs, seconds, total[False], load, total[True]))
print("block sizes reached: idle %s, %s %s" % (blocks[False], load, blocks[True]))
PY
