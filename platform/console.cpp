// Console keyboard layer over termios and poll().
#include "platform/console.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>

namespace {

constexpr int kHandledSignals[] = {SIGINT, SIGTERM, SIGHUP};

int keyWaitMs = 1;
int wakeFd = -1;

bool opened = false;
bool inputEnded = false;  // read() saw the end: never poll again

// Written once, before any handler that reads them is installed.
bool terminalSaved = false;
struct termios savedTerminal;

std::atomic<bool> deferring{false};
std::atomic<int> pendingSignal{0};
// Self-pipe: a deferred signal makes its read end readable, waking _kbhit()
// whichever thread took the signal.
int signalPipe[2] = {-1, -1};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "signal handlers need lock-free atomics");

// Async-signal-safe.
void restoreTerminal() {
    if (terminalSaved) tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
}

// Async-signal-safe. Returns only if the signal's default action does not
// end the process.
void restoreAndRaise(int signalNumber) {
    restoreTerminal();
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signalNumber);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);  // inside the handler it is blocked
}

void onSignal(int signalNumber) {
    const int savedErrno = errno;
    int none = 0;
    if (deferring.load() && pendingSignal.compare_exchange_strong(none, signalNumber)) {
        if (signalPipe[1] >= 0) {
            const char wake = 1;
            [[maybe_unused]] const ssize_t n = write(signalPipe[1], &wake, 1);
        }
        errno = savedErrno;
        return;
    }
    restoreAndRaise(signalNumber);
    errno = savedErrno;
}

void enterKeyMode() {
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &savedTerminal) != 0) return;
    struct termios keys = savedTerminal;
    keys.c_lflag &= ~(ICANON | ECHO | ECHONL | IEXTEN);  // ISIG stays: Ctrl-C interrupts
    keys.c_iflag &= ~(IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP | PARMRK);
    keys.c_cc[VMIN] = 1;
    keys.c_cc[VTIME] = 0;
    keys.c_cc[VQUIT] = _POSIX_VDISABLE;
    keys.c_cc[VSUSP] = _POSIX_VDISABLE;
    terminalSaved = true;
    std::atexit(restoreTerminal);
    tcsetattr(STDIN_FILENO, TCSANOW, &keys);
}

void installHandlers() {
    for (int signalNumber : kHandledSignals) {
        struct sigaction previous;
        if (sigaction(signalNumber, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) {
            continue;
        }
        struct sigaction action = {};
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        for (int other : kHandledSignals) sigaddset(&action.sa_mask, other);
        sigaction(signalNumber, &action, nullptr);
    }
}

void takeConsole() {
    if (opened) return;
    opened = true;
    if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) signalPipe[0] = signalPipe[1] = -1;
    enterKeyMode();
    installHandlers();
}

}  // namespace

int _kbhit() {
    takeConsole();
    if (inputEnded) return 1;
    struct pollfd watched[3] = {
        {STDIN_FILENO, POLLIN, 0}, {signalPipe[0], POLLIN, 0}, {wakeFd, POLLIN, 0}};
    if (poll(watched, 3, keyWaitMs) <= 0) return 0;
    // Ready, hung up, or not open: _getch() tells which.
    return watched[0].revents != 0 ? 1 : 0;
}

void consoleSetWait(int milliseconds, int wakeDescriptor) {
    keyWaitMs = milliseconds;
    wakeFd = wakeDescriptor;
}

int _getch() {
    takeConsole();
    while (!inputEnded) {
        unsigned char key;
        const ssize_t n = read(STDIN_FILENO, &key, 1);
        if (n == 1) return key;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            struct pollfd input = {STDIN_FILENO, POLLIN, 0};
            poll(&input, 1, -1);
            continue;
        }
        inputEnded = true;
    }
    return kConsoleEnd;
}

void consoleDeferSignals() {
    takeConsole();
    deferring = true;
}

int consolePendingSignal() { return pendingSignal.load(); }

void consoleEndBySignal(int signalNumber) {
    deferring = false;
    restoreAndRaise(signalNumber);
    _exit(128 + signalNumber);
}
