#!/bin/bash
# CPU of the LV2 plugin beside its peers, in one real host, and the time of
# one block in lv2bench.
#
#   bench/lv2_cpu.sh [bundle-dir] [seconds] [rates]
#
# bundle-dir holds synth.lv2 (default: build/lib/lv2); seconds is how long
# each plugin is measured (default 30); rates the JACK rates (default
# "48000 44100").
#
# 1. For each rate, one private JACK server (`jackd -d dummy -p 128`) runs,
#    one after another, urn:synth:lv2, synthv1 and ZynAddSubFX, each alone
#    in `jalv` with its default settings and one note (MIDI 69) held from a
#    JACK client of the script, outputs connected to the dummy playback.
#    Two seconds after the note, the CPU time of the jalv process (all its
#    threads) is read over the given seconds and printed as a percentage of
#    one core: utime + stime from /proc/PID/stat ("stat", sampled at the
#    clock tick, which a thread waking 344 times a second can alias with)
#    and the run time from /proc/PID/task/*/schedstat ("schedstat", in
#    nanoseconds). Both include jalv's own work (its JACK process thread
#    and the rest), which is the same for every plugin.
#    A peer that is not installed is skipped with a line saying so; install
#    them (outside the project's package lists) with
#      apt-get install --no-install-recommends synthv1-lv2 zynaddsubfx-lv2
# 2. lv2bench (lilv-utils) on urn:synth:lv2 alone at block sizes 64, 128 and
#    1024: the time per block. lv2bench runs plugins at 48000 Hz (the
#    converter's path) with no MIDI, so the drone plays. It skips plugins
#    that need the worker or options features, synthv1 and ZynAddSubFX
#    among them.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
bundles="$(realpath "${1:-$here/../build/lib/lv2}")"
seconds="${2:-30}"
rates="${3:-48000 44100}"

for tool in jackd jalv lv2bench; do
  command -v "$tool" > /dev/null || { echo "$0: needs $tool (jackd2, jalv, lilv-utils)" >&2; exit 1; }
done
[ -f "$bundles/synth.lv2/manifest.ttl" ] || { echo "$0: no synth.lv2 in $bundles (build first)" >&2; exit 1; }
export LV2_PATH="$bundles:/usr/lib/lv2:/usr/local/lib/lv2"

/usr/bin/python3 - "$seconds" "$here/../tests/e2e" $rates <<'PY'
import os
import subprocess
import sys
import time

seconds, helpers, rates = float(sys.argv[1]), sys.argv[2], [int(r) for r in sys.argv[3:]]
sys.path.insert(0, helpers)
import jack  # noqa: E402
from pulse_server import _stop  # noqa: E402
from test_jack import JackServer  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")
PERIOD = 128
PLUGINS = [("synth", "urn:synth:lv2"),
           ("synthv1", "http://synthv1.sourceforge.net/lv2"),
           ("ZynAddSubFX", "http://zynaddsubfx.sourceforge.net")]
installed = subprocess.run(["lv2ls"], capture_output=True, text=True).stdout.split()


def cpu_seconds(pid):
    """utime + stime of the process (/proc/PID/stat, sampled at the clock tick)."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def run_seconds(pid):
    """Time its threads ran, to the nanosecond (/proc/PID/task/*/schedstat)."""
    total = 0
    for task in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, task)) as f:
                total += int(f.read().split()[0])
        except OSError:
            pass
    return total / 1e9


def measure(server, name, uri):
    # synthv1 starts Qt inside the plugin: without a display, Qt's offscreen
    # platform (every plugin gets the same environment).
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen", **server.env)
    client = "bench_" + name
    jalv = subprocess.Popen(["jalv", "-n", client, "-x", uri], env=env, stdin=subprocess.PIPE,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    keys = jack.Client("bench_keys", no_start_server=True, servername=server.name)
    try:
        deadline = time.monotonic() + 30
        while True:
            ports = keys.get_ports(client + ":")
            midi = [p for p in ports if p.is_midi and p.is_input]
            audio = [p for p in ports if p.is_audio and p.is_output]
            if midi and audio:
                break
            if jalv.poll() is not None or time.monotonic() > deadline:
                return None
            time.sleep(0.1)
        out = keys.midi_outports.register("out")
        pending = [bytes([0x90, 69, 100])]

        @keys.set_process_callback
        def send(frames):
            out.clear_buffer()
            if pending:
                out.write_midi_event(0, pending.pop())

        keys.activate()
        keys.connect(out, midi[0])
        for port, playback in zip(audio, ("system:playback_1", "system:playback_2")):
            keys.connect(port, playback)
        time.sleep(2)
        before, ran, start = cpu_seconds(jalv.pid), run_seconds(jalv.pid), time.monotonic()
        time.sleep(seconds)
        elapsed = time.monotonic() - start
        return (100.0 * (cpu_seconds(jalv.pid) - before) / elapsed,
                100.0 * (run_seconds(jalv.pid) - ran) / elapsed)
    finally:
        keys.deactivate()
        keys.close()
        jalv.stdin.close()
        _stop(jalv)


print("== CPU of jalv with one note held, jackd -d dummy -p %d, %g s each" % (PERIOD, seconds))
print("%-12s %8s %12s %12s" % ("plugin", "rate", "stat %", "schedstat %"))
for rate in rates:
    server = JackServer(rate, PERIOD).start()
    try:
        for name, uri in PLUGINS:
            if uri not in installed:
                print("%-12s %8d %12s" % (name, rate, "skipped: not installed"))
                continue
            cpu = measure(server, name, uri)
            shown = "%12.2f %12.2f" % cpu if cpu is not None else "did not start"
            print("%-12s %8d %s" % (name, rate, shown), flush=True)
    finally:
        server.stop()
PY

frames=480000
echo "== lv2bench urn:synth:lv2 (48000 Hz, $frames frames)"
printf '%-6s %12s %14s\n' block "total s" "us per block"
for block in 64 128 1024; do
  total="$(lv2bench -b "$block" -n "$frames" urn:synth:lv2 | awk '{print $1}')"
  awk -v b="$block" -v t="$total" -v n="$frames" 'BEGIN { printf "%-6d %12.4f %14.2f\n", b, t, t / (n / b) * 1e6 }'
done
