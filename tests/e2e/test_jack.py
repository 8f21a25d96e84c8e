#!/usr/bin/python3
"""End to end: output type 3 through a private JACK server (dummy driver).

The program is driven in a pty; jack_rec records its ports; the test's own
JACK clients play it MIDI notes ("keys") and tap its first output ("tap"),
both stamped with the server's frame clock so that a note's frame can be
found in the sound. Without a JACK server, "3" lists what "1" lists.

    SYNTH_PROGRAM=build/app/synth /usr/bin/python3 tests/e2e/test_jack.py
"""
import collections
import os
import re
import subprocess
import sys
import tempfile
import time
import unittest
import wave

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from program import Program, foreign_lines, program_path  # noqa: E402
from pulse_server import _stop, analyse_tone  # noqa: E402

PERIOD = 512
NOTE_ON, NOTE_OFF = 0x90, 0x80
ENVELOPE_SECONDS = 2.1   # a trigger's attack and decay (410 units) and a margin


class JackServer:
    """jackd with the dummy driver under a private name, stopped by pid."""

    def __init__(self, rate, period=PERIOD):
        self.rate = rate
        self.period = period
        self.name = "synthtest-%d-%d" % (os.getpid(), rate)
        self.env = {"JACK_DEFAULT_SERVER": self.name}
        self.proc = None

    def start(self):
        import jack
        jack.set_error_function(lambda message: None)
        jack.set_info_function(lambda message: None)
        self.proc = subprocess.Popen(
            ["jackd", "-n", self.name, "-d", "dummy", "-r", str(self.rate), "-p", str(self.period)],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=dict(os.environ, **self.env))
        deadline = time.monotonic() + 10
        while True:
            try:
                jack.Client("probe", no_start_server=True, servername=self.name).close()
                return self
            except jack.JackError:
                if self.proc.poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError("jackd did not start")
                time.sleep(0.05)

    def stop(self):
        _stop(self.proc)


