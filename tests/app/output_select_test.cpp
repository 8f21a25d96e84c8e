// errorText, the output and driver dialogue, and the program's start-up,
// main loop and ways out, against the stand-ins of tests/app/fakes.h.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/program.h"
#include "platform/console.h"
#include "tests/app/fakes.h"

using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

const std::string kRule(57, '-');

std::string menuText() {
    return kRule + "\nOutput Type\n" + kRule +
           "\n1 - Direct Sound\n2 - Windows Multimedia Waveout\n3 - ASIO\n4 - NoSound\n" + kRule +
           "\nPress a corresponding number or ESC to quit\n";
}

TEST(ErrorTextTest, Table) {
    const std::vector<std::string> table = {
        "No errors",
        "Cannot call this command after FSOUND_Init.  Call FSOUND_Close first.",
        "This command failed because FSOUND_Init was not called",
        "Error initializing output device.",
        "The output device is already in use and cannot be reused.",
        "Playing the sound failed.",
        "Soundcard does not support the features needed for this soundsystem (16bit stereo output)",
        "Error setting cooperative level for hardware.",
        "Error creating hardware sound buffer.",
        "File not found",
        "Unknown file format",
        "Error loading file",
        "Not enough memory ",
        "The version number of this file format is not supported",
        "An invalid parameter was passed to this function",
        "Tried to use an EAX command on a non EAX enabled channel or output.",
        "Failed to allocate a new channel",
        "Recording not supported on this device",
        "Required Mediaplayer codec is not installed",
    };
    for (size_t code = 0; code < table.size(); ++code) {
        EXPECT_EQ(errorText(static_cast<int>(code)), table[code]) << "code " << code;
    }
    for (int code : {19, 100, -1, INT_MIN, INT_MAX}) EXPECT_STREQ(errorText(code), "Unknown error");
}

class SelectOutputTest : public ::testing::Test {
protected:
    void SetUp() override { fake::reset(); }

    // Runs selectOutput; its result and what it printed.
    static std::pair<int, std::string> run() {
        testing::internal::CaptureStdout();
        const int result = selectOutput();
        return {result, testing::internal::GetCapturedStdout()};
    }
};

using SelectOutputDeathTest = SelectOutputTest;

// The child's stdout joins its stderr, which the death test's matcher sees.
#define JOINED(statement)             \
    do {                              \
        dup2(STDERR_FILENO, STDOUT_FILENO); \
        statement;                    \
    } while (0)

TEST_F(SelectOutputTest, OldLibraryIsRefusedWithoutReadingAKey) {
    fake::sound.version = 3.73f;
    fake::type("41");
    const auto [result, out] = run();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(out, "Error : You are using the wrong DLL version!  You should be using FMOD 3.74\n");
    EXPECT_EQ(fake::console.getchCalls, 0);
    EXPECT_TRUE(fake::calls.empty());
}

TEST_F(SelectOutputTest, VersionExactly374IsAccepted) {
    fake::sound.version = 3.74f;
    fake::type("41");
    EXPECT_EQ(run().first, 1);
}

TEST_F(SelectOutputTest, WholeDialogueText) {
    fake::sound.drivers = {"Primary", "Second card", "Third"};
    fake::type("43");
    const auto [result, out] = run();
    EXPECT_EQ(result, 1);
    EXPECT_EQ(out, menuText() + kRule + "\nNoSound Driver list\n" + kRule +
                       "\n1 - Primary\n2 - Second card\n3 - Third\n" + kRule +
                       "\nPress a corresponding number or ESC to quit\n");
    EXPECT_THAT(fake::calls, ElementsAre("SetOutput(0)", "SetDriver(2)", "Init(44100,32,0)"));
}

TEST_F(SelectOutputTest, MenuKeysSelectOutputTypes) {
    const std::pair<char, int> keys[] = {{'1', 2}, {'2', 1}, {'3', 7}, {'4', 0}};
    for (const auto& [key, type] : keys) {
        fake::reset();
        fake::type(std::string(1, key) + "1");
        run();
        ASSERT_FALSE(fake::calls.empty());
        EXPECT_EQ(fake::calls[0], "SetOutput(" + std::to_string(type) + ")") << key;
    }
}

