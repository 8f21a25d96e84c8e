"""Drives the built synthesizer as a user does: in a pseudo-terminal.

    from program import Program, program_path, run_piped

    with Program(env=server.client_env) as synth:   # started in a pty
        synth.expect_patch()                # the five patch lines
        drivers = synth.choose_output("4")  # menu, "4", the driver list
        synth.choose_driver("1")            # driver "1", the help lines
        # or: synth.start_nosound() / synth.start_alsa_default()
        synth.send("z")
        block = synth.status_block()        # the six lines, without "\r\n"
        synth.send(".")
        status, restored = synth.wait_exit()  # exit code, or -signal

The program runs under a small wrapper in the same terminal that reports
the program's pid before it starts, and its exit status and whether the
terminal's settings came back unchanged after it ends. As a shell with job
control would, it runs the program as the terminal's foreground process
group of its own: Ctrl-C and Ctrl-Z typed into the terminal reach the
program only, and a stopped program is continued by sending it SIGCONT.
Core dumps are off. Program(stdin_closed=True) starts it with descriptor 0
closed; Program(head=True) with its standard output a pipe whose reader
passes two lines to the terminal, prints "@@HEAD-LEFT" and closes it;
Program(args=[...]) with those command-line arguments.

The program's path comes from the SYNTH_PROGRAM environment variable unless
given. DISPLAY is removed from the environment (no window) unless given in
env; a value of None in env removes a variable. TERM is "xterm", whatever
the terminal the tests run in, unless env says otherwise.
Every process is stopped by its own pid. Use Debian's /usr/bin/python3.
"""
import os
import re
import signal
import subprocess
import termios

import pexpect

RULE = "-" * 57
PROMPT = "Press a corresponding number or ESC to quit"
MENU = [RULE, "Output Type", RULE, "1 - Direct Sound", "2 - Windows Multimedia Waveout",
        "3 - ASIO", "4 - NoSound", RULE, PROMPT]
HELP = ["[aqzs edrftg yhujik olpm our] modifier les trucs ",
        "[+-] change type OSC1 [7894] le type des LFO1234",
        "[wxcvbn,;] pour les notes (foireuxmaismarche)"]

# Lines the program prints; anything else on the console is foreign.
OWN_LINES = [re.compile(p) for p in (
    r"VCO \[0x[0-9a-f]+\]",
    r" \|---\s+(PHASE|FREQUENCE|AMPLITUDE) <-- VCO \[0x[0-9a-f]+\]",
    r"-{57}", r"Output Type", r"\d - .*", r"\d+ - .*", r".* ?Driver list", re.escape(PROMPT),
    r"Error!", r"Error : You are using the wrong DLL version!  You should be using FMOD 3\.74",
    r"Note \[-?\d+\] -> \[-?[\d.]+\]",
    r"Freq \[.*\] Ampl \[.*\] Phase \[.*\] - AFreq \[.*\] AAmpl \[.*\] APhase \[.*\]  ",
    r"VCA \[.*\]\[.*\]\[.*\] ", r"TRIG", r"UNTRIG", r"",
) + tuple(re.escape(h) for h in HELP)]
CLEAR = re.compile(r"\x1b\[[0-9;]*[A-Za-z]")

_WRAPPER = r"""
import os, resource, signal, sys, termios
options, program = sys.argv[1].split(","), sys.argv[2:]
signal.signal(signal.SIGINT, signal.SIG_IGN)
signal.signal(signal.SIGQUIT, signal.SIG_IGN)
signal.signal(signal.SIGTTOU, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
before = termios.tcgetattr(0)
head = os.pipe() if "head" in options else None
pid = os.fork()
if pid == 0:
    # A job of its own in the foreground, as a shell with job control runs it.
    os.setpgid(0, 0)
    os.tcsetpgrp(0, os.getpid())
    # Python ignores SIGPIPE and SIGXFSZ; a shell leaves every signal at its default.
    for sig in (signal.SIGINT, signal.SIGQUIT, signal.SIGTTOU, signal.SIGPIPE, signal.SIGXFSZ):
        signal.signal(sig, signal.SIG_DFL)
    os.write(1, b"@@PID=%d\n" % os.getpid())
    try:
        if head:
            os.dup2(head[1], 1)
            os.close(head[0])
            os.close(head[1])
        if "closed-stdin" in options:
            os.close(0)
        os.execv(program[0], program)
    finally:
        os._exit(127)
try:
    os.setpgid(pid, pid)
except OSError:
    pass
if head:
    # head -2: passes two lines on, then leaves.
    os.close(head[1])
    data = b""
    while data.count(b"\n") < 2:
        chunk = os.read(head[0], 1)
        if not chunk:
            break
        data += chunk
    os.close(head[0])
    os.write(1, data + b"@@HEAD-LEFT\n")
_, status = os.waitpid(pid, 0)
code = os.WEXITSTATUS(status) if os.WIFEXITED(status) else -os.WTERMSIG(status)
os.tcsetpgrp(0, os.getpgrp())
after = termios.tcgetattr(0)
termios.tcsetattr(0, termios.TCSANOW, before)
os.write(1, b"\n@@STATUS=%d\n@@TERMINAL=%s\n"
         % (code, b"restored" if after == before else b"changed"))
"""


def program_path():
    path = os.environ.get("SYNTH_PROGRAM", "")
    if not path:
        here = os.path.dirname(os.path.abspath(__file__))
        path = os.path.join(here, "..", "..", "build", "app", "synth")
    return os.path.abspath(path)


