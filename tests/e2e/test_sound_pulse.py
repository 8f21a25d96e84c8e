#!/usr/bin/python3
"""The sound layer against the servers users have, each private with a null
sink: PulseAudio, and PipeWire with pipewire-pulse. The player runs as root
and as an unprivileged user (nobody), as users do.

Needs SOUND_TONE_PLAYER, the path of the built tests/sound/tone_player.
Run with Debian's /usr/bin/python3 (numpy)."""
import os
import pwd
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pipewire_server import SERVERS  # noqa: E402
from pulse_server import (PULSEAUDIO_MISSING, LocalUser, alsa_pulse_config, analyse_tone,  # noqa: E402
                          read_capture)

PLAYER = os.path.abspath(os.environ["SOUND_TONE_PLAYER"]) if os.environ.get("SOUND_TONE_PLAYER") else ""
FREQ = 1000.0
AMP = 16000.0
# Dropouts are never counted against a fixed number: the player may drop as
# many as aplay drops through the same route, with the same buffer, as the
# same user, in the same run, plus one for the capture path's own noise.
CAPTURE_NOISE = 1
# This process's user, and an unprivileged one when that is root.
OWN_USER = pwd.getpwuid(os.getuid()).pw_name
USERS = (OWN_USER, "nobody") if os.getuid() == 0 else (OWN_USER,)


def parse(stdout):
    """The player's "key value" lines; "driver" lines are gathered in a list."""
    out = {"driver": []}
    for line in stdout.splitlines():
        key, _, value = line.partition(" ")
        if key == "driver":
            out["driver"].append(value)
        else:
            out[key] = value
    return out


class BusyCore:
    """A child process that keeps one core busy; killed by its pid."""

    def __enter__(self):
        self.proc = subprocess.Popen(["/bin/sh", "-c", "while :; do :; done"])
        return self

    def __exit__(self, *exc):
        self.proc.kill()
        self.proc.wait()