TEST_F(SelectOutputTest, AnswersFromTheCommandLineAreNotAsked) {
    struct Case {
        int output, driver;
        const char* keys;
        bool menu, list;
        std::vector<std::string> calls;
    };
    const Case cases[] = {
        {4, 1, "", false, false, {"SetOutput(0)", "SetDriver(0)", "Init(44100,32,0)"}},
        {1, 0, "2", false, true, {"SetOutput(2)", "SetDriver(1)", "Init(44100,32,0)"}},
        {0, 2, "3", true, false, {"SetOutput(7)", "SetDriver(1)", "Init(44100,32,0)"}},
    };
    for (const Case& c : cases) {
        fake::reset();
        fake::sound.drivers = {"Primary", "Second card"};
        fake::type(c.keys);
        testing::internal::CaptureStdout();
        EXPECT_EQ(selectOutput(c.output, c.driver), 1);
        const std::string out = testing::internal::GetCapturedStdout();
        SCOPED_TRACE(out);
        EXPECT_EQ(out.find("Output Type") != std::string::npos, c.menu);
        EXPECT_EQ(out.find("Driver list") != std::string::npos, c.list);
        EXPECT_EQ(fake::console.getchCalls, static_cast<int>(std::string(c.keys).size()));
        EXPECT_EQ(fake::calls, c.calls);
    }
}

TEST_F(SelectOutputDeathTest, AnsweredDriverNotInTheListEndsWithStatus2) {
    fake::echoCalls = true;
    std::fflush(nullptr);
    EXPECT_EXIT(selectOutput(4, 2), testing::ExitedWithCode(2),
                testing::MatchesRegex("synth: driver 2 is not in the list \\(NoSound has 1 driver\\); "
                                      "try 'synth --help'\n"));
}

TEST_F(SelectOutputTest, OutputNamesAsTheLibraryReportsThem) {
    const std::pair<int, std::string> names[] = {
        {0, "NoSound"}, {1, "Windows Multimedia Waveout"}, {2, "Direct Sound"},
        {3, ""}, {4, "Open Sound System"}, {5, "Enlightment Sound Daemon"},
        {6, "Alsa"}, {7, "ASIO"}, {8, ""}, {-1, ""}};
    for (const auto& [type, name] : names) {
        fake::reset();
        fake::sound.reportedOutput = type;
        fake::type("11");
        const std::string out = run().second;
        EXPECT_THAT(out, HasSubstr("\n" + kRule + "\n" + name + " Driver list\n" + kRule + "\n")) << type;
    }
}

TEST_F(SelectOutputTest, DriverPromptIgnoresKeysOutsideTheList) {
    fake::sound.drivers = {"a", "b", "c"};
    fake::type(std::string("40") + "4" + "a" + "A" + "\x80" + "\xff" + " " + "2");
    const auto [result, out] = run();
    EXPECT_EQ(result, 1);
    EXPECT_THAT(fake::calls, ElementsAre("SetOutput(0)", "SetDriver(1)", "Init(44100,32,0)"));
    EXPECT_EQ(fake::console.getchCalls, 9);
    EXPECT_THAT(out, Not(HasSubstr("Error")));
}

TEST_F(SelectOutputTest, TenthDriverIsListedAs10AndPickedWithColon) {
    fake::sound.drivers = {"d0", "d1", "d2", "d3", "d4", "d5", "d6", "d7", "d8", "d9"};
    fake::type("4:");
    const auto [result, out] = run();
    EXPECT_THAT(out, HasSubstr("\n9 - d8\n10 - d9\n" + kRule + "\n"));
    EXPECT_THAT(fake::calls, ElementsAre("SetOutput(0)", "SetDriver(9)", "Init(44100,32,0)"));
}

TEST_F(SelectOutputTest, SeventeenthDriverIsPickedWithCapitalA) {
    fake::sound.drivers.assign(17, "d");
    fake::type("4A");
    run();
    EXPECT_THAT(fake::calls, ElementsAre("SetOutput(0)", "SetDriver(16)", "Init(44100,32,0)"));
}

