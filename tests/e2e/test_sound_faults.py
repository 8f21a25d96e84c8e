#!/usr/bin/python3
"""End to end: the program against a sound server that hangs, dies, comes
back, or cannot be authenticated to; the console shows nothing but the
program's own lines.

    SYNTH_PROGRAM=build/app/synth /usr/bin/python3 tests/e2e/test_sound_faults.py
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pipewire_server import server_on_hand  # noqa: E402
from program import Program, foreign_lines, program_env, program_path  # noqa: E402
from pulse_server import PULSEAUDIO_MISSING, RATE, PulseServer, analyse_tone, read_capture  # noqa: E402


@unittest.skipUnless(os.access(program_path(), os.X_OK), "set SYNTH_PROGRAM to the built program")
@unittest.skipIf(PULSEAUDIO_MISSING, PULSEAUDIO_MISSING)
class ServerFaultTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        self.pulse = PulseServer().start()
        self.addCleanup(self.pulse.stop)

    def program(self):
        synth = Program(env=self.pulse.client_env, timeout=20)
        self.addCleanup(synth.close)
        return synth.start()

    def assertEndedCleanly(self, synth, status, errors=()):
        """Exit status, terminal restored, and no line but the program's
        own (its error texts given)."""
        self.assertEqual(synth.wait_exit(), (status, True))
        foreign = [line for line in foreign_lines(synth.transcript) if line not in errors]
        self.assertEqual(foreign, [], "lines not from the program")

    def test_hung_server_at_the_output_menu_gives_no_sound_at_once(self):
        synth = self.program()
        synth.expect_patch()
        self.pulse.suspend()
        started = time.monotonic()
        name, drivers = synth.choose_output("1")
        took = time.monotonic() - started
        print("\n  driver list after %.2f s" % took, file=sys.stderr)
        self.assertLess(took, 5.0)
        self.assertEqual((name, drivers), ("NoSound", ["No sound"]))
        synth.choose_driver("1")
        synth.send(".")
        synth.status_block()
        self.assertEndedCleanly(synth, 0)

    def test_server_lost_at_the_driver_menu_is_an_init_error(self):
        synth = self.program()
        name, _ = synth.choose_output("1")
        self.assertNotEqual(name, "NoSound")
        self.pulse.kill()
        synth.send("1")
        init = "Error initializing output device."
        synth.expect_lines(["Error!", init])
        # No stream without the library.
        create = "This command failed because FSOUND_Init was not called"
        synth.expect_lines(["Error!", create])
        # Nothing cleared the first error away.
        self.assertNotIn("\x1b[2J", synth.transcript.split(init, 1)[1])
        self.assertEndedCleanly(synth, 1, errors=(init, create))

    def test_server_restarted_mid_play_gets_the_drone_back(self):
        synth = self.program()
        synth.start_alsa_default()
        time.sleep(1.5)
        self.pulse.kill()
        time.sleep(0.5)
        restarted = PulseServer(socket=self.pulse.server[len("unix:"):]).start()
        self.addCleanup(restarted.stop)
        capture = os.path.join(self.tmp.name, "capture.raw")
        restarted.start_capture(capture)
        time.sleep(4.0)
        synth.send(".")
        synth.status_block()
        self.assertEndedCleanly(synth, 0)
        restarted.stop_capture()

        frames = read_capture(capture)
        loud = (abs(frames[:, 0].astype(int)) > 1000).nonzero()[0]
        self.assertGreater(len(loud), RATE, "no drone through the new server")
        print("\n  drone back %.2f s after the new server" % (loud[0] / RATE), file=sys.stderr)
        self.assertLess(loud[0] / RATE, 3.0)
        drone = analyse_tone(frames[loud[0]: loud[-1] + 1])
        self.assertGreater(drone["seconds"], 1.0)
        self.assertAlmostEqual(drone["freq"], 440.0, delta=2.0)
        self.assertTrue(drone["channels_equal"])

    def test_user_without_a_cookie_sees_nothing_foreign(self):
        # No HOME, and a home of the password database without a cookie
        # that cannot be created either: user nobody's.
        command = ["env", "-u", "HOME", "-u", "XDG_CONFIG_HOME", program_path()]
        if os.getuid() == 0:
            if not shutil.which("runuser") or subprocess.run(
                    ["runuser", "-u", "nobody", "--", "test", "-x", program_path()]).returncode:
                self.skipTest("user nobody cannot run the program here")
            os.chmod(self.pulse.dir, 0o711)
            os.chmod(self.pulse.server[len("unix:"):], 0o777)
            command = ["runuser", "-u", "nobody", "--"] + command
        run = subprocess.run(command, input=b"11.", stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             env=program_env(self.pulse.client_env), timeout=30)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertIn(b"Alsa Driver list", run.stdout)  # the server was reached
        self.assertEqual(run.stderr, b"")


@unittest.skipUnless(os.access(program_path(), os.X_OK), "set SYNTH_PROGRAM to the built program")
class ScarceResourcesTest(unittest.TestCase):
    def test_scarce_resources_end_cleanly_with_nothing_foreign(self):
        # (shell limits, exit status, the program's own error lines)
        cases = {"5 descriptors": ("ulimit -n 5", 0, ()),
                 "8 descriptors": ("ulimit -n 8", 0, ()),
                 "8 blocks of file": ("ulimit -f 8", 0, ()),
                 "no thread": ("ulimit -s 1000000; ulimit -v 900000", 1,
                               ("Error!", "Playing the sound failed."))}
        with tempfile.TemporaryDirectory() as tmp, server_on_hand() as server:
            for name, (limits, status, errors) in cases.items():
                with self.subTest(name):
                    script = os.path.join(tmp, "limited.sh")
                    with open(script, "w") as f:
                        f.write("#!/bin/sh\n%s\nexec %s \"$@\"\n" % (limits, program_path()))
                    os.chmod(script, 0o755)
                    synth = Program(program=script, env=server.client_env, timeout=20)
                    self.addCleanup(synth.close)
                    synth.start()
                    synth.choose_output("1")
                    synth.choose_driver("1")
                    if status == 0:
                        synth.send(".")
                        synth.status_block()
                    self.assertEqual(synth.wait_exit(), (status, True))
                    foreign = [line for line in foreign_lines(synth.transcript) if line not in errors]
                    self.assertEqual(foreign, [], "lines not from the program")
                    synth.close()


if __name__ == "__main__":
    unittest.main(verbosity=2)