class Studio:
    """The test's MIDI keyboard and a tap on synth:out_1, in the server's frames."""

    def __init__(self, server, seconds=15, client="synth", wire=True):
        import jack
        import numpy as np
        self.rate = server.rate
        self.keys = jack.Client("keys", no_start_server=True, servername=server.name)
        self.tap = jack.Client("tap", no_start_server=True, servername=server.name)
        self.midi = self.keys.midi_outports.register("out")
        self.input = self.tap.inports.register("in")
        self.pending = collections.deque()
        self.sent = []                       # frame of each message sent
        self.sound = np.zeros(seconds * server.rate, dtype=np.float32)
        self.first = None                    # frame of sound[0]
        self.end = 0                         # frames tapped

        @self.keys.set_process_callback
        def send(frames):
            self.midi.clear_buffer()
            if self.pending:                 # one message a period
                message, offset = self.pending.popleft()
                self.midi.write_midi_event(offset, message)
                self.sent.append(self.keys.last_frame_time + offset)

        @self.tap.set_process_callback
        def record(frames):
            now = self.tap.last_frame_time
            if self.first is None:
                self.first = now
            at = now - self.first
            if at + frames <= len(self.sound):
                self.sound[at:at + frames] = self.input.get_array()
                self.end = at + frames

        self.keys.activate()
        self.tap.activate()
        if wire:
            self.wire(client, keys=True)

    def wire(self, client, keys):
        """Taps client:out_1, and plays into client:midi_in when keys."""
        if keys:
            self.keys.connect(self.midi, client + ":midi_in")
        self.tap.connect(client + ":out_1", self.input)

    def close(self):
        if self.keys is None:
            return
        self.keys.deactivate()
        self.tap.deactivate()
        self.keys.close()
        self.tap.close()
        self.keys = self.tap = None

    def play(self, status, note, offset=0, velocity=64):
        """Sends one message at offset within a period; its frame. For a
        control change note and velocity are the number and value, for pitch
        bend the low and high seven bits."""
        count = len(self.sent)
        self.pending.append((bytes([status, note, velocity]), offset))
        deadline = time.monotonic() + 5
        while len(self.sent) == count and time.monotonic() < deadline:
            time.sleep(0.005)
        return self.sent[count]

    def frame(self):
        """The server frame tapped last."""
        return self.first + self.end

    def listen(self, seconds):
        """The tone tapped over the next seconds (analyse_tone's dict)."""
        import numpy as np
        begin = self.frame()
        time.sleep(seconds)
        x = self.sound[begin - self.first: self.frame() - self.first]
        pcm = np.round(x * 32768).astype(np.int16)
        return analyse_tone(np.stack([pcm, pcm], axis=1), rate=self.rate, settle=0, tail=0)

    def onset(self, frame, rate, freq=440.0):
        """Frames from frame to where the sound leaves the steady freq tone
        (the first sample of a new frequency may still pass for the old one)."""
        import numpy as np
        x = self.sound[frame - self.first - rate // 10: frame - self.first + rate // 10].astype(np.float64)
        residual = x[2:] - 2 * np.cos(2 * np.pi * freq / rate) * x[1:-1] + x[:-2]
        changed = np.nonzero(np.abs(residual) > 0.01 * np.max(np.abs(x)))[0] + 2 - rate // 10
        changed = changed[changed >= -16]    # a dropout under load before the note is no change
        return int(changed[0]) if len(changed) else None


def record(server, seconds):
    """jack_rec of synth:out_1 and synth:out_2 as int16 frames."""
    import numpy as np
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "rec.wav")
        subprocess.run(["jack_rec", "-f", path, "-d", str(seconds), "-b", "16",
                        "synth:out_1", "synth:out_2"], env=dict(os.environ, **server.env),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=seconds + 10)
        with wave.open(path) as w:
            return np.frombuffer(w.readframes(w.getnframes()), dtype="<i2").reshape(-1, 2)


