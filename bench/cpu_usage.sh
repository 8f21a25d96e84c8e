#!/bin/bash
# CPU use of the whole synthesizer process while the drone plays.
#
#   bench/cpu_usage.sh [program] [seconds] [pulse|nosound|window]
#
# Starts the program in a pseudo-terminal and picks its output: "pulse"
# (default) plays through a private PulseAudio null sink via output 1 and
# driver 1; "nosound" uses output 4 (paced, no device); "window" is "pulse"
# with a window on a private Xvfb. Then reads the process's user+system time
# from /proc/PID/stat over the given number of seconds (default 10) and
# prints it as a percentage of one core, in all and per thread.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
program="$(realpath "${1:-$here/../build/app/synth}")"
seconds="${2:-10}"
mode="${3:-pulse}"

SYNTH_PROGRAM="$program" exec /usr/bin/python3 - "$seconds" "$mode" "$here/../tests/e2e" <<'EOF'
import os
import sys
import time

seconds, mode, helpers = float(sys.argv[1]), sys.argv[2], sys.argv[3]
sys.path.insert(0, helpers)
from program import Program  # noqa: E402
from pulse_server import PulseServer  # noqa: E402
from xserver import XServer  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(path):
    """utime + stime of a /proc stat file; its name."""
    with open(path) as f:
        text = f.read()
    fields = text.rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS, text[text.index("(") + 1: text.rindex(")")]


def threads(pid):
    result = {}
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            result[tid] = cpu_seconds("/proc/%d/task/%s/stat" % (pid, tid))
        except OSError:
            pass
    return result


def measure(env, output_key):
    with Program(env=env, timeout=20) as synth:
        name, _ = synth.choose_output(output_key)
        synth.choose_driver("1")
        time.sleep(1.0)  # settle
        process = "/proc/%d/stat" % synth.pid
        start_threads, start_cpu, start = threads(synth.pid), cpu_seconds(process)[0], time.monotonic()
        time.sleep(seconds)
        used, wall = cpu_seconds(process)[0] - start_cpu, time.monotonic() - start
        end_threads = threads(synth.pid)
        synth.send(".")
        status, restored = synth.wait_exit()
    print("output: %s  cpu: %.2f s over %.1f s = %.2f%% of one core  (exit %d, terminal %s)"
          % (name, used, wall, 100.0 * used / wall, status,
             "restored" if restored else "CHANGED"))
    for tid, (cpu, name) in sorted(end_threads.items()):
        before = start_threads.get(tid, (0.0, name))[0]
        print("  thread %-8s %-16s %.2f%%" % (tid, name, 100.0 * (cpu - before) / wall))


if mode == "window":
    with XServer() as x, PulseServer() as pulse:
        measure({"PULSE_SERVER": pulse.server, "DISPLAY": x.env()["DISPLAY"]}, "1")
elif mode == "pulse":
    with PulseServer() as pulse:
        measure({"PULSE_SERVER": pulse.server}, "1")
else:
    measure({}, "4")
EOF
