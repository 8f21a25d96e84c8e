#!/usr/bin/python3
"""End to end: the program driven from its console, with the NoSound output.

    SYNTH_PROGRAM=build/app/synth /usr/bin/python3 tests/e2e/test_program.py
"""
import os
import re
import signal
import sys
import tempfile
import termios
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from program import (HELP, MENU, PROMPT, RULE, Program, foreign_lines,  # noqa: E402
                     program_path, run_piped)

INITIAL_BLOCK = [
    "Note [58] -> [440.000000]",
    "Freq [440.000] Ampl [1.000] Phase [1.000] - AFreq [440.000] AAmpl [1.000] APhase [1.000]  ",
    "Freq [0.000] Ampl [1.000] Phase [1.000] - AFreq [0.000] AAmpl [1.000] APhase [1.000]  ",
    "Freq [0.000] Ampl [1.000] Phase [1.000] - AFreq [0.000] AAmpl [1.000] APhase [1.000]  ",
    "Freq [0.000] Ampl [1.000] Phase [1.000] - AFreq [0.000] AAmpl [1.000] APhase [1.000]  ",
    "VCA [10.000000][400.000000][0.000000] ",
]


@unittest.skipUnless(os.access(program_path(), os.X_OK), "set SYNTH_PROGRAM to the built program")
class ConsoleTest(unittest.TestCase):
    def program(self, env=None):
        synth = Program(env=env)
        self.addCleanup(synth.close)
        return synth.start()

    def assertEndedWith(self, synth, status):
        self.assertEqual(synth.wait_exit(), (status, True))
        self.assertEqual(foreign_lines(synth.transcript), [], "lines not from the program")

    def test_session(self):
        synth = self.program()
        patch = synth.expect_patch()
        self.assertEqual(len(set(re.findall(r"0x[0-9a-f]+", "".join(patch)))), 5)
        name, drivers = synth.choose_output("4")
        self.assertEqual(name, "NoSound")
        self.assertEqual(len(drivers), 1)
        synth.send("0" "9" "a" "\x80")  # not drivers: ignored silently
        synth.choose_driver("1")
        self.assertEqual(synth.transcript.count(PROMPT), 2)

        synth.send("z")
        block = synth.status_block()
        self.assertEqual(block[0], INITIAL_BLOCK[0])
        self.assertEqual(block[1], INITIAL_BLOCK[1].replace("Ampl [1.000]", "Ampl [1.010]", 1))
        self.assertEqual(block[2:], INITIAL_BLOCK[2:])

        synth.send("e")
        self.assertTrue(synth.status_block()[2].startswith("Freq [0.500] "))
        synth.send(";")
        self.assertEqual(synth.status_block()[5], "VCA [-90.000000][400.000000][0.000000] ")
        synth.send("+" * 6)
        for _ in range(6):
            synth.status_block()

        synth.send(".")
        synth.status_block()
        self.assertEndedWith(synth, 0)
        self.assertEqual(synth.transcript.count("Note [58]"), 10)

    def test_function_key_is_applied_as_its_bytes(self):
        synth = self.program()
        synth.start_nosound()
        synth.send("\x1bOP")  # F1 on a Linux terminal
        blocks = [synth.status_block() for _ in range(3)]
        self.assertEqual(blocks, [INITIAL_BLOCK] * 3)
        synth.send(".")
        self.assertEndedWith(synth, 0)

    def test_every_byte_in_the_main_loop(self):
        synth = self.program()
        synth.start_nosound()
        keys = [b for b in range(256) if b not in (ord("."), 3, 26)]  # Ctrl-C, Ctrl-Z
        synth.send("".join(chr(b) for b in keys))
        for _ in keys:
            synth.status_block()
        synth.send(".")
        last = synth.status_block()
        self.assertEndedWith(synth, 0)
        self.assertEqual(synth.transcript.count("Note [58]"), len(keys) + 1)
        # Every key of the table once: attack +100 -100, decay +100 -100,
        # sustain 0.1 then reset, waveform counters at 1.
        self.assertEqual(last[5], "VCA [10.000000][400.000000][0.000000] ")
        self.assertTrue(last[1].startswith("Freq [440.000] Ampl [1.000] Phase [1.000] - "), last[1])

    def test_output_menu_exits(self):
        for key in ("5", "\x1b", "0"):
            with self.subTest(key=key):
                synth = self.program()
                synth.expect_lines(MENU)
                synth.send(key)
                self.assertEndedWith(synth, 0)
                self.assertNotIn("Driver list", synth.transcript)

    def test_escape_at_driver_prompt(self):
        synth = self.program()
        synth.choose_output("4")
        synth.send("\x1b")
        self.assertEndedWith(synth, 0)
        self.assertNotIn(HELP[0], synth.transcript)

    def test_ctrl_c(self):
        for where in ("menu", "driver prompt", "main loop"):
            with self.subTest(where=where):
                synth = self.program()
                if where == "menu":
                    synth.expect_lines(MENU)
                elif where == "driver prompt":
                    synth.choose_output("4")
                else:
                    synth.start_nosound()
                synth.send("\x03")
                self.assertEndedWith(synth, -signal.SIGINT)

    def test_ending_signals_restore_the_terminal_then_end_the_program(self):
        # SIGTERM and SIGHUP are deferred to the main loop; the others end
        # the program from the handler.
        ending = [signal.SIGTERM, signal.SIGHUP,
                  signal.SIGQUIT, signal.SIGUSR1, signal.SIGUSR2, signal.SIGALRM, signal.SIGABRT,
                  signal.SIGSEGV, signal.SIGBUS, signal.SIGFPE, signal.SIGILL, signal.SIGTRAP,
                  signal.SIGSYS, signal.SIGXCPU, signal.SIGXFSZ, signal.SIGVTALRM, signal.SIGPROF,
                  signal.SIGIO, signal.SIGPWR, signal.SIGSTKFLT, signal.SIGRTMIN, signal.SIGRTMAX]
        for sig in ending:
            with self.subTest(signal=sig):
                synth = self.program()
                synth.start_nosound()
                synth.send("a")
                synth.status_block()
                synth.kill(sig)
                self.assertEndedWith(synth, -sig)

    def test_suspended_and_continued(self):
        synth = self.program()
        synth.start_nosound()
        synth.send("\x1a")  # Ctrl-Z
        self.assertTrue(wait_until(lambda: synth.state() == "T"), "stopped")
        modes = synth.terminal_modes()
        self.assertTrue(modes & termios.ICANON and modes & termios.ECHO, "line mode while stopped")
        synth.kill(signal.SIGCONT)  # fg
        self.assertTrue(wait_until(lambda: not synth.terminal_modes() & (termios.ICANON | termios.ECHO)),
                        "key mode again")
        synth.send("e")
        self.assertTrue(synth.status_block()[2].startswith("Freq [0.500] "))
        synth.send(".")
        synth.status_block()
        self.assertEndedWith(synth, 0)

    def test_output_pipe_closed_by_its_reader(self):
        synth = Program(head=True)  # synth | head -2
        self.addCleanup(synth.close)
        synth.start()
        synth.child.expect_exact("@@HEAD-LEFT")
        synth.send("41" "zz")
        time.sleep(1)
        self.assertIn(synth.state(), ("R", "S"), "still running")
        synth.send(".")
        self.assertEndedWith(synth, 0)
        self.assertNotIn("Note [", synth.transcript)

    def test_standard_input_closed(self):
        synth = Program(stdin_closed=True)  # synth <&-
        self.addCleanup(synth.close)
        synth.start()
        synth.expect_patch()
        synth.expect_lines(MENU)
        self.assertEndedWith(synth, 0)
        self.assertNotIn("Driver list", synth.transcript)

    def test_screen_cleared_at_start_up(self):
        cases = {"clear": ({}, "\x1b[H\x1b[2J\x1b[3J"),   # xterm's clear, E3 included
                 "no TERM": ({"TERM": None}, "\x1b[H\x1b[2J"),
                 "no clear": ({"PATH": "/nonexistent"}, "\x1b[H\x1b[2J")}
        for name, (env, cleared) in cases.items():
            with self.subTest(name):
                synth = self.program(env)
                synth.start_nosound()
                between = synth.transcript.split(PROMPT)[2].split(HELP[0])[0]
                self.assertEqual(between, "\r\n" + cleared)
                synth.send(".")
                synth.status_block()
                self.assertEndedWith(synth, 0)


