#!/bin/bash
# CPU use of the whole synthesizer process while the drone plays.
#
#   bench/cpu_usage.sh [program] [seconds] [pulse|nosound|window|compare] [rounds]
#
# Starts the program in a pseudo-terminal and picks its output: "pulse"
# (default) plays through a private PulseAudio null sink via output 1 and
# driver 1; "nosound" uses output 4 (paced, no device); "window" is "pulse"
# with a window on a private Xvfb. Then reads the time its threads ran
# (/proc/PID/task/*/schedstat) over the given number of seconds (default
# 10) and prints it as a percentage of one core, in all and per thread
# (threads that ended meanwhile are not counted).
#
# "compare" measures, back to back on the same server and display, `aplay`
# (alsa-utils) playing a tone through ALSA's default device with the
# program's buffer (128-frame periods, 256 frames), then the program with
# its window, then aplay again, for the given number of rounds (default 3),
# and prints the program's CPU over aplay's (the mean of the runs around
# it) per round and over all. The server's buffer latency for each stream
# (`pactl list sink-inputs`) shows that both ran with the same buffer.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
program="$(realpath "${1:-$here/../build/app/synth}")"
seconds="${2:-10}"
mode="${3:-pulse}"
rounds="${4:-3}"

if [ "$mode" = compare ] && ! command -v aplay > /dev/null; then
  echo "compare needs aplay (Debian package alsa-utils)" >&2
  exit 1
fi

SYNTH_PROGRAM="$program" exec /usr/bin/python3 - "$seconds" "$mode" "$here/../tests/e2e" "$rounds" <<'PY'
import os
import subprocess
import sys
import tempfile
import time

seconds, mode, helpers, rounds = float(sys.argv[1]), sys.argv[2], sys.argv[3], int(sys.argv[4])
sys.path.insert(0, helpers)
from program import Program  # noqa: E402
from pulse_server import PulseServer  # noqa: E402
from xserver import XServer  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")
PERIOD, BUFFER = 128, 256  # frames: the program's device block and buffer


def cpu_seconds(path):
    """Time on a CPU of the process or thread whose /proc stat file this is
    (schedstat, in ns; utime + stime in clock ticks where there is none);
    its name."""
    with open(path) as f:
        text = f.read()
    name = text[text.index("(") + 1: text.rindex(")")]
    try:
        with open(os.path.join(os.path.dirname(path), "schedstat")) as f:
            return int(f.read().split()[0]) / 1e9, name
    except OSError:
        fields = text.rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / TICKS, name


def threads(pid):
    result = {}
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            result[tid] = cpu_seconds("/proc/%d/task/%s/stat" % (pid, tid))
        except OSError:
            pass
    return result


def sample(pid, label, pulse=None):
    """CPU of pid over `seconds`, printed in all and per thread; percent."""
    start_threads, start = threads(pid), time.monotonic()
    time.sleep(seconds)
    end_threads, wall = threads(pid), time.monotonic() - start
    used = sum(cpu - start_threads.get(tid, (0.0, name))[0] for tid, (cpu, name) in end_threads.items())
    buffers = ["%.2f ms" % (i["buffer_latency_us"] / 1e3) for i in (pulse.sink_inputs() if pulse else [])
               if i.get("buffer_latency_us") is not None]
    percent = 100.0 * used / wall
    print("%s  cpu: %.2f s over %.1f s = %.2f%% of one core%s"
          % (label, used, wall, percent, "  (server buffer %s)" % ", ".join(buffers) if buffers else ""))
    for tid, (cpu, name) in sorted(end_threads.items()):
        before = start_threads.get(tid, (0.0, name))[0]
        print("  thread %-8s %-16s %.2f%%" % (tid, name, 100.0 * (cpu - before) / wall))
    sys.stdout.flush()
    return percent


def measure(env, output_key, pulse=None):
    with Program(env=env, timeout=20) as synth:
        name, _ = synth.choose_output(output_key)
        synth.choose_driver("1")
        time.sleep(1.0)  # settle
        percent = sample(synth.pid, "program, output %s" % name, pulse)
        synth.send(".")
        status, restored = synth.wait_exit()
    if status != 0 or not restored:
        print("  (exit %d, terminal %s)" % (status, "restored" if restored else "CHANGED"))
    return percent


def aplay(env, tone, pulse):
    p = subprocess.Popen(["aplay", "-q", "-D", "default", "-t", "raw", "-f", "S16_LE", "-c", "2",
                          "-r", "44100", "--period-size=%d" % PERIOD, "--buffer-size=%d" % BUFFER, tone],
                         env=env, stdin=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        time.sleep(1.0)
        return sample(p.pid, "aplay", pulse)
    finally:
        p.kill()
        p.wait()


def write_tone(path):
    import numpy as np
    frames = int(44100 * (seconds + 5))
    wave = (16000 * np.sin(2 * np.pi * 440.0 * np.arange(frames) / 44100)).astype("<i2")
    np.repeat(wave, 2).tofile(path)


if mode == "compare":
    with XServer() as x, PulseServer() as pulse, tempfile.TemporaryDirectory() as tmp:
        tone = os.path.join(tmp, "tone.raw")
        write_tone(tone)
        env = dict(pulse.client_env, DISPLAY=x.env()["DISPLAY"])
        ratios, programs, players = [], [], []
        before = aplay(pulse.env, tone, pulse)
        for r in range(rounds):
            program = measure(env, "1", pulse)
            after = aplay(pulse.env, tone, pulse)
            ratio = program / ((before + after) / 2)
            print("round %d: program %.2f%%, aplay %.2f%% / %.2f%%, ratio %.2f\n"
                  % (r + 1, program, before, after, ratio), flush=True)
            ratios.append(ratio)
            programs.append(program)
            players += [before, after]
            before = after
        print("program with window %.2f%%, aplay %.2f%% (means): ratio %.2f (rounds %s)"
              % (sum(programs) / len(programs), sum(players) / len(players),
                 (sum(programs) / len(programs)) / (sum(players) / len(players)),
                 " ".join("%.2f" % r for r in ratios)))
elif mode == "window":
    with XServer() as x, PulseServer() as pulse:
        measure(dict(pulse.client_env, DISPLAY=x.env()["DISPLAY"]), "1", pulse)
elif mode == "pulse":
    with PulseServer() as pulse:
        measure(pulse.client_env, "1", pulse)
else:
    measure({}, "4")
PY