def program_env(env=None):
    """The environment the program runs with (see the module's notes)."""
    result = dict(os.environ)
    result.pop("DISPLAY", None)
    result["TERM"] = "xterm"   # the clear sequences the tests expect are its own
    for key, value in (env or {}).items():
        if value is None:
            result.pop(key, None)
        else:
            result[key] = value
    return result


def run_piped(keys, env=None, timeout=20, args=()):
    """Runs the program (with args) with keys (bytes) on a pipe as its
    standard input; returns the CompletedProcess (stdout and stderr as bytes)."""
    return subprocess.run([program_path(), *args], input=keys, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, env=program_env(env), timeout=timeout)


def foreign_lines(text):
    """Lines of console output that the program does not print itself."""
    lines = CLEAR.sub("", text.replace("\r\n", "\n")).split("\n")
    return [line for line in lines if not line.startswith("@@")
            and not any(p.fullmatch(line) for p in OWN_LINES)]


class Program:
    def __init__(self, program=None, env=None, timeout=10, stdin_closed=False, head=False, args=()):
        self.program = program or program_path()
        self.args = list(args)
        self.env = program_env(env)
        self.options = ",".join(name for name, on in (("closed-stdin", stdin_closed), ("head", head)) if on)
        self.timeout = timeout
        self.child = None
        self.pid = None
        self.transcript = ""   # everything the terminal showed so far

    # -- lifetime -----------------------------------------------------------

    def start(self):
        self.child = pexpect.spawn("/usr/bin/python3", ["-c", _WRAPPER, self.options, self.program, *self.args],
                                   env=self.env, timeout=self.timeout, encoding="latin-1",
                                   dimensions=(50, 160))
        self.child.logfile_read = self
        self.expect(r"@@PID=(\d+)\r\n")
        self.pid = int(self.child.match.group(1))
        return self

    def write(self, text):   # pexpect's log of what it reads
        self.transcript += text

    def flush(self):
        pass

    def close(self):
        """Kills the program and the wrapper if still running."""
        if self.child is None:
            return
        if self.child.isalive() and self.pid is not None:
            try:
                os.kill(self.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            try:
                self.child.expect(pexpect.EOF, timeout=5)
            except (pexpect.TIMEOUT, pexpect.EOF):
                pass
        self.child.close(force=True)
        self.child = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.close()

    # -- talking ------------------------------------------------------------

    def send(self, keys):
        """Types keys: a str of characters 0..255, one byte each."""
        self.child.send(keys)

    def expect(self, pattern, timeout=-1):
        """pexpect's expect: note that "." matches line ends too."""
        return self.child.expect(pattern, timeout=timeout)

    def expect_lines(self, lines, timeout=-1):
        """Expects these exact lines, consecutive."""
        self.child.expect_exact("\r\n".join(lines) + "\r\n", timeout=timeout)

    def expect_patch(self):
        """The five lines of the patch; returns them."""
        self.expect(r"(VCO \[0x[0-9a-f]+\])\r\n"
                    r"( \|---         PHASE <-- VCO \[0x[0-9a-f]+\])\r\n"
                    r"( \|---     FREQUENCE <-- VCO \[0x[0-9a-f]+\])\r\n"
                    r"( \|---     AMPLITUDE <-- VCO \[0x[0-9a-f]+\])\r\n"
                    r"(VCO \[0x[0-9a-f]+\])\r\n")
        return list(self.child.match.groups())

    def choose_output(self, key):
        """Waits for the output menu, types key, and returns the output name
        and the driver names listed."""
        self.expect_lines(MENU)
        self.send(key)
        self.expect(RULE + r"\r\n([^\r\n]*) Driver list\r\n" + RULE + r"\r\n((?:\d+ - [^\r\n]*\r\n)*)"
                    + RULE + r"\r\n" + re.escape(PROMPT) + r"\r\n")
        name = self.child.match.group(1)
        drivers = [re.sub(r"^\d+ - ", "", line)
                   for line in self.child.match.group(2).split("\r\n") if line]
        return name, drivers

    def choose_driver(self, key):
        """Types key at the driver prompt and waits for the help lines."""
        self.send(key)
        self.expect_lines(HELP)

    def start_nosound(self):
        self.choose_output("4")
        self.choose_driver("1")

    def start_alsa_default(self):
        """Output "1 - Direct Sound" (ALSA here), driver 1 (the default
        device)."""
        self.choose_output("1")
        self.choose_driver("1")

    def status_block(self, timeout=-1):
        """The next six-line status block, as a list of lines."""
        self.expect(r"(Note \[-?\d+\] -> \[[^\r\n]*?\])\r\n"
                    r"(Freq [^\r\n]*)\r\n(Freq [^\r\n]*)\r\n(Freq [^\r\n]*)\r\n(Freq [^\r\n]*)\r\n"
                    r"(VCA \[[^\r\n]*)\r\n", timeout=timeout)
        return list(self.child.match.groups())

    def wait_exit(self, timeout=-1):
        """Waits for the program to end: (status, terminal restored), the
        status being the exit code or minus the signal number."""
        self.expect(r"@@STATUS=(-?\d+)\r\n@@TERMINAL=(\w+)\r\n", timeout=timeout)
        status = int(self.child.match.group(1))
        restored = self.child.match.group(2) == "restored"
        self.child.expect(pexpect.EOF, timeout=timeout)
        return status, restored

    def kill(self, sig):
        os.kill(self.pid, sig)

    def terminal_modes(self):
        """The terminal's local modes (termios lflag) as the program sees them."""
        return termios.tcgetattr(self.child.child_fd)[3]

    def state(self):
        """The program's process state letter ("T" when stopped)."""
        with open("/proc/%d/stat" % self.pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0]
