// Console keyboard layer over termios and poll().
#include "platform/console.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>

namespace {

// Deferred once consoleDeferSignals() was called.
constexpr int kDeferrableSignals[] = {SIGINT, SIGTERM, SIGHUP};
// Stop the process; the terminal is restored while it is stopped.
constexpr int kStopSignals[] = {SIGTSTP, SIGTTIN, SIGTTOU};
// The other signals whose default action ends the process (SIGKILL aside;
// the real-time signals are added at run time).
constexpr int kFatalSignals[] = {
    SIGQUIT, SIGILL, SIGTRAP, SIGABRT, SIGBUS, SIGFPE, SIGUSR1, SIGSEGV, SIGUSR2, SIGALRM,
    SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO, SIGSYS,
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
};

int keyWaitMs = 1;
int wakeFd = -1;

bool started = false;
bool opened = false;
bool inputEnded = false;  // read() saw the end, or there was no input: never poll again

// Written once, before key mode begins and any handler reads them.
bool terminalSaved = false;
struct termios savedTerminal;
struct termios keyTerminal;
// The terminal belongs in key mode: from entering it until the process ends.
std::atomic<bool> keyMode{false};

std::atomic<bool> deferring{false};
std::atomic<int> pendingSignal{0};
// Self-pipe: a deferred signal makes its read end readable, waking _kbhit()
// whichever thread took the signal.
int signalPipe[2] = {-1, -1};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "signal handlers need lock-free atomics");

// Async-signal-safe, as is everything down to installHandlers().

// True unless another process group has the terminal (no controlling
// terminal counts as ours).
bool inForeground() {
    const pid_t group = tcgetpgrp(STDIN_FILENO);
    return group < 0 || group == getpgrp();
}

void setTerminal(const struct termios& settings) {
    if (terminalSaved && keyMode.load() && inForeground()) tcsetattr(STDIN_FILENO, TCSANOW, &settings);
}

// Key mode is over for good.
void restoreTerminal() {
    setTerminal(savedTerminal);
    keyMode = false;
}

// Returns only if the signal's default action does not end the process.
void restoreAndRaise(int signalNumber) {
    restoreTerminal();
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signalNumber);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);  // inside the handler it is blocked
}

void onDeferrable(int signalNumber) {
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

void onFatal(int signalNumber) { restoreAndRaise(signalNumber); }

// Stops as the default action would, the terminal as it was before key mode;
// back in key mode once continued in the foreground.
void onStop(int signalNumber) {
    const int savedErrno = errno;
    setTerminal(savedTerminal);
    struct sigaction stop = {};
    stop.sa_handler = SIG_DFL;
    sigemptyset(&stop.sa_mask);
    struct sigaction ours;
    sigaction(signalNumber, &stop, &ours);
    raise(signalNumber);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signalNumber);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);  // stopped here until SIGCONT
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    sigaction(signalNumber, &ours, nullptr);
    setTerminal(keyTerminal);
    errno = savedErrno;
}

// Also after SIGSTOP, which cannot be caught: the shell's fg leaves the
// terminal in its own modes.
void onContinue(int) {
    const int savedErrno = errno;
    setTerminal(keyTerminal);
    errno = savedErrno;
}

void onPipe(int) {}

void install(int signalNumber, void (*handler)(int), int flags) {
    struct sigaction previous;
    if (sigaction(signalNumber, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) return;
    struct sigaction action = {};
    action.sa_handler = handler;
    action.sa_flags = flags;
    sigemptyset(&action.sa_mask);
    for (int other : kDeferrableSignals) sigaddset(&action.sa_mask, other);
    sigaction(signalNumber, &action, nullptr);
}

void installHandlers() {
    for (int signalNumber : kDeferrableSignals) install(signalNumber, onDeferrable, 0);
    for (int signalNumber : kFatalSignals) install(signalNumber, onFatal, 0);
    for (int signalNumber = SIGRTMIN; signalNumber <= SIGRTMAX; ++signalNumber) {
        install(signalNumber, onFatal, 0);
    }
    for (int signalNumber : kStopSignals) install(signalNumber, onStop, SA_RESTART);
    install(SIGCONT, onContinue, SA_RESTART);
    install(SIGPIPE, onPipe, SA_RESTART);  // a handler, unlike SIG_IGN, is not inherited by exec
}

void enterKeyMode() {
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &savedTerminal) != 0) return;
    keyTerminal = savedTerminal;
    keyTerminal.c_lflag &= ~(ICANON | ECHO | ECHONL | IEXTEN);  // ISIG stays: Ctrl-C, Ctrl-Z
    keyTerminal.c_iflag &= ~(IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP | PARMRK);
    keyTerminal.c_cc[VMIN] = 1;
    keyTerminal.c_cc[VTIME] = 0;
    keyTerminal.c_cc[VQUIT] = _POSIX_VDISABLE;
    terminalSaved = true;
    keyMode = true;
    std::atexit(restoreTerminal);
    setTerminal(keyTerminal);
}

void takeConsole() {
    consoleStart();
    if (opened) return;
    opened = true;
    enterKeyMode();
}

}  // namespace

void consoleStart() {
    if (started) return;
    started = true;
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        if (fd == STDIN_FILENO) inputEnded = true;
        const int null = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (null >= 0 && null != fd) {
            dup2(null, fd);
            close(null);
        }
    }
    if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) signalPipe[0] = signalPipe[1] = -1;
    installHandlers();
}

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
