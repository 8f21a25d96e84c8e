#pragma once
// Console keyboard: single keys, unechoed, without waiting for Enter.
//
// The first call of any function below takes the console over: when standard
// input is a terminal it leaves canonical mode and echo, and delivers every
// byte as typed (no flow control, no carriage-return translation, no quit or
// suspend characters); only the interrupt character (Ctrl-C) keeps its
// meaning. The terminal's settings are restored at exit and when SIGINT,
// SIGTERM or SIGHUP end the process. When standard input is not a terminal
// its bytes are read as keys.
//
// Signals: SIGINT, SIGTERM and SIGHUP restore the terminal and end the
// process as the signal would, unless consoleDeferSignals() was called: from
// then on the first of them is only recorded, and its owner polls
// consolePendingSignal() and ends the process with consoleEndBySignal() once
// it has stopped what must not outlive it. A second signal while one is
// pending ends the process at once. Signals ignored at start stay ignored.

// What _getch() returns once standard input has ended (end of file, error,
// closed); from then on _kbhit() reports a key at once, without waiting.
constexpr int kConsoleEnd = -1;

// Non-zero when a key (or the end of input) is waiting. May wait for one, up
// to about a millisecond unless consoleSetWait() says otherwise, so that a
// loop polling it does not spin. A deferred signal ends the wait at once.
int _kbhit();
// The next key, one byte 0..255, waiting for one if none is waiting;
// kConsoleEnd at the end of input.
int _getch();

// How long _kbhit() may wait for a key, and one more descriptor whose turning
// readable ends the wait early (-1 for none).
void consoleSetWait(int milliseconds, int wakeDescriptor);

// Defers SIGINT, SIGTERM and SIGHUP as described above.
void consoleDeferSignals();
// The deferred signal, 0 when none arrived.
int consolePendingSignal();
// Restores the terminal and ends the process by the given signal's default
// action.
[[noreturn]] void consoleEndBySignal(int signalNumber);