TEST_F(SelectOutputTest, InitialisationFailureIsReported) {
    fake::sound.initResult = 0;
    fake::sound.error = 3;
    fake::type("11");
    const auto [result, out] = run();
    EXPECT_EQ(result, 0);
    EXPECT_THAT(out, testing::EndsWith("quit\nError!\nError initializing output device.\n"));
}

TEST_F(SelectOutputDeathTest, UnlistedMenuKeyEndsWithStatus0BeforeAnyDriverList) {
    for (const std::string keys : {"5", "\x1b", "0", "a", "\xb1"}) {
        fake::reset();
        fake::echoCalls = true;
        fake::type(keys);
        std::fflush(nullptr);
        EXPECT_EXIT(JOINED(selectOutput()), testing::ExitedWithCode(0),
                    AllOf(HasSubstr("to quit\n"), Not(HasSubstr("Driver list")), Not(HasSubstr("@"))))
            << "key " << static_cast<int>(keys[0]);
    }
}

TEST_F(SelectOutputDeathTest, EndOfInputAtTheMenuEndsWithStatus0) {
    fake::echoCalls = true;
    std::fflush(nullptr);
    EXPECT_EXIT(JOINED(selectOutput()), testing::ExitedWithCode(0), Not(HasSubstr("Driver list")));
}

TEST_F(SelectOutputDeathTest, EscapeOrEndOfInputAtTheDriverPromptEndsWithStatus0) {
    fake::echoCalls = true;
    fake::type("4\x1b" "1");
    std::fflush(nullptr);
    EXPECT_EXIT(JOINED(selectOutput()), testing::ExitedWithCode(0),
                AllOf(HasSubstr("1 - Driver A\n"), Not(HasSubstr("@SetDriver"))));

    fake::reset();
    fake::echoCalls = true;
    fake::type("40");
    std::fflush(nullptr);
    EXPECT_EXIT(JOINED(selectOutput()), testing::ExitedWithCode(0), Not(HasSubstr("@SetDriver")));
}

TEST_F(SelectOutputDeathTest, NoDriversListsNothingAndOnlyEscapeLeaves) {
    fake::sound.drivers.clear();
    fake::echoCalls = true;
    fake::type("4123\x1b");
    std::fflush(nullptr);
    EXPECT_EXIT(JOINED(selectOutput()), testing::ExitedWithCode(0),
                AllOf(HasSubstr("NoSound Driver list\n" + kRule + "\n" + kRule + "\nPress"),
                      Not(HasSubstr("@SetDriver"))));
}

// The whole program against the stand-ins, in a child process each.
class ProgramDeathTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake::reset();
        fake::echoCalls = true;
        setenv("SDL_VIDEODRIVER", "none", 1);  // no window
        setenv("TERM", "dumb", 1);
        std::fflush(nullptr);
    }

    static void countPass() { std::printf("@pass\n"); }
    static void quietPass() {}
};

const char* const kHelp =
    "[aqzs edrftg yhujik olpm our] modifier les trucs \n"
    "[+-] change type OSC1 [7894] le type des LFO1234\n"
    "[wxcvbn,;] pour les notes (foireuxmaismarche)\n";

TEST_F(ProgramDeathTest, DotPlaysThenClosesStreamAndLibrary) {
    fake::type("41z.");
    EXPECT_EXIT(JOINED(std::exit(runProgram(quietPass) == 0 ? 42 : 1)), testing::ExitedWithCode(42),
                testing::ContainsRegex(
                    "^VCO \\[.*\n"
                    "@SetOutput\\(0\\)\n.*@SetDriver\\(0\\)\n@Init\\(44100,32,0\\)\n"
                    "@SetWait\\(100,-1\\)\n.*"
                    "\\[aqzs edrftg yhujik olpm our\\] modifier les trucs \n"
                    "\\[\\+-\\] change type OSC1 \\[7894\\] le type des LFO1234\n"
                    "\\[wxcvbn,;\\] pour les notes \\(foireuxmaismarche\\)\n"
                    "@DeferSignals\n"
                    "@Stream_Create\\(renderStream,32768,0x1000150,44100,osc1\\)\n"
                    "@Stream_Play\\(0\\)\n"
                    "Note \\[58\\] -> \\[440.000000\\]\nFreq \\[440.000\\] Ampl \\[1.010\\][^@]*"
                    "Note \\[58\\] -> \\[440.000000\\]\nFreq \\[440.000\\] Ampl \\[1.010\\][^@]*"
                    "@Stream_Close\n@Close\n$"));
}

