#!/usr/bin/python3
"""A device that keeps underrunning moves to a larger block, never beyond
512 frames at 44100 Hz (about 23 ms buffered) when it started at 128, and
keeps playing: the tone player is stopped a few times mid-stream against a
private PulseAudio server, whose plugin reports the server's underruns.

Needs SOUND_TONE_PLAYER, the path of the built tests/sound/tone_player."""
import os
import signal
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pipewire_server import server_on_hand  # noqa: E402

PLAYER = os.environ.get("SOUND_TONE_PLAYER", "")


@unittest.skipUnless(PLAYER and os.access(PLAYER, os.X_OK), "SOUND_TONE_PLAYER not set")
class LatencyTest(unittest.TestCase):
    def test_repeated_underruns_grow_the_block_a_step_at_a_time(self):
        with server_on_hand() as pulse:
            player = subprocess.Popen([PLAYER, "--seconds", "8", "--block", "128"], env=pulse.env, stdout=subprocess.PIPE,
                                      stderr=subprocess.PIPE, universal_newlines=True)
            try:
                time.sleep(1.5)
                for _ in range(8):  # pairs of underruns, each pair past the settling second
                    player.send_signal(signal.SIGSTOP)
                    time.sleep(0.1)
                    player.send_signal(signal.SIGCONT)
                    time.sleep(0.6)
                stdout, stderr = player.communicate(timeout=30)
            finally:
                if player.poll() is None:
                    player.kill()
                    player.wait()
        self.assertEqual(0, player.returncode, stderr)
        out = dict(l.split(" ", 1) for l in stdout.splitlines())
        self.assertGreaterEqual(int(out["underruns"]), 2, stdout)
        self.assertIn(int(out["block_frames"]), (256, 512), stdout)
        self.assertEqual("0", out["fell_back"], stdout)  # a new size is not a fall-back
        self.assertEqual("", stderr)


if __name__ == "__main__":
    unittest.main()
