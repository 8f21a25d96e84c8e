#!/usr/bin/python3
"""Real-time priority without root: the sound layer asks rtkit for the
device's threads. Runs the tone player with SCHED_FIFO refused (no
CAP_SYS_NICE, RLIMIT_RTPRIO 0) against a private PulseAudio server, with
rtkit on a private bus named by DBUS_SYSTEM_BUS_ADDRESS: a stand-in, and,
where this runs as root, the real rtkit-daemon with polkitd, whose rule
granting rtkit's actions is bind-mounted in a mount namespace of its own
(there is no login session here to grant them).

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
from pipewire_server import server_on_hand  # noqa: E402
from pulse_server import _stop  # noqa: E402

PLAYER = os.environ.get("SOUND_TONE_PLAYER", "")
SCHED_RR = 2


def no_realtime():
    resource.setrlimit(resource.RLIMIT_RTPRIO, (0, 0))


BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <listen>unix:path=%s</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/><allow own="*"/>
    <allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/>
  </policy>
</busconfig>
"""

RULE = """polkit.addRule(function(action, subject) {
    if (action.id.indexOf("org.freedesktop.RealtimeKit1.") == 0) return polkit.Result.YES;
});
"""
POLKITD = "/usr/lib/polkit-1/polkitd"
RTKIT = "/usr/libexec/rtkit-daemon"


class PrivateBus:
    """dbus-daemon on a socket in a temp dir, open to every user (the
    daemons below change user), stopped by its pid."""

    def __enter__(self):
        self.dir = tempfile.TemporaryDirectory(prefix="bus-")
        os.chmod(self.dir.name, 0o755)
        config = os.path.join(self.dir.name, "bus.conf")
        with open(config, "w") as f:
            f.write(BUS_CONFIG % os.path.join(self.dir.name, "bus"))
        self.proc = subprocess.Popen(
            ["dbus-daemon", "--config-file=" + config, "--nofork", "--nopidfile", "--print-address"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, universal_newlines=True)
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
    def player(self, bus, pulse):
        """Plays 2 s with SCHED_FIFO refused; returns (process, its threads'
        scheduling policies 1 s in)."""
        drop = ["setpriv", "--bounding-set=-sys_nice"] if os.geteuid() == 0 else []
        env = dict(pulse.env, DBUS_SYSTEM_BUS_ADDRESS=bus.address)
        player = subprocess.Popen(drop + [PLAYER, "--seconds", "2"], env=env, preexec_fn=no_realtime,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
        time.sleep(1.0)
        return player, {int(t): policy(player.pid, int(t)) for t in os.listdir("/proc/%d/task" % player.pid)}

    def check_played(self, player):
        stdout, stderr = player.communicate(timeout=30)
        self.assertEqual(0, player.returncode, stderr)
        self.assertEqual("", stderr)
        self.assertIn("frames", stdout)

    def play(self, bus, pulse, refuse):
        """Plays with the stand-in; returns its lines and the scheduling
        policy of each thread it granted."""
        rtkit = subprocess.Popen([sys.executable, os.path.join(here, "rtkit_standin.py"), bus.address]
                                 + (["--refuse"] if refuse else []),
                                 stdout=subprocess.PIPE, universal_newlines=True)
        try:
            self.assertEqual("ready", rtkit.stdout.readline().strip())
            player, policies = self.player(bus, pulse)
            _stop(rtkit)
            lines = [l.split() for l in rtkit.stdout.read().splitlines()]
        finally:
            _stop(rtkit)
            rtkit.stdout.close()
        self.check_played(player)
        return lines, [policies.get(int(l[1])) for l in lines if l[0] == "grant"]

    def test_device_threads_ask_rtkit_when_sched_fifo_is_refused(self):
        with server_on_hand() as pulse, PrivateBus() as bus:
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

    @unittest.skipUnless(os.geteuid() == 0 and os.access(RTKIT, os.X_OK) and os.access(POLKITD, os.X_OK),
                         "needs root, rtkit and polkitd")
    def test_the_real_rtkit_grants_the_device_threads(self):
        with server_on_hand() as pulse, PrivateBus() as bus:
            rules = os.path.join(bus.dir.name, "rules")
            os.mkdir(rules)
            with open(os.path.join(rules, "50-realtime.rules"), "w") as f:
                f.write(RULE)
            env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=bus.address)
            daemons = [subprocess.Popen(
                ["unshare", "-m", "sh", "-c", "mount --bind %s /etc/polkit-1/rules.d && exec %s --no-debug"
                 % (rules, POLKITD)], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)]
            try:
                deadline = time.monotonic() + 10
                while subprocess.run(["dbus-send", "--system", "--dest=org.freedesktop.PolicyKit1",
                                      "--print-reply", "/org/freedesktop/PolicyKit1/Authority",
                                      "org.freedesktop.DBus.Peer.Ping"], env=env,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode:
                    if daemons[0].poll() is not None or time.monotonic() > deadline:
                        self.skipTest("polkitd did not start (no mount namespace here?)")
                    time.sleep(0.1)
                daemons.append(subprocess.Popen(
                    [RTKIT, "--no-drop-privileges", "--no-chroot", "--no-canary", "--no-limit-resources"],
                    env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
                time.sleep(0.5)
                player, policies = self.player(bus, pulse)
                self.check_played(player)
            finally:
                for d in reversed(daemons):
                    _stop(d)
            # The plugin's client thread and the callback thread at least.
            self.assertGreaterEqual(list(policies.values()).count(SCHED_RR), 2, policies)


if __name__ == "__main__":
    unittest.main()