class ServerTests:
    """Run against the server SERVERS[KIND]."""
    KIND = None

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        os.chmod(self.tmp.name, 0o755)   # the users' homes and programs inside
        self.addCleanup(self.tmp.cleanup)
        self.users = {}
        # The server's client I/O at a real-time priority, as on a desktop
        # with a real-time sound server, so that what is measured is ours.
        self.server = SERVERS[self.KIND](realtime=True).start()
        self.addCleanup(self.server.stop)

    def user(self, name):
        if name not in self.users:
            self.users[name] = LocalUser(name, self.tmp.name)
        return self.users[name]

    def play(self, seconds, during=None, extra=(), user=OWN_USER):
        """Runs the player as user while capturing; `during(server)` runs
        1.5 s in. Returns (parsed stdout, stderr, capture path, during's
        result)."""
        user = self.user(user)
        capture = os.path.join(self.tmp.name, "capture.raw")
        self.server.start_capture(capture)
        time.sleep(0.2)
        player = subprocess.Popen(
            user.command([user.program(PLAYER), "--seconds", str(seconds), "--freq", str(FREQ),
                          "--amp", str(AMP), *extra]),
            env=user.env(self.server.env), cwd=user.home, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE, universal_newlines=True)
        try:
            seen = None
            if during:
                time.sleep(1.5)
                seen = during(self.server)
            stdout, stderr = player.communicate(timeout=seconds + 20)
        finally:
            if player.poll() is None:
                player.kill()
                player.wait()
        time.sleep(0.2)
        self.server.stop_capture()
        self.assertEqual(player.returncode, 0, stderr)
        return parse(stdout), stderr, capture, seen

    def check_clean_run(self, out, stderr):
        self.assertEqual(stderr, "")                       # probes silenced
        self.assertEqual(out["output"], "6")               # ALSA
        self.assertEqual(out["driver"][0], "0 default")    # the default device first
        self.assertEqual(out["partial_frames"], "0")
        self.assertLessEqual(int(out["max_bytes"]), 32768)
        self.assertEqual(out["after_close"], "0")
        self.assertEqual(out["fell_back"], "0")

    def check_tone(self, capture, seconds, allowed):
        tone = analyse_tone(read_capture(capture))
        print("\n  tone:", {k: (round(v, 2) if isinstance(v, float) else v)
                            for k, v in tone.items()}, file=sys.stderr)
        self.assertGreater(tone["seconds"], seconds - 1.0)
        self.assertAlmostEqual(tone["freq"], FREQ, delta=FREQ * 0.005)
        self.assertAlmostEqual(tone["amplitude"], AMP, delta=AMP * 0.03)
        self.assertTrue(tone["channels_equal"])
        self.assertLessEqual(tone["dropouts"], allowed, tone.get("dropout_at"))
        return tone

    def test_tone_plays_through_the_server_at_the_server_block(self):
        for user in USERS:
            with self.subTest(user=user):
                out, stderr, capture, inputs = self.play(4, during=lambda s: s.sink_inputs(),
                                                         user=user)
                self.check_clean_run(out, stderr)
                # Through a server the stream starts at 1024-frame blocks,
                # two or three of them buffered.
                self.assertEqual(out["block_frames"], "1024")
                self.assertLess(float(out["latency"]), 0.075)
                self.assertEqual(len(inputs), 1)
                sink_input = inputs[0]
                self.assertEqual(sink_input["properties"]["application.process.user"], user)
                self.assertIn("s16le 2ch 44100Hz", sink_input["Sample Specification"])
                # The buffer we ask for; the sink's own part varies with the
                # server. pipewire-pulse reports none, but the stream's
                # quantum.
                buffer_us = sink_input["buffer_latency_us"]
                if "node.latency" in sink_input["properties"]:
                    frames, rate = sink_input["properties"]["node.latency"].split("/")
                    buffer_us = max(buffer_us, int(1e6 * int(frames) / int(rate)))
                print("\n  %s as %s: device latency %.2f ms, server buffer %.2f ms + sink %.2f ms"
                      % (self.KIND, user, float(out["latency"]) * 1e3, buffer_us / 1e3,
                         sink_input["sink_latency_us"] / 1e3), file=sys.stderr)
                self.assertGreater(buffer_us, 0)
                self.assertLessEqual(buffer_us, 75000)
                self.check_tone(capture, 4, self.reference_dropouts(4, user) + CAPTURE_NOISE)

    def reference_dropouts(self, seconds, user=OWN_USER):
        """Dropouts of aplay playing the same tone through the same path at
        its default buffer, as user: what the machine allows any client
        right now."""
        import numpy as np
        t = np.arange(int(seconds * 44100)) / 44100.0
        mono = (AMP * np.sin(2 * np.pi * FREQ * t)).astype("<i2")
        tone = os.path.join(self.tmp.name, "tone.raw")
        np.repeat(mono, 2).tofile(tone)
        os.chmod(tone, 0o644)
        user = self.user(user)
        capture = os.path.join(self.tmp.name, "reference.raw")
        self.server.start_capture(capture)
        time.sleep(0.2)
        subprocess.run(user.command(["aplay", "-q", "-D", "default", "-t", "raw", "-f", "S16_LE",
                                     "-c", "2", "-r", "44100", tone]),
                       env=user.env(self.server.env), cwd=user.home, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=seconds + 20, check=True)
        time.sleep(0.2)
        self.server.stop_capture()
        return analyse_tone(read_capture(capture))["dropouts"]

    def test_few_dropouts_with_a_core_busy(self):
        # As this process's user: where that is root, the stream gets its
        # real-time priority, which an unprivileged user may not be granted.
        # The player may drop about as many as aplay does beside it.
        with BusyCore():
            out, stderr, capture, _ = self.play(4)
            reference = self.reference_dropouts(4)
        self.check_clean_run(out, stderr)
        print("\n  aplay with a core busy: %d dropouts" % reference, file=sys.stderr)
        self.check_tone(capture, 4, reference + CAPTURE_NOISE)

    def check_fallback(self, out, close_limit):
        self.assertEqual(out["fell_back"], "1")
        self.assertEqual(out["after_close"], "0")
        self.assertLess(float(out["close_seconds"]), close_limit)
        # The callback kept coming at about the real rate across the loss.
        played = float(out["played"])
        self.assertGreater(int(out["frames"]), 0.6 * 44100 * played)
        self.assertLess(int(out["frames"]), 1.3 * 44100 * played)

    def test_server_lost_mid_stream_falls_back_to_paced_output(self):
        out, _, _, _ = self.play(4, during=lambda s: s.kill(), user=USERS[-1])
        self.check_fallback(out, 1.0)

    def test_server_hung_mid_stream_falls_back_and_closes(self):
        out, _, _, _ = self.play(4, during=lambda s: s.suspend(), user=USERS[-1])
        # Closing gives up waiting for the hung device after a second.
        self.check_fallback(out, 3.0)

    def test_server_back_from_a_stall_gets_the_stream_back(self):
        def stall(server):
            server.suspend()
            time.sleep(1.5)
            server.resume()
        out, stderr, capture, _ = self.play(6, during=stall, user=USERS[-1])
        self.check_fallback(out, 1.0)
        # The end of the run was played through the server again: the tone
        # lasts until the capture's last half second.
        frames = read_capture(capture)
        loud = (abs(frames[:, 0].astype(int)) > AMP / 10).nonzero()[0]
        self.assertGreater(loud[-1], len(frames) - 44100 // 2)
        end = analyse_tone(frames[loud[-1] - 44100 * 3 // 2: loud[-1] + 1])
        self.assertGreater(end["seconds"], 1.0)
        self.assertAlmostEqual(end["freq"], FREQ, delta=FREQ * 0.005)
        reference = self.reference_dropouts(2, USERS[-1])
        self.assertLessEqual(end["dropouts"], reference + CAPTURE_NOISE, end.get("dropout_at"))


@unittest.skipUnless(PLAYER and os.access(PLAYER, os.X_OK), "SOUND_TONE_PLAYER not set")
@unittest.skipIf(PULSEAUDIO_MISSING, PULSEAUDIO_MISSING)
class PulseAudioTest(ServerTests, unittest.TestCase):
    KIND = "pulseaudio"


@unittest.skipUnless(PLAYER and os.access(PLAYER, os.X_OK), "SOUND_TONE_PLAYER not set")
class PipeWireTest(ServerTests, unittest.TestCase):
    KIND = "pipewire"


class AnalysisTest(unittest.TestCase):
    """The dropout check sees what it must, so a clean capture means something."""

    def tone(self, seconds=2.0, freq=FREQ):
        import numpy as np
        n = np.arange(int(seconds * 44100))
        x = np.rint(AMP * np.sin(2 * np.pi * freq * n / 44100)).astype(np.int16)
        return np.stack([x, x], axis=1)

    def test_clean_tone(self):
        tone = analyse_tone(self.tone(freq=440.0))
        self.assertAlmostEqual(tone["freq"], 440.0, delta=0.5)
        self.assertAlmostEqual(tone["amplitude"], AMP, delta=AMP * 0.01)
        self.assertTrue(tone["channels_equal"])
        self.assertEqual(tone["dropouts"], 0)

    def test_gaps_and_jumps_are_dropouts(self):
        import numpy as np
        frames = self.tone()
        gapped = np.concatenate([frames[:30000], np.zeros((128, 2), np.int16), frames[30000:]])
        self.assertEqual(analyse_tone(gapped)["dropouts"], 1)
        skipped = np.concatenate([frames[:20000], frames[20100:50000], frames[50300:]])
        self.assertEqual(analyse_tone(skipped)["dropouts"], 2)
        frames[40000:40064, 1] = 0
        self.assertFalse(analyse_tone(frames)["channels_equal"])


@unittest.skipUnless(PLAYER and os.access(PLAYER, os.X_OK), "SOUND_TONE_PLAYER not set")
class NoServerTest(unittest.TestCase):
    def test_alsa_without_a_server_falls_back_to_no_sound(self):
        with tempfile.TemporaryDirectory() as tmp:
            # No server on any route, whatever the machine runs.
            env = dict(os.environ, PULSE_SERVER="unix:" + os.path.join(tmp, "none"),
                       ALSA_CONFIG_PATH=alsa_pulse_config(), PIPEWIRE_RUNTIME_DIR=tmp,
                       XDG_RUNTIME_DIR=tmp)
            run = subprocess.run([PLAYER, "--seconds", "1"], env=env, timeout=30,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                 universal_newlines=True)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(run.stderr, "")
        out = parse(run.stdout)
        self.assertEqual(out["output"], "0")
        self.assertEqual(out["driver"], ["0 No sound"])
        played = float(out["played"])
        self.assertGreater(int(out["frames"]), 0.7 * 44100 * played)
        self.assertLess(int(out["frames"]), 1.3 * 44100 * played)


if __name__ == "__main__":
    unittest.main(verbosity=2)
