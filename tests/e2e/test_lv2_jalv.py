#!/usr/bin/python3
"""End to end: the LV2 plugin played in a real host, jalv (console), as a
JACK client of a private JACK server (dummy driver) at 44100 and 48000 Hz.

The test's own JACK clients play it a MIDI note and tap its first output
(test_jack's Studio); jack_rec records both outputs.

    SYNTH_LV2_PATH=build/lib/lv2 /usr/bin/python3 tests/e2e/test_lv2_jalv.py
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pulse_server import _stop, analyse_tone  # noqa: E402
from test_jack import ENVELOPE_SECONDS, NOTE_OFF, NOTE_ON, PERIOD, JackServer, Studio, record  # noqa: E402

LV2_PATH = os.environ.get("SYNTH_LV2_PATH", "")
CENT = 2 ** (1 / 1200) - 1


class Jalv:
    """jalv running urn:synth:lv2 as the JACK client "synth"."""

    def __init__(self, server):
        self.log = tempfile.TemporaryFile()
        env = dict(os.environ, LV2_PATH=LV2_PATH, **server.env)
        # Standard input stays open: jalv ends at its end.
        self.proc = subprocess.Popen(["jalv", "-n", "synth", "-x", "urn:synth:lv2"], env=env,
                                     stdin=subprocess.PIPE, stdout=self.log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 10
        while "synth:midi_in" not in subprocess.run(["jack_lsp"], env=env, capture_output=True,
                                                    text=True).stdout:
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("jalv did not start: " + self.output())
            time.sleep(0.1)

    def output(self):
        self.log.seek(0)
        return self.log.read().decode(errors="replace")

    def close(self):
        _stop(self.proc)
        self.proc.stdin.close()
        self.log.close()


@unittest.skipUnless(LV2_PATH and shutil.which("jalv"), "set SYNTH_LV2_PATH to the bundle's directory; needs jalv")
class JalvTest(unittest.TestCase):
    def play_in_jalv(self, rate):
        server = JackServer(rate).start()
        self.addCleanup(server.stop)
        jalv = Jalv(server)
        self.addCleanup(jalv.close)

        drone = record(server, 1.5)
        tone = analyse_tone(drone, rate=rate)
        self.assertAlmostEqual(tone["freq"], 440.0, delta=440.0 * CENT)
        self.assertAlmostEqual(tone["amplitude"], 20000, delta=1000)
        self.assertTrue(bool((drone[:, 0] == drone[:, 1]).all()), "channels differ")

        studio = Studio(server)
        self.addCleanup(studio.close)
        time.sleep(0.3)
        sent = studio.play(NOTE_ON, 81, offset=PERIOD // 2 + 3)   # MIDI 81: note 70
        time.sleep(ENVELOPE_SECONDS)
        closed = studio.listen(0.6)
        studio.play(NOTE_OFF, 81)
        time.sleep(0.1)

        self.assertAlmostEqual(closed["freq"], 880.0, delta=880.0 * CENT)
        self.assertGreater(closed["amplitude"], 15000)
        offset = studio.onset(sent, rate)
        print("rate %d: note-on to sound change %s frames" % (rate, offset), file=sys.stderr)
        self.assertIsNotNone(offset)
        self.assertGreaterEqual(offset, 0)
        self.assertLessEqual(offset, 0.002 * rate)
        self.assertIsNone(jalv.proc.poll(), "jalv ended: " + jalv.output())
        self.assertNotIn("TRIG", jalv.output())

    def test_jalv_44100(self):
        self.play_in_jalv(44100)

    def test_jalv_48000(self):
        self.play_in_jalv(48000)


if __name__ == "__main__":
    unittest.main()
