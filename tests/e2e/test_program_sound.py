#!/usr/bin/python3
"""End to end: the drone through a private null sink of each server users
have (PulseAudio; PipeWire with pipewire-pulse), the program run as root and
as an unprivileged user (nobody), as users do.

Output "1 - Direct Sound" (ALSA here), driver 1 (the default device), on
each route a desktop takes to the server: ALSA's pulse plugin (PULSE_SERVER),
and for PipeWire also PipeWire's own ALSA plugin, as Debian's GNOME has it. Checks the drone (440 Hz, peak
about 20000, identical channels), then silences the first carrier with a
hundred presses of "s": the second carrier's 440 Hz is left, at about half.

    SYNTH_PROGRAM=build/app/synth /usr/bin/python3 tests/e2e/test_program_sound.py
"""
import os
import pwd
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from program import Program, foreign_lines, program_path  # noqa: E402
from pipewire_alsa import PipeWireAlsa  # noqa: E402
from pipewire_server import SERVERS  # noqa: E402
from pulse_server import RATE, LocalUser, analyse_tone, read_capture  # noqa: E402

HOLD = 2.0  # seconds of each sound
# This process's user, and an unprivileged one when that is root.
OWN_USER = pwd.getpwuid(os.getuid()).pw_name
USERS = (OWN_USER, "nobody") if os.getuid() == 0 else (OWN_USER,)

# Frames whose channels may differ in one capture (see play_and_check).
MAX_GARBLED_FRAMES = 256


@unittest.skipUnless(os.access(program_path(), os.X_OK), "set SYNTH_PROGRAM to the built program")
class DroneTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        os.chmod(self.tmp.name, 0o755)   # the users' homes and programs inside
        self.addCleanup(self.tmp.cleanup)
        self.users = {name: LocalUser(name, self.tmp.name) for name in USERS}

    def test_drone_then_second_carrier_alone(self):
        routes = [(kind, "pulse plugin") for kind in SERVERS]
        pipewire_alsa = PipeWireAlsa()
        if pipewire_alsa.missing:
            print("\n  %s: that route is skipped" % pipewire_alsa.missing, file=sys.stderr)
        else:
            routes.append(("pipewire", "pipewire plugin"))
        for kind, route in routes:
            for name in USERS:
                with self.subTest(server=kind, route=route, user=name):
                    self.play_and_check(kind, route, self.users[name], pipewire_alsa)

    def play_and_check(self, kind, route, user, pipewire_alsa):
        server = SERVERS[kind]().start()
        self.addCleanup(server.stop)
        capture = os.path.join(self.tmp.name, "capture.raw")
        server.start_capture(capture)
        time.sleep(0.2)
        env = (server.client_env if route == "pulse plugin"
               else pipewire_alsa.env(server, {}))
        synth = Program(program=user.script(program_path()), env=user.env(env), timeout=20)
        self.addCleanup(synth.close)
        synth.start()
        name, drivers = synth.choose_output("1")
        self.assertEqual(os.stat("/proc/%d" % synth.pid).st_uid, user.uid)
        self.assertNotEqual(name, "NoSound", "no sound device reached the server")
        synth.choose_driver("1")
        time.sleep(HOLD)

        synth.send("s" * 100)
        for _ in range(99):
            synth.status_block()
        self.assertTrue(synth.status_block()[1].startswith("Freq [440.000] Ampl [0.000] "))
        time.sleep(HOLD)
        synth.send(".")
        synth.status_block()
        self.assertEqual(synth.wait_exit(), (0, True))
        self.assertEqual(foreign_lines(synth.transcript), [], "lines not from the program")
        time.sleep(0.3)
        server.stop()

        frames = read_capture(capture)
        loud = (abs(frames[:, 0].astype(int)) > 1000).nonzero()[0]
        self.assertGreater(len(loud), RATE, "no drone captured")
        begin, end = loud[0], loud[-1]
        self.assertGreater((end - begin) / RATE, 2 * HOLD - 0.5)

        # The first second of the drone, and the last second after "s".
        drone = analyse_tone(frames[begin + RATE // 4: begin + RATE * 5 // 4], settle=0)
        alone = analyse_tone(frames[end - RATE * 5 // 4: end - RATE // 4], settle=0)
        for what, tone, amplitude in (("drone", drone, 20000), ("second carrier", alone, 10000)):
            with self.subTest(what):
                self.assertAlmostEqual(tone["freq"], 440.0, delta=2.0)
                self.assertAlmostEqual(tone["amplitude"], amplitude, delta=amplitude * 0.05)
        # The program writes the same sample to both channels. A starved
        # server has been seen to garble one block (128 frames, PipeWire, an
        # unprivileged client on a busy machine): more than that is ours.
        differ = (frames[:, 0] != frames[:, 1]).nonzero()[0]
        self.assertLessEqual(len(differ), MAX_GARBLED_FRAMES,
                             "channels differ at frames %s (drone %d..%d of %d)"
                             % (differ[:8].tolist(), begin, end, len(frames)))


if __name__ == "__main__":
    unittest.main()
