// Timers that run closures.
#include <gtest/gtest.h>

#include "NSTimer+BlocksKit.h"
#include "platform/loop/runloop.h"
#include "platform/testing.h"

using namespace platform;

class BlockTimers : public ::testing::Test {
  protected:
    void SetUp() override {
        resetProcessState();
        useVirtualClock();
    }
    objc::AutoreleasePool pool;
};

TEST_F(BlockTimers, ScheduledTimerRunsItsClosureWithTheTimerOnce) {
    int runs = 0;
    NSTimer* seen = nullptr;
    NSTimer* t = bk_scheduledTimerWithTimeInterval_block_repeats(
        0.5,
        [&](NSTimer* timer) {
            ++runs;
            seen = timer;
        },
        false);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->target(), static_cast<objc::id>(NSTimer::cls()))
        << "the timer class is the target";
    EXPECT_NE(t->userInfo(), nullptr) << "the closure copy rides as user information";
    objc::objc_retain(t);
    RunLoop::main().advance(0.49);
    EXPECT_EQ(runs, 0);
    RunLoop::main().advance(0.01);
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(seen, t);
    EXPECT_FALSE(t->isValid());
    EXPECT_EQ(t->userInfo(), nullptr) << "invalidation drops the closure";
    RunLoop::main().advance(5);
    EXPECT_EQ(runs, 1);
    objc::objc_release(t);
}

TEST_F(BlockTimers, RepeatingTimerRunsUntilTheClosureInvalidatesIt) {
    int runs = 0;
    bk_scheduledTimerWithTimeInterval_block_repeats(
        1.0,
        [&](NSTimer* timer) {
            if (++runs == 3) timer->invalidate();
        },
        true);
    RunLoop::main().advance(10);
    EXPECT_EQ(runs, 3);
}

TEST_F(BlockTimers, PlainTimerWaitsForItsRunLoopAndTheClosureIsACopy) {
    int runs = 0;
    BKTimerBlock block = [&](NSTimer*) { ++runs; };
    NSTimer* t = bk_timerWithTimeInterval_block_repeats(1.0, block, false);
    block = nullptr;  // the timer holds its own copy
    RunLoop::main().advance(3);
    EXPECT_EQ(runs, 0);
    NSTimer::addToMainRunLoop(t);
    RunLoop::main().advance(1);
    EXPECT_EQ(runs, 1);
}

TEST_F(BlockTimers, TheSharedActionIgnoresATimerWithoutClosure) {
    NSTimer* bare = NSTimer::timerWithTimeInterval(1, nullptr, nullptr, nullptr, false);
    bk_executeBlockFromTimer(NSTimer::cls(), SEL_("bk_executeBlockFromTimer:"), bare);  // no crash
    bk_executeBlockFromTimer(NSTimer::cls(), SEL_("bk_executeBlockFromTimer:"), nullptr);
}

TEST_F(BlockTimers, AMissingClosureRaisesTheAssertionWithItsFileAndLine) {
    struct Case {
        bool scheduled;
        const char* method;
        int line;
    };
    for (const Case& c :
         {Case{true, "+[NSTimer bk_scheduledTimerWithTimeInterval:block:repeats:]", 18},
          Case{false, "+[NSTimer bk_timerWithTimeInterval:block:repeats:]", 24}}) {
        try {
            if (c.scheduled)
                bk_scheduledTimerWithTimeInterval_block_repeats(1.0, nullptr, false);
            else
                bk_timerWithTimeInterval_block_repeats(1.0, nullptr, false);
            ADD_FAILURE() << "no assertion for " << c.method;
        } catch (const NSException& e) {
            EXPECT_EQ(e.name, "NSInternalInconsistencyException");
            EXPECT_EQ(e.reason, "Invalid parameter not satisfying: block != nil");
            EXPECT_EQ(e.file, "classes/NSTimer+BlocksKit");
            EXPECT_EQ(e.line, c.line);
            EXPECT_EQ(e.method, c.method);
        }
    }
    EXPECT_EQ(RunLoop::main().pendingCount(), 0u) << "no timer was made";
}