TEST_F(ProgramDeathTest, EndOfInputInTheLoopIsTakenAsDot) {
    fake::type("41");
    EXPECT_EXIT(JOINED(std::exit(runProgram(quietPass))), testing::ExitedWithCode(0),
                testing::ContainsRegex("@Stream_Play\\(0\\)\n(Note[^@]*){1}@Stream_Close\n@Close\n$"));
}

TEST_F(ProgramDeathTest, WindowIsDrainedOnEveryPass) {
    fake::type("41ab.");
    EXPECT_EXIT(JOINED(std::exit(runProgram(countPass))), testing::ExitedWithCode(0),
                testing::ContainsRegex("@Stream_Play\\(0\\)\n"
                                       "@pass\nNote[^@]*@pass\nNote[^@]*@pass\nNote[^@]*"
                                       "@Stream_Close\n@Close\n$"));
}

TEST_F(ProgramDeathTest, StreamCreationFailureEndsWithStatus1) {
    fake::sound.createFails = true;
    fake::sound.error = 2;
    fake::type("41.");
    EXPECT_EXIT(JOINED(runProgram(quietPass)), testing::ExitedWithCode(1),
                AllOf(testing::EndsWith(
                          "@Stream_Create(renderStream,32768,0x1000150,44100,osc1)\n"
                          "Error!\nThis command failed because FSOUND_Init was not called\n"),
                      HasSubstr(kHelp)));
}

TEST_F(ProgramDeathTest, StreamPlayFailureEndsWithStatus1AndClosesTheStream) {
    fake::sound.playResult = -1;
    fake::sound.error = 5;
    fake::type("41.");
    EXPECT_EXIT(JOINED(runProgram(quietPass)), testing::ExitedWithCode(1),
                testing::EndsWith("@Stream_Play(0)\nError!\nPlaying the sound failed.\n@Stream_Close\n"));
}

TEST_F(ProgramDeathTest, InitialisationFailureDoesNotStopStartUp) {
    fake::sound.initResult = 0;
    fake::sound.error = 3;
    fake::type("11.");
    EXPECT_EXIT(JOINED(std::exit(runProgram(quietPass))), testing::ExitedWithCode(0),
                AllOf(HasSubstr("Error!\nError initializing output device.\n"), HasSubstr(kHelp),
                      HasSubstr("@Stream_Play(0)\nNote")));
}

TEST_F(ProgramDeathTest, OldLibraryStillStartsTheStream) {
    fake::sound.version = 3.0f;
    fake::type(".");
    EXPECT_EXIT(JOINED(std::exit(runProgram(quietPass))), testing::ExitedWithCode(0),
                AllOf(HasSubstr("FMOD 3.74\n"), Not(HasSubstr("Output Type")),
                      HasSubstr("@Stream_Play(0)\nNote")));
}

TEST_F(ProgramDeathTest, WindowExitClosesTheStreamFirst) {
    fake::type("41");
    fake::console.inputEnds = false;
    EXPECT_EXIT(JOINED(runProgram([] { std::exit(0); })), testing::ExitedWithCode(0),
                testing::EndsWith("@Stream_Play(0)\n@Stream_Close\n"));
}

TEST_F(ProgramDeathTest, SignalClosesTheStreamThenEndsBySignal) {
    fake::type("41");
    fake::console.inputEnds = false;
    fake::console.signalAtPass = 5;
    fake::console.signalNumber = SIGTERM;
    EXPECT_EXIT(JOINED(runProgram(quietPass)), testing::ExitedWithCode(128 + SIGTERM),
                testing::EndsWith("@Stream_Play(0)\n@Stream_Close\n@EndBySignal(15)\n"));
}

}  // namespace
