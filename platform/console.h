#pragma once
// Console keyboard: single keys, unechoed, without waiting for Enter.
//
// The first call of any function below takes the console over: when standard
// input is a terminal it leaves canonical mode and echo, and delivers every
// byte as typed (no flow control, no carriage-return translation, no quit
// character); only the interrupt (Ctrl-C) and suspend (Ctrl-Z) characters
// keep their meaning. The terminal's settings are restored at exit, before
// any signal ends the process, and while the process is stopped (SIGTSTP,
// SIGTTIN, SIGTTOU); key mode comes back when it continues in the
// foreground. When standard input is not a terminal its bytes are read as
// keys.
//
// Signals: SIGINT, SIGTERM and SIGHUP restore the terminal and end the
// process as the signal would, unless consoleDeferSignals() was called: from
// then on the first of them is only recorded, and its owner polls
// consolePendingSignal() and ends the process with consoleEndBySignal() once
// it has stopped what must not outlive it. A second signal while one is
// pending ends the process at once. Every other signal whose default action
// ends the process restores the terminal and then ends it by that action.
// SIGPIPE is taken and dropped: a write to a closed pipe fails instead.
// Signals ignored at start stay ignored.
#include <pthread.h>
#include <signal.h>

#include <initializer_list>

// What _getch() returns once standard input has ended (end of file, error,
// closed); from then on _kbhit() reports a key at once, without waiting.
constexpr int kConsoleEnd = -1;

// Takes the console over as described above, except for key mode, which
// waits for the first key. Call first thing in main, before any thread or
// file exists: it also opens /dev/null on each of descriptors 0 to 2 that is
// closed, so that none of them is ever reused for the process's own files; a
// closed standard input is the end of input.
void consoleStart();

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

// While one exists, the calling thread takes no signal but those a fault
// raises on it (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS); signals
// wait until it goes. Threads started meanwhile inherit the mask and never
// take them, so that every signal reaches the main thread. Hold one around
// every call that may start a thread.
class ConsoleSignalsHeld {
public:
    ConsoleSignalsHeld() {
        sigset_t held;
        sigfillset(&held);
        for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS}) sigdelset(&held, fault);
        pthread_sigmask(SIG_BLOCK, &held, &previous_);
    }
    ~ConsoleSignalsHeld() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    ConsoleSignalsHeld(const ConsoleSignalsHeld&) = delete;
    ConsoleSignalsHeld& operator=(const ConsoleSignalsHeld&) = delete;

private:
    sigset_t previous_;
};
