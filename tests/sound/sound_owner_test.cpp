// The callback's owner: every hand-off from every state, and a device, the
// pacer and close racing each other.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/sound_owner.h"

namespace {

using sound::CallbackOwner;
using State = CallbackOwner::State;

// Puts an owner in a state by the hand-offs that lead there.
void reach(CallbackOwner& o, State state) {
    std::atomic<bool> stop{false};
    if (state == State::kInDevice) {
        ASSERT_TRUE(o.enterDevice());
    }
    if (state == State::kPacer) {
        ASSERT_TRUE(o.takeForPacer(stop));
    }
    if (state == State::kClosed) o.close();
}

TEST(SoundOwnerTest, EveryHandOffFromEveryState) {
    enum Op { kEnter, kLeave, kTake, kGiveBackOffered, kGiveBackRecovered, kGiveBackNeither, kClose };
    struct Case {
        State from;
        Op op;
        bool result;  // of the call, where it has one
        State to;
    };
    const Case cases[] = {
        {State::kIdle, kEnter, true, State::kInDevice},
        {State::kInDevice, kLeave, true, State::kIdle},
        {State::kInDevice, kEnter, false, State::kInDevice},  // one block at a time
        {State::kPacer, kEnter, false, State::kPacer},
        {State::kClosed, kEnter, false, State::kClosed},
        {State::kIdle, kTake, true, State::kPacer},
        {State::kPacer, kTake, true, State::kPacer},
        {State::kClosed, kTake, false, State::kClosed},
        {State::kPacer, kGiveBackOffered, true, State::kIdle},
        {State::kPacer, kGiveBackRecovered, true, State::kIdle},
        {State::kPacer, kGiveBackNeither, false, State::kPacer},
        {State::kClosed, kGiveBackOffered, false, State::kClosed},
        {State::kIdle, kClose, true, State::kClosed},
        {State::kPacer, kClose, true, State::kClosed},
        {State::kClosed, kClose, true, State::kClosed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "from " << c.from << " op " << c.op);
        CallbackOwner o;
        reach(o, c.from);
        std::atomic<bool> stop{false};
        bool result = true;
        switch (c.op) {
            case kEnter: result = o.enterDevice(); break;
            case kLeave: o.leaveDevice(); break;
            case kTake: result = o.takeForPacer(stop); break;
            case kGiveBackOffered: o.offerDevice(); result = o.pacerGivesBack(false); break;
            case kGiveBackRecovered: result = o.pacerGivesBack(true); break;
            case kGiveBackNeither: result = o.pacerGivesBack(false); break;
            case kClose: o.close(); break;
        }
        EXPECT_EQ(c.result, result);
        EXPECT_EQ(c.to, o.state());
    }

    // Taking the callback withdraws an offer made before it; the stop flag
    // ends a wait on a device block that does not end.
    CallbackOwner o;
    std::atomic<bool> stop{false};
    o.offerDevice();
    ASSERT_TRUE(o.takeForPacer(stop));
    EXPECT_FALSE(o.pacerGivesBack(false));
    CallbackOwner busy;
    ASSERT_TRUE(busy.enterDevice());
    stop = true;
    EXPECT_FALSE(busy.takeForPacer(stop));
    EXPECT_EQ(State::kInDevice, busy.state());
}

// A device thread runs blocks without pause while the supervisor moves the
// callback to the pacer and back many times (device, pacer, device...), and
// close comes in the middle of it: the two callers never overlap, and
// nobody calls the callback once close() has returned.
TEST(SoundOwnerTest, DeviceToPacerToDeviceWithACloseRacingIn) {
    for (int round = 0; round < 20; ++round) {
        CallbackOwner o;
        std::atomic<int> inside{0}, overlaps{0}, afterClose{0}, deviceBlocks{0}, pacerBlocks{0};
        std::atomic<bool> closed{false}, stop{false}, quit{false};
        auto call = [&](std::atomic<int>& blocks) {
            if (inside.fetch_add(1) != 0) overlaps.fetch_add(1);
            if (closed.load()) afterClose.fetch_add(1);
            blocks.fetch_add(1);
            inside.fetch_sub(1);
        };
        std::thread device([&] {
            while (!quit.load()) {
                if (o.enterDevice()) {
                    call(deviceBlocks);
                    o.leaveDevice();
                }
            }
        });
        std::thread supervisorAndPacer([&] {
            for (int i = 0; i < 200 && !stop.load(); ++i) {
                if (!o.takeForPacer(stop)) break;
                if (o.pacerHolds()) call(pacerBlocks);
                o.offerDevice();
                o.pacerGivesBack(false);
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(round % 5));
        stop = true;  // as Close does: the threads of the layer end first
        supervisorAndPacer.join();
        o.close();
        closed = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        quit = true;
        device.join();
        EXPECT_EQ(0, overlaps.load());
        EXPECT_EQ(0, afterClose.load());
        EXPECT_EQ(State::kClosed, o.state());
    }
}

}  // namespace