@unittest.skipUnless(os.access(program_path(), os.X_OK), "set SYNTH_PROGRAM to the built program")
class CommandLineTest(unittest.TestCase):
    def test_answers_errors_and_a_kept_patch(self):
        with self.subTest("-o 4 -d 1 asks nothing"), Program(args=["-o", "4", "-d", "1"]) as synth:
            synth.expect_patch()
            synth.expect_lines(HELP)
            synth.send(".")
            self.assertEqual(synth.status_block(), INITIAL_BLOCK)
            self.assertEqual(synth.wait_exit(), (0, True))
            self.assertNotIn(PROMPT, synth.transcript)
            self.assertEqual(foreign_lines(synth.transcript), [])

        with self.subTest("--bogus"):
            result = run_piped(b"41.", args=["--bogus"])
            self.assertEqual((result.returncode, result.stdout), (2, b""))
            self.assertEqual(result.stderr.decode().count("\n"), 1, result.stderr)
            self.assertIn("--bogus", result.stderr.decode())

        with self.subTest("--patch"), tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "lead.patch")
            for start, key in ((INITIAL_BLOCK, "e"), (None, "a")):
                with Program(args=["-o", "4", "-d", "1", "--patch", path]) as synth:
                    synth.expect_lines(HELP)
                    shown = synth.status_block()   # the patch's values, at start
                    if start is not None:
                        self.assertEqual(shown, start)
                    else:
                        self.assertTrue(shown[2].startswith("Freq [0.500] "), shown)
                    synth.send(key)
                    synth.status_block()
                    synth.send(".")
                    synth.status_block()
                    self.assertEqual(synth.wait_exit(), (0, True))
                with open(path) as f:
                    self.assertIn("phase_lfo.frequency = 0.5\n", f.read())
            with open(path, "a") as f:
                f.write("phase_lfo.colour = 3\n")
            result = run_piped(b".", args=["-o", "4", "-d", "1", "--patch", path])
            self.assertEqual(result.returncode, 1)
            self.assertIn(":16: unknown parameter 'phase_lfo.colour'", result.stderr.decode())
            self.assertNotIn(HELP[0], result.stdout.decode())


