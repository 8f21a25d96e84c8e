// The console keyboard layer over a pseudo-terminal or a pipe, each case in a
// child process (the layer takes the console over once per process).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "platform/console.h"

namespace {

class ConsoleTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(openpty(&master_, &slave_, nullptr, nullptr, nullptr), 0);
        ASSERT_EQ(tcgetattr(slave_, &original_), 0);
        ASSERT_EQ(pipe(report_), 0);
    }

    void TearDown() override {
        if (child_ > 0) {
            kill(child_, SIGKILL);
            waitpid(child_, nullptr, 0);
        }
        for (int fd : {master_, slave_, report_[0], report_[1]}) {
            if (fd >= 0) close(fd);
        }
    }

    // Starts body in a child whose standard input is the terminal (or the
    // given descriptor) and whose controlling terminal is the pty. The body
    // reports with say(); the child exits 0 when it returns.
    void start(const std::function<void()>& body, int input = -1) {
        std::fflush(nullptr);
        reportFdStorage() = report_[1];
        child_ = fork();
        ASSERT_GE(child_, 0);
        if (child_ == 0) {
            setsid();
            ioctl(slave_, TIOCSCTTY, 0);
            dup2(input >= 0 ? input : slave_, STDIN_FILENO);
            close(report_[0]);
            body();
            std::exit(0);
        }
        close(report_[1]);
        report_[1] = -1;
    }

    static void say(const std::string& text) {
        [[maybe_unused]] ssize_t n = write(reportFd(), text.data(), text.size());
    }

    // The child's reports up to the given length, or all until it ends.
    std::string hear(size_t length = std::string::npos) {
        std::string text;
        char buffer[256];
        while (text.size() < length) {
            struct pollfd p = {report_[0], POLLIN, 0};
            if (poll(&p, 1, 10000) <= 0) break;
            const ssize_t n = read(report_[0], buffer, std::min(sizeof buffer, length - text.size()));
            if (n <= 0) break;
            text.append(buffer, n);
        }
        return text;
    }

    // Waits for the child; its raw wait status.
    int finish() {
        int status = 0;
        waitpid(child_, &status, 0);
        child_ = -1;
        return status;
    }

    void type(const std::string& bytes) {
        ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    void expectRestored() {
        struct termios now;
        ASSERT_EQ(tcgetattr(slave_, &now), 0);
        EXPECT_EQ(now.c_lflag, original_.c_lflag);
        EXPECT_EQ(now.c_iflag, original_.c_iflag);
        EXPECT_EQ(now.c_cc[VQUIT], original_.c_cc[VQUIT]);
        EXPECT_EQ(now.c_cc[VSUSP], original_.c_cc[VSUSP]);
    }

    static int& reportFdStorage() {
        static int fd = -1;
        return fd;
    }
    static int reportFd() { return reportFdStorage(); }

    int master_ = -1, slave_ = -1;
    int report_[2] = {-1, -1};
    pid_t child_ = -1;
    struct termios original_;
};

TEST_F(ConsoleTest, KeyModeDeliversEveryByteAsTypedAndIsUndoneAtExit) {
    const std::string bytes("a\r\n\x11\x13\x1c\x16\x0f\x04\x7f\x00\x80\xff\x1bOP", 16);
    start([&] {
        _kbhit();
        say("R");
        std::string keys;
        for (size_t i = 0; i < bytes.size(); ++i) keys += static_cast<char>(_getch());
        say(keys);
    });
    ASSERT_EQ(hear(1), "R");

    struct termios keyMode;
    ASSERT_EQ(tcgetattr(slave_, &keyMode), 0);
    EXPECT_FALSE(keyMode.c_lflag & (ICANON | ECHO | IEXTEN));
    EXPECT_TRUE(keyMode.c_lflag & ISIG);
    EXPECT_FALSE(keyMode.c_iflag & (IXON | ICRNL | INLCR | IGNCR | ISTRIP));
    EXPECT_EQ(keyMode.c_cc[VINTR], original_.c_cc[VINTR]);
    EXPECT_EQ(keyMode.c_cc[VSUSP], original_.c_cc[VSUSP]);

    type(bytes);
    EXPECT_EQ(hear(bytes.size()), bytes);
    const int status = finish();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    expectRestored();
}

TEST_F(ConsoleTest, CtrlCRestoresTheTerminalAndInterrupts) {
    start([] {
        _kbhit();
        say("R");
        _getch();
        say("not interrupted");
    });
    ASSERT_EQ(hear(1), "R");
    type("\x03");
    EXPECT_EQ(hear(), "");
    const int status = finish();
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGINT);
    expectRestored();
}

