// The kept patch file: written whole, read back the same, refused line by line.
#include "app/patch_file.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/program.h"

namespace {

class PatchFileTest : public testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/patch_file_test.XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir = name;
        build();
    }
    void TearDown() override { std::system(("rm -rf '" + dir + "'").c_str()); }

    // A fresh patch and envelope as the program's, counters at 0.
    static void build() {
        testing::internal::CaptureStdout();
        synth = new Synth();
        testing::internal::GetCapturedStdout();
        vca = new Vca();
        findEditedOscillators();
        osc1WaveformCounter = phaseLfoWaveformCounter = frequencyLfoWaveformCounter = amplitudeLfoWaveformCounter = 0;
    }
    std::vector<std::string> files() const {
        std::vector<std::string> names;
        DIR* d = opendir(dir.c_str());
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        }
        closedir(d);
        return names;
    }
    static std::string contents(const std::string& path) {
        std::ifstream in(path);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    std::string dir;
};

TEST_F(PatchFileTest, WrittenAndReadBackTheSame) {
    const std::string file = dir + "/lead.patch";
    vca->attack = -90.0f;
    vca->sustain = 0.3f;
    osc1->ampl = 0.123456789f;
    frequencyLfo->freq = 0.1f;
    testing::internal::CaptureStdout();
    for (const char key : std::string("8888u")) applyKey(key);  // waveform 4, amplitude LFO at 1 Hz
    testing::internal::GetCapturedStdout();
    std::string error;
    const PatchValues written = currentPatch();
    ASSERT_TRUE(writePatch(file, &error)) << error;
    EXPECT_EQ(files(), std::vector<std::string>{"lead.patch"});
    chmod(file.c_str(), 0640);
    ASSERT_TRUE(writePatch(file, &error)) << error;  // over the file, keeping its permissions
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);

    build();
    PatchValues read;
    ASSERT_TRUE(readPatch(file, &read, &error)) << error;
    applyPatch(read);
    for (int i = 0; i < kPatchParameters; ++i) {
        EXPECT_EQ(currentPatch().values[i], written.values[i]) << patchParameterName(i);
    }
    EXPECT_EQ(frequencyLfoWaveformCounter, 4);
    EXPECT_EQ(amplitudeLfo->freq, 1.0f);
}

TEST_F(PatchFileTest, ParsedLineByLine) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"# a comment\n\n  attack=10 \r\ndecay = -3.5e2\n", ""},
        {"attack 10\n", "p:1: expected 'name = value'"},
        {"\n# volume next\nvolume = 1\n", "p:3: unknown parameter 'volume'"},
        {"attack = x\n", "p:1: attack: 'x' is not a number"},
        {"attack = 10 20\n", "p:1: attack: '10 20' is not a number"},
        {"attack =\n", "p:1: attack: '' is not a number"},
        {"sustain = nan\n", "p:1: sustain: 'nan' is not a number"},
        {"sustain = 1e99\n", "p:1: sustain: '1e99' is not a number"},
        {"osc1.waveform = 6\n", "p:1: osc1.waveform: '6' is not a waveform from 1 to 5"},
        {"phase_lfo.waveform = 2.5\n", "p:1: phase_lfo.waveform: '2.5' is not a waveform from 1 to 5"},
        {"decay = 1\ndecay = 2\n", "p:2: 'decay' given twice"},
    };
    for (const auto& [text, expected] : cases) {
        PatchValues patch;
        std::string error;
        EXPECT_EQ(parsePatch(text, "p", &patch, &error), expected.empty()) << text;
        EXPECT_EQ(error, expected) << text;
    }
    PatchValues patch;
    std::string error;
    ASSERT_TRUE(parsePatch("decay = -3.5e2\n", "p", &patch, &error));
    applyPatch(patch);
    EXPECT_EQ(vca->decay, -350.0f);
    EXPECT_EQ(vca->attack, 10.0f);  // not given: as built
}

TEST_F(PatchFileTest, FilesThatCannotBeReadOrWritten) {
    std::string error;
    PatchValues patch;
    EXPECT_TRUE(readPatch(dir + "/none", &patch, &error));  // not there yet: no values
    EXPECT_FALSE(patch.values[0].has_value());
    EXPECT_FALSE(readPatch(dir, &patch, &error));
    EXPECT_EQ(error, dir + ": Is a directory");

    EXPECT_FALSE(writePatch(dir + "/missing/p", &error));
    EXPECT_EQ(error, dir + "/missing/p: No such file or directory");
    // A target that cannot be replaced leaves it and no temporary file.
    ASSERT_EQ(mkdir((dir + "/taken").c_str(), 0755), 0);
    std::ofstream(dir + "/taken/inside") << "x";
    EXPECT_FALSE(writePatch(dir + "/taken", &error));
    EXPECT_EQ(error, dir + "/taken: Is a directory");
    EXPECT_EQ(files(), std::vector<std::string>{"taken"});
    EXPECT_EQ(contents(dir + "/taken/inside"), "x");
}

}  // namespace
