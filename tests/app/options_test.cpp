// The command line, word by word.
#include "app/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

ParsedOptions parse(std::vector<std::string> words) {
    words.insert(words.begin(), "synth");
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    return parseOptions(static_cast<int>(words.size()), argv.data());
}

TEST(OptionsTest, Accepted) {
    struct Case {
        std::vector<std::string> words;
        ParsedOptions::Action action;
        ProgramOptions expected;
    };
    const auto with = [](auto change) {
        ProgramOptions o;
        change(o);
        return o;
    };
    const Case cases[] = {
        {{}, ParsedOptions::kRun, {}},
        {{"-o", "4", "-d", "1"}, ParsedOptions::kRun, with([](ProgramOptions& o) { o.output = 4, o.driver = 1; })},
        {{"--output=3", "--driver", "12"}, ParsedOptions::kRun,
         with([](ProgramOptions& o) { o.output = 3, o.driver = 12; })},
        {{"-o3", "--jack-name", "lead", "--midi-connect", "a:out", "--midi-connect=b:out"}, ParsedOptions::kRun,
         with([](ProgramOptions& o) { o.output = 3, o.jackName = "lead", o.midiConnections = {"a:out", "b:out"}; })},
        {{"--midi-channel", "16", "--latency", "5", "--patch", "p.txt"}, ParsedOptions::kRun,
         with([](ProgramOptions& o) { o.midiChannel = 16, o.latencyMs = 5, o.patchPath = "p.txt"; })},
        {{"-h"}, ParsedOptions::kHelp, {}},
        {{"-o", "4", "--help"}, ParsedOptions::kHelp, with([](ProgramOptions& o) { o.output = 4; })},
        {{"--version"}, ParsedOptions::kVersion, {}},
    };
    for (const Case& c : cases) {
        const ParsedOptions p = parse(c.words);
        SCOPED_TRACE(testing::PrintToString(c.words) + " " + p.error);
        EXPECT_EQ(p.action, c.action);
        const ProgramOptions& o = p.options;
        const ProgramOptions& e = c.expected;
        EXPECT_EQ(o.output, e.output);
        EXPECT_EQ(o.driver, e.driver);
        EXPECT_EQ(o.jackName, e.jackName);
        EXPECT_EQ(o.midiConnections, e.midiConnections);
        EXPECT_EQ(o.midiChannel, e.midiChannel);
        EXPECT_EQ(o.latencyMs, e.latencyMs);
        EXPECT_EQ(o.patchPath, e.patchPath);
    }
}

TEST(OptionsTest, Refused) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"-x"}, "unknown option '-x'"},
        {{"stray"}, "unexpected argument 'stray'"},
        {{"-o"}, "option '-o' needs a value"},
        {{"--patch"}, "option '--patch' needs a value"},
        {{"--version=1"}, "option '--version' takes no value"},
        {{"-o", "5"}, "invalid value '5' for --output: an output from 1 to 4"},
        {{"-o", "4x"}, "invalid value '4x' for --output: an output from 1 to 4"},
        {{"-d", "0"}, "invalid value '0' for --driver: a driver number from 1"},
        {{"--midi-channel", "17"}, "invalid value '17' for --midi-channel: a channel from 1 to 16"},
        {{"--latency", "0"}, "invalid value '0' for --latency: milliseconds from 1 to 50"},
        {{"--latency", "99999999999"}, "invalid value '99999999999' for --latency: milliseconds from 1 to 50"},
        {{"--jack-name", ""}, "invalid value '' for --jack-name: a name"},
        {{"--midi-connect="}, "invalid value '' for --midi-connect: a JACK port"},
    };
    for (const auto& [words, error] : cases) {
        const ParsedOptions p = parse(words);
        EXPECT_EQ(p.action, ParsedOptions::kError) << testing::PrintToString(words);
        EXPECT_EQ(p.error, error);
    }
}

TEST(OptionsTest, LatencyBlockFrames) {
    const std::pair<int, int> cases[] = {{1, 64}, {2, 64}, {3, 128}, {4, 128}, {5, 256}, {8, 256}, {9, 512}, {12, 512}, {23, 1024}, {50, 2048}};
    for (const auto& [ms, frames] : cases) EXPECT_EQ(latencyBlockFrames(ms), frames) << ms << " ms";
}

}  // namespace
