// pumpWindowEvents with events pushed into SDL's queue; the dummy video
// driver needs no display.
#include <SDL.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "app/program.h"

namespace {

struct NoteCase {
    SDLKey key;
    int slot0;
    int slot1;
};

class WindowKeys : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        setenv("SDL_VIDEODRIVER", "dummy", 1);
        ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO), 0) << SDL_GetError();
        if (synth == nullptr) {
            testing::internal::CaptureStdout();
            synth = new Synth();  // prints the patch
            testing::internal::GetCapturedStdout();
        }
    }
    static void TearDownTestSuite() { SDL_Quit(); }

    void SetUp() override {
        SDL_Event drop;
        while (SDL_PollEvent(&drop)) {
        }
        delete vca;
        vca = new Vca();
        synth->slots[0].note = 58;
        synth->slots[1].note = 58;
    }

    static void push(Uint8 type, SDLKey key) {
        SDL_Event event{};
        event.type = type;
        event.key.type = type;
        event.key.state = type == SDL_KEYDOWN ? SDL_PRESSED : SDL_RELEASED;
        event.key.keysym.sym = key;
        ASSERT_EQ(SDL_PushEvent(&event), 0);
    }

    static void pushOther(Uint8 type) {
        SDL_Event event{};
        event.type = type;
        ASSERT_EQ(SDL_PushEvent(&event), 0);
    }

    // Runs the pump and returns what it printed.
    static std::string pump() {
        testing::internal::CaptureStdout();
        pumpWindowEvents();
        return testing::internal::GetCapturedStdout();
    }

    static int pending() { return SDL_PeepEvents(nullptr, 0, SDL_PEEKEVENT, SDL_ALLEVENTS); }
    static int note(int slot) { return synth->slots[slot].note; }
};

TEST_F(WindowKeys, EveryNoteKeySetsItsPairTriggersAndReleases) {
    const NoteCase cases[] = {
        {SDLK_z, 58, 58}, {SDLK_x, 63, 59}, {SDLK_c, 65, 60},
        {SDLK_v, 66, 61}, {SDLK_b, 68, 62}, {SDLK_n, 70, 63},
    };
    for (const NoteCase& c : cases) {
        SCOPED_TRACE(SDL_GetKeyName(c.key));
        synth->slots[0].note = 0;
        synth->slots[1].note = 0;

        push(SDL_KEYDOWN, c.key);
        EXPECT_EQ(pump(), "\nTRIG\n");
        EXPECT_EQ(note(0), c.slot0);
        EXPECT_EQ(note(1), c.slot1);
        vca->tick();
        EXPECT_EQ(vca->gate, 1);
        EXPECT_EQ(vca->released, 0);

        push(SDL_KEYUP, c.key);
        EXPECT_EQ(pump(), "UNTRIG\n");
        EXPECT_EQ(note(0), c.slot0) << "key-up leaves the notes";
        EXPECT_EQ(note(1), c.slot1);
        vca->tick();
        EXPECT_EQ(vca->released, 1);
    }
}

TEST_F(WindowKeys, KeyUpWithoutKeyDownStillReleases) {
    push(SDL_KEYUP, SDLK_n);
    EXPECT_EQ(pump(), "UNTRIG\n");
    EXPECT_EQ(note(0), 58);
    EXPECT_EQ(note(1), 58);
}

TEST_F(WindowKeys, DrainsTheQueueAndTheLastNoteKeyWins) {
    push(SDL_KEYDOWN, SDLK_z);
    push(SDL_KEYDOWN, SDLK_n);
    push(SDL_KEYUP, SDLK_z);
    EXPECT_EQ(pump(), "\nTRIG\n\nTRIG\nUNTRIG\n");
    EXPECT_EQ(pending(), 0);
    EXPECT_EQ(note(0), 70);
    EXPECT_EQ(note(1), 63);
}

TEST_F(WindowKeys, OtherKeysAndEventsChangeNothing) {
    for (SDLKey key : {SDLK_a, SDLK_m, SDLK_y, SDLK_COMMA, SDLK_SPACE, SDLK_RETURN, SDLK_LSHIFT,
                       SDLK_KP_ENTER, SDLK_F1}) {
        push(SDL_KEYDOWN, key);
        push(SDL_KEYUP, key);
    }
    // A close request, focus, mouse and resize events do not end the program.
    for (Uint8 type : {SDL_QUIT, SDL_ACTIVEEVENT, SDL_MOUSEMOTION, SDL_MOUSEBUTTONDOWN,
                       SDL_MOUSEBUTTONUP, SDL_VIDEORESIZE, SDL_VIDEOEXPOSE, SDL_USEREVENT}) {
        pushOther(type);
    }
    EXPECT_EQ(pump(), "");
    EXPECT_EQ(pending(), 0);
    EXPECT_EQ(note(0), 58);
    EXPECT_EQ(note(1), 58);
    vca->tick();
    EXPECT_EQ(vca->gate, 0) << "no trigger";
}

TEST_F(WindowKeys, EmptyQueueReturnsAtOnce) {
    EXPECT_EQ(pump(), "");
}

using WindowKeysDeathTest = WindowKeys;

TEST_F(WindowKeysDeathTest, EscapeEndsTheProgramWithStatusZero) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    push(SDL_KEYDOWN, SDLK_ESCAPE);
    EXPECT_EXIT(pumpWindowEvents(), ::testing::ExitedWithCode(0), "");
    SDL_Event drop;
    while (SDL_PollEvent(&drop)) {
    }
    push(SDL_KEYUP, SDLK_ESCAPE);
    EXPECT_EXIT(pumpWindowEvents(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
