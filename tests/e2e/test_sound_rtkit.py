#!/usr/bin/python3
"""Real-time priority without root: the sound layer asks rtkit for the
device's threads. Runs the tone player with SCHED_FIFO refused (no
CAP_SYS_NICE, RLIMIT_RTPRIO 0) against a private PulseAudio server, with a
stand-in rtkit on a private bus named by DBUS_SYSTEM_BUS_ADDRESS.

Needs SOUND_TONE_PLAYER, the path of the built tests/sound/tone_player."""
import os
import resource
import subprocess
import sys
import tempfile
import time
import unittest

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, here)
from pulse_server import PulseServer, _stop  # noqa: E402

PLAYER = os.environ.get("SOUND_TONE_PLAYER", "")
SCHED_RR = 2


def no_realtime():
    resource.setrlimit(resource.RLIMIT_RTPRIO, (0, 0))


class PrivateBus:
    """dbus-daemon on a socket in a temp dir, stopped by its pid."""

    def __enter__(self):
        self.dir = tempfile.TemporaryDirectory(prefix="bus-")
        self.proc = subprocess.Popen(
            ["dbus-daemon", "--session", "--address=unix:path=%s/bus" % self.dir.name, "--nofork",
             "--nopidfile", "--print-address"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
            universal_newlines=True)
        self.address = self.proc.stdout.readline().strip()
        return self

    def __exit__(self, *exc):
        _stop(self.proc)
        self.proc.stdout.close()
        self.dir.cleanup()


def policy(pid, tid):
    try:
        with open("/proc/%d/task/%d/stat" % (pid, tid)) as f:
            return int(f.read().rsplit(")", 1)[1].split()[38])
    except OSError:
        return None


@unittest.skipUnless(PLAYER and os.access(PLAYER, os.X_OK), "SOUND_TONE_PLAYER not set")
class RtkitTest(unittest.TestCase):
    def play(self, bus, pulse, refuse):
        """Plays 2 s with the stand-in; returns its lines and, 1 s in, the
        scheduling policy of each thread it granted."""
        rtkit = subprocess.Popen([sys.executable, os.path.join(here, "rtkit_standin.py"), bus.address]
                                 + (["--refuse"] if refuse else []),
                                 stdout=subprocess.PIPE, universal_newlines=True)
        try:
            self.assertEqual("ready", rtkit.stdout.readline().strip())
            drop = ["setpriv", "--bounding-set=-sys_nice"] if os.geteuid() == 0 else []
            env = dict(pulse.env, DBUS_SYSTEM_BUS_ADDRESS=bus.address)
            player = subprocess.Popen(drop + [PLAYER, "--seconds", "2"], env=env, preexec_fn=no_realtime,
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
            time.sleep(1.0)
            _stop(rtkit)
            lines = [l.split() for l in rtkit.stdout.read().splitlines()]
            policies = [policy(player.pid, int(l[1])) for l in lines if l[0] == "grant"]
            stdout, stderr = player.communicate(timeout=30)
        finally:
            _stop(rtkit)
            rtkit.stdout.close()
        self.assertEqual(0, player.returncode, stderr)
        self.assertEqual("", stderr)
        self.assertIn("frames", stdout)
        return lines, policies

    def test_device_threads_ask_rtkit_when_sched_fifo_is_refused(self):
        with PulseServer() as pulse, PrivateBus() as bus:
            lines, policies = self.play(bus, pulse, refuse=False)
            # The plugin's client thread and the callback thread at least.
            self.assertGreaterEqual(len(lines), 2, lines)
            self.assertTrue(all(l[0] == "grant" and 1 <= int(l[2]) <= 20 for l in lines), lines)
            self.assertEqual(len(set(l[1] for l in lines)), len(lines), lines)
            if os.geteuid() == 0:  # the stand-in could grant
                self.assertEqual([SCHED_RR] * len(lines), policies, lines)

            # A refusal is not an error: the tone plays all the same.
            lines, _ = self.play(bus, pulse, refuse=True)
            self.assertTrue(lines and all(l[0] == "refuse" for l in lines), lines)


if __name__ == "__main__":
    unittest.main()