@unittest.skipUnless(os.access(program_path(), os.X_OK), "set SYNTH_PROGRAM to the built program")
class JackTest(unittest.TestCase):
    def start_program(self, env):
        synth = Program(env=env, timeout=20)
        self.addCleanup(synth.close)
        synth.start()
        synth.expect_patch()
        return synth

    def play_through_jack(self, rate, onset_frames):
        server = JackServer(rate).start()
        self.addCleanup(server.stop)
        synth = self.start_program(server.env)
        self.assertEqual(synth.choose_output("3"), ("ASIO", ["JACK (%s)" % server.name]))
        synth.choose_driver("1")

        drone = record(server, 1.5)
        tone = analyse_tone(drone, rate=rate)
        self.assertAlmostEqual(tone["freq"], 440.0, delta=1.0)
        self.assertAlmostEqual(tone["amplitude"], 20000, delta=1000)
        self.assertTrue(bool((drone[:, 0] == drone[:, 1]).all()), "channels differ")

        studio = Studio(server)
        self.addCleanup(studio.close)
        time.sleep(0.3)
        ports = subprocess.run(["jack_lsp", "-l", "synth:out_1"], env=dict(os.environ, **server.env),
                               capture_output=True, text=True).stdout
        latency = re.search(r"playback latency = (\[[ \d]+\])", ports).group(1)
        sent = studio.play(NOTE_ON, 81, offset=PERIOD // 2 + 3)   # MIDI 81: note 70
        synth.expect("\r\nTRIG\r\n")
        time.sleep(ENVELOPE_SECONDS)
        closed = studio.listen(0.6)
        studio.play(NOTE_ON, 69)                                  # held with 81: legato
        time.sleep(0.1)
        legato = studio.listen(0.6)
        studio.play(NOTE_OFF, 69)                                 # back to 81
        time.sleep(0.1)
        back = studio.listen(0.6)
        studio.play(NOTE_ON, 81, velocity=0)                      # the last one: release
        synth.expect("UNTRIG\r\n")
        synth.send(".")
        synth.status_block()
        self.assertEqual(synth.wait_exit(), (0, True))
        self.assertEqual(foreign_lines(synth.transcript), [], "lines not from the program")
        lines = synth.transcript.split("\r\n")
        self.assertEqual((lines.count("TRIG"), lines.count("UNTRIG")), (1, 1))

        for what, tone, freq in (("envelope closed", closed, 880.0), ("legato", legato, 440.0),
                                 ("legato back", back, 880.0)):
            with self.subTest(what):
                self.assertAlmostEqual(tone["freq"], freq, delta=2.0)
                self.assertGreater(tone["amplitude"], 15000)
        offset = studio.onset(sent, rate)
        print("rate %d: note-on to sound change %s frames, JACK playback latency %s" % (
            rate, offset, latency), file=sys.stderr)
        self.assertIsNotNone(offset)
        self.assertGreaterEqual(offset, 0)
        self.assertLessEqual(offset, onset_frames)

    def test_jack_44100(self):
        # The note reaches the carriers on the frame after its own.
        self.play_through_jack(44100, onset_frames=2)

    def test_jack_48000(self):
        # Put off by the resampler's look-ahead (about 90 frames).
        self.play_through_jack(48000, onset_frames=200)

    def test_no_note_off_lost_across_a_stall_or_freewheeling(self):
        # A note-off reaches the program while the pacer holds the callback
        # (the server stopped a while: it delivers again, but is not trusted
        # yet), or while the server freewheels; the sound comes back after,
        # also at a rate far from the engine's.
        import signal
        for rate, disturbance in ((32000, "stall"), (44100, "freewheel")):
            with self.subTest(rate=rate, disturbance=disturbance):
                server = JackServer(rate).start()
                synth = studio = None
                try:
                    synth = self.start_program(server.env)
                    synth.choose_output("3")
                    synth.choose_driver("1")
                    studio = Studio(server)
                    time.sleep(1.5)                          # past the start-up grace
                    studio.play(NOTE_ON, 81)
                    synth.expect("\r\nTRIG\r\n")
                    if disturbance == "stall":
                        server.proc.send_signal(signal.SIGSTOP)
                        time.sleep(3)
                        server.proc.send_signal(signal.SIGCONT)
                        # The server's first cycles after a stop may pass a
                        # client by: the note-off comes a few periods later,
                        # well within the half second the pacer keeps the
                        # callback before trusting the server again.
                        time.sleep(0.15)
                        studio.play(NOTE_OFF, 81)
                    else:
                        studio.keys.set_freewheel(True)
                        studio.play(NOTE_OFF, 81)
                        time.sleep(1)
                        studio.keys.set_freewheel(False)
                    synth.expect("UNTRIG\r\n")
                    studio.play(NOTE_ON, 81)
                    synth.expect("\r\nTRIG\r\n")
                    time.sleep(ENVELOPE_SECONDS)
                    tone = analyse_tone(record(server, 1.0), rate=rate)
                    self.assertAlmostEqual(tone["freq"], 880.0, delta=2.0)
                    self.assertGreater(tone["amplitude"], 15000)
                    synth.send(".")
                    synth.status_block()
                    self.assertEqual(synth.wait_exit(), (0, True))
                    self.assertEqual(foreign_lines(synth.transcript), [], "lines not from the program")
                finally:
                    if studio:
                        studio.close()
                    if synth:
                        synth.close()
                    server.stop()
    def test_named_client_wired_from_the_command_line(self):
        # The keyboard is there first; the program wires it itself, warns of
        # a port that is missing, and asks nothing.
        server = JackServer(44100).start()
        self.addCleanup(server.stop)
        studio = Studio(server, wire=False)
        self.addCleanup(studio.close)
        synth = Program(env=server.env, timeout=20, args=[
            "-o", "3", "-d", "1", "--jack-name", "lead",
            "--midi-connect", "keys:out", "--midi-connect", "nowhere:out"])
        self.addCleanup(synth.close)
        synth.start()
        synth.expect_patch()
        synth.expect("synth: no JACK port 'nowhere:out' to connect to lead:midi_in\r\n")
        studio.wire("lead", keys=False)
        time.sleep(0.3)

        studio.play(NOTE_ON, 81)
        synth.expect("\r\nTRIG\r\n")
        studio.play(0xB0, 123, velocity=0)            # all notes off, as a sequencer stops
        synth.expect("UNTRIG\r\n")
        studio.play(NOTE_ON, 69)                      # a new trigger at its own pitch
        synth.expect("\r\nTRIG\r\n")
        time.sleep(ENVELOPE_SECONDS)
        tones = {"note 69": studio.listen(1.0)}
        studio.play(0xE0, 0x7F, velocity=0x7F)        # the wheel fully up
        time.sleep(0.1)
        tones["bent up"] = studio.listen(1.0)
        studio.play(0xE0, 0x00, velocity=0x40)        # centre
        time.sleep(0.1)
        tones["centre"] = studio.listen(1.0)
        studio.play(0xB0, 64, velocity=127)           # pedal down: the note-off waits
        studio.play(NOTE_OFF, 69)
        time.sleep(0.3)
        self.assertEqual(synth.transcript.split("\r\n").count("UNTRIG"), 1)
        studio.play(0xB0, 64, velocity=0)
        synth.expect("UNTRIG\r\n")
        synth.send(".")
        synth.status_block()
        self.assertEqual(synth.wait_exit(), (0, True))
        self.assertNotIn("Press a corresponding number", synth.transcript)
        lines = synth.transcript.split("\r\n")
        self.assertEqual((lines.count("TRIG"), lines.count("UNTRIG")), (2, 2))
        for what, freq in (("note 69", 440.0), ("bent up", 493.9), ("centre", 440.0)):
            with self.subTest(what):
                self.assertAlmostEqual(tones[what]["freq"], freq, delta=1.0)

    def test_server_restart(self):
        # Gone: paced no-sound output; back (at another rate): reconnected.
        server = JackServer(44100).start()
        self.addCleanup(server.stop)
        synth = self.start_program(server.env)
        synth.choose_output("3")
        synth.choose_driver("1")
        time.sleep(0.5)
        server.stop()
        synth.send("a")
        synth.status_block()
        again = JackServer(48000)
        again.name, again.env = server.name, server.env
        again.start()
        self.addCleanup(again.stop)
        env = dict(os.environ, **server.env)
        deadline = time.monotonic() + 5
        while "synth:out_1" not in subprocess.run(["jack_lsp"], env=env, capture_output=True,
                                                  text=True).stdout:
            self.assertLess(time.monotonic(), deadline, "no reconnection")
            time.sleep(0.1)
        tone = analyse_tone(record(again, 1), rate=48000)
        self.assertAlmostEqual(tone["freq"], 440.0, delta=1.0)
        synth.send(".")
        synth.status_block()
        self.assertEqual(synth.wait_exit(), (0, True))
        self.assertEqual(foreign_lines(synth.transcript), [], "lines not from the program")

    def test_no_server_lists_alsa(self):
        env = {"JACK_DEFAULT_SERVER": "synthtest-none-%d" % os.getpid()}
        listed = []
        for key in ("1", "3"):
            synth = self.start_program(env)
            listed.append(synth.choose_output(key))
            synth.send("\x1b")
            self.assertEqual(synth.wait_exit(), (0, True))
            self.assertEqual(foreign_lines(synth.transcript), [], "lines not from the program")
        self.assertEqual(listed[1], listed[0])
        self.assertNotIn("JACK", str(listed[1]))


if __name__ == "__main__":
    unittest.main()