TEST_F(ConsoleTest, TermAndHangUpEndTheProcessAsTheSignalWould) {
    for (int signalNumber : {SIGTERM, SIGHUP}) {
        start([] {
            _getch();
        });
        // Give it time to take the console over, then check it did.
        struct termios now;
        for (int i = 0; i < 500; ++i) {
            tcgetattr(slave_, &now);
            if (!(now.c_lflag & ICANON)) break;
            usleep(10000);
        }
        ASSERT_FALSE(now.c_lflag & ICANON);
        kill(child_, signalNumber);
        const int status = finish();
        ASSERT_TRUE(WIFSIGNALED(status));
        EXPECT_EQ(WTERMSIG(status), signalNumber);
        expectRestored();
        TearDown();
        SetUp();
    }
}

TEST_F(ConsoleTest, DeferredSignalWaitsForItsOwner) {
    start([] {
        consoleDeferSignals();
        say("R");
        while (consolePendingSignal() == 0) _kbhit();
        say("pending " + std::to_string(consolePendingSignal()));
        consoleEndBySignal(consolePendingSignal());
    });
    ASSERT_EQ(hear(1), "R");
    type("\x03");
    EXPECT_EQ(hear(), "pending " + std::to_string(SIGINT));
    const int status = finish();
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGINT);
    expectRestored();
}

TEST_F(ConsoleTest, SecondSignalWhileOneIsPendingEndsAtOnce) {
    start([] {
        consoleDeferSignals();
        say("R");
        while (consolePendingSignal() == 0) _kbhit();
        say("P");
        for (;;) _kbhit();
    });
    ASSERT_EQ(hear(1), "R");
    kill(child_, SIGTERM);
    ASSERT_EQ(hear(1), "P");
    kill(child_, SIGHUP);
    const int status = finish();
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGHUP);
    expectRestored();
}

TEST_F(ConsoleTest, PipedInputIsReadAsKeysThenEndsForGood) {
    int input[2];
    ASSERT_EQ(pipe(input), 0);
    start(
        [&] {
            close(input[1]);
            std::string keys;
            for (int i = 0; i < 3; ++i) {
                const int key = _getch();
                keys += key == kConsoleEnd ? std::string("<end>") : std::string(1, static_cast<char>(key));
            }
            // After the end, _kbhit reports it at once, every time.
            const auto begin = std::chrono::steady_clock::now();
            int ready = 0;
            for (int i = 0; i < 2000; ++i) ready += _kbhit();
            const double seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
            say(keys + " " + std::to_string(ready) + (seconds < 1.0 ? " fast" : " slow") +
                (_getch() == kConsoleEnd ? " end" : " key"));
        },
        input[0]);
    close(input[0]);
    ASSERT_EQ(write(input[1], "a.", 2), 2);
    close(input[1]);
    EXPECT_EQ(hear(), "a.<end> 2000 fast end");
    const int status = finish();
    ASSERT_TRUE(WIFEXITED(status));
    expectRestored();  // never touched
}

// _kbhit's wait, in whole seconds, as the child saw it.
std::string timedKbhit() {
    const auto begin = std::chrono::steady_clock::now();
    const int hit = _kbhit();
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    return std::to_string(hit) + (seconds < 5.0 ? " early" : " late");
}

TEST_F(ConsoleTest, WakeDescriptorEndsTheWait) {
    int wake[2];
    ASSERT_EQ(pipe(wake), 0);
    start([&] {
        consoleDeferSignals();  // takes the console over
        consoleSetWait(10000, wake[0]);
        say("R");
        say(timedKbhit());
    });
    ASSERT_EQ(hear(1), "R");
    usleep(50000);
    ASSERT_EQ(write(wake[1], "x", 1), 1);
    EXPECT_EQ(hear(), "0 early");
    finish();
    close(wake[0]);
    close(wake[1]);
}

TEST_F(ConsoleTest, DeferredSignalTakenByAnotherThreadEndsTheWait) {
    start([] {
        consoleSetWait(10000, -1);
        consoleDeferSignals();
        // Only the helper thread can take SIGTERM.
        sigset_t term;
        sigemptyset(&term);
        sigaddset(&term, SIGTERM);
        std::thread helper([] { pause(); });
        helper.detach();
        pthread_sigmask(SIG_BLOCK, &term, nullptr);
        say("R");
        const std::string wait = timedKbhit();
        say(wait + " " + std::to_string(consolePendingSignal()));
        std::_Exit(0);
    });
    ASSERT_EQ(hear(1), "R");
    usleep(50000);
    kill(child_, SIGTERM);
    EXPECT_EQ(hear(), "0 early " + std::to_string(SIGTERM));
    finish();
}

TEST_F(ConsoleTest, KbhitReportsNoKeyWhenNoneIsTyped) {
    start([] {
        int hits = 0;
        for (int i = 0; i < 20; ++i) hits += _kbhit();
        say(std::to_string(hits));
    });
    EXPECT_EQ(hear(), "0");
    finish();
}

}  // namespace