def wait_until(condition, timeout=5.0):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


@unittest.skipUnless(os.access(program_path(), os.X_OK), "set SYNTH_PROGRAM to the built program")
class WithWindowTest(unittest.TestCase):
    """SDL's video start-up installs signal handlers of its own; the
    program's must still win."""

    def test_signals_and_dot_with_a_window(self):
        from xserver import XServer
        with XServer() as x:
            for how in ("ctrl-c", "term", "dot", "window destroyed, then dot"):
                with self.subTest(how=how), Program(env={"DISPLAY": x.env()["DISPLAY"]}) as synth:
                    synth.start_nosound()
                    synth.send("a")
                    synth.status_block()
                    if how == "ctrl-c":
                        synth.send("\x03")
                    elif how == "term":
                        synth.kill(signal.SIGTERM)
                    else:
                        if how != "dot":  # another client destroys the window
                            x.xdotool("windowclose", x.wait_for_window(pid=synth.pid))
                            synth.send("e")
                            synth.status_block()
                        synth.send(".")
                    expected = {"ctrl-c": -signal.SIGINT, "term": -signal.SIGTERM}.get(how, 0)
                    self.assertEqual(synth.wait_exit(), (expected, True))
                    self.assertEqual(foreign_lines(synth.transcript), [])


@unittest.skipUnless(os.access(program_path(), os.X_OK), "set SYNTH_PROGRAM to the built program")
class PipedInputTest(unittest.TestCase):
    def run_keys(self, keys):
        result = run_piped(keys)
        return result.returncode, result.stdout.decode("latin-1"), result.stderr.decode("latin-1")

    def test_end_of_input_in_main_loop_is_a_dot(self):
        status, out, err = self.run_keys(b"41z")
        self.assertEqual(status, 0)
        self.assertEqual(err, "")
        self.assertEqual(out.count("Note [58]"), 2)
        self.assertTrue(out.endswith("VCA [10.000000][400.000000][0.000000] \n"))
        self.assertIn("\n".join(HELP) + "\n", out)
        self.assertEqual(foreign_lines(out), [])

    def test_end_of_input_at_the_menus(self):
        for keys in (b"", b"4", b"40"):
            with self.subTest(keys=keys):
                status, out, err = self.run_keys(keys)
                self.assertEqual(status, 0)
                self.assertIn(PROMPT, out)
                self.assertNotIn("Note [", out)

    def test_keys_after_dot_are_not_read(self):
        status, out, _ = self.run_keys(b"41.zzz")
        self.assertEqual(status, 0)
        self.assertEqual(out.count("Note [58]"), 1)
        self.assertIn(RULE + "\nNoSound Driver list\n", out)


if __name__ == "__main__":
    unittest.main()
